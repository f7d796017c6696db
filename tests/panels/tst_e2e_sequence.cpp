// End to end: sequence runs, recording and ceilings in vantel's window against
// vantel-sim on its timed line. Every way out of a run is judged by what the
// simulator's trace and status say of the output, not by what the window believes.

#include "support/recordingmessenger.h"
#include "support/simprocess.h"

#include "line/enginecommcontrol.h"
#include "monitor/form1.h"
#include "panels/codeeditor.h"
#include "panels/monitorpanels.h"
#include "panels/previewplot.h"
#include "panels/sequencefile.h"
#include "panels/windows.h"

#include <QLabel>
#include <QMenu>
#include <QPushButton>
#include <QRegularExpression>
#include <QScreen>
#include <QSettings>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

#include <csignal>
#include <cstdio>

using monitor::Form1;
using testsupport::RecordingMessenger;
using testsupport::SimProcess;

namespace {

constexpr int kPollMs = 350;
constexpr int kRunMs = 30000; // the longest a run below may take to end
const QString kOffFrame = QStringLiteral("01 06 10 06 00 00 6D 0B");
const QString kOnFrame = QStringLiteral("01 06 10 06 00 01 AC CB");
const char *kChildEnv = "VANTEL_RECORDING_CHILD";

// The output state as the simulator has it.
bool simOutputOn(SimProcess &sim)
{
    return sim.command(QStringLiteral("status")).contains(QStringLiteral("output=on"));
}

// A monitor window with its port open and its monitor running, on a simulator.
struct Monitor {
    SimProcess sim;
    std::unique_ptr<line::EngineCommControl> engine = line::makeEngineCommControl();
    line::EngineCommControl &comm = *engine;
    RecordingMessenger messenger;
    std::unique_ptr<Form1> form;

    explicit Monitor(const QString &portDir) : sim(portDir) {}
    bool start(const QStringList &simArguments)
    {
        if (!sim.start(QStringList{"--port", "1", "--trace"} + simArguments)) {
            return false;
        }
        form = std::make_unique<Form1>(comm, messenger);
        form->show();
        form->C32_Click();
        form->C31_Click();
        form->C1_Click();
        form->panels().ask = [](QWidget *, const QString &) { return true; };
        return form->monitorRunning && QTest::qWaitFor([&] { return !form->T1->Text().isEmpty(); });
    }
    panels::MonitorPanels &panels() { return form->panels(); }
    panels::SequenceWindow *sequenceWindow()
    {
        panels().showSequenceWindow();
        return form->findChild<panels::SequenceWindow *>();
    }
};

// A sequence window with no supply behind it, every question it asks recorded and
// answered with `answer`.
struct EditorOnly {
    std::unique_ptr<line::EngineCommControl> engine = line::makeEngineCommControl();
    line::EngineCommControl &comm = *engine;
    RecordingMessenger messenger;
    Form1 form{comm, messenger};
    QStringList asked;
    bool answer = true;
    panels::SequenceWindow *window = nullptr;

    EditorOnly()
    {
        form.panels().ask = [this](QWidget *, const QString &question) {
            asked << question;
            return answer;
        };
        form.panels().showSequenceWindow();
        window = form.findChild<panels::SequenceWindow *>();
    }
};

QByteArray fileBytes(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// Replaces the editor's text as typing would, so that it counts as a change.
void type(panels::SequenceWindow *window, const QString &text)
{
    window->editor->selectAll();
    window->editor->insertPlainText(text);
}

// Writes in place, as a script or another editor would.
void writeBytes(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    QCOMPARE(file.write(bytes), bytes.size());
}

QByteArray utf16(const QString &text, bool littleEndian)
{
    QByteArray out = littleEndian ? QByteArray("\xFF\xFE") : QByteArray("\xFE\xFF");
    for (const QChar c : text) {
        const char high = char(c.unicode() >> 8), low = char(c.unicode() & 0xFF);
        out.append(littleEndian ? low : high).append(littleEndian ? high : low);
    }
    return out;
}

// The CSV rows of a file, header dropped, each split into its cells.
QList<QStringList> csvRows(const QString &path)
{
    QFile file(path);
    QList<QStringList> rows;
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text)) {
        return rows;
    }
    file.readLine();
    while (!file.atEnd()) {
        rows << QString::fromUtf8(file.readLine()).chopped(1).split(QLatin1Char(','));
    }
    return rows;
}

// set_v,set_a,v,a,output,mode of a status reply on the trace, as the log writes them.
QString replyCells(const QString &hex)
{
    const QStringList b = hex.split(' ');
    const auto word = [&](int i) {
        return (b[i].toInt(nullptr, 16) << 8) | b[i + 1].toInt(nullptr, 16);
    };
    const QString modes[] = {"CC", "CV", "OC"};
    const auto number = [](double v) { return QString::number(v, 'g', 10); };
    return QStringList{number(word(3) / 100.0),   number(word(5) / 1000.0),
                       number(word(7) / 100.0),   number(word(9) / 1000.0),
                       b[12] == "01" ? "1" : "0", modes[b[14].toInt(nullptr, 16) % 3]}
        .join(',');
}

// The child process of the SIGKILL case: a window recording until it is killed.
int recordUntilKilled(int argc, char **argv)
{
    QApplication app(argc, argv);
    std::unique_ptr<line::EngineCommControl> engine = line::makeEngineCommControl();
    line::EngineCommControl &comm = *engine;
    RecordingMessenger messenger;
    Form1 form(comm, messenger);
    form.show();
    form.C32_Click();
    form.C31_Click();
    form.C1_Click();
    const QString refused = form.panels().startRecording(qEnvironmentVariable(kChildEnv));
    std::printf("%s\n", refused.isEmpty() ? "recording" : qPrintable(refused));
    std::fflush(stdout);
    return QApplication::exec();
}

} // namespace

class TestSequenceE2e : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void waysOut_data();
    void waysOut();
    void guardedControls_data();
    void guardedControls();
    void quitAsksAboutTheSequenceFirst_data();
    void quitAsksAboutTheSequenceFirst();
    void stopGivesTheFocusToTheEditor();
    void sweepMarksItsPoints();
    void lostPortEndsTheRunAndTheRecording();
    void ceilingTripsWithinTwoPolls();
    void killedRecordingKeepsWholeRows();
    void encodingsKept_data();
    void encodingsKept();
    void unsavedEditsAsked_data();
    void unsavedEditsAsked();
    void changesOnDisk();
    void editorKeys();
    void fitsTheScreen();
    void previewFollowsTheText();

private:
    QTemporaryDir m_dir;
};

void TestSequenceE2e::initTestCase()
{
    QVERIFY(m_dir.isValid());
    qputenv("VANTEL_PORT_DIR", QFile::encodeName(m_dir.path()));
    QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, m_dir.filePath("settings"));
    ui::userSettings()->setValue(QStringLiteral("records/folder"), m_dir.filePath("records"));
}

void TestSequenceE2e::waysOut_data()
{
    QTest::addColumn<QStringList>("simArguments");
    QTest::addColumn<QString>("sequence");
    QTest::addColumn<QString>("action"); // what happens once the output is on
    QTest::addColumn<bool>("outputOn");  // at the end, on the simulator
    QTest::addColumn<QString>("account");

    const QString holding = QStringLiteral("set 5V 1A\noutput on\nhold 60s\n");
    // At 12.6 V a battery of 12 V behind 1 ohm takes 0.6 A, tapering below 0.1 A
    // after about 6.5 s.
    QTest::newRow("cc-cv charge") << QStringList{"--load", "battery:12,1,1"}
                                  << QStringLiteral("limit 12.8V 2.1A\nset 12.6V 2A\noutput on\n"
                                                    "until current < 0.1A for 3 max 60s\n"
                                                    "output off\n")
                                  << "" << false << "line 5: completed after";
    QTest::newRow("stop") << QStringList{} << holding << "stop" << false
                          << "line 3: stopped: stopped by the Stop button; the output is "
                             "switched off, confirmed";
    QTest::newRow("stop key in the monitor window")
        << QStringList{} << holding << "main stop key" << false
        << "line 3: stopped: stopped by Shift+F5 in the monitor window; the output is switched "
           "off, confirmed";
    QTest::newRow("stop, keep output")
        << QStringList{} << holding << "keep" << true
        << "line 3: stopped: stopped by “Stop, keep output”; the output is left as it is";
    QTest::newRow("sequence window closed")
        << QStringList{} << holding << "close" << false
        << "line 3: stopped: the sequence window was closed; the output is switched off, "
           "confirmed";
    QTest::newRow("close serial port, yes")
        << QStringList{} << holding << "close port" << false
        << "stopped by “Close serial port”; the output is switched off, confirmed";
    QTest::newRow("quit, yes") << QStringList{} << holding << "quit" << false
                               << "line 3: stopped: the program is quitting; the output is "
                                  "switched off, confirmed";
    QTest::newRow("limit") << QStringList{} << "limit 8V\n" + holding << "overvoltage" << false
                           << "line 4: aborted: 9.00 V above the limit of 8.00 V";
    QTest::newRow("max") << QStringList{}
                         << QStringLiteral("set 5V 1A\noutput on\nuntil current < 0.01A max 1s\n"
                                           "hold 60s\n")
                         << "" << false << "line 3: aborted: until current < 0.01A max 1s: not met";
    // The switch-off goes out but cannot be confirmed by a silent supply.
    QTest::newRow("silenced supply") << QStringList{} << holding << "silence" << false
                                     << "readings in a row without a good reply";
}

void TestSequenceE2e::waysOut()
{
    QFETCH(QStringList, simArguments);
    QFETCH(QString, sequence);
    QFETCH(QString, action);
    QFETCH(bool, outputOn);
    QFETCH(QString, account);

    Monitor m(m_dir.path());
    QVERIFY(m.start(simArguments));
    auto *window = m.sequenceWindow();
    QVERIFY(window);
    QCOMPARE(window->windowTitle(), QStringLiteral("vantel - sequence"));
    window->editor->setPlainText(sequence);
    QSignalSpy finished(&m.panels(), &panels::MonitorPanels::runFinished);
    window->startButton->click();
    QVERIFY2(m.panels().running(), qPrintable(window->accountLabel->text()));
    QVERIFY(window->editor->isReadOnly());
    QVERIFY(m.form->windowTitle().contains(QStringLiteral("running line")));

    if (!action.isEmpty()) {
        QTRY_VERIFY_WITH_TIMEOUT(m.form->Text5->Text() == QStringLiteral("ON"), 5000);
    }
    if (action == "stop") {
        // Answered No, a press that would disturb the run does nothing.
        m.panels().ask = [](QWidget *, const QString &question) {
            return question != panels::stopRunQuestion();
        };
        m.form->C25->click();
        QTest::qWait(3 * kPollMs);
        QVERIFY(m.panels().running());
        QCOMPARE(m.form->Text5->Text(), QStringLiteral("ON"));
        window->stopButton->click();
    } else if (action == "main stop key") {
        // The monitor window active, the sequence window behind it.
        window->hide();
        m.form->activateWindow();
        QTRY_COMPARE(QApplication::activeWindow(), m.form.get());
        QTest::keyClick(m.form.get(), Qt::Key_F5, Qt::ShiftModifier);
    } else if (action == "keep") {
        window->stopKeepButton->click();
    } else if (action == "close") {
        window->close();
    } else if (action == "close port") {
        m.form->C31->click();
        QVERIFY(m.form->portOpened); // not before the output is off
    } else if (action == "quit") {
        m.form->C28->click();
        QVERIFY(m.form->isVisible()); // not before the output is off
    } else if (action == "overvoltage") {
        m.sim.command(QStringLiteral("set actual-voltage 9.00"));
    } else if (action == "silence") {
        m.sim.command(QStringLiteral("fault silence on"));
    }
    QTRY_VERIFY_WITH_TIMEOUT(finished.count() == 1, kRunMs);
    const QString said = finished.first().at(1).toString();
    QVERIFY2(said.contains(account), qPrintable(said));
    QCOMPARE(window->accountLabel->text(), said);
    // What was left of the plan is not given as "remaining 0" once the run has ended.
    QVERIFY2(window->timeLabel->text().endsWith(", ended"), qPrintable(window->timeLabel->text()));
    QVERIFY(!m.panels().running());
    QVERIFY(!window->editor->isReadOnly());
    QVERIFY(!m.form->windowTitle().contains(QStringLiteral("running")));
    m.sim.command(QStringLiteral("fault silence off"));
    QCOMPARE(simOutputOn(m.sim), outputOn);
    if (!outputOn) {
        QVERIFY(m.sim.count(QStringLiteral("rx"), kOffFrame) >= 1);
    }
    if (action == "close") {
        QTRY_VERIFY(!window->isVisible());
    } else if (action == "close port") {
        QTRY_VERIFY(!m.form->portOpened); // the button did what it does, after the stop
    } else if (action == "quit") {
        QTRY_VERIFY(!m.form->isVisible());
    }
    // The run's record: every row with its step, the header of `vantelctl run`.
    QFile record(m.panels().runPath());
    QVERIFY(record.open(QIODevice::ReadOnly));
    QCOMPARE(record.readLine(),
             QByteArray("time,elapsed_s,address,set_v,set_a,v,a,w,output,mode,ah,wh,error,step,"
                        "point\n"));
    const QList<QStringList> rows = csvRows(m.panels().runPath());
    QVERIFY(rows.size() >= 3);
    for (const QStringList &row : rows) {
        QCOMPARE(row.size(), 15);
        QVERIFY(!row[13].isEmpty());
    }
    // It ends with the reading that confirmed the switch-off.
    if (!outputOn && action != "silence") {
        QCOMPARE(rows.last()[8], QStringLiteral("0"));
        QCOMPARE(rows.last()[12], QString());
    }
    // The log tells the way out once, in the account's words.
    const QString log = window->log->toPlainText();
    QCOMPARE(log.count(said), 1);
    if (said.contains(QStringLiteral(": stopped: "))) {
        QVERIFY2(!log.contains(QStringLiteral("aborted")), qPrintable(log));
    }
}

// Every control of the main window that would disturb a run, pressed during one and
// answered Yes: the run stops with the output off, and what the control does after
// the stop leaves it off. Judged on the simulator's state and trace.
void TestSequenceE2e::guardedControls_data()
{
    QTest::addColumn<QString>("control");
    QTest::addColumn<bool>("outputOnFirst"); // the run switched the output on before the press
    QTest::addColumn<QString>("simState");   // a word the simulator's status holds afterwards

    // The set buttons act after the stop: their dialled value reaches the supply.
    const std::pair<const char *, const char *> rows[] = {
        {"C25", ""},
        {"C18", "set-voltage=700"},
        {"C19", "set-current=450"},
        {"C1", ""},
        {"C23", ""},
        {"C31", ""},
        {"C28", ""},
    };
    for (const auto &[control, state] : rows) {
        QTest::newRow(control) << QString::fromLatin1(control) << true
                               << QString::fromLatin1(state);
    }
    // "Output start" during a run that has not switched the output on yet.
    QTest::newRow("C25, output off") << QStringLiteral("C25") << false << QString();
}

void TestSequenceE2e::guardedControls()
{
    QFETCH(QString, control);
    QFETCH(bool, outputOnFirst);
    QFETCH(QString, simState);

    Monitor m(m_dir.path());
    QVERIFY(m.start({}));
    auto *window = m.sequenceWindow();
    window->editor->setPlainText(
        outputOnFirst ? QStringLiteral("set 5V 0.6A\noutput on\nhold 60s\noutput off\n")
                      : QStringLiteral("set 5V 0.6A\nhold 60s\noutput on\n"));
    // Dialled values for the set buttons: 7.00 V, 0.450 A.
    for (auto [box, digit] : {std::pair{m.form->T6, "0"},
                              {m.form->T8, "7"},
                              {m.form->T10, "0"},
                              {m.form->T12, "0"},
                              {m.form->T16, "0"},
                              {m.form->T7, "4"},
                              {m.form->T9, "5"},
                              {m.form->T11, "0"}}) {
        box->setText(QString::fromLatin1(digit));
    }
    QSignalSpy finished(&m.panels(), &panels::MonitorPanels::runFinished);
    window->startButton->click();
    QVERIFY(m.panels().running());
    if (outputOnFirst) {
        QTRY_VERIFY_WITH_TIMEOUT(m.form->C25->Caption() == Form1::kOutputStop, 5000);
        QVERIFY(simOutputOn(m.sim));
    } else {
        QTRY_VERIFY_WITH_TIMEOUT(m.form->T3->Text() == QStringLiteral("05.00"), 5000);
        QCOMPARE(m.form->C25->Caption(), Form1::kOutputStart);
    }
    m.form->findChild<QPushButton *>(control)->click();
    QTRY_VERIFY_WITH_TIMEOUT(finished.count() == 1, kRunMs);
    QVERIFY2(finished.first().at(1).toString().contains(
                 QStringLiteral("the output is switched off, confirmed")),
             qPrintable(finished.first().at(1).toString()));

    // Long enough for the control to act, a few polls and two watchdog periods.
    QTest::qWait(4500);
    m.sim.command(QStringLiteral("status")); // every trace line so far is in
    QVERIFY(!simOutputOn(m.sim));
    const QList<double> offs = m.sim.times(QStringLiteral("rx"), kOffFrame);
    QVERIFY(!offs.isEmpty());
    for (double on : m.sim.times(QStringLiteral("rx"), kOnFrame)) {
        QVERIFY2(on < offs.first(), qPrintable(QStringLiteral("on at %1 s").arg(on)));
    }
    if (!simState.isEmpty()) {
        const QString status = m.sim.command(QStringLiteral("status"));
        QVERIFY2(status.contains(simState), qPrintable(status));
    }
    // What the control itself does, after the stop.
    if (control == "C1") {
        QVERIFY(!m.form->monitorRunning);
    } else if (control == "C23") {
        QCOMPARE(m.form->T15->Text(), QStringLiteral("2"));
    } else if (control == "C31") {
        QVERIFY(!m.form->portOpened);
    } else if (control == "C28") {
        QVERIFY(!m.form->isVisible());
    }
}

void TestSequenceE2e::quitAsksAboutTheSequenceFirst_data()
{
    QTest::addColumn<int>("answer"); // SequenceWindow::Unsaved
    QTest::addColumn<bool>("quits");

    QTest::newRow("cancel") << int(panels::SequenceWindow::Unsaved::Cancel) << false;
    QTest::newRow("discard") << int(panels::SequenceWindow::Unsaved::Discard) << true;
}

void TestSequenceE2e::quitAsksAboutTheSequenceFirst()
{
    QFETCH(int, answer);
    QFETCH(bool, quits);

    Monitor m(m_dir.path());
    QVERIFY(m.start({}));
    auto *window = m.sequenceWindow();
    window->editor->setPlainText(QStringLiteral("set 5V\n"));
    window->editor->document()->setModified(true);
    // Asked while everything is still open; Cancel cancels the quit.
    QStringList open;
    window->askUnsaved = [&](QWidget *) {
        open << QStringLiteral("%1 %2 %3")
                    .arg(m.form->isVisible())
                    .arg(m.comm.PortOpen())
                    .arg(window->isVisible());
        return static_cast<panels::SequenceWindow::Unsaved>(answer);
    };
    m.form->C28->click();
    QCOMPARE(open, QStringList{"1 1 1"});
    QCOMPARE(m.form->isVisible(), !quits);
    QCOMPARE(m.comm.PortOpen(), !quits);
    QCOMPARE(window->isVisible(), !quits);
    QCOMPARE(window->modified(), !quits);
}

void TestSequenceE2e::stopGivesTheFocusToTheEditor()
{
    Monitor m(m_dir.path());
    QVERIFY(m.start({}));
    auto *window = m.sequenceWindow();
    QVERIFY(QTest::qWaitForWindowActive(window));
    window->editor->setPlainText(QStringLiteral("set 5V 0.6A\noutput on\nhold 60s\n"));
    QSignalSpy finished(&m.panels(), &panels::MonitorPanels::runFinished);
    window->startButton->setFocus();
    QTest::keyClick(window->startButton, Qt::Key_Space);
    QVERIFY(m.panels().running());
    QCOMPARE(QApplication::focusWidget(), window->stopButton);
    QTest::qWait(3 * kPollMs);
    QTest::keyClick(window->stopButton, Qt::Key_Space);
    QVERIFY(finished.wait(kRunMs));
    QCOMPARE(QApplication::focusWidget(), window->editor);
    // What is typed next goes to the editor, not to the records folder.
    const QString folder = m.panels().recordsFolder();
    QTest::keyClicks(QApplication::focusWidget(), QStringLiteral("abc"));
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
    QCOMPARE(m.panels().recordsFolder(), folder);
    QVERIFY(window->editor->toPlainText().contains(QStringLiteral("abc")));
}

void TestSequenceE2e::sweepMarksItsPoints()
{
    Monitor m(m_dir.path());
    QVERIFY(m.start({"--load", "10"}));
    auto *window = m.sequenceWindow();
    // A new, empty editor is no error until it is run; then it starts nothing.
    for (const char *blank : {"", "\n  \n"}) {
        window->editor->setPlainText(QString::fromUtf8(blank));
        window->checkNow();
        QCOMPARE(window->checkLabel->text(), QString());
        window->startButton->click();
        QVERIFY(!m.panels().running());
        QCOMPARE(window->accountLabel->text(),
                 QStringLiteral("Nothing started: the sequence has no step."));
    }
    // An error stands at its line, as `run --check` words it, and starts nothing; an
    // until that cannot be met at the poll's period is warned of.
    const std::pair<const char *, const char *> checks[] = {
        {"set 5V\nbogus 1\n", "untitled:2: "},
        {"until current < 2A for 5 max 1s\n", "untitled:1: warning: "}};
    for (const auto &[text, said] : checks) {
        window->editor->setPlainText(QString::fromUtf8(text));
        window->checkNow();
        QVERIFY2(window->checkLabel->text().startsWith(said),
                 qPrintable(window->checkLabel->text()));
    }
    window->editor->setPlainText(QStringLiteral("set 5V\nbogus 1\n"));
    window->startButton->click();
    QVERIFY(!m.panels().running());
    QVERIFY(window->accountLabel->text().startsWith("Nothing started: untitled:2: "));

    window->editor->setPlainText(
        QStringLiteral("set 0V 1A\noutput on\nsweep voltage 1V 3V 1V dwell 700ms\noutput off\n"));
    window->checkNow();
    QCOMPARE(window->checkLabel->text(), QString());
    QCOMPARE(window->summaryLabel->text(), QStringLiteral("4 steps; the waits take at most 2.1s"));
    QSignalSpy finished(&m.panels(), &panels::MonitorPanels::runFinished);
    QStringList times;
    const auto timed = connect(&m.panels(), &panels::MonitorPanels::runProgress, window,
                               [&] { times << window->timeLabel->text(); });
    window->startButton->click();
    QVERIFY(finished.wait(kRunMs));
    disconnect(timed);
    // The time to the second while it runs; once ended, no remaining time.
    QVERIFY(!times.isEmpty());
    const QRegularExpression clock(QStringLiteral(
        "^elapsed \\d+:\\d\\d:\\d\\d, (remaining at most \\d+:\\d\\d:\\d\\d|ended)$"));
    for (const QString &t : times) {
        QVERIFY2(clock.match(t).hasMatch(), qPrintable(t));
    }
    QVERIFY2(times.last().endsWith("ended"), qPrintable(times.last()));
    // The readings are drawn over the plan.
    if (!qobject_cast<QLabel *>(window->plot)) {
        QVERIFY(panels::drawnReadings(window->plot) >= 3);
    }
    QStringList points;
    for (const QStringList &row : csvRows(m.panels().runPath())) {
        if (!row[14].isEmpty()) {
            points << row[14] + ':' + row[13] + ':' + row[3] + ':' + row[5];
        }
    }
    QCOMPARE(points, QStringList({"0:3:1:1", "1:3:2:2", "2:3:3:3"}));
}

void TestSequenceE2e::lostPortEndsTheRunAndTheRecording()
{
    Monitor m(m_dir.path());
    QVERIFY(m.start({}));
    QVERIFY(m.panels().startRecording().isEmpty());
    auto *window = m.sequenceWindow();
    window->editor->setPlainText(QStringLiteral("set 5V 1A\noutput on\nhold 60s\n"));
    QSignalSpy finished(&m.panels(), &panels::MonitorPanels::runFinished);
    window->startButton->click();
    QTRY_VERIFY_WITH_TIMEOUT(m.form->Text5->Text() == QStringLiteral("ON"), 5000);
    // The adapter goes away: the switch-off cannot go out, and the window says so.
    m.sim.stop(SimProcess::Stop::Kill);
    QTRY_VERIFY_WITH_TIMEOUT(finished.count() == 1, kRunMs);
    const QString said = finished.first().at(1).toString();
    QVERIFY2(said.contains("aborted: the port failed") && said.contains("it may still be on"),
             qPrintable(said));
    QVERIFY2(!said.contains("failed: the port failed"), qPrintable(said));
    QTRY_VERIFY(!m.panels().recorder().recording());
    QVERIFY2(m.messenger.messages.join('|').contains("The recording ended (the port failed)"),
             qPrintable(m.messenger.messages.join('|')));
    QVERIFY(csvRows(m.panels().recorder().path()).size() >= 3);
}

void TestSequenceE2e::ceilingTripsWithinTwoPolls()
{
    Monitor m(m_dir.path());
    QVERIFY(m.start({"--voltage", "5", "--output", "on"}));
    ui::Ceilings ceilings;
    ceilings.volts = 6.0;
    m.panels().setCeilings(ceilings);

    // A set value above the ceiling is refused before it is sent.
    m.form->T6->setText("0");
    m.form->T8->setText("7");
    m.form->C18->click();
    QVERIFY2(m.messenger.messages.value(0).contains("above the voltage ceiling of 6.00 V"),
             qPrintable(m.messenger.messages.value(0)));
    // The same for a sequence's set step.
    auto *window = m.sequenceWindow();
    window->editor->setPlainText(QStringLiteral("set 6.5V\nhold 1s\n"));
    window->startButton->click();
    QVERIFY(!m.panels().running());
    QVERIFY2(window->accountLabel->text().contains("line 1: 6.50 V is above the voltage ceiling"),
             qPrintable(window->accountLabel->text()));

    // A reading above it switches the output off within two polls.
    m.sim.command(QStringLiteral("set actual-voltage 7.00"));
    QTRY_VERIFY_WITH_TIMEOUT(!simOutputOn(m.sim), 5000);
    QTRY_VERIFY(m.messenger.messages.size() >= 2);
    QVERIFY2(m.messenger.messages[1].contains("7.00 V above the ceiling of 6.00 V"),
             qPrintable(m.messenger.messages[1]));
    double firstAbove = -1;
    double off = -1;
    for (const testsupport::TraceLine &line : m.sim.trace()) {
        if (firstAbove < 0 && line.kind == "tx" && line.hex.startsWith("01 03 0C") &&
            line.hex.mid(21, 5) == "02 BC") { // actual voltage 7.00 V
            firstAbove = line.end;
        } else if (firstAbove >= 0 && line.kind == "rx" && line.hex == kOffFrame) {
            off = line.seconds;
            break;
        }
    }
    QVERIFY(firstAbove > 0 && off > 0);
    QVERIFY2(off - firstAbove < 2 * kPollMs / 1000.0,
             qPrintable(QString::number(off - firstAbove)));
    // Not a single set request went out.
    QCOMPARE(m.sim.count(QStringLiteral("rx"), QStringLiteral("01 06 10 00")), 0);
    m.panels().setCeilings({});
}

void TestSequenceE2e::killedRecordingKeepsWholeRows()
{
    SimProcess sim(m_dir.path());
    QVERIFY(sim.start({"--port", "1", "--trace", "--output", "on"}));
    const QString path = m_dir.filePath("killed.csv");
    QProcess child;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QString::fromLatin1(kChildEnv), path);
    child.setProcessEnvironment(env);
    child.start(QCoreApplication::applicationFilePath(), {});
    QVERIFY(child.waitForReadyRead(10000));
    QCOMPARE(child.readLine().trimmed(), QByteArray("recording"));
    // Some good rows, a silence with its timeouts, good rows again.
    QTRY_VERIFY_WITH_TIMEOUT(csvRows(path).size() >= 5, 10000);
    sim.command(QStringLiteral("fault silence on"));
    QTest::qWait(3 * kPollMs);
    sim.command(QStringLiteral("fault silence off"));
    const int before = static_cast<int>(csvRows(path).size());
    QTRY_VERIFY_WITH_TIMEOUT(csvRows(path).size() >= before + 4, 10000);
    ::kill(static_cast<pid_t>(child.processId()), SIGKILL);
    QVERIFY(child.waitForFinished(5000));

    // Every row is whole; each good one is the reply the simulator sent, in order.
    sim.command(QStringLiteral("status")); // every trace line so far is in
    QStringList replies;
    for (const testsupport::TraceLine &line : sim.trace()) {
        if (line.kind == "tx" && line.hex.startsWith("01 03 0C")) {
            replies << replyCells(line.hex);
        }
    }
    qsizetype next = 0;
    int timeouts = 0;
    for (const QStringList &row : csvRows(path)) {
        QCOMPARE(row.size(), 13);
        if (row[12] == QLatin1String("timeout")) {
            ++timeouts;
            continue;
        }
        QCOMPARE(row[12], QString());
        const QString cells = QStringList{row[3], row[4], row[5], row[6], row[8], row[9]}.join(',');
        next = replies.indexOf(cells, next);
        QVERIFY2(next >= 0, qPrintable(cells));
        ++next;
    }
    QVERIFY(timeouts >= 1);
}

int main(int argc, char **argv)
{
    if (qEnvironmentVariableIsSet(kChildEnv)) {
        return recordUntilKilled(argc, argv);
    }
    QApplication app(argc, argv);
    TestSequenceE2e test;
    return QTest::qExec(&test, argc, argv);
}

void TestSequenceE2e::encodingsKept_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QByteArray>("saved"); // after "hold 2s" is added at the end
    QTest::addColumn<bool>("asked");       // whether the save asks first

    const QString text = QStringLiteral("# 25 °C\nset 5V\n");
    const QString more = text + QStringLiteral("hold 2s\n");
    const auto crlf = [](QString t) { return t.replace("\n", "\r\n"); };
    QTest::newRow("UTF-8") << text.toUtf8() << more.toUtf8() << false;
    QTest::newRow("UTF-8 with its mark")
        << "\xEF\xBB\xBF" + text.toUtf8() << "\xEF\xBB\xBF" + more.toUtf8() << false;
    QTest::newRow("UTF-16 LE, CR LF")
        << utf16(crlf(text), true) << utf16(crlf(more), true) << false;
    QTest::newRow("UTF-16 BE") << utf16(text, false) << utf16(more, false) << false;
    QTest::newRow("Latin-1, saved as UTF-8 when asked") << text.toLatin1() << more.toUtf8() << true;
}

void TestSequenceE2e::encodingsKept()
{
    QFETCH(QByteArray, bytes);
    QFETCH(QByteArray, saved);
    QFETCH(bool, asked);

    EditorOnly e;
    const QString path = m_dir.filePath("encoded.txt");
    writeBytes(path, bytes);
    QVERIFY(e.window->openFile(path));
    QCOMPARE(e.window->editor->toPlainText(), QStringLiteral("# 25 °C\nset 5V\n"));
    QCOMPARE(e.window->checkLabel->text(), QString());
    QVERIFY(e.window->summaryLabel->text().startsWith("1 steps"));

    e.window->editor->moveCursor(QTextCursor::End);
    e.window->editor->insertPlainText(QStringLiteral("hold 2s\n"));
    e.answer = false;
    QCOMPARE(e.window->save(), !asked);
    if (asked) {
        QCOMPARE(fileBytes(path), bytes);
        e.answer = true;
        QVERIFY(e.window->save());
        QCOMPARE(e.window->fileEncoding(), panels::TextEncoding::Utf8);
    }
    QCOMPARE(e.asked.size(), asked ? 2 : 0);
    QCOMPARE(fileBytes(path), saved);
    // What was saved is what a run takes.
    QVERIFY(!sequence::parseSequenceFile(saved.toStdString()).error);
    e.window->close();
}

void TestSequenceE2e::unsavedEditsAsked_data()
{
    using Unsaved = panels::SequenceWindow::Unsaved;
    QTest::addColumn<QString>("how");
    QTest::addColumn<bool>("edited");
    QTest::addColumn<int>("answer");
    QTest::addColumn<bool>("replaced");
    QTest::addColumn<QString>("fileAfter"); // the first file's text afterwards

    for (const QString how : {"open", "example"}) {
        QTest::addRow("%s, cancelled", qPrintable(how))
            << how << true << int(Unsaved::Cancel) << false << "set 1V\n";
        QTest::addRow("%s, discarded", qPrintable(how))
            << how << true << int(Unsaved::Discard) << true << "set 1V\n";
        QTest::addRow("%s, saved", qPrintable(how))
            << how << true << int(Unsaved::Save) << true << "set 2V\n";
        QTest::addRow("%s, nothing to ask", qPrintable(how))
            << how << false << int(Unsaved::Cancel) << true << "set 1V\n";
    }
}

void TestSequenceE2e::unsavedEditsAsked()
{
    using Unsaved = panels::SequenceWindow::Unsaved;
    QFETCH(QString, how);
    QFETCH(bool, edited);
    QFETCH(int, answer);
    QFETCH(bool, replaced);
    QFETCH(QString, fileAfter);

    EditorOnly e;
    const QString first = m_dir.filePath("first.txt"), second = m_dir.filePath("second.txt");
    writeBytes(first, "set 1V\n");
    writeBytes(second, "set 3V\n");
    QVERIFY(e.window->openFile(first));
    if (edited) {
        type(e.window, QStringLiteral("set 2V\n"));
    }
    int questions = 0;
    e.window->askUnsaved = [&](QWidget *) {
        ++questions;
        return Unsaved(answer);
    };
    QStringList prompts;
    const auto prompt = [&](QWidget *, const QString &caption, const QString &, const QString &) {
        prompts << caption;
        return caption.startsWith("Open") ? second : m_dir.filePath("third.txt");
    };
    e.window->setOpenPrompt(prompt);
    e.window->setSavePrompt(prompt);
    if (how == "open") {
        e.window->openButton->click();
    } else {
        e.window->examplesButton->menu()->actions().first()->trigger();
    }
    QCOMPARE(questions, edited ? 1 : 0);
    QCOMPARE(QString::fromUtf8(fileBytes(first)), fileAfter);
    if (!replaced) {
        QCOMPARE(e.window->editor->toPlainText(), QStringLiteral("set 2V\n"));
        QCOMPARE(e.window->filePath(), first);
        return;
    }
    if (how == "open") {
        QCOMPARE(e.window->editor->toPlainText(), QStringLiteral("set 3V\n"));
        QCOMPARE(e.window->filePath(), second);
        return;
    }
    // An example is untitled: a save asks where it goes and leaves the first file be.
    QVERIFY(e.window->editor->toPlainText().startsWith("# CC-CV charge"));
    QCOMPARE(e.window->filePath(), QString());
    QVERIFY(!e.window->windowTitle().contains("first.txt"));
    prompts.clear();
    QVERIFY(e.window->save());
    QCOMPARE(prompts.size(), 1);
    QCOMPARE(QString::fromUtf8(fileBytes(first)), fileAfter);
    QVERIFY(fileBytes(m_dir.filePath("third.txt")).startsWith("# CC-CV charge"));
    QFile::remove(m_dir.filePath("third.txt"));
    e.window->close();
}

void TestSequenceE2e::changesOnDisk()
{
    EditorOnly e;
    const QString path = m_dir.filePath("watched.txt");
    writeBytes(path, "set 1V\n");
    QVERIFY(e.window->openFile(path));

    // Unchanged here: a change outside is offered for reloading.
    writeBytes(path, "set 4V\n");
    QTRY_COMPARE(e.asked.size(), 1);
    QVERIFY(e.asked.last().endsWith("was changed on disk. Reload it?"));
    QCOMPARE(e.window->editor->toPlainText(), QStringLiteral("set 4V\n"));
    QVERIFY(!e.window->modified());

    // Changed here and declined: the edit stays, and a save asks before it
    // overwrites the outside change.
    type(e.window, QStringLiteral("set 5V\n"));
    e.answer = false;
    writeBytes(path, "set 6V\n");
    QTRY_COMPARE(e.asked.size(), 2);
    QVERIFY(e.asked.last().contains("lose your changes"));
    QCOMPARE(e.window->editor->toPlainText(), QStringLiteral("set 5V\n"));
    QVERIFY(!e.window->save());
    QVERIFY(e.asked.last().endsWith("was changed on disk since it was read. Overwrite it?"));
    QCOMPARE(fileBytes(path), QByteArray("set 6V\n"));
    e.answer = true;
    QVERIFY(e.window->save());
    QCOMPARE(fileBytes(path), QByteArray("set 5V\n"));
    // Its own save is not taken for a change outside, and the file is still watched.
    const qsizetype asked = e.asked.size();
    QTest::qWait(1000);
    QCOMPARE(e.asked.size(), asked);
    writeBytes(path, "set 7V\n");
    QTRY_COMPARE(e.asked.size(), asked + 1);
    QCOMPARE(e.window->editor->toPlainText(), QStringLiteral("set 7V\n"));
    // A change while the window is closed is asked about when it is shown again.
    e.window->close();
    writeBytes(path, "set 8V\n");
    QTest::qWait(1000);
    QCOMPARE(e.asked.size(), asked + 1);
    e.form.panels().showSequenceWindow();
    QTRY_COMPARE(e.asked.size(), asked + 2);
    QCOMPARE(e.window->editor->toPlainText(), QStringLiteral("set 8V\n"));
    e.window->close();
}

void TestSequenceE2e::editorKeys()
{
    EditorOnly e;
    e.window->show();
    QVERIFY(QTest::qWaitForWindowActive(e.window));
    auto *editor = e.window->editor;
    editor->setPlainText(QStringLiteral("repeat 2\n  output on"));
    editor->moveCursor(QTextCursor::End);
    editor->setFocus();
    QTRY_VERIFY(editor->hasFocus());
    // A new line keeps the indentation of the one before it.
    QTest::keyClick(editor, Qt::Key_Return);
    QTest::keyClicks(editor, QStringLiteral("hold 1s"));
    QCOMPARE(editor->toPlainText(), QStringLiteral("repeat 2\n  output on\n  hold 1s"));
    // Tab leaves the editor for the window's buttons and fields.
    QTest::keyClick(editor, Qt::Key_Tab);
    QTRY_VERIFY(!editor->hasFocus());
    QCOMPARE(editor->toPlainText(), QStringLiteral("repeat 2\n  output on\n  hold 1s"));
    e.window->editor->document()->setModified(false);
    e.window->close();
}

void TestSequenceE2e::fitsTheScreen()
{
    EditorOnly e;
    e.window->show();
    const QRect available = e.window->screen()->availableGeometry();
    QVERIFY2(e.window->width() <= available.width() && e.window->height() <= available.height(),
             qPrintable(QStringLiteral("%1x%2 on %3x%4")
                            .arg(e.window->width())
                            .arg(e.window->height())
                            .arg(available.width())
                            .arg(available.height())));
    // Its parts shrink to a 1024 x 700 screen, the frame and a taskbar taken off.
    const QSize least = e.window->minimumSizeHint();
    QVERIFY2(least.width() <= 1000 && least.height() <= 640,
             qPrintable(QStringLiteral("%1x%2").arg(least.width()).arg(least.height())));
    e.window->close();
}

void TestSequenceE2e::previewFollowsTheText()
{
    EditorOnly e;
    if (qobject_cast<QLabel *>(e.window->plot)) {
        QSKIP("This build draws no preview.");
    }
    e.window->editor->setPlainText(QStringLiteral("set 5V 1A\noutput on\nhold 4h\n"));
    e.window->checkNow();
    QVERIFY(panels::drawnPlanPoints(e.window->plot) > 0);
    // A text with an error has no plan: the last one is not left standing.
    e.window->editor->setPlainText(QStringLiteral("set 5V 1A\nhold 4 hours\n"));
    e.window->checkNow();
    QCOMPARE(panels::drawnPlanPoints(e.window->plot), 0);
    QVERIFY2(e.window->previewNote->text().contains("line 2"),
             qPrintable(e.window->previewNote->text()));
    e.window->editor->document()->setModified(false);
    e.window->close();
}

#include "tst_e2e_sequence.moc"
