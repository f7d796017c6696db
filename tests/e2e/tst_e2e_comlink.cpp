// End to end: a COM name that links to a network line (tcp://HOST:PORT) is that
// line for vantelctl as for the windows: its commands reach the supply through
// the gateway, and `ports` lists the name with the line and whether it answers.
// The gateway is vantelctl serve --modbus on the simulator.
#include "support/ctlrig.h"

#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QtTest>

#include <csignal>
#include <memory>

namespace {

using testsupport::CtlResult;
using testsupport::waitForErr;

constexpr int kExitNoPort = 3;

} // namespace

class TestE2eComLink : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void cleanupTestCase();
    void commandsThroughTheLink_data();
    void commandsThroughTheLink();
    void aGatewayThatIsGone(); // last: it ends the gateway

private:
    QString target() const { return QStringLiteral("tcp://127.0.0.1:%1").arg(m_port); }

    std::unique_ptr<testsupport::CtlRig> m_rig;
    QProcess m_server;
    quint16 m_port = 0;
};

void TestE2eComLink::initTestCase()
{
    m_rig = std::make_unique<testsupport::CtlRig>(QStringLiteral(VANTELCTL_PATH));
    QVERIFY(m_rig->startSim({QStringLiteral("--address"), QStringLiteral("5"),
                             QStringLiteral("--voltage"), QStringLiteral("12.34")}));
    QVERIFY(m_rig->start(m_server,
                         {QStringLiteral("--port"), QStringLiteral("COM1"), QStringLiteral("serve"),
                          QStringLiteral("--addresses"), QStringLiteral("5"),
                          QStringLiteral("--listen"), QStringLiteral("127.0.0.1:0"),
                          QStringLiteral("--modbus"), QStringLiteral("0")}));
    QString seen;
    const auto match = waitForErr(
        m_server, seen, QRegularExpression(QStringLiteral("Modbus TCP on 127\\.0\\.0\\.1:(\\d+)")));
    QVERIFY2(match.hasMatch(), qPrintable(seen));
    m_port = quint16(match.captured(1).toUInt());
    // A link may point to a text that is no file: the network line's address.
    QVERIFY(QFile::link(target(), m_rig->path(QStringLiteral("COM9"))));
}

void TestE2eComLink::cleanupTestCase()
{
    if (m_server.state() != QProcess::NotRunning) {
        m_server.kill();
        m_server.waitForFinished();
    }
    m_rig.reset();
}

void TestE2eComLink::commandsThroughTheLink_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QString>("out"); // a pattern of what it prints
    const QStringList com9{QStringLiteral("--port"), QStringLiteral("COM9"),
                           QStringLiteral("--address"), QStringLiteral("5")};
    QTest::newRow("read") << com9 + QStringList{QStringLiteral("read")}
                          << QStringLiteral("\\(set 12\\.34 V");
    QTest::newRow("set") << com9 + QStringList{QStringLiteral("set"), QStringLiteral("--current"),
                                               QStringLiteral("0.5")}
                         << QStringLiteral("sent 0\\.500 A");
    // The serial names beside it stay as they are.
    QTest::newRow("ports") << QStringList{QStringLiteral("ports")}
                           << QStringLiteral(
                                  "^COM1 .*\\n(.*\\n)*COM9 +tcp://127\\.0\\.0\\.1:\\d+ +free$");
}

void TestE2eComLink::commandsThroughTheLink()
{
    QFETCH(QStringList, arguments);
    QFETCH(QString, out);
    const CtlResult result = m_rig->run(arguments);
    QVERIFY2(result.code == 0, qPrintable(result.out + result.err));
    QVERIFY2(
        QRegularExpression(out, QRegularExpression::MultilineOption).match(result.out).hasMatch(),
        qPrintable(result.out + result.err));
}

void TestE2eComLink::aGatewayThatIsGone()
{
    m_server.kill();
    m_server.waitForFinished();
    const CtlResult ports = m_rig->run({QStringLiteral("ports")});
    QCOMPARE(ports.code, 0);
    QVERIFY2(ports.out.contains(QRegularExpression(
                 QStringLiteral("^COM9 +%1 +absent$").arg(QRegularExpression::escape(target())),
                 QRegularExpression::MultilineOption)),
             qPrintable(ports.out));
    const CtlResult read =
        m_rig->run({QStringLiteral("--port"), QStringLiteral("COM9"), QStringLiteral("--address"),
                    QStringLiteral("5"), QStringLiteral("read")});
    QCOMPARE(read.code, kExitNoPort);
    QVERIFY2(read.err.contains(target() + QStringLiteral(" cannot be reached")),
             qPrintable(read.err));
}

QTEST_GUILESS_MAIN(TestE2eComLink)
#include "tst_e2e_comlink.moc"
