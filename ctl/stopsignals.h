#pragma once

#include <QObject>

namespace ctl {

// Turns the requests to stop (SIGINT, SIGTERM, SIGHUP and SIGQUIT, the last two
// taken for SIGTERM; Ctrl-C and closing the console on Windows) into a Qt signal on the main
// thread, delivered while any event loop runs, so that a wait in progress can end at once. One per
// process.
class StopSignals : public QObject {
    Q_OBJECT
public:
    explicit StopSignals(QObject *parent = nullptr);
    ~StopSignals() override;

    // The POSIX number of the last stop asked for (SIGINT or SIGTERM), 0 before any.
    // While it lives, SIGPIPE is ignored: a write to a closed pipe fails instead.
    int received() const { return m_received; }
    // The exit status a command other than a log ends with after it: 128 + number.
    int exitCode() const { return 128 + m_received; }

signals:
    void stopRequested(int signalNumber);

private:
    // Called on the main thread with the POSIX number of the stop.
    Q_INVOKABLE void deliver(int signalNumber);

    int m_received = 0;
    struct Platform;
    Platform *m_platform = nullptr;
};

} // namespace ctl
