// The QSerialPort control against real pseudo-terminals.
#include "serial/qtcommcontrol.h"
#include "support/ptyports.h"

#include <QSerialPort>
#include <QSignalSpy>
#include <QTest>
#include <QThread>
#include <QTimer>

#include <ctime>
#include <grp.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <tuple>

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
    void replyOfKnownLengthWakesOnce();
    void unwatchedBytesWaitInTheSystem_data();
    void unwatchedBytesWaitInTheSystem();
    void devicePathInsteadOfComName();
    void receiveBufferIsCapped();
    void missingPortIs8002();
    void heldPortIs8005();
    void heldByAnotherProgramIs8005();
    void openFailureClasses_data();
    void openFailureClasses();
    void otherEndGoneClosesWithoutSpinning();
    void portNumberFixedWhileOpen();
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

    // One byte at a time, each received before the next is sent. Bytes the tty
    // holds back for the threshold count as received; the event comes once the
    // threshold's last byte has been read.
    for (int i = 1; i <= threshold; ++i) {
        QVERIFY(ports.send(2, QByteArray(1, char(i))));
        QTRY_COMPARE(comm.InBufferCount(), i);
        if (i < threshold) {
            QVERIFY(countsAtEvent.isEmpty());
        }
    }
    QTRY_COMPARE(countsAtEvent, QList<int>{threshold});
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

void TestQtCommControl::replyOfKnownLengthWakesOnce()
{
    // Bytes a character apart, as a supply sends them: with a threshold of 17 the
    // tty is not readable until the 17th, so the port reads once, not 17 times.
    PtyPorts ports;
    QVERIFY(!ports.add(1).isEmpty());
    QtCommControl comm;
    comm.setRThreshold(17);
    openOn(comm, 1);
    QSignalSpy reads(comm.findChild<QSerialPort *>(), &QSerialPort::readyRead);
    QSignalSpy events(&comm, &serial::CommControl::OnComm);
    for (int i = 0; i < 17; ++i) {
        QTimer::singleShot(i, Qt::PreciseTimer, this,
                           [&ports, i] { ports.send(1, QByteArray(1, char(i))); });
    }
    QTRY_COMPARE(events.count(), 1);
    QCOMPARE(reads.count(), 1);
    QCOMPARE(comm.Input().size(), 17);

    // A lower threshold is asked for at once: what waits below the old one comes.
    QVERIFY(ports.send(1, "abc"));
    QTRY_COMPARE(comm.InBufferCount(), 3);
    QCOMPARE(events.count(), 1);
    comm.setRThreshold(1);
    QTRY_COMPARE(events.count(), 2);
    QCOMPARE(comm.Input(), QByteArray("abc"));
}

void TestQtCommControl::unwatchedBytesWaitInTheSystem_data()
{
    QTest::addColumn<int>("threshold");
    QTest::newRow("every byte") << 1;
    QTest::newRow("a whole reply") << 17;
}

void TestQtCommControl::unwatchedBytesWaitInTheSystem()
{
    // Unwatched, a reply's bytes neither wake the port nor fire an event, yet
    // count as waiting; watched again, they come at once, in one read.
    QFETCH(int, threshold);
    PtyPorts ports;
    QVERIFY(!ports.add(1).isEmpty());
    QtCommControl comm;
    comm.setRThreshold(threshold);
    openOn(comm, 1);
    QSignalSpy reads(comm.findChild<QSerialPort *>(), &QSerialPort::readyRead);
    QSignalSpy events(&comm, &serial::CommControl::OnComm);
    comm.setInputWatched(false);
    for (int i = 0; i < 17; ++i) {
        QVERIFY(ports.send(1, QByteArray(1, char(i))));
        QTest::qWait(1);
    }
    QTRY_COMPARE(comm.InBufferCount(), 17);
    QTest::qWait(20);
    QCOMPARE(reads.count(), 0);
    QCOMPARE(events.count(), 0);

    comm.setInputWatched(true);
    QTRY_COMPARE(events.count(), 1);
    QCOMPARE(reads.count(), 1);
    QCOMPARE(comm.Input().size(), 17);

    // The next open watches again, whatever the last one was told.
    comm.setInputWatched(false);
    comm.setPortOpen(false);
    openOn(comm, 1);
    QVERIFY(ports.send(1, QByteArray(17, 'x')));
    QTRY_COMPARE(events.count(), 2);
}

void TestQtCommControl::devicePathInsteadOfComName()
{
    // A device path given outright is opened whatever COMn names; a missing one is 8002.
    PtyPorts ports;
    const QString device = ports.add(2);
    ports.unlink(2);
    QtCommControl comm;
    comm.setCommPort(2);
    QCOMPARE(errorOf([&] { comm.setPortOpen(true); }), serial::kErrPortNotFound);
    comm.setDevicePath(device);
    comm.setPortOpen(true);
    comm.setOutput("ab");
    QCOMPARE(ports.receive(2, 2), QByteArray("ab"));
    comm.setPortOpen(false);
    comm.setDevicePath(QStringLiteral("/nonexistent/ttyUSB9"));
    QCOMPARE(errorOf([&] { comm.setPortOpen(true); }), serial::kErrPortNotFound);
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

namespace {

enum class Setup { HeldElsewhere, Exclusive, GroupOnly, NoOne, Absent };

// Opens COM1 in a child running as the unprivileged user `nobody`; returns its
// error number and message, or -1 and why when privileges cannot be dropped.
std::pair<int, QString> openAsNobody()
{
    QProcess child;
    child.start(QStringLiteral("setpriv"),
                {QStringLiteral("--reuid=nobody"), QStringLiteral("--regid=nogroup"),
                 QStringLiteral("--clear-groups"), QStringLiteral(VANTEL_HOLD_PORT_EXE),
                 QStringLiteral("1")});
    if (!child.waitForStarted(5000) || !child.waitForReadyRead(10000)) {
        return {-1, QString::fromLocal8Bit(child.readAllStandardError())};
    }
    const QString line = QString::fromLocal8Bit(child.readAllStandardOutput()).trimmed();
    child.closeWriteChannel();
    child.waitForFinished(5000);
    if (line.startsWith(QLatin1String("held"))) {
        return {0, line};
    }
    const QStringList parts = line.split(QLatin1Char(' '));
    return {parts.value(1).toInt(), line.section(QLatin1Char(' '), 2)};
}

} // namespace

void TestQtCommControl::openFailureClasses_data()
{
    QTest::addColumn<int>("setup");
    QTest::addColumn<bool>("asNobody");
    QTest::addColumn<int>("number");
    QTest::addColumn<QString>("says");
    QTest::newRow("lock file of a live process")
        << int(Setup::HeldElsewhere) << false << serial::kErrPortInUse << QString();
    QTest::newRow("device refuses a second opener (EBUSY)")
        << int(Setup::Exclusive) << true << serial::kErrPortInUse << QString();
    QTest::newRow("user not in the device's group")
        << int(Setup::GroupOnly) << true << serial::kErrNoAccess << "sudo adduser nobody $GROUP\n";
    QTest::newRow("nobody but the owner may use it")
        << int(Setup::NoOne) << true << serial::kErrNoAccess << "Its permissions (0000)";
    QTest::newRow("absent device")
        << int(Setup::Absent) << false << serial::kErrPortNotFound << QString();
}

void TestQtCommControl::openFailureClasses()
{
    QFETCH(int, setup);
    QFETCH(bool, asNobody);
    QFETCH(int, number);
    QFETCH(QString, says);
    if (asNobody && ::geteuid() != 0) {
        QSKIP("needs root to run the opener as another user");
    }
    PtyPorts ports;
    const QString device = ports.add(1);
    QVERIFY(!device.isEmpty());
    // The unprivileged child must reach the COM links.
    QVERIFY(QFile::setPermissions(ports.dir(), QFile::ReadOwner | QFile::WriteOwner |
                                                   QFile::ExeOwner | QFile::ReadOther |
                                                   QFile::ExeOther));
    PortHolder holder;
    int exclusive = -1;
    switch (Setup(setup)) {
    case Setup::HeldElsewhere:
        QVERIFY(holder.start(1));
        break;
    case Setup::Exclusive:
        // Held without a lock file, as programs that do not use Qt hold a port.
        QVERIFY(::chmod(device.toLocal8Bit().constData(), 0666) == 0);
        exclusive = ::open(device.toLocal8Bit().constData(), O_RDWR | O_NOCTTY);
        QVERIFY(exclusive >= 0 && ::ioctl(exclusive, TIOCEXCL) == 0);
        break;
    case Setup::GroupOnly:
        QVERIFY(::chmod(device.toLocal8Bit().constData(), 0660) == 0);
        break;
    case Setup::NoOne:
        QVERIFY(::chmod(device.toLocal8Bit().constData(), 0000) == 0);
        break;
    case Setup::Absent:
        ports.hangUp(1);
        break;
    }

    int got = 0;
    QString message;
    if (asNobody) {
        std::tie(got, message) = openAsNobody();
        if (got < 0) {
            QSKIP(qPrintable(QStringLiteral("cannot drop privileges: ") + message));
        }
    } else {
        QtCommControl comm;
        QCOMPARE(comm.probePort(1), number);
        comm.setCommPort(1);
        try {
            comm.setPortOpen(true);
        } catch (const CommError &error) {
            got = error.number();
            message = QString::fromStdString(error.what());
        }
    }
    if (exclusive >= 0) {
        ::close(exclusive);
    }
    QCOMPARE(got, number);
    if (number == serial::kErrNoAccess) {
        struct stat status {};
        QVERIFY(::stat(device.toLocal8Bit().constData(), &status) == 0);
        const QString group = QString::fromLocal8Bit(::getgrgid(status.st_gid)->gr_name);
        says.replace(QStringLiteral("$GROUP"), group);
        QVERIFY2(message.startsWith(QStringLiteral("You may not open COM1 (%1, group %2).")
                                        .arg(QFileInfo(device).canonicalFilePath(), group)),
                 qPrintable(message));
    }
    QVERIFY2(message.contains(says), qPrintable(message));
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

    QSignalSpy lost(&comm, &serial::CommControl::portLost);
    ports.hangUp(1);
    QTRY_VERIFY(!comm.PortOpen());
    QCOMPARE(comm.InBufferCount(), 0);
    QCOMPARE(lost.count(), 1);
    QVERIFY(!lost.first().first().toString().isEmpty());

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

QTEST_GUILESS_MAIN(TestQtCommControl)
#include "tst_qtcommcontrol.moc"
