// The QSerialPort control against real pseudo-terminals.
#include "serial/portnames.h"
#include "serial/qtcommcontrol.h"
#include "support/ptyports.h"

#include <QSerialPort>
#include <QSignalSpy>
#include <QTest>
#include <QThread>

#include <ctime>
#include <sys/ioctl.h>

using serial::CommError;
using serial::QtCommControl;
using testsupport::PortHolder;
using testsupport::PtyPorts;

namespace {

// The error number a call throws, 0 when it does not throw.
template <typename F> int errorOf(F &&call)
{
    try {
        call();
    } catch (const CommError &error) {
        return error.number();
    }
    return 0;
}

void openOn(QtCommControl &comm, int port)
{
    comm.setCommPort(port);
    comm.setPortOpen(true);
}

} // namespace

class TestQtCommControl : public QObject {
    Q_OBJECT
private slots:
    void bytesBothWays();
    void frameSurvivesLaterOutBufferClear();
    void outBufferClearKeepsFrameInProgress();
    void inBufferClearDropsWhatTheSystemHolds();
    void writeAfterOtherEndGoneFails();
    void thresholdWithTricklingBytes_data();
    void thresholdWithTricklingBytes();
    void thresholdZeroNeverFires();
    void receiveBufferIsCapped();
    void missingPortIs8002();
    void heldPortIs8005();
    void heldByAnotherProgramIs8005();
    void otherEndGoneClosesWithoutSpinning();
    void portNumberFixedWhileOpen();
    void devicePathMapping_data();
    void devicePathMapping();
};

void TestQtCommControl::bytesBothWays()
{
    PtyPorts ports;
    QVERIFY(!ports.add(1).isEmpty());
    QtCommControl comm;
    openOn(comm, 1);
    QVERIFY(comm.PortOpen());
    QCOMPARE(comm.CommPort(), 1);

    const QByteArray request = QByteArray::fromHex("0103100000068000ff");
    comm.setOutput(request);
    QCOMPARE(ports.receive(1, request.size()), request);

    const QByteArray reply = QByteArray::fromHex("00ff8001fe7f");
    QVERIFY(ports.send(1, reply));
    QTRY_COMPARE(comm.InBufferCount(), reply.size());
    QCOMPARE(comm.Input(), reply);
    QCOMPARE(comm.InBufferCount(), 0);

    // Setting the count to 0 discards what waits.
    QVERIFY(ports.send(1, "abc"));
    QTRY_COMPARE(comm.InBufferCount(), 3);
    comm.setInBufferCount(0);
    QCOMPARE(comm.Input(), QByteArray());

    comm.setPortOpen(false);
    QVERIFY(!comm.PortOpen());
}

void TestQtCommControl::frameSurvivesLaterOutBufferClear()
{
    // A poll followed in the same event-loop turn by a write command, which
    // clears the transmit buffer before it sends: both frames reach the line whole.
    PtyPorts ports;
    QVERIFY(!ports.add(1).isEmpty());
    QtCommControl comm;
    openOn(comm, 1);
    const QByteArray poll = QByteArray::fromHex("010310000006c108");
    const QByteArray write = QByteArray::fromHex("0106100004d20f97");
    comm.setOutBufferCount(0);
    comm.setOutput(poll);
    comm.setOutBufferCount(0);
    comm.setOutput(write);
    QCOMPARE(ports.receive(1, poll.size() + write.size()), poll + write);
}

void TestQtCommControl::outBufferClearKeepsFrameInProgress()
{
    // A block larger than the pty takes at once: Qt keeps its tail while the
    // driver sends the head. Clearing the transmit buffer then drops the frame
    // queued behind it, never the block's tail.
    PtyPorts ports;
    QVERIFY(!ports.add(1).isEmpty());
    QtCommControl comm;
    openOn(comm, 1);
    QByteArray block(256 * 1024, 'b');
    for (int i = 0; i < block.size(); i += 97) {
        block[i] = char(i % 251);
    }
    comm.setOutput(block);
    QVERIFY(comm.findChild<QSerialPort *>()->bytesToWrite() > 0);
    comm.setOutput("dropped");
    comm.setOutBufferCount(0);
    comm.setOutput("after");
    const QByteArray expected = block + "after";
    const QByteArray got = ports.receive(1, int(expected.size()), 20000);
    QCOMPARE(got.size(), expected.size());
    QVERIFY(got == expected);
    QVERIFY(ports.receive(1, 1, 100).isEmpty());
}

void TestQtCommControl::inBufferClearDropsWhatTheSystemHolds()
{
    PtyPorts ports;
    QVERIFY(!ports.add(1).isEmpty());
    QtCommControl comm;
    comm.setRThreshold(1);
    openOn(comm, 1);
    const int fd = comm.findChild<QSerialPort *>()->handle();
    // The stale bytes reach the system's queue while no event loop runs, so the
    // control has not read them when the count is cleared.
    QVERIFY(ports.send(1, "stale"));
    int queued = 0;
    for (int i = 0; i < 400 && queued < 5; ++i) {
        QThread::msleep(5);
        QVERIFY(::ioctl(fd, FIONREAD, &queued) == 0);
    }
    QCOMPARE(queued, 5);
    comm.setInBufferCount(0);
    QTest::qWait(100);
    QCOMPARE(comm.InBufferCount(), 0);
    QVERIFY(ports.send(1, "fresh"));
    QTRY_COMPARE(comm.InBufferCount(), 5);
    QCOMPARE(comm.Input(), QByteArray("fresh"));
}

void TestQtCommControl::writeAfterOtherEndGoneFails()
{
    // The write comes before the control has noticed the hang-up, so the system
    // call itself is refused (EIO) and that must reach the caller.
    PtyPorts ports;
    QVERIFY(!ports.add(1).isEmpty());
    QtCommControl comm;
    openOn(comm, 1);
    ports.hangUp(1);
    QString description;
    try {
        comm.setOutput(QByteArray::fromHex("0006100800053c1a"));
        QFAIL("the write did not fail");
    } catch (const CommError &error) {
        QCOMPARE(error.number(), serial::kErrDeviceIo);
        description = QString::fromStdString(error.what());
    }
    QVERIFY2(description.contains(QStringLiteral("could not be sent")), qPrintable(description));
    QVERIFY(!comm.PortOpen());
    QCOMPARE(errorOf([&] { comm.setOutput("x"); }), serial::kErrPortNotOpen);
}

void TestQtCommControl::thresholdWithTricklingBytes_data()
{
    QTest::addColumn<int>("threshold");
    QTest::newRow("1") << 1;
    QTest::newRow("8") << 8;
    QTest::newRow("17") << 17;
}

void TestQtCommControl::thresholdWithTricklingBytes()
{
    QFETCH(int, threshold);
    PtyPorts ports;
    QVERIFY(!ports.add(2).isEmpty());
    QtCommControl comm;
    comm.setRThreshold(threshold);
    openOn(comm, 2);

    QList<int> countsAtEvent;
    bool onOwnThread = true;
    connect(&comm, &serial::CommControl::OnComm, this, [&] {
        onOwnThread = onOwnThread && QThread::currentThread() == thread();
        QCOMPARE(comm.CommEvent(), serial::CommControl::comEvReceive);
        countsAtEvent << comm.InBufferCount();
    });

    // One byte at a time, each read by the control before the next is sent.
    for (int i = 1; i <= threshold; ++i) {
        QVERIFY(ports.send(2, QByteArray(1, char(i))));
        QTRY_COMPARE(comm.InBufferCount(), i);
        if (i < threshold) {
            QVERIFY(countsAtEvent.isEmpty());
        }
    }
    QCOMPARE(countsAtEvent, QList<int>{threshold});
    QVERIFY(onOwnThread);
    QByteArray expected;
    for (int i = 1; i <= threshold; ++i) {
        expected.append(char(i));
    }
    QCOMPARE(comm.Input(), expected);
}

void TestQtCommControl::thresholdZeroNeverFires()
{
    PtyPorts ports;
    QVERIFY(!ports.add(1).isEmpty());
    QtCommControl comm;
    comm.setRThreshold(0);
    openOn(comm, 1);
    QSignalSpy events(&comm, &serial::CommControl::OnComm);
    for (int i = 0; i < 20; ++i) {
        QVERIFY(ports.send(1, "x"));
        QTest::qWait(2);
    }
    QTRY_COMPARE(comm.InBufferCount(), 20);
    QTest::qWait(50);
    QCOMPARE(events.count(), 0);
}

void TestQtCommControl::receiveBufferIsCapped()
{
    PtyPorts ports;
    QVERIFY(!ports.add(1).isEmpty());
    QtCommControl comm;
    comm.setInBufferSize(1024);
    comm.setRThreshold(0);
    openOn(comm, 1);
    QByteArray flood;
    for (int i = 0; i < 3000; ++i) {
        flood.append(char(i % 251));
    }
    QVERIFY(ports.send(1, flood));
    QTRY_COMPARE(comm.InBufferCount(), 1024);
    QTest::qWait(100); // the rest has arrived and been dropped
    QCOMPARE(comm.InBufferCount(), 1024);
    QCOMPARE(comm.Input(), flood.left(1024)); // the oldest bytes are kept
}

void TestQtCommControl::missingPortIs8002()
{
    PtyPorts ports;
    QVERIFY(!ports.add(1).isEmpty());
    QtCommControl comm;
    QCOMPARE(comm.probePort(2), serial::kErrPortNotFound);
    comm.setCommPort(2);
    QCOMPARE(errorOf([&] { comm.setPortOpen(true); }), serial::kErrPortNotFound);
    QVERIFY(!comm.PortOpen());

    // A link whose device went away is no port either.
    ports.hangUp(1);
    QCOMPARE(comm.probePort(1), serial::kErrPortNotFound);
    comm.setCommPort(1);
    QCOMPARE(errorOf([&] { comm.setPortOpen(true); }), serial::kErrPortNotFound);
}

void TestQtCommControl::heldPortIs8005()
{
    PtyPorts ports;
    QVERIFY(!ports.add(3).isEmpty());
    ports.alias(4, 3); // a second name for the same device
    QtCommControl comm;
    QCOMPARE(comm.probePort(3), 0);
    openOn(comm, 3);

    // Held by this control: probing leaves it open; opening again fails.
    QCOMPARE(comm.probePort(3), serial::kErrPortInUse);
    QVERIFY(comm.PortOpen());
    QCOMPARE(errorOf([&] { comm.setPortOpen(true); }), serial::kErrPortInUse);
    QVERIFY(comm.PortOpen());

    // Held by another control of this program, under either name.
    QtCommControl other;
    QCOMPARE(other.probePort(3), serial::kErrPortInUse);
    QCOMPARE(other.probePort(4), serial::kErrPortInUse);
    other.setCommPort(3);
    QCOMPARE(errorOf([&] { other.setPortOpen(true); }), serial::kErrPortInUse);
    other.setCommPort(4);
    QCOMPARE(errorOf([&] { other.setPortOpen(true); }), serial::kErrPortInUse);
    QVERIFY(!other.PortOpen());

    // Released: the other control gets it.
    comm.setPortOpen(false);
    QCOMPARE(errorOf([&] { other.setPortOpen(true); }), 0);
    QCOMPARE(comm.probePort(3), serial::kErrPortInUse);
}

void TestQtCommControl::heldByAnotherProgramIs8005()
{
    PtyPorts ports;
    QVERIFY(!ports.add(5).isEmpty());
    QtCommControl comm;
    {
        PortHolder holder;
        QVERIFY(holder.start(5));
        QCOMPARE(comm.probePort(5), serial::kErrPortInUse);
        comm.setCommPort(5);
        QCOMPARE(errorOf([&] { comm.setPortOpen(true); }), serial::kErrPortInUse);
        QVERIFY(!comm.PortOpen());
    }
    // Once the other program has ended, the port opens.
    QCOMPARE(errorOf([&] { comm.setPortOpen(true); }), 0);
    QVERIFY(comm.PortOpen());
}

void TestQtCommControl::otherEndGoneClosesWithoutSpinning()
{
    PtyPorts ports;
    QVERIFY(!ports.add(1).isEmpty());
    QtCommControl comm;
    comm.setRThreshold(1);
    openOn(comm, 1);
    auto *device = comm.findChild<QSerialPort *>();
    QVERIFY(device);
    int errors = 0;
    connect(device, &QSerialPort::errorOccurred, this, [&](QSerialPort::SerialPortError e) {
        if (e != QSerialPort::NoError) {
            ++errors;
        }
    });
    comm.setOutput("unsent"); // still queued when the line goes
    QVERIFY(ports.send(1, "ab"));
    QTRY_COMPARE(comm.InBufferCount(), 2);

    ports.hangUp(1);
    QTRY_VERIFY(!comm.PortOpen());
    QCOMPARE(comm.InBufferCount(), 0);

    // Dead handles can raise errors continuously; after closing there are none.
    const std::clock_t cpuBefore = std::clock();
    const int errorsAtClose = errors;
    QTest::qWait(500);
    const double cpuMs = 1000.0 * double(std::clock() - cpuBefore) / CLOCKS_PER_SEC;
    QVERIFY2(errorsAtClose <= 4, qPrintable(QString::number(errorsAtClose)));
    QCOMPARE(errors, errorsAtClose);
    QVERIFY2(cpuMs < 250, qPrintable(QStringLiteral("%1 ms CPU while idle").arg(cpuMs)));

    QCOMPARE(errorOf([&] { comm.setOutput("x"); }), serial::kErrPortNotOpen);
    QCOMPARE(errorOf([&] { comm.setPortOpen(true); }), serial::kErrPortNotFound);
}

void TestQtCommControl::portNumberFixedWhileOpen()
{
    PtyPorts ports;
    QVERIFY(!ports.add(1).isEmpty());
    QtCommControl comm;
    QCOMPARE(errorOf([&] { comm.setOutput("x"); }), serial::kErrPortNotOpen);
    openOn(comm, 1);
    QCOMPARE(errorOf([&] { comm.setCommPort(2); }), serial::kErrPortAlreadyOpen);
    QCOMPARE(comm.CommPort(), 1);
    // Settings and buffer counts may change while open or closed.
    comm.setSettings(QStringLiteral("19200,e,7,2"));
    comm.setOutBufferCount(0);
    comm.setPortOpen(false);
    comm.setSettings(QStringLiteral("9600,n,8,1"));
    QCOMPARE(errorOf([&] { comm.setSettings(QStringLiteral("9600,x,8,1")); }),
             serial::kErrInvalidValue);
}

void TestQtCommControl::devicePathMapping_data()
{
    QTest::addColumn<bool>("portDirSet");
    QTest::addColumn<bool>("linkInHome");
    QTest::addColumn<int>("port");
    QTest::addColumn<QString>("expected"); // relative to the port dir or HOME, else absolute

    QTest::newRow("port dir, entry absent") << true << true << 3 << "$PORTS/COM3";
    QTest::newRow("port dir, other number") << true << false << 12 << "$PORTS/COM12";
    QTest::newRow("home link exists") << false << true << 3 << "$HOME/.config/vantel/ports/COM3";
    QTest::newRow("no home link") << false << true << 2 << "/dev/ttyS1";
    QTest::newRow("first port") << false << false << 1 << "/dev/ttyS0";
    QTest::newRow("sixteenth port") << false << false << 16 << "/dev/ttyS15";
}

void TestQtCommControl::devicePathMapping()
{
    QFETCH(bool, portDirSet);
    QFETCH(bool, linkInHome);
    QFETCH(int, port);
    QFETCH(QString, expected);

    const QByteArray savedHome = qgetenv("HOME");
    QTemporaryDir home;
    QTemporaryDir portDir;
    qputenv("HOME", home.path().toLocal8Bit());
    if (linkInHome) {
        QVERIFY(QDir(home.path()).mkpath(QStringLiteral(".config/vantel/ports")));
        QVERIFY(QFile::link(QStringLiteral("/dev/null"),
                            home.filePath(QStringLiteral(".config/vantel/ports/COM3"))));
    }
    if (portDirSet) {
        qputenv("VANTEL_PORT_DIR", portDir.path().toLocal8Bit());
    } else {
        qunsetenv("VANTEL_PORT_DIR");
    }
    expected.replace(QStringLiteral("$PORTS"), portDir.path());
    expected.replace(QStringLiteral("$HOME"), home.path());
    const QString actual = serial::devicePath(port);

    // An empty VANTEL_PORT_DIR counts as unset.
    qputenv("VANTEL_PORT_DIR", QByteArray());
    const QString withEmptyDir = serial::devicePath(port);
    qunsetenv("VANTEL_PORT_DIR");
    const QString unset = serial::devicePath(port);
    qputenv("HOME", savedHome);

    QCOMPARE(actual, expected);
    QCOMPARE(withEmptyDir, unset);
}

QTEST_GUILESS_MAIN(TestQtCommControl)
#include "tst_qtcommcontrol.moc"
