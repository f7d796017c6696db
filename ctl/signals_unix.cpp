#include "ctl/stopsignals.h"

#include <QSocketNotifier>

#include <csignal>
#include <fcntl.h>
#include <unistd.h>

namespace ctl {

namespace {

// The handler writes the signal's number into a pipe; the read end wakes the
// event loop. Nothing else is safe to do inside a signal handler.
int g_pipe[2] = {-1, -1};

extern "C" void onStopSignal(int number)
{
    // A closed terminal (SIGHUP) and Ctrl-\ (SIGQUIT, which would dump core with
    // the output on) ask to stop as SIGTERM does.
    const auto byte =
        static_cast<unsigned char>(number == SIGHUP || number == SIGQUIT ? SIGTERM : number);
    [[maybe_unused]] const ssize_t n = ::write(g_pipe[1], &byte, 1);
}

} // namespace

struct StopSignals::Platform {
    QSocketNotifier *notifier = nullptr;
    struct sigaction oldInt {};
    struct sigaction oldTerm {};
    struct sigaction oldHup {};
    struct sigaction oldQuit {};
    struct sigaction oldPipe {};
    struct sigaction oldFileSize {};
};

StopSignals::StopSignals(QObject *parent) : QObject(parent), m_platform(new Platform)
{
    if (::pipe(g_pipe) != 0) {
        qFatal("vantelctl: no pipe for signals");
    }
    for (int fd : g_pipe) {
        ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
        ::fcntl(fd, F_SETFD, FD_CLOEXEC);
    }
    m_platform->notifier = new QSocketNotifier(g_pipe[0], QSocketNotifier::Read, this);
    connect(m_platform->notifier, &QSocketNotifier::activated, this, [this] {
        unsigned char byte = 0;
        while (::read(g_pipe[0], &byte, 1) == 1) {
            deliver(byte);
        }
    });
    struct sigaction action {};
    action.sa_handler = onStopSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    ::sigaction(SIGINT, &action, &m_platform->oldInt);
    ::sigaction(SIGTERM, &action, &m_platform->oldTerm);
    ::sigaction(SIGHUP, &action, &m_platform->oldHup);
    ::sigaction(SIGQUIT, &action, &m_platform->oldQuit);
    // A reader that went away (`| head`) makes a write fail with EPIPE instead of
    // killing the process, so that it still ends as it should (outputs off).
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    ::sigaction(SIGPIPE, &ignore, &m_platform->oldPipe);
    // A file grown past its size limit makes the write fail too, so that the row
    // is cut away and the outputs still go off, instead of the process dying.
    ::sigaction(SIGXFSZ, &ignore, &m_platform->oldFileSize);
}

StopSignals::~StopSignals()
{
    ::sigaction(SIGINT, &m_platform->oldInt, nullptr);
    ::sigaction(SIGTERM, &m_platform->oldTerm, nullptr);
    ::sigaction(SIGHUP, &m_platform->oldHup, nullptr);
    ::sigaction(SIGQUIT, &m_platform->oldQuit, nullptr);
    ::sigaction(SIGPIPE, &m_platform->oldPipe, nullptr);
    ::sigaction(SIGXFSZ, &m_platform->oldFileSize, nullptr);
    delete m_platform->notifier;
    for (int &fd : g_pipe) {
        ::close(fd);
        fd = -1;
    }
    delete m_platform;
}

void StopSignals::deliver(int signalNumber)
{
    m_received = signalNumber;
    emit stopRequested(signalNumber);
}

} // namespace ctl
