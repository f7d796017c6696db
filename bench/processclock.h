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

// Runs the event loop for `ms` without spinning.
inline void wait(int ms)
{
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
}

} // namespace bench
