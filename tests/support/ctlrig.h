#pragma once

#include "support/simprocess.h"

#include <QDeadlineTimer>
#include <QProcess>
#include <QProcessEnvironment>
#include <QRegularExpression>
#include <QTemporaryDir>

#include <memory>
#include <vector>

namespace testsupport {

struct CtlResult {
    int code = -1; // -1: it did not end in time, or crashed
    QString out;
    QString err;
};

// vantelctl and the simulated supply it talks to, for the end-to-end tests: a
// private folder (the port folder, and the test's scratch space), vantel-sim
// publishing COM1 in it, and the program started with VANTEL_PORT_DIR there.
class CtlRig {
public:
    static constexpr int kWaitMs = 10000; // upper bound for a whole command

    explicit CtlRig(QString program) : m_program(std::move(program)) {}

    // Starts vantel-sim as COM1 with `arguments` after "--port 1".
    bool startSim(const QStringList &arguments)
    {
        m_sim = std::make_unique<SimProcess>(m_dir.path());
        return m_sim->start(QStringList{QStringLiteral("--port"), QStringLiteral("1")} + arguments);
    }
    SimProcess &sim() { return *m_sim; }

    QString dir() const { return m_dir.path(); }
    QString path(const QString &name) const { return m_dir.filePath(name); }

    // VANTEL_PORT_DIR for the program; V (the program), D (the folder) and S (the
    // simulator's process id) for scripts.
    QProcessEnvironment environment() const
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("VANTEL_PORT_DIR"), m_dir.path());
        env.insert(QStringLiteral("V"), m_program);
        env.insert(QStringLiteral("D"), m_dir.path());
        if (m_sim) {
            env.insert(QStringLiteral("S"), QString::number(m_sim->process().processId()));
        }
        return env;
    }

    bool start(QProcess &process, const QStringList &arguments) const
    {
        process.setProcessEnvironment(environment());
        process.start(m_program, arguments);
        return process.waitForStarted(kWaitMs);
    }

    static CtlResult finish(QProcess &process, int ms = kWaitMs)
    {
        CtlResult result;
        if (!process.waitForFinished(ms)) {
            process.kill();
            process.waitForFinished();
            return result;
        }
        result.code = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
        result.out = QString::fromUtf8(process.readAllStandardOutput());
        result.err = QString::fromUtf8(process.readAllStandardError());
        return result;
    }

    CtlResult run(const QStringList &arguments) const
    {
        QProcess process;
        if (!start(process, arguments)) {
            return {};
        }
        return finish(process);
    }

    // `script` under bash, with $V and $D set; the result is the shell's.
    CtlResult shell(const QString &script) const
    {
        QProcess process;
        process.setProcessEnvironment(environment());
        process.start(QStringLiteral("bash"), {QStringLiteral("-c"), script});
        if (!process.waitForStarted(kWaitMs)) {
            return {};
        }
        return finish(process);
    }

private:
    QString m_program;
    QTemporaryDir m_dir;
    std::unique_ptr<SimProcess> m_sim; // before the folder goes: declared after it
};

// Reads a running program's stderr as it comes into `seen`, until a line matches
// `re`, the program ends or `ms` pass.
inline QRegularExpressionMatch waitForErr(QProcess &process, QString &seen,
                                          const QRegularExpression &re, int ms = 20000)
{
    QDeadlineTimer deadline(ms);
    for (;;) {
        seen += QString::fromUtf8(process.readAllStandardError());
        const QRegularExpressionMatch match = re.match(seen);
        if (match.hasMatch() || deadline.hasExpired() || process.state() == QProcess::NotRunning) {
            return match;
        }
        process.setReadChannel(QProcess::StandardError);
        process.waitForReadyRead(50);
    }
}

// Kills what a test case left running, and forgets it.
inline void killAll(std::vector<std::unique_ptr<QProcess>> &processes)
{
    for (auto &process : processes) {
        if (process->state() != QProcess::NotRunning) {
            process->kill();
            process->waitForFinished();
        }
    }
    processes.clear();
}

} // namespace testsupport
