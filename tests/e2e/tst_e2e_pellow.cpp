// End to end: pellow's window on the real serial control, talking to vantel-sim
// through a pseudo-terminal published as COM1 in a private port folder.

#include "addrtool/form1.h"
#include "line/enginecommcontrol.h"
#include "protocol/frames.h"
#include "serial/qtcommcontrol.h"
#include "support/recordingmessenger.h"
#include "support/simprocess.h"

#include <QTemporaryDir>
#include <QtTest>

namespace {

constexpr int kWaitMs = 3000; // upper bound for anything that is due to happen
constexpr int kQuietMs = 300; // how long "no reply" is watched for

QByteArray toBytes(const protocol::Frame &frame)
{
    return QByteArray(reinterpret_cast<const char *>(frame.data()),
                      static_cast<qsizetype>(frame.size()));
}

// Sends `request` on an open control and collects what comes back within `ms`.
QByteArray ask(serial::CommControl &comm, const protocol::Frame &request, int replySize, int ms)
{
    comm.setInBufferCount(0);
    comm.setOutput(toBytes(request));
    QByteArray reply;
    // Whether it came in time shows in what was collected.
    static_cast<void>(QTest::qWaitFor(
        [&] {
            reply += comm.Input();
            return reply.size() >= replySize;
        },
        ms));
    return reply;
}

} // namespace

class TestE2ePellow : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void cleanupTestCase();
    void addressChangeConfirmedBySupply();

private:
    QTemporaryDir m_ports;
    testsupport::SimProcess m_sim{m_ports.path()};
};

void TestE2ePellow::initTestCase()
{
    QVERIFY(m_ports.isValid());
    qputenv("VANTEL_PORT_DIR", QFile::encodeName(m_ports.path()));
    QVERIFY(m_sim.start({QStringLiteral("--port"), QStringLiteral("1"), QStringLiteral("--trace")},
                        kWaitMs));
    QCOMPARE(m_sim.port(), QStringLiteral("COM1"));
}

void TestE2ePellow::cleanupTestCase()
{
    // The end of its standard input ends the simulator.
    m_sim.stop();
}

void TestE2ePellow::addressChangeConfirmedBySupply()
{
    std::unique_ptr<line::EngineCommControl> engine = line::makeEngineCommControl();
    line::EngineCommControl &comm = *engine;
    testsupport::RecordingMessenger messenger;
    addrtool::Form1 form(comm, messenger);

    form.C32_Click();
    QCOMPARE(form.Combo1->currentText(), QStringLiteral("COM1"));
    form.C31_Click();
    QVERIFY(comm.PortOpen());
    QCOMPARE(form.Label1->text(), QStringLiteral("Serial port COM1 Opened successfully"));

    form.T15->setText(QStringLiteral("1"));
    form.T20->setText(QStringLiteral("7"));
    form.Command1_Click();
    QTRY_COMPARE_WITH_TIMEOUT(
        messenger.messages,
        QStringList{QStringLiteral("The slave address is set to 7successfully!")}, kWaitMs);
    QCOMPARE(form.Text1->Text(), QStringLiteral("7"));
    QCOMPARE(form.T15->Text(), QStringLiteral("1"));

    // The confirmation came from the supply's own echo of our request.
    const QString request = QStringLiteral("01 06 10 08 00 07 4D 0A");
    m_sim.waitForLine(
        [&](const QString &l) { return l.endsWith(QStringLiteral(" tx ") + request); }, kQuietMs);
    const QString trace = m_sim.lines().join(QLatin1Char('\n'));
    QVERIFY2(trace.contains(QStringLiteral(" rx ") + request), qPrintable(trace));
    QVERIFY2(trace.contains(QStringLiteral(" tx ") + request), qPrintable(trace));

    // Closing releases the port; a plain master then finds the supply at 7 only.
    form.C31_Click();
    QVERIFY(!comm.PortOpen());
    serial::QtCommControl master;
    master.setCommPort(1);
    master.setPortOpen(true);
    QCOMPARE(ask(master, protocol::buildReadStatusRequest(1), 1, kQuietMs), QByteArray());
    const QByteArray reply =
        ask(master, protocol::buildReadStatusRequest(7), protocol::kStatusReplySize, kWaitMs);
    QCOMPARE(protocol::checkStatusReply(reinterpret_cast<const std::uint8_t *>(reply.constData()),
                                        static_cast<std::size_t>(reply.size()), 7),
             protocol::StatusCheck::Ok);
    master.setPortOpen(false);
}

QTEST_MAIN(TestE2ePellow)
#include "tst_e2e_pellow.moc"
