#pragma once

// One supply on each kind of line a program meets: the simulator keeping 9600
// baud's character times ("timed"), the simulator answering at once ("instant",
// as a USB CDC-ACM port, a network bridge or Wine), and an independent slave
// ("pymodbus": pymodbus's serial server on a socat pty), each as COM1 in the
// rig's port folder.
#include "support/ctlrig.h"

#include <QDeadlineTimer>
#include <QProcess>
#include <QString>
#include <QStringList>
#include <QTest>

#include <memory>

namespace testsupport {

class SupplyLine {
public:
    static constexpr int kSkipCode = 77; // the slave: pymodbus, pyserial-asyncio or socat missing

    // `python` and `slaveScript` run the independent slave (tests/e2e/pymodbus_slave.py).
    SupplyLine(const QString &vantelctl, QString python, QString slaveScript)
        : m_rig(std::make_unique<CtlRig>(vantelctl)), m_python(std::move(python)),
          m_slaveScript(std::move(slaveScript))
    {
    }
    ~SupplyLine() { stopSlave(); }
    SupplyLine(const SupplyLine &) = delete;
    SupplyLine &operator=(const SupplyLine &) = delete;

    static QStringList kinds() { return {"timed", "instant", "pymodbus"}; }
    // A test's data: a QString column "line", a row for each kind.
    static void addRows()
    {
        QTest::addColumn<QString>("line");
        for (const QString &line : kinds()) {
            QTest::newRow(qPrintable(line)) << line;
        }
    }

    // The supplies at `addresses` ("5", "1-3"; the slave is one supply) on
    // `line`; `simArguments` go to the simulator only. True also when the
    // slave's tools are missing (then missing()).
    bool start(const QString &line, const QString &addresses, const QStringList &simArguments = {})
    {
        if (line != QLatin1String("pymodbus")) {
            return m_rig->startSim(QStringList{QStringLiteral("--address"), addresses,
                                               QStringLiteral("--line"), line} +
                                   simArguments);
        }
        if (m_python.isEmpty()) {
            m_missing = true;
            return true;
        }
        m_slave = std::make_unique<QProcess>();
        m_slave->start(m_python, {m_slaveScript, m_rig->dir(), QStringLiteral("COM1"), addresses});
        if (!m_slave->waitForStarted(5000)) {
            return false;
        }
        QDeadlineTimer deadline(CtlRig::kWaitMs);
        while (!m_slave->canReadLine() && m_slave->state() == QProcess::Running &&
               !deadline.hasExpired()) {
            m_slave->waitForReadyRead(100);
        }
        if (m_slave->state() != QProcess::Running) {
            m_missing = m_slave->exitCode() == kSkipCode;
            if (!m_missing) {
                qWarning("%s", m_slave->readAllStandardError().constData());
            }
            return m_missing;
        }
        return m_slave->readLine().startsWith("ready COM1");
    }

    // The slave's tools are missing: the case is to be skipped.
    bool missing() const { return m_missing; }
    // The simulator is the line (its state can be asked).
    bool simulated() const { return !m_slave && !m_missing; }
    CtlRig &rig() { return *m_rig; }

    void stopSlave()
    {
        if (m_slave) {
            m_slave->closeWriteChannel(); // the end of its input ends it
            if (!m_slave->waitForFinished(5000)) {
                m_slave->kill();
                m_slave->waitForFinished();
            }
            m_slave.reset();
        }
    }

private:
    std::unique_ptr<CtlRig> m_rig;
    QString m_python;
    QString m_slaveScript;
    std::unique_ptr<QProcess> m_slave;
    bool m_missing = false;
};

} // namespace testsupport
