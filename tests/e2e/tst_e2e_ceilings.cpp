// End to end: a ceiling that one program of ours holds on a supply holds for every
// program on the line. `serve` (VOLT:PROT over SCPI) or a run's `limit` holds
// 10 V on the simulator's supply; a `set --voltage 20` that joins the line is
// refused with the ceiling and its holder named, and nothing reaches the supply.
// The ceiling leaves with its holder, also when it is killed, and stays through a
// handover of the line. A supply under a ceiling keeps its address, and no supply
// moves onto an address under a ceiling, whether the shell or Modbus TCP asks.
#include "support/ctlrig.h"

#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QTcpSocket>
#include <QtTest>

#include <csignal>
#include <memory>

namespace {

using testsupport::CtlResult;
using testsupport::waitForErr;

constexpr int kAddress = 5;
constexpr int kWaitMs = 20000;

int fileLines(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        return 0;
    }
    return static_cast<int>(file.readAll().count('\n'));
}

} // namespace

class TestE2eCeilings : public QObject {
    Q_OBJECT
private slots:
    void cleanup();
    void aCeilingHoldsForJoiners_data();
    void aCeilingHoldsForJoiners();
    void aCeilingSurvivesAHandover_data();
    void aCeilingSurvivesAHandover();
    void aSupplyUnderACeilingKeepsItsAddress_data();
    void aSupplyUnderACeilingKeepsItsAddress();

private:
    QStringList common() const
    {
        return {QStringLiteral("--port"), QStringLiteral("COM1"), QStringLiteral("--address"),
                QString::number(kAddress)};
    }
    QProcess *started(const QStringList &arguments);
    QProcess *startLog(const QString &name);
    // A holder of a 10 V ceiling on the supply, once it holds it.
    QProcess *startHolder(const QString &holder, const QStringList &extra = {});
    QString setSupply(const QString &volts, int expectedCode);
    QString supplyStatus()
    {
        return m_rig->sim().command(QStringLiteral("status %1").arg(kAddress));
    }

    QString m_holderErr; // what the holder has said so far
    std::unique_ptr<testsupport::CtlRig> m_rig;
    std::vector<std::unique_ptr<QProcess>> m_processes;
    QTcpSocket m_scpi;
};

void TestE2eCeilings::cleanup()
{
    m_scpi.abort();
    m_holderErr.clear();
    testsupport::killAll(m_processes);
    m_rig.reset();
}

QProcess *TestE2eCeilings::started(const QStringList &arguments)
{
    m_processes.push_back(std::make_unique<QProcess>());
    QProcess *process = m_processes.back().get();
    return m_rig->start(*process, common() + arguments) ? process : nullptr;
}

QProcess *TestE2eCeilings::startLog(const QString &name)
{
    const QString file = m_rig->path(name);
    QProcess *log = started({QStringLiteral("log"), QStringLiteral("--interval"),
                             QStringLiteral("200"), QStringLiteral("--duration"),
                             QStringLiteral("60s"), QStringLiteral("--output"), file});
    // It has the line once its first row is there.
    QDeadlineTimer deadline(kWaitMs);
    while (log && fileLines(file) < 2 && !deadline.hasExpired()) {
        QTest::qWait(50);
    }
    return log && fileLines(file) >= 2 ? log : nullptr;
}

QProcess *TestE2eCeilings::startHolder(const QString &holder, const QStringList &extra)
{
    if (holder == QLatin1String("run")) {
        const QString sequence = m_rig->path(QStringLiteral("limit.txt"));
        QFile file(sequence);
        if (!file.open(QIODevice::WriteOnly) || file.write("limit 10V\nhold 60s\n") < 0) {
            return nullptr;
        }
        file.close();
        const QString rows = m_rig->path(QStringLiteral("run.csv"));
        QProcess *run = started({QStringLiteral("run"), sequence, QStringLiteral("--interval"),
                                 QStringLiteral("200"), QStringLiteral("--output"), rows});
        // The run holds its limit from its start; its rows say it has started.
        QDeadlineTimer deadline(kWaitMs);
        while (run && fileLines(rows) < 2 && !deadline.hasExpired()) {
            QTest::qWait(50);
        }
        return fileLines(rows) >= 2 ? run : nullptr;
    }
    QProcess *server = started(QStringList{QStringLiteral("serve"), QStringLiteral("--listen"),
                                           QStringLiteral("127.0.0.1:0")} +
                               extra);
    if (!server) {
        return nullptr;
    }
    QString err = m_holderErr;
    const auto listening =
        waitForErr(*server, err, QRegularExpression(QStringLiteral("listening on [\\d.]+:(\\d+)")));
    m_holderErr = err;
    if (!listening.hasMatch()) {
        qWarning("%s", qPrintable(err));
        return nullptr;
    }
    m_scpi.connectToHost(QStringLiteral("127.0.0.1"), listening.captured(1).toUShort());
    if (!m_scpi.waitForConnected(kWaitMs)) {
        return nullptr;
    }
    m_scpi.write("VOLT:PROT 10;VOLT:PROT?\n");
    QByteArray answer;
    QDeadlineTimer deadline(kWaitMs);
    while (!answer.endsWith('\n') && !deadline.hasExpired()) {
        m_scpi.waitForReadyRead(100);
        answer += m_scpi.readAll();
    }
    return answer == "10.00\n" ? server : nullptr;
}

QString TestE2eCeilings::setSupply(const QString &volts, int expectedCode)
{
    const CtlResult set = m_rig->run(
        common() + QStringList{QStringLiteral("set"), QStringLiteral("--voltage"), volts});
    if (set.code != expectedCode) {
        return QStringLiteral("exit %1: %2%3").arg(set.code).arg(set.out, set.err);
    }
    return set.err;
}

void TestE2eCeilings::aCeilingHoldsForJoiners_data()
{
    QTest::addColumn<QString>("holder");
    QTest::addColumn<QString>("line");
    for (const char *line : {"timed", "instant"}) {
        for (const char *holder : {"serve", "run"}) {
            QTest::addRow("%s, %s", holder, line)
                << QString::fromUtf8(holder) << QString::fromUtf8(line);
        }
    }
}

void TestE2eCeilings::aCeilingHoldsForJoiners()
{
    QFETCH(QString, holder);
    QFETCH(QString, line);
    m_rig = std::make_unique<testsupport::CtlRig>(QStringLiteral(VANTELCTL_PATH));
    QVERIFY(m_rig->startSim(
        {QStringLiteral("--address"), QString::number(kAddress), QStringLiteral("--line"), line}));
    // serve owns the line itself; a run joins a log's, and registers its limit with it.
    if (holder == QLatin1String("run")) {
        QVERIFY(startLog(QStringLiteral("owner.csv")));
    }
    QProcess *holding = startHolder(holder);
    QVERIFY(holding);
    QVERIFY(supplyStatus().contains(QStringLiteral("set-voltage=500")));

    const QString refused = setSupply(QStringLiteral("20"), 2);
    const QString expected =
        QStringLiteral("vantelctl: refused: 20.00 V is above the 10.00 V ceiling that vantelctl %1 "
                       "(pid %2) "
                       "holds on COM1 address %3\n")
            .arg(holder)
            .arg(holding->processId())
            .arg(kAddress);
    QCOMPARE(refused, expected);
    QVERIFY2(supplyStatus().contains(QStringLiteral("set-voltage=500")),
             qPrintable(supplyStatus()));
    // At the ceiling is within it.
    QCOMPARE(setSupply(QStringLiteral("10"), 0), QString());

    // Killed, it can release nothing itself: its ceiling goes with its connection
    // (a run), or with the line's registry (serve owned it).
    ::kill(static_cast<pid_t>(holding->processId()), SIGKILL);
    QVERIFY(holding->waitForFinished(kWaitMs));
    QCOMPARE(setSupply(QStringLiteral("20"), 0), QString());
    QVERIFY2(supplyStatus().contains(QStringLiteral("set-voltage=2000")),
             qPrintable(supplyStatus()));
}

void TestE2eCeilings::aCeilingSurvivesAHandover_data()
{
    QTest::addColumn<QString>("line");
    QTest::newRow("timed") << QStringLiteral("timed");
    QTest::newRow("instant") << QStringLiteral("instant");
}

void TestE2eCeilings::aCeilingSurvivesAHandover()
{
    QFETCH(QString, line);
    m_rig = std::make_unique<testsupport::CtlRig>(QStringLiteral(VANTELCTL_PATH));
    QVERIFY(m_rig->startSim(
        {QStringLiteral("--address"), QString::number(kAddress), QStringLiteral("--line"), line}));
    QProcess *owner = startLog(QStringLiteral("owner.csv"));
    QVERIFY(owner);
    // A second joiner: the line goes to it or to the holder, whichever comes first.
    QVERIFY(startLog(QStringLiteral("second.csv")));
    QProcess *holding = startHolder(QStringLiteral("serve"));
    QVERIFY(holding);
    QVERIFY(!setSupply(QStringLiteral("20"), 2).isEmpty());

    const int before = fileLines(m_rig->path(QStringLiteral("second.csv")));
    ::kill(static_cast<pid_t>(owner->processId()), SIGKILL);
    QVERIFY(owner->waitForFinished(kWaitMs));
    // The line has a new owner once the second log writes on.
    QTRY_VERIFY_WITH_TIMEOUT(fileLines(m_rig->path(QStringLiteral("second.csv"))) >= before + 5,
                             kWaitMs);
    const QString refused = setSupply(QStringLiteral("20"), 2);
    QVERIFY2(refused.contains(QStringLiteral("the 10.00 V ceiling that vantelctl serve (pid %1)")
                                  .arg(holding->processId())),
             qPrintable(refused));
    QVERIFY2(supplyStatus().contains(QStringLiteral("set-voltage=500")),
             qPrintable(supplyStatus()));
}

void TestE2eCeilings::aSupplyUnderACeilingKeepsItsAddress_data()
{
    QTest::addColumn<QString>("face");
    // The ceiling is on the supply (serve's first channel at its address) or on the
    // address it is asked to move to (serve's first channel at 9).
    QTest::addColumn<bool>("onto");
    QTest::newRow("vantelctl address") << QStringLiteral("shell") << false;
    QTest::newRow("Modbus TCP's address register") << QStringLiteral("modbus") << false;
    QTest::newRow("vantelctl address, onto a ceiling") << QStringLiteral("shell") << true;
    QTest::newRow("Modbus TCP's address register, onto a ceiling")
        << QStringLiteral("modbus") << true;
}

void TestE2eCeilings::aSupplyUnderACeilingKeepsItsAddress()
{
    QFETCH(QString, face);
    QFETCH(bool, onto);
    m_rig = std::make_unique<testsupport::CtlRig>(QStringLiteral(VANTELCTL_PATH));
    QVERIFY(m_rig->startSim({QStringLiteral("--address"), QString::number(kAddress)}));
    QStringList extra;
    if (face == QLatin1String("modbus")) {
        extra << QStringLiteral("--modbus") << QStringLiteral("127.0.0.1:0")
              << QStringLiteral("--allow-address-change");
    }
    if (onto) {
        extra << QStringLiteral("--addresses") << QStringLiteral("9,%1").arg(kAddress);
    }
    QProcess *holding = startHolder(QStringLiteral("serve"), extra);
    QVERIFY(holding);

    if (face == QLatin1String("shell")) {
        const CtlResult moved =
            m_rig->run(common() + QStringList{QStringLiteral("address"), QStringLiteral("9")});
        QCOMPARE(moved.code, 2);
        const QString why =
            onto ? QStringLiteral("address 9 is under a ceiling: vantelctl serve (pid %2) holds a "
                                  "10.00 V ceiling on COM1 address 9, which would hold the "
                                  "supply moved there from address %1")
                 : QStringLiteral("address %1 stays: vantelctl serve (pid %2) holds a 10.00 V "
                                  "ceiling on COM1 address %1, which would not follow the supply "
                                  "to address 9");
        QCOMPARE(moved.err, QStringLiteral("vantelctl: refused: ") +
                                why.arg(kAddress).arg(holding->processId()) + QLatin1Char('\n'));
    } else {
        const auto found =
            waitForErr(*holding, m_holderErr,
                       QRegularExpression(QStringLiteral("Modbus TCP on [\\d.]+:(\\d+)")));
        QVERIFY2(found.hasMatch(), qPrintable(m_holderErr));
        QTcpSocket modbusClient;
        modbusClient.connectToHost(QStringLiteral("127.0.0.1"), found.captured(1).toUShort());
        QVERIFY(modbusClient.waitForConnected(kWaitMs));
        // Transaction 1, unit kAddress: write register 0x1008 (the slave address) to 9.
        const char request[] = {0, 1, 0, 0, 0, 6, char(kAddress), 6, 0x10, 0x08, 0, 9};
        modbusClient.write(request, sizeof request);
        QByteArray answer;
        QDeadlineTimer deadline(kWaitMs);
        while (answer.size() < 9 && !deadline.hasExpired()) {
            modbusClient.waitForReadyRead(100);
            answer += modbusClient.readAll();
        }
        // Exception 3: the value may not be written.
        QCOMPARE(answer, QByteArray::fromHex("000100000003") + char(kAddress) + "\x86\x03");
    }
    // The supply is where it was, and a write to the address it was to have
    // reaches no supply.
    const QString where = QStringLiteral("address=%1 set-voltage=500").arg(kAddress);
    QVERIFY2(m_rig->sim()
                 .command(QStringLiteral("status"))
                 .startsWith(QStringLiteral("status ") + where),
             qPrintable(m_rig->sim().command(QStringLiteral("status"))));
    const CtlResult set =
        m_rig->run({QStringLiteral("--port"), QStringLiteral("COM1"), QStringLiteral("--address"),
                    QStringLiteral("9"), QStringLiteral("set"), QStringLiteral("--voltage"),
                    QStringLiteral("30")});
    QVERIFY2(set.code != 0, qPrintable(set.err));
    QVERIFY2(m_rig->sim()
                 .command(QStringLiteral("status"))
                 .startsWith(QStringLiteral("status ") + where),
             qPrintable(m_rig->sim().command(QStringLiteral("status"))));
}

QTEST_GUILESS_MAIN(TestE2eCeilings)
#include "tst_e2e_ceilings.moc"
