// vantel's port row against the simulated supply: the port it publishes is found,
// opened, answers a status request, and closes.
#include "monitor/form1.h"
#include "protocol/frames.h"
#include "serial/qtcommcontrol.h"
#include "support/recordingmessenger.h"
#include "support/simprocess.h"

#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

class TestPortsWithSim : public QObject {
    Q_OBJECT
private slots:
    void findOpenAskClose();
};

void TestPortsWithSim::findOpenAskClose()
{
    QTemporaryDir portDir;
    qputenv("VANTEL_PORT_DIR", portDir.path().toLocal8Bit());
    testsupport::SimProcess sim(portDir.path());
    QVERIFY(sim.start({"--port", "2"}, 5000));
    QCOMPARE(sim.port(), QStringLiteral("COM2"));

    serial::QtCommControl comm;
    testsupport::RecordingMessenger messages;
    monitor::Form1 form(comm, messages);
    form.C32_Click();
    QCOMPARE(form.Combo1->count(), 1);
    QCOMPARE(form.Combo1->currentText(), QStringLiteral("COM2"));

    form.C31_Click();
    QCOMPARE(form.Label1->text(), QStringLiteral("Serial port COM2 Opened successfully"));
    QVERIFY(form.portOpened);

    // The receive event comes once the whole 17-byte reply waits; the window's own
    // receive handler is left out so that the reply stays in the buffer.
    QObject::disconnect(&comm, &serial::CommControl::OnComm, &form, nullptr);
    QSignalSpy events(&comm, &serial::CommControl::OnComm);
    const protocol::Frame request = protocol::buildReadStatusRequest(1);
    comm.setOutput(QByteArray(reinterpret_cast<const char *>(request.data()),
                              static_cast<int>(request.size())));
    QTRY_VERIFY_WITH_TIMEOUT(events.count() >= 1, 3000);
    QCOMPARE(comm.InBufferCount(), 17);
    const QByteArray reply = comm.Input();
    QCOMPARE(protocol::checkStatusReply(reinterpret_cast<const std::uint8_t *>(reply.constData()),
                                        static_cast<std::size_t>(reply.size()), 1),
             protocol::StatusCheck::Ok);

    form.C31_Click();
    QVERIFY(!comm.PortOpen());
    QCOMPARE(form.Label1->text(), QStringLiteral("The serial port has been closed "));
    QVERIFY(messages.messages.isEmpty());

    sim.stop();
    qunsetenv("VANTEL_PORT_DIR");
}

QTEST_MAIN(TestPortsWithSim)
#include "tst_ports_sim.moc"
