#pragma once

#include <QFile>
#include <QList>
#include <QProcess>
#include <QString>
#include <QStringList>

#include <functional>
#include <optional>

namespace testsupport {

// One trace line of the simulator: "START END KIND HEX @ADDRESS", the times in
// seconds from its start when the frame's first byte started and its last byte
// ended on the line.
struct TraceLine {
    double seconds; // START
    double end;
    QString kind;
    QString hex;
    int address = -1; // the supply addressed; -1 for junk
};

// The simulated supply vantel-sim as a child process publishing its port in a
// given port folder. Its output lines are collected as they come, also while an
// event loop runs, so a window under test keeps working while a test waits.
class SimProcess {
public:
    static constexpr int kWaitMs = 3000; // upper bound for anything due to happen

    enum class Stop {
        CloseInput, // the end of its input ends it; it removes its link
        Terminate,  // SIGTERM; it removes its link
        Kill,       // SIGKILL; the link stays behind, dangling
    };

    // `portDir` goes to the child as VANTEL_PORT_DIR (inherited when empty).
    explicit SimProcess(const QString &portDir = {});
    ~SimProcess();
    SimProcess(const SimProcess &) = delete;
    SimProcess &operator=(const SimProcess &) = delete;

    static QString executable();

    // Its standard output goes to `path` instead of being read by this process
    // (keeps a long trace out of this process's CPU time). Set before start().
    void setOutputFile(const QString &path);
    // Its standard error goes to this process's instead of being kept apart.
    void forwardErrors();

    // Starts it and waits up to `readyMs` for its "ready COMn PTY LINK" line;
    // false when it refused to start or never got ready.
    bool start(const QStringList &arguments, int readyMs = kWaitMs);

    // The next output line that `accept` takes, within `ms` (empty otherwise);
    // every line before it counts as seen.
    QString waitForLine(const std::function<bool(const QString &)> &accept, int ms = kWaitMs);
    // Writes a command line to its standard input.
    void send(const QString &line);
    // Sends a command and returns its answer ("ok", "error ...", "status ...").
    QString command(const QString &line);

    void stop(Stop how = Stop::CloseInput);

    // Every output line so far.
    const QStringList &lines();
    int count(const QString &line);
    QList<TraceLine> trace();
    // How many trace lines of `kind` carry `hex`, and their start times in seconds.
    int count(const QString &kind, const QString &hex);
    QList<double> times(const QString &kind, const QString &hex);
    static std::optional<TraceLine> parseTraceLine(const QString &line);

    // From the ready line: the port's name (COMn), the pseudo-terminal, the link.
    const QString &port() const { return m_port; }
    const QString &pty() const { return m_pty; }
    const QString &link() const { return m_link; }

    QProcess &process() { return m_process; }

private:
    void pull();

    QString m_portDir;
    QString m_outputPath;
    QFile m_output;
    QStringList m_lines;
    qsizetype m_seen = 0; // lines waitForLine() has looked at
    QString m_port;
    QString m_pty;
    QString m_link;
    QProcess m_process; // last: gone before what its signal handler fills
};

// Resident memory in kB of process `pid` ("self" for this one), from
// /proc/PID/status; 0 where that cannot be read.
long residentKb(const QString &pid = QStringLiteral("self"));

} // namespace testsupport
