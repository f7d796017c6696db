// COM names over a fake Linux device tree: UARTs, adapters plugged and pulled,
// links of the user's own and the links the search makes.
#include "serial/linuxports.h"
#include "serial/portnames.h"
#include "support/fakedevices.h"

#include <QRegularExpression>
#include <QTest>

using testsupport::FakeDevices;

namespace {

struct AdapterKind {
    QString serialNumber;
    int jack;
};

// A and B carry serial numbers; N and M are identical adapters without one.
const QMap<QString, AdapterKind> kAdapters{
    {QStringLiteral("A"), {QStringLiteral("A10001"), 1}},
    {QStringLiteral("B"), {QStringLiteral("B20002"), 2}},
    {QStringLiteral("N"), {QString(), 3}},
    {QStringLiteral("M"), {QString(), 4}},
};

} // namespace

class TestPortNames : public QObject {
    Q_OBJECT
private slots:
    void resolution_data();
    void resolution();
    void portDirIsAClosedWorld();
    void accessAdvice_data();
    void accessAdvice();
};

void TestPortNames::resolution_data()
{
    // Steps, in order: +X plugs adapter X in, -X pulls it out; uartN / phantomN
    // make ttySN with or without a UART; userN>X links COMN to X's kernel device
    // by hand, userN>gone to a device that is absent, usersA-B does that for
    // COMA..COMB; ? runs the search's naming. Checks: X=N (COMN leads to X), none=N
    // (COMN leads nowhere), uart=N (COMN is ttyS(N-1)), made=K (links the last ?
    // made), kept=N (the user's COMN link is untouched).
    QTest::addColumn<QString>("steps");
    QTest::newRow("serial numbers, replugged in the other order")
        << "+A +B ? made=2 A=1 B=2 -A -B +B +A ? made=0 A=1 B=2";
    QTest::newRow("no serial numbers: the jack keeps the number")
        << "+N +M ? made=2 N=1 M=2 -N -M +M +N ? made=0 N=1 M=2";
    QTest::newRow("an unplugged adapter keeps its number")
        << "+A ? -A +B ? made=1 none=1 B=2 +A ? made=0 A=1 B=2";
    QTest::newRow("a phantom ttyS is no port, a UART keeps its number")
        << "phantom0 uart1 phantom2 +A +N ? made=2 A=1 uart=2 N=3 none=4";
    QTest::newRow("a user's link to an absent device stays")
        << "user1>gone +A ? made=1 none=1 kept=1 A=2 -A ? made=0 kept=1";
    QTest::newRow("a user's link to the adapter: no second name")
        << "+A user5>A ? made=0 A=5 none=1";
    QTest::newRow("first search: plugging order, gaps filled")
        << "user2>gone +B +N +A ? made=3 B=1 N=3 A=4 kept=2";
    QTest::newRow("16 names taken") << "users1-16 +A ? made=0 kept=16";
    QTest::newRow("15 names taken") << "users2-16 +A +B ? made=1 A=1 none=17";
}

void TestPortNames::resolution()
{
    QFETCH(QString, steps);
    FakeDevices devices;
    const serial::PortNames names = devices.names();
    QMap<QString, QString> kernelOf; // adapter letter -> ttyUSBn while plugged
    QMap<int, QString> userLinks;    // COMn -> target of the user's own link
    int made = 0;

    const auto userLink = [&](int port, const QString &target) {
        QDir().mkpath(devices.linkDir());
        const QString link = devices.linkDir() + QStringLiteral("/COM%1").arg(port);
        QVERIFY(QFile::link(target, link));
        userLinks.insert(port, target);
    };

    static const QRegularExpression kCheck(QStringLiteral("^(\\w+)=(\\d+)$"));
    static const QRegularExpression kUser(QStringLiteral("^user(\\d+)>(\\w+)$"));
    static const QRegularExpression kUsers(QStringLiteral("^users(\\d+)-(\\d+)$"));
    for (const QString &step : steps.split(QLatin1Char(' '))) {
        const QString what = step.mid(1);
        if (step.startsWith(QLatin1Char('+'))) {
            kernelOf[what] = devices.plug(kAdapters[what].serialNumber, kAdapters[what].jack);
            QVERIFY(!kernelOf[what].isEmpty());
        } else if (step.startsWith(QLatin1Char('-'))) {
            devices.unplug(kernelOf.take(what));
        } else if (step == QLatin1String("?")) {
            made = int(names.assignAdapterNames().size());
        } else if (step.startsWith(QLatin1String("uart")) ||
                   step.startsWith(QLatin1String("phantom"))) {
            devices.addTtyS(step.right(1).toInt(), step.startsWith(QLatin1String("uart")));
        } else if (const auto user = kUser.match(step); user.hasMatch()) {
            const QString to = user.captured(2);
            userLink(user.captured(1).toInt(), to == QLatin1String("gone")
                                                   ? devices.path(QStringLiteral("dev/ttyUSB99"))
                                                   : devices.path("dev/" + kernelOf[to]));
        } else if (const auto users = kUsers.match(step); users.hasMatch()) {
            for (int port = users.captured(1).toInt(); port <= users.captured(2).toInt(); ++port) {
                userLink(port, devices.path(QStringLiteral("dev/ttyUSB%1").arg(90 + port)));
            }
        } else if (const auto check = kCheck.match(step); check.hasMatch()) {
            const QString key = check.captured(1);
            const int port = check.captured(2).toInt();
            const QString device = names.devicePath(port);
            const QString reached = QFileInfo(device).canonicalFilePath();
            const QString where = step + QStringLiteral(" gives ") + device;
            if (key == QLatin1String("made")) {
                QCOMPARE(made, port);
            } else if (key == QLatin1String("none")) {
                QVERIFY2(reached.isEmpty(), qPrintable(where));
            } else if (key == QLatin1String("uart")) {
                QCOMPARE(device, devices.path(QStringLiteral("dev/ttyS%1").arg(port - 1)));
            } else if (key == QLatin1String("kept")) {
                QCOMPARE(QFileInfo(device).symLinkTarget(), userLinks.value(port));
            } else {
                QVERIFY2(kernelOf.contains(key), qPrintable(step));
                QVERIFY2(reached == devices.pty(kernelOf[key]), qPrintable(where));
                // A link the search made leads to the adapter's stable name.
                const QString target = QFileInfo(device).symLinkTarget();
                if (!userLinks.contains(port)) {
                    const bool bySerial = !kAdapters[key].serialNumber.isEmpty();
                    QVERIFY2(target.contains(bySerial ? QLatin1String("/dev/serial/by-id/")
                                                      : QLatin1String("/dev/serial/by-path/")),
                             qPrintable(target));
                }
            }
        } else {
            QFAIL(qPrintable(QStringLiteral("unknown step ") + step));
        }
    }
}

void TestPortNames::portDirIsAClosedWorld()
{
    // With $VANTEL_PORT_DIR set, COMn is its entry and nothing else, and no
    // adapter is named.
    FakeDevices devices;
    QTemporaryDir ports;
    qputenv("VANTEL_PORT_DIR", ports.path().toLocal8Bit());
    const serial::PortNames machine;
    QCOMPARE(machine.devicePath(3), ports.filePath(QStringLiteral("COM3")));
    QCOMPARE(serial::devicePath(12), ports.filePath(QStringLiteral("COM12")));
    QVERIFY(machine.assignAdapterNames().isEmpty());
    // A tree given explicitly ignores the variable.
    devices.addTtyS(0, true);
    QCOMPARE(devices.names().devicePath(1), devices.path(QStringLiteral("dev/ttyS0")));
    qunsetenv("VANTEL_PORT_DIR");
}

void TestPortNames::accessAdvice_data()
{
    QTest::addColumn<bool>("groupMayUse");
    QTest::addColumn<bool>("userInGroup");
    QTest::addColumn<bool>("sessionHasGroup");
    QTest::addColumn<QString>("advice");
    QTest::newRow("not in the group") << true << false << false << "sudo adduser ann dialout\n";
    QTest::newRow("in the group, not yet in this session")
        << true << true << false << "this login session does not have it yet: log out and log in";
    QTest::newRow("the group may not use it")
        << false << false << false << "Its permissions (0600) do not let the group";
    QTest::newRow("refused all the same") << true << true << true << "refuses: Permission denied";
}

void TestPortNames::accessAdvice()
{
    QFETCH(bool, groupMayUse);
    QFETCH(bool, userInGroup);
    QFETCH(bool, sessionHasGroup);
    QFETCH(QString, advice);
    serial::AccessFacts facts;
    facts.portName = QStringLiteral("COM3");
    facts.device = QStringLiteral("/dev/ttyUSB0");
    facts.group = QStringLiteral("dialout");
    facts.user = QStringLiteral("ann");
    facts.mode = groupMayUse ? 0660 : 0600;
    facts.groupMayUse = groupMayUse;
    facts.userInGroup = userInGroup;
    facts.sessionHasGroup = sessionHasGroup;
    facts.reason = QStringLiteral("Permission denied");
    const QString text = serial::accessAdvice(facts);
    QVERIFY2(
        text.startsWith(QStringLiteral("You may not open COM3 (/dev/ttyUSB0, group dialout).")),
        qPrintable(text));
    QVERIFY2(text.contains(advice), qPrintable(text));
}

QTEST_GUILESS_MAIN(TestPortNames)
#include "tst_portnames.moc"
