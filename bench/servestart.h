#pragma once

// What the serve benchmarks start alike: the simulator on a private port folder,
// and `vantelctl serve` on COM1 of that folder with a known page token, read until
// it prints the line that says it is ready.
#include "support/simprocess.h"

#include <QDeadlineTimer>
#include <QFile>
#include <QProcess>
#include <QProcessEnvironment>
#include <QRegularExpression>
#include <QTemporaryDir>

#include <cstdio>

namespace bench {

inline const QByteArray kToken = "bench-token-0123456789abcdef";

// Resident memory of process `pid`, in KiB; -1 where the system does not tell.
inline long rssKiB(qint64 pid)
{
    QFile f(QStringLiteral("/proc/%1/status").arg(pid));
    if (!f.open(QIODevice::ReadOnly)) {
        return -1;
    }
    for (const QByteArray &line : f.readAll().split('\n')) {
        if (line.startsWith("VmRSS:")) {
            return line.mid(6).trimmed().split(' ').value(0).toLong();
        }
    }
    return -1;
}

struct ServeRun {
    QTemporaryDir dir;
    testsupport::SimProcess sim{dir.path()};
    QProcess serve;
    QString err; // what serve printed on its way up

    // Starts the simulator with `simArgs`, then `vantelctl` with `serveArgs`,
    // and waits until serve prints `ready` (20 s at most). False after saying why.
    bool start(const char *vantelctl, const QStringList &simArgs, const QStringList &serveArgs,
               const QRegularExpression &ready)
    {
        if (!sim.start(simArgs)) {
            std::fprintf(stderr, "vantel-sim did not start\n");
            return false;
        }
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("VANTEL_PORT_DIR"), dir.path());
        env.insert(QStringLiteral("VANTEL_HTTP_TOKEN"), QString::fromLatin1(kToken));
        serve.setProcessEnvironment(env);
        serve.start(QString::fromLocal8Bit(vantelctl), serveArgs);
        QDeadlineTimer started(20000);
        while (!ready.match(err).hasMatch() && !started.hasExpired() &&
               serve.state() != QProcess::NotRunning) {
            serve.waitForReadyRead(100);
            err += QString::fromUtf8(serve.readAllStandardError());
        }
        if (!ready.match(err).hasMatch()) {
            std::fprintf(stderr, "serve did not start: %s\n", qPrintable(err));
            return false;
        }
        return true;
    }
};

} // namespace bench
