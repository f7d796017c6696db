#include "ctl/stopsignals.h"

#include <QMetaObject>

#include <atomic>
#include <csignal>
#include <windows.h>

namespace ctl {

namespace {

// The console's control handler runs on a thread of its own: it only posts the
// request to the object on the main thread.
std::atomic<StopSignals *> g_instance{nullptr};
HANDLE g_finished = nullptr; // set once the program is done with the stop

BOOL WINAPI onConsoleControl(DWORD type)
{
    StopSignals *instance = g_instance.load();
    if (instance == nullptr) {
        return FALSE;
    }
    const bool interrupt = type == CTRL_C_EVENT || type == CTRL_BREAK_EVENT;
    QMetaObject::invokeMethod(instance, "deliver", Qt::QueuedConnection,
                              Q_ARG(int, interrupt ? SIGINT : SIGTERM));
    if (!interrupt) {
        // Closing the console ends the process once this returns: give the log
        // time to switch outputs off and print its summary first.
        WaitForSingleObject(g_finished, 4500);
    }
    return TRUE;
}

} // namespace

struct StopSignals::Platform {};

StopSignals::StopSignals(QObject *parent) : QObject(parent)
{
    g_finished = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    g_instance.store(this);
    SetConsoleCtrlHandler(onConsoleControl, TRUE);
}

StopSignals::~StopSignals()
{
    g_instance.store(nullptr);
    SetEvent(g_finished);
    SetConsoleCtrlHandler(onConsoleControl, FALSE);
}

void StopSignals::deliver(int signalNumber)
{
    m_received = signalNumber;
    emit stopRequested(signalNumber);
}

} // namespace ctl
