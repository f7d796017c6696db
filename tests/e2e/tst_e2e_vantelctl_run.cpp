// End to end: `vantelctl run FILE` against vantel-sim on a pseudo-terminal.
#include "support/ctlrig.h"

#include <QFile>
#include <QProcess>
#include <QProcessEnvironment>
#include <QTemporaryDir>
#include <QtTest>

#include <csignal>

namespace {

constexpr int kWaitMs = 30000; // upper bound for a whole run in these tests
// Address 1 switching its output off, and switching it on.
const QString kOffFrame = QStringLiteral("01 06 10 06 00 00 6D 0B");

struct Result {
    int code = -1;
    QStringList rows; // data rows, the header dropped
    QString err;
};

} // namespace

class TestE2eVantelctlRun : public QObject {
    Q_OBJECT
private slots:
    void cleanup();
    void chargeEndsOnTheCurrentAndSwitchesOff();
    void sweepMarksOnePointEach();
    void lineAboveTheLimitSendsNothing();
    void sigtermDuringHoldSwitchesOff_data();
    void sigtermDuringHoldSwitchesOff();
    void fullFileAbortsAndSaysWhy();
    void echoingAdapterWithoutOption();
    void checkSays_data();
    void checkSays();
    void silenceAbortsAfterThreeTimeouts();
    void maxNotMetAborts();

private:
    void startSim(const QStringList &arguments);
    void start(QProcess &process, const QString &sequence, const QStringList &extra = {});
    Result finish(QProcess &process);
    Result run(const QString &sequence, const QStringList &extra = {});
    QString path(const QString &name) const { return m_rig->path(name); }
    int offFrames();

    std::unique_ptr<testsupport::CtlRig> m_rig;
    testsupport::SimProcess *m_sim = nullptr;
};

void TestE2eVantelctlRun::startSim(const QStringList &arguments)
{
    m_rig = std::make_unique<testsupport::CtlRig>(QStringLiteral(VANTELCTL_PATH));
    QVERIFY(m_rig->startSim(QStringList{QStringLiteral("--trace")} + arguments));
    m_sim = &m_rig->sim();
}

void TestE2eVantelctlRun::cleanup()
{
    m_sim = nullptr;
    m_rig.reset();
}

void TestE2eVantelctlRun::start(QProcess &process, const QString &sequence,
                                const QStringList &extra)
{
    QFile file(path(QStringLiteral("seq.txt")));
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(sequence.toUtf8());
    file.close();
    QVERIFY(m_rig->start(process,
                         QStringList{QStringLiteral("run"), file.fileName(),
                                     QStringLiteral("--output"), path(QStringLiteral("rows.csv"))} +
                             extra));
}

Result TestE2eVantelctlRun::finish(QProcess &process)
{
    Result result;
    const testsupport::CtlResult ended = testsupport::CtlRig::finish(process, kWaitMs);
    result.code = ended.code;
    result.err = ended.err;
    if (ended.code == -1 && ended.err.isEmpty()) {
        return result;
    }
    QFile rows(path(QStringLiteral("rows.csv")));
    if (rows.open(QIODevice::ReadOnly)) {
        result.rows =
            QString::fromUtf8(rows.readAll()).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
        if (!result.rows.isEmpty()) {
            QTest::qCompare(result.rows.takeFirst(),
                            QStringLiteral("time,elapsed_s,address,set_v,set_a,v,a,w,output,mode,"
                                           "ah,wh,error,step,point"),
                            "header", "expected", __FILE__, __LINE__);
        }
    }
    return result;
}

Result TestE2eVantelctlRun::run(const QString &sequence, const QStringList &extra)
{
    QProcess process;
    start(process, sequence, extra);
    return finish(process);
}

int TestE2eVantelctlRun::offFrames()
{
    m_sim->command(QStringLiteral("status")); // every trace line so far is in
    return m_sim->count(QStringLiteral("rx"), kOffFrame);
}

void TestE2eVantelctlRun::chargeEndsOnTheCurrentAndSwitchesOff()
{
    // At 12.6 V a battery of 12 V behind 1 ohm takes 0.6 A and tapers below 0.1 A
    // after about 6.5 s.
    startSim({QStringLiteral("--load"), QStringLiteral("battery:12,1,1")});
    const Result r = run(QStringLiteral("limit 12.8V 2.1A\nset 12.6V 2A\noutput on\n"
                                        "until current < 0.1A for 3 max 60s\noutput off\n"),
                         {QStringLiteral("--interval"), QStringLiteral("250")});
    QCOMPARE(r.code, 0);
    QVERIFY2(
        r.err.contains(QStringLiteral("line 4: until current < 0.1A for 3 max 60s: met after")),
        qPrintable(r.err));
    const QStringList last = r.rows.last().split(QLatin1Char(','));
    QCOMPARE(last[8], QStringLiteral("0")); // the read-back of line 5: off
    QCOMPARE(last[13], QStringLiteral("5"));
    // The three rows before the output went off are the ones that met the condition.
    int below = 0;
    for (const QString &row : r.rows) {
        const QStringList cells = row.split(QLatin1Char(','));
        if (cells[13] == QLatin1String("4")) {
            below = cells[6].toDouble() < 0.1 ? below + 1 : 0;
        }
    }
    QCOMPARE(below, 3);
    QCOMPARE(offFrames(), 1);
}

void TestE2eVantelctlRun::sweepMarksOnePointEach()
{
    startSim({QStringLiteral("--load"), QStringLiteral("10")});
    const Result r = run(QStringLiteral("set 0V 1A\noutput on\n"
                                        "sweep voltage 0V 12V 2V dwell 300ms\n"));
    QCOMPARE(r.code, 0);
    QStringList points;
    for (const QString &row : r.rows) {
        const QStringList cells = row.split(QLatin1Char(','));
        QCOMPARE(cells.size(), 15);
        if (!cells[14].isEmpty()) {
            QCOMPARE(cells[13], QStringLiteral("3"));
            points << cells[14] + QLatin1Char(':') + cells[6] + QLatin1Char(':') + cells[9];
        }
    }
    QCOMPARE(points, QStringList({"0:0:CV", "1:0.2:CV", "2:0.4:CV", "3:0.6:CV", "4:0.8:CV",
                                  "5:1:CV", "6:1:CC"}));
}

void TestE2eVantelctlRun::lineAboveTheLimitSendsNothing()
{
    startSim({});
    const Result r = run(QStringLiteral("limit 12V 1A\nset 5V 0.5A\nset 12.5V\nhold 1s\n"));
    QCOMPARE(r.code, 2);
    QVERIFY2(r.err.contains(QStringLiteral("seq.txt:3: 12.50 V is above the limit of 12.00 V")),
             qPrintable(r.err));
    m_sim->command(QStringLiteral("status")); // every trace line so far is in
    QCOMPARE(m_sim->trace().size(), 0);
}

void TestE2eVantelctlRun::sigtermDuringHoldSwitchesOff_data()
{
    QTest::addColumn<int>("signal");
    QTest::newRow("SIGTERM") << int(SIGTERM);
    // Ctrl-\ would dump core with the output on: it is taken as SIGTERM.
    QTest::newRow("SIGQUIT") << int(SIGQUIT);
}

void TestE2eVantelctlRun::sigtermDuringHoldSwitchesOff()
{
    QFETCH(int, signal);
    startSim({});
    QProcess process;
    start(process, QStringLiteral("set 5V 1A\noutput on\nhold 1h\n"));
    QVERIFY(QTest::qWaitFor(
        [&] {
            QFile rows(path(QStringLiteral("rows.csv")));
            return rows.open(QIODevice::ReadOnly) && rows.readAll().contains(",,3,\n");
        },
        kWaitMs));
    ::kill(static_cast<pid_t>(process.processId()), signal);
    const Result r = finish(process);
    QCOMPARE(r.code, 143);
    QVERIFY2(r.err.contains(QStringLiteral("line 3: aborted: stopped by a signal")),
             qPrintable(r.err));
    QVERIFY(r.err.contains(QStringLiteral("the output is switched off, confirmed")));
    QVERIFY(r.err.contains(QStringLiteral("link: ")));
    QCOMPARE(offFrames(), 1);
    QVERIFY(m_sim->command(QStringLiteral("status")).contains(QStringLiteral("output=off")));
}

void TestE2eVantelctlRun::silenceAbortsAfterThreeTimeouts()
{
    startSim({});
    QProcess process;
    start(process, QStringLiteral("set 5V 1A\noutput on\nhold 1h\n"),
          {QStringLiteral("--timeout"), QStringLiteral("200")});
    QVERIFY(QTest::qWaitFor(
        [&] {
            QFile rows(path(QStringLiteral("rows.csv")));
            return rows.open(QIODevice::ReadOnly) && rows.readAll().contains(",,3,\n");
        },
        kWaitMs));
    QCOMPARE(m_sim->command(QStringLiteral("fault silence on")), QStringLiteral("ok"));
    const Result r = finish(process);
    QCOMPARE(r.code, 1);
    QVERIFY2(r.err.contains(QStringLiteral("3 readings in a row without a good reply (timeout)")),
             qPrintable(r.err));
    QVERIFY(r.err.contains(QStringLiteral("switching the output off was not confirmed")));
    QVERIFY(r.rows.last().endsWith(QStringLiteral(",timeout,3,")));
    // Attempted, and retried once; the silent supply carried it out.
    QCOMPARE(offFrames(), 2);
}

void TestE2eVantelctlRun::maxNotMetAborts()
{
    startSim({});
    const Result r = run(QStringLiteral("set 5V 1A\noutput on\nuntil voltage > 6V max 2s\n"));
    QCOMPARE(r.code, 1);
    QVERIFY2(r.err.contains(QStringLiteral("line 3: aborted: until voltage > 6V max 2s: not met "
                                           "within 2s (last 5.00 V)")),
             qPrintable(r.err));
    QCOMPARE(offFrames(), 1);
    QVERIFY(m_sim->command(QStringLiteral("status")).contains(QStringLiteral("output=off")));
}

// A row that cannot be written aborts the run, names the cause and the file, and
// leaves only whole rows; the output goes off.
void TestE2eVantelctlRun::fullFileAbortsAndSaysWhy()
{
    startSim({});
    QFile file(path(QStringLiteral("seq.txt")));
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write("set 5V 1A\noutput on\nhold 1h\n");
    file.close();
    const testsupport::CtlResult r =
        m_rig->shell(QStringLiteral("ulimit -f 2; $V run \"$D/seq.txt\" --interval 20 "
                                    "--output \"$D/rows.csv\""));
    QCOMPARE(r.code, 1);
    QVERIFY2(r.err.contains(QStringLiteral("line 3: aborted: a row could not be written to ") +
                            path(QStringLiteral("rows.csv")) + QStringLiteral(": File too large")),
             qPrintable(r.err));
    QVERIFY(r.err.contains(QStringLiteral("the output is switched off, confirmed")));
    QFile rows(path(QStringLiteral("rows.csv")));
    QVERIFY(rows.open(QIODevice::ReadOnly));
    const QByteArray text = rows.readAll();
    QVERIFY(text.endsWith('\n'));
    for (const QByteArray &line : text.trimmed().split('\n')) {
        QCOMPARE(line.count(','), 14);
    }
    QVERIFY(m_sim->command(QStringLiteral("status")).contains(QStringLiteral("output=off")));
}

// A run whose first step is a write, on an echoing adapter without --echo.
void TestE2eVantelctlRun::echoingAdapterWithoutOption()
{
    startSim({});
    QCOMPARE(m_sim->command(QStringLiteral("fault local-echo on")), QStringLiteral("ok"));
    const Result r = run(QStringLiteral("set 5V 1A\noutput on\nhold 500ms\noutput off\n"));
    QVERIFY2(r.code == 0, qPrintable(r.err));
    QVERIFY(m_sim->command(QStringLiteral("status")).contains(QStringLiteral("output=off")));
}

void TestE2eVantelctlRun::checkSays_data()
{
    QTest::addColumn<QStringList>("arguments"); // FILE: the sequence file
    QTest::addColumn<QString>("sequence");
    QTest::addColumn<int>("code");
    QTest::addColumn<QString>("said");
    // 5 readings at 350 ms span 1.4 s: more than the max.
    QTest::newRow("an until that cannot be met")
        << QStringList{"run", "FILE", "--check"}
        << "set 5V 0.1A\noutput on\nuntil current < 2A for 5 max 1s\n"
        << 0 << "seq.txt:3: warning: ";
    QTest::newRow("--json is refused with --check")
        << QStringList{"--json", "run", "FILE", "--check"} << "hold 1s\n"
        << 2 << "--json";
    QTest::newRow("a byte order mark is skipped")
        << QStringList{"run", "FILE", "--check"} << "\xEF\xBB\xBFset 5V 1A\n"
        << 0 << "";
}

// What run --check says before anything is sent.
void TestE2eVantelctlRun::checkSays()
{
    QFETCH(QStringList, arguments);
    QFETCH(QString, sequence);
    QFETCH(int, code);
    QFETCH(QString, said);
    startSim({});
    QFile file(path(QStringLiteral("seq.txt")));
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(sequence.toLatin1());
    file.close();
    arguments.replaceInStrings(QStringLiteral("FILE"), file.fileName());
    const testsupport::CtlResult r = m_rig->run(arguments);
    QVERIFY2(r.code == code, qPrintable(r.err));
    QVERIFY2(r.err.contains(said), qPrintable(r.err));
    m_sim->command(QStringLiteral("status")); // every trace line so far is in
    QCOMPARE(m_sim->trace().size(), 0);
}

QTEST_GUILESS_MAIN(TestE2eVantelctlRun)
#include "tst_e2e_vantelctl_run.moc"
