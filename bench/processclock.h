#pragma once

// What the window benchmarks measure with: this process's CPU time, and waiting
// on the event loop so that the window under test keeps running.

#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QTimer>

namespace bench {

// CPU time of every thread of this process, in ms, from the scheduler's counters.
inline double processCpuMs()
{
    double total = 0;
    const QDir tasks(QStringLiteral("/proc/self/task"));
    for (const QString &task : tasks.entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        QFile f(tasks.filePath(task + "/schedstat"));
        if (f.open(QIODevice::ReadOnly)) {
            total += f.readAll().split(' ').value(0).toDouble() / 1e6;
        }
    }
    return total;
}

// Context switches of every thread of this process since it started: the voluntary
// ones (a thread went to sleep: each is a wake-up to come) and the others.
struct Switches {
    double voluntary = 0;
    double involuntary = 0;
};

inline Switches processSwitches()
{
    Switches total;
    const QDir tasks(QStringLiteral("/proc/self/task"));
    for (const QString &task : tasks.entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        QFile f(tasks.filePath(task + "/status"));
        if (!f.open(QIODevice::ReadOnly)) {
            continue;
        }
        for (const QByteArray &line : f.readAll().split('\n')) {
            const QList<QByteArray> parts = line.simplified().split(' ');
            if (parts.size() != 2) {
                continue;
            }
            if (parts[0] == "voluntary_ctxt_switches:") {
                total.voluntary += parts[1].toDouble();
            } else if (parts[0] == "nonvoluntary_ctxt_switches:") {
                total.involuntary += parts[1].toDouble();
            }
        }
    }
    return total;
}

// Runs the event loop for `ms` without spinning.
inline void wait(int ms)
{
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
}

} // namespace bench
