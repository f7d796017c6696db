// The pieces of the sequence, recording and limits windows that need no supply:
// the preview's plan, the ceilings, a write confirmed by the polls after it, a
// sequence file's encodings, the run's time line, and what the limits and records
// fields take.

#include "engine/client.h"
#include "line/enginecommcontrol.h"
#include "panels/monitorlink.h"
#include "panels/monitorpanels.h"
#include "panels/preview.h"
#include "panels/recorder.h"
#include "panels/runline.h"
#include "panels/sequencefile.h"
#include "panels/timetext.h"
#include "panels/windows.h"
#include "support/fakecommcontrol.h"
#include "ui/ceilings.h"
#include "ui/messenger.h"

#include <QAction>
#include <QCheckBox>
#include <QElapsedTimer>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSettings>
#include <QTemporaryDir>
#include <QtTest>

Q_DECLARE_METATYPE(panels::TextEncoding)

using panels::MonitorLink;
using ui::Ceilings;

namespace {

sequence::Sequence parsed(const char *text)
{
    const sequence::ParsedSequence p = sequence::parseSequence(text);
    return p.sequence;
}

protocol::StatusReading reading(int volts10mV, int amps1mA, bool on)
{
    protocol::StatusReading r;
    r.setVoltage = 1200;
    r.setCurrent = 1000;
    r.actualVoltage = static_cast<std::uint16_t>(volts10mV);
    r.actualCurrent = static_cast<std::uint16_t>(amps1mA);
    r.outputOn = on;
    return r;
}

class Messages : public ui::Messenger {
public:
    void inform(QWidget *, const QString &text) override { texts << text; }
    QStringList texts;
};

} // namespace

class TestPanels : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void preview_data();
    void preview();
    void previewCut_data();
    void previewCut();
    void previewOutput_data();
    void previewOutput();
    void timeScale_data();
    void timeScale();
    void runTime_data();
    void runTime();
    void sequenceFile_data();
    void sequenceFile();
    void ceilings_data();
    void ceilings();
    void confirmedWrite_data();
    void confirmedWrite();
    void pollsFromTheEngine_data();
    void pollsFromTheEngine();
    void typedCeilings_data();
    void typedCeilings();
    void recordsFolder_data();
    void recordsFolder();
    void recordingNeedsThePolls();
    void rowsKeepTheMonotonicClock_data();
    void rowsKeepTheMonotonicClock();

private:
    QTemporaryDir m_dir;
};

void TestPanels::initTestCase()
{
    QVERIFY(m_dir.isValid());
    QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, m_dir.filePath("settings"));
}

void TestPanels::preview_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<double>("endSeconds");
    QTest::addColumn<int>("sweepPoints");
    QTest::addColumn<int>("openEnds");
    QTest::addColumn<QString>("summary"); // what the plot leaves out, a part of it
    QTest::addColumn<QString>("lastSet"); // volts,amps at the end

    QTest::newRow("hold and set") << "set 12V 1A\nhold 2s\nset 5V\nhold 500ms\n"
                                  << 2.5 << 0 << 0 << ""
                                  << "5,1";
    QTest::newRow("until at its max") << "set 4.2V 1A\nuntil current < 0.1A max 30s\n"
                                      << 30.0 << 0 << 0 << ""
                                      << "4.2,1";
    QTest::newRow("until open-ended") << "until voltage > 4V\nhold 1s\n"
                                      << panels::kOpenEndedSeconds + 1 << 0 << 1 << ""
                                      << "0,0";
    QTest::newRow("sweep of current") << "sweep current 0.1A 0.5A 0.2A dwell 2s\n"
                                      << 6.0 << 3 << 0 << ""
                                      << "0,0.5";
    QTest::newRow("sweep of voltage") << "sweep voltage 1V 3V 1V dwell 1s\n"
                                      << 3.0 << 3 << 0 << ""
                                      << "3,0";
    QTest::newRow("nested repeats")
        << "repeat 3\nrepeat 2\nset 1V\nhold 1s\nset 2V\nhold 1s\nend\nend\n"
        << 12.0 << 0 << 0 << ""
        << "2,0";
    QTest::newRow("repeats cut short")
        << "repeat 100000\nset 1V\nhold 1s\nset 2V\nhold 1s\nend\n"
        << -1.0 << 0 << 0 << "of 100000 passes of the repeat at line 1"
        << "";
}

void TestPanels::preview()
{
    QFETCH(QString, text);
    QFETCH(double, endSeconds);
    QFETCH(int, sweepPoints);
    QFETCH(int, openEnds);
    QFETCH(QString, summary);
    QFETCH(QString, lastSet);

    const sequence::ParsedSequence p = sequence::parseSequence(text.toStdString());
    QVERIFY(!p.error);
    const panels::Preview plan = panels::planPreview(p.sequence, 0, 0, 1000);
    QVERIFY(plan.points.size() <= 1000 + 4);
    QCOMPARE(int(plan.sweepPoints.size()), sweepPoints);
    QCOMPARE(int(plan.openEnds.size()), openEnds);
    QVERIFY2(summary.isEmpty() ? plan.summary.isEmpty() : plan.summary.contains(summary),
             qPrintable(plan.summary));
    // Each point is marked at the end of its dwell, at the value it held.
    for (std::size_t i = 0; i < plan.sweepPoints.size(); ++i) {
        QCOMPARE(plan.sweepPoints[i].seconds, endSeconds / sweepPoints * (i + 1));
        if (text.startsWith("sweep voltage")) {
            QCOMPARE(plan.sweepPoints[i].volts, 1.0 + i);
        }
    }
    // Time never runs backwards.
    for (std::size_t i = 1; i < plan.points.size(); ++i) {
        QVERIFY(plan.points[i].seconds >= plan.points[i - 1].seconds);
    }
    if (endSeconds >= 0) {
        QCOMPARE(plan.points.back().seconds, endSeconds);
        QCOMPARE(QStringLiteral("%1,%2").arg(plan.points.back().volts).arg(plan.points.back().amps),
                 lastSet);
    }
}

void TestPanels::previewCut_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<int>("most");
    QTest::addColumn<int>("sweepPoints");
    // What the note says, outermost first; empty when the plan is drawn whole.
    QTest::addColumn<QStringList>("summary");

    const QString sweep = "set 0V 1A\nsweep voltage 0V 60V 0.01V dwell 100ms\n";
    QTest::newRow("6001 points drawn whole")
        << sweep << int(panels::kMostPreviewPoints) << 6001 << QStringList();
    QTest::newRow("a sweep cut short is said")
        << sweep << 1000 << 499 << QStringList{"499 of 6001 points of the sweep at line 2"};
    const QString nested = "repeat 10\nrepeat 1000\nset 1V\nhold 1s\nset 2V\nhold 1s\nend\nend\n";
    QTest::newRow("nested: the outer repeat in its first pass")
        << nested << 1000 << 0
        << QStringList{"1 of 10 passes of the repeat at line 1",
                       "of 1000 passes of the repeat at line 2"};
    QTest::newRow("a sweep inside a repeat")
        << "repeat 3\nsweep current 0A 3A 0.001A dwell 1s\nend\n"
        << 5000 << 2500
        << QStringList{"1 of 3 passes of the repeat at line 1",
                       "2500 of 3001 points of the sweep at line 2"};
}

void TestPanels::previewCut()
{
    QFETCH(QString, text);
    QFETCH(int, most);
    QFETCH(int, sweepPoints);
    QFETCH(QStringList, summary);

    const sequence::ParsedSequence p = sequence::parseSequence(text.toStdString());
    QVERIFY(!p.error);
    const panels::Preview plan = panels::planPreview(p.sequence, 0, 0, std::size_t(most));
    QCOMPARE(int(plan.sweepPoints.size()), sweepPoints);
    if (summary.isEmpty()) {
        QCOMPARE(plan.summary, QString());
        QCOMPARE(plan.points.back().volts, 60.0);
        QVERIFY(qAbs(plan.points.back().seconds - 600.1) < 1e-6);
        return;
    }
    qsizetype at = 0;
    for (const QString &part : summary) {
        const qsizetype found = plan.summary.indexOf(part);
        QVERIFY2(found >= at, qPrintable(plan.summary));
        at = found;
    }
}

void TestPanels::previewOutput_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<bool>("startOn");
    QTest::addColumn<QString>("offSpans"); // seconds, "from-to" each

    QTest::newRow("burn-in cycles") << "repeat 2\noutput on\nhold 30m\noutput off\nhold 5m\nend\n"
                                    << false << "1800-2100 3900-4200";
    QTest::newRow("off from the start until switched on") << "set 5V\nhold 2s\noutput on\nhold 1s\n"
                                                          << false << "0-2";
    QTest::newRow("on from the start") << "hold 10s\noutput off\nhold 5s\n" << true << "10-15";
    QTest::newRow("never switched") << "hold 10s\n" << true << "";
    QTest::newRow("off all along") << "hold 10s\noutput off\n" << false << "0-10";
}

void TestPanels::previewOutput()
{
    QFETCH(QString, text);
    QFETCH(bool, startOn);
    QFETCH(QString, offSpans);

    const sequence::ParsedSequence p = sequence::parseSequence(text.toStdString());
    QVERIFY(!p.error);
    const panels::Preview plan =
        panels::planPreview(p.sequence, 0, 0, panels::kMostPreviewPoints, startOn);
    QStringList spans;
    for (const auto &span : plan.offSpans) {
        spans << QStringLiteral("%1-%2").arg(span.from).arg(span.to);
    }
    QCOMPARE(spans.join(' '), offSpans);
}

void TestPanels::timeScale_data()
{
    QTest::addColumn<double>("span");
    QTest::addColumn<QString>("unit");

    QTest::newRow("an I-V sweep") << 25.0 << "s";
    QTest::newRow("three minutes") << 180.0 << "s";
    QTest::newRow("just over") << 181.0 << "min";
    QTest::newRow("three hours") << 10800.0 << "min";
    QTest::newRow("a four-hour charge") << 14400.0 << "h";
    QTest::newRow("a burn-in") << 21000.0 << "h";
}

void TestPanels::timeScale()
{
    QFETCH(double, span);
    QFETCH(QString, unit);
    const panels::TimeScale scale = panels::timeScaleFor(span);
    QCOMPARE(scale.unit, unit);
    // The plan's end falls between 3 and 180 units, never 0-21000.
    QVERIFY(span / scale.secondsPerUnit <= 180);
}

void TestPanels::runTime_data()
{
    QTest::addColumn<double>("elapsed");
    QTest::addColumn<double>("remaining"); // < 0: none known
    QTest::addColumn<bool>("running");
    QTest::addColumn<QString>("text");

    QTest::newRow("a charge's start")
        << 2.913 << 14398.25 << true << "elapsed 0:00:03, remaining at most 3:59:58";
    QTest::newRow("half seconds round up")
        << 59.5 << 0.4 << true << "elapsed 0:01:00, remaining at most 0:00:00";
    QTest::newRow("beyond a day") << 93784.0 << 3600.0 << true
                                  << "elapsed 26:03:04, remaining at most 1:00:00";
    QTest::newRow("an until without max ahead")
        << 61.0 << -1.0 << true << "elapsed 0:01:01, remaining unknown: an until has no max";
    QTest::newRow("stopped with hours planned") << 7.2 << 0.0 << false << "elapsed 0:00:07, ended";
}

void TestPanels::runTime()
{
    QFETCH(double, elapsed);
    QFETCH(double, remaining);
    QFETCH(bool, running);
    QFETCH(QString, text);
    QCOMPARE(panels::runTimeText(
                 elapsed, remaining < 0 ? std::nullopt : std::optional<double>(remaining), running),
             text);
}

void TestPanels::sequenceFile_data()
{
    using panels::TextEncoding;
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QString>("text"); // as the editor shows it
    QTest::addColumn<TextEncoding>("encoding");
    QTest::addColumn<bool>("crlf");
    QTest::addColumn<QString>("error");

    const QString plain = QStringLiteral("# 25 °C\nset 5V\nhold 1s\n");
    const QString crlf = QString(plain).replace("\n", "\r\n");
    const auto utf16 = [](const QString &text, bool le) {
        QByteArray out = le ? QByteArray("\xFF\xFE") : QByteArray("\xFE\xFF");
        for (const QChar c : text) {
            const char high = char(c.unicode() >> 8), low = char(c.unicode() & 0xFF);
            out.append(le ? low : high).append(le ? high : low);
        }
        return out;
    };
    QTest::newRow("UTF-8") << plain.toUtf8() << plain << TextEncoding::Utf8 << false << "";
    QTest::newRow("UTF-8 with its mark") << QByteArray("\xEF\xBB\xBF") + plain.toUtf8() << plain
                                         << TextEncoding::Utf8Bom << false << "";
    QTest::newRow("UTF-16 LE, CR LF, as PowerShell writes it")
        << utf16(crlf, true) << plain << TextEncoding::Utf16Le << true << "";
    QTest::newRow("UTF-16 BE") << utf16(plain, false) << plain << TextEncoding::Utf16Be << false
                               << "";
    QTest::newRow("UTF-8, CR LF") << crlf.toUtf8() << plain << TextEncoding::Utf8 << true << "";
    QTest::newRow("Latin-1") << plain.toLatin1() << plain << TextEncoding::Other << false << "";
    QTest::newRow("UTF-16 cut off inside a character")
        << utf16(plain, true).chopped(1) << "" << TextEncoding::Utf16Le << false
        << "cut off inside a character";
}

void TestPanels::sequenceFile()
{
    QFETCH(QByteArray, bytes);
    QFETCH(QString, text);
    QFETCH(panels::TextEncoding, encoding);
    QFETCH(bool, crlf);
    QFETCH(QString, error);

    const panels::SequenceFileText read = panels::decodeSequenceFile(bytes);
    QCOMPARE(read.encoding, encoding);
    if (!error.isEmpty()) {
        QVERIFY2(read.error.contains(error), qPrintable(read.error));
        // A run refuses it too.
        QVERIFY(sequence::parseSequenceFile(bytes.toStdString()).error);
        return;
    }
    QCOMPARE(read.error, QString());
    QCOMPARE(read.text, text);
    QCOMPARE(read.crlf, crlf);
    // The editor's text checks as the run checks the file.
    const sequence::ParsedSequence asRun = sequence::parseSequenceFile(bytes.toStdString());
    const sequence::ParsedSequence asShown = sequence::parseSequence(read.text.toStdString());
    QVERIFY(!asRun.error && !asShown.error);
    QCOMPARE(asShown.sequence.plan(), asRun.sequence.plan());
    // Saved back unchanged, it is the same bytes; Latin-1 is saved as UTF-8.
    const QByteArray saved = panels::encodeSequenceFile(read.text, read.encoding, read.crlf);
    QCOMPARE(saved, encoding == panels::TextEncoding::Other ? text.toUtf8() : bytes);
}

void TestPanels::ceilings_data()
{
    QTest::addColumn<int>("volts"); // reading, 10 mV
    QTest::addColumn<int>("amps");  // reading, 1 mA
    QTest::addColumn<QString>("exceeded");

    // Ceilings of 12.00 V, 1.000 A and 10 W; one count above is within the resolution.
    QTest::newRow("at the ceilings") << 1200 << 800 << "";
    QTest::newRow("one count above") << 1201 << 801 << "";
    QTest::newRow("two counts above the voltage")
        << 1202 << 0 << "12.02 V above the ceiling of 12.00 V";
    QTest::newRow("two counts above the current")
        << 500 << 1002 << "1.002 A above the ceiling of 1.000 A";
    QTest::newRow("power") << 1100 << 950 << "10.45 W above the ceiling of 10.00 W";
    QTest::newRow("power within the resolution") << 1000 << 1001 << "";
}

void TestPanels::ceilings()
{
    QFETCH(int, volts);
    QFETCH(int, amps);
    QFETCH(QString, exceeded);
    Ceilings c;
    c.volts = 12.0;
    c.amps = 1.0;
    c.watts = 10.0;
    QCOMPARE(c.exceededBy(reading(volts, amps, true)), exceeded);

    // Set values: refused above the ceiling, named; a whole sequence by its line.
    QVERIFY(c.refusesVoltage(12.0).isEmpty());
    QVERIFY(c.refusesVoltage(12.01).contains("above the voltage ceiling of 12.00 V"));
    QVERIFY(c.refusesCurrent(1.001).contains("above the current ceiling of 1.000 A"));
    QCOMPARE(c.refusesSequence(parsed("set 5V 0.5A\nsweep voltage 10V 13V 1V\n")),
             QStringLiteral("line 2: 13.00 V is above the voltage ceiling of 12.00 V: nothing was "
                            "sent."));
    QVERIFY(Ceilings{}.exceededBy(reading(6000, 3000, true)).isEmpty());
}

void TestPanels::confirmedWrite_data()
{
    // Each poll after the write: 'y' shows the value, 'n' shows another, 't' times out.
    QTest::addColumn<QString>("polls");
    QTest::addColumn<int>("answer"); // the write's own reply: its error
    QTest::addColumn<int>("sent");
    QTest::addColumn<QString>("outcome"); // "confirmed", the problem, or "" when still open

    const int good = int(engine::Error::None);
    QTest::newRow("first poll") << "y" << good << 1 << "confirmed";
    QTest::newRow("third poll") << "nty" << good << 1 << "confirmed";
    QTest::newRow("after the retry") << "nnny" << good << 2 << "confirmed";
    QTest::newRow("still waiting for the retry") << "nnnnn" << good << 2 << "";
    QTest::newRow("never") << "nnnnnn" << good << 2 << "the read-back differs";
    QTest::newRow("silence") << "tttttt" << good << 2 << "no read-back (timeout)";
    // The write's own reply counts: a refusal is said as what it is, at once.
    QTest::newRow("write refused by the supply")
        << "" << int(engine::Error::Exception) << 2 << "exception 2";
    QTest::newRow("write unanswered") << "" << int(engine::Error::Timeout) << 2 << "timeout";
    QTest::newRow("port refuses") << "" << int(engine::Error::Port) << 1 << "port";
}

void TestPanels::confirmedWrite()
{
    QFETCH(QString, polls);
    QFETCH(int, answer);
    QFETCH(int, sent);
    QFETCH(QString, outcome);

    MonitorLink link;
    int frames = 0;
    link.send = [&](const protocol::Frame &, const MonitorLink::Sent &written) {
        ++frames;
        records::Sent reply;
        reply.failure = {engine::Error(answer), answer == int(engine::Error::Exception) ? 2 : 0};
        reply.wentOut = true;
        written(reply);
    };
    link.address = [] { return std::optional<std::uint8_t>(1); };
    QString result;
    link.switchOutput(false, [&](const records::WriteResult &written) {
        result = written.confirmed ? QStringLiteral("confirmed") : written.problem;
    });
    for (const QChar c : polls) {
        panels::Poll poll;
        poll.address = 1;
        if (c == 'y') {
            poll.reading = reading(0, 0, false);
        } else if (c == 'n') {
            poll.reading = reading(500, 100, true);
        } else {
            poll.failure = {engine::Error::Timeout};
        }
        link.take(poll);
    }
    QCOMPARE(frames, sent);
    QCOMPARE(result, outcome);
}

void TestPanels::pollsFromTheEngine_data()
{
    QTest::addColumn<QByteArray>("answer"); // 40 ms after the request; empty: silence
    QTest::addColumn<QString>("word");      // the poll's error word, empty for a reading

    // Set 12.34 V / 1.500 A, actual 12.32 V / 0.500 A, output on, CV, from address 1.
    const QByteArray status = QByteArray::fromHex("01030C04D205DC04D001F400010001E92B");
    QByteArray badCrc = status;
    badCrc[16] = char(badCrc[16] ^ 0xFF);
    QTest::newRow("reading") << status << "";
    QTest::newRow("silence") << QByteArray() << "timeout";
    QTest::newRow("bad crc") << badCrc << "crc";
    QTest::newRow("exception") << QByteArray::fromHex("018302C0F1") << "exception 2";
}

void TestPanels::pollsFromTheEngine()
{
    QFETCH(QByteArray, answer);
    QFETCH(QString, word);

    testsupport::FakeCommControl port;
    port.setPort(1, testsupport::FakeCommControl::Port::Free);
    engine::Client client(port);
    client.setStartQuiet(std::chrono::milliseconds(0));
    client.setTimeout(std::chrono::milliseconds(150));
    line::EngineCommControl control(port, client);
    control.setCommPort(1);
    control.setPortOpen(true);
    MonitorLink link;
    connect(&control, &line::EngineCommControl::replied, &link, &MonitorLink::replied);
    QList<panels::Poll> polls;
    connect(&link, &MonitorLink::polled, this, [&polls](const panels::Poll &p) { polls << p; });

    const protocol::Frame request = protocol::buildReadStatusRequest(1);
    control.setOutput(QByteArray(reinterpret_cast<const char *>(request.data()),
                                 static_cast<qsizetype>(request.size())));
    QTRY_COMPARE(port.written.size(), 1);
    if (!answer.isEmpty()) {
        QTest::qWait(40);
        port.feed(answer);
    }
    // The poll ends with its reply or its timeout, never waiting for a next poll:
    // none is sent here.
    QTRY_COMPARE_WITH_TIMEOUT(polls.size(), 1, 5000);
    QCOMPARE(port.written.size(), 1);
    QCOMPARE(polls[0].address, 1);
    QCOMPARE(polls[0].failure.word(), word);
    QCOMPARE(polls[0].reading.has_value(), word.isEmpty());
    QVERIFY(qAbs(polls[0].time.msecsTo(QDateTime::currentDateTime())) < 1000);
    // A write of the window's is no poll.
    const protocol::Frame write = protocol::buildSwitchOutputRequest(1, false);
    control.setOutput(QByteArray(reinterpret_cast<const char *>(write.data()),
                                 static_cast<qsizetype>(write.size())));
    QTRY_VERIFY_WITH_TIMEOUT(client.idle() && control.requestsOutstanding() == 0, 1000);
    QCOMPARE(polls.size(), 1);
}

void TestPanels::typedCeilings_data()
{
    QTest::addColumn<QString>("typed");  // into the voltage field, its ceiling checked
    QTest::addColumn<double>("applied"); // -1: refused, nothing changed
    QTest::addColumn<QString>("said");

    QTest::newRow("plain") << "12.5" << 12.5 << "ceilings active: 12.50 V";
    QTest::newRow("with its unit") << " 12.5 V " << 12.5 << "ceilings active: 12.50 V";
    QTest::newRow("the top") << "62" << 62.0 << "ceilings active: 62.00 V";
    QTest::newRow("exponent, far above") << "1e9" << -1.0 << "1e9 is outside 0 to 62.00 V";
    QTest::newRow("two digits above") << "99" << -1.0 << "99 is outside 0 to 62.00 V";
    QTest::newRow("negative") << "-1" << -1.0 << "-1 is outside 0 to 62.00 V";
    QTest::newRow("decimal comma") << "12,5" << -1.0 << "12,5 is not a number";
    QTest::newRow("words") << "abc" << -1.0 << "abc is not a number";
    QTest::newRow("infinite") << "inf" << -1.0 << "inf is not a number";
    QTest::newRow("empty") << "" << -1.0 << "no value is given";
}

void TestPanels::typedCeilings()
{
    QFETCH(QString, typed);
    QFETCH(double, applied);
    QFETCH(QString, said);

    QWidget window;
    Messages messages;
    panels::MonitorPanels panels(&window, {}, messages);
    Ceilings before;
    before.volts = 30.0;
    panels.setCeilings(before);
    panels::LimitsWindow limits(panels, &window);
    QCOMPARE(limits.volts->text(), QStringLiteral("30.00"));
    limits.voltsOn->setChecked(true);
    limits.volts->setText(typed);
    limits.applyButton->click();
    QVERIFY2(limits.stateLabel->text().contains(said), qPrintable(limits.stateLabel->text()));
    QCOMPARE(panels.ceilings().volts,
             applied < 0 ? std::optional<double>(30.0) : std::optional<double>(applied));
    QCOMPARE(limits.volts->text(), typed); // as typed, never cut short
    panels.setCeilings({});
}

void TestPanels::recordsFolder_data()
{
    QTest::addColumn<QString>("typed"); // "@" stands for a fresh temporary folder
    QTest::addColumn<bool>("taken");
    QTest::addColumn<QString>("said");

    QTest::newRow("relative") << "abc" << false << "abc is not a full path";
    QTest::newRow("dot") << "./records" << false << "is not a full path";
    QTest::newRow("empty") << "" << false << "no folder is given";
    QTest::newRow("a file") << "@/file" << false << "is a file, not a folder";
    QTest::newRow("under a file") << "@/file/records" << false << "is a file, not a folder";
    QTest::newRow("existing") << "@" << true << "";
    QTest::newRow("to be made") << "@/new/records" << true << "";
}

void TestPanels::recordsFolder()
{
    QFETCH(QString, typed);
    QFETCH(bool, taken);
    QFETCH(QString, said);

    QTemporaryDir dir;
    QFile file(dir.filePath("file"));
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.close();
    typed.replace('@', dir.path());
    const QString old = m_dir.filePath("records");
    ui::userSettings()->setValue(QStringLiteral("records/folder"), old);

    QWidget window;
    Messages messages;
    panels::MonitorPanels panels(&window, {}, messages);
    panels::FolderRow row(panels, &window);
    row.folder->setText(typed);
    emit row.folder->editingFinished();
    QCOMPARE(panels.recordsFolder(), taken ? QDir::cleanPath(typed) : old);
    QCOMPARE(row.folder->text(), QDir::toNativeSeparators(panels.recordsFolder()));
    QCOMPARE(row.refusal->isHidden(), taken);
    QVERIFY2(row.refusal->text().contains(said), qPrintable(row.refusal->text()));
    QVERIFY(QFileInfo(file.fileName()).isFile());

    // A relative folder stored by an older version is not used either.
    ui::userSettings()->setValue(QStringLiteral("records/folder"), QStringLiteral("abc"));
    QVERIFY(QDir::isAbsolutePath(panels.recordsFolder()));
}

void TestPanels::recordingNeedsThePolls()
{
    // Without an open port and a running monitor no poll comes: nothing starts.
    QWidget window;
    window.show();
    Messages messages;
    panels::MonitorPanels panels(&window, {}, messages);
    panels.link().portOpen = [] { return false; };
    panels.recordAction()->trigger();
    QVERIFY(!panels.recorder().recording());
    QTRY_COMPARE(messages.texts, QStringList{"The serial port is not open: open it first."});
    panels.link().portOpen = [] { return true; };
    panels.link().monitorRunning = [] { return false; };
    QVERIFY(panels.startRecording(m_dir.filePath("r.csv")).contains("monitor is not running"));
    QVERIFY(!QFileInfo::exists(m_dir.filePath("r.csv")));
}

void TestPanels::rowsKeepTheMonotonicClock_data()
{
    QTest::addColumn<bool>("recorded"); // the recording's rows, else a run's
    QTest::newRow("recording") << true;
    QTest::newRow("run") << false;
}

// The wall clock steps an hour back and then a day ahead between polls (NTP, a
// change by hand): the rows' times and elapsed seconds follow the polls' send
// times on the monotonic clock, as the shell's rows do.
void TestPanels::rowsKeepTheMonotonicClock()
{
    QFETCH(bool, recorded);
    using namespace std::chrono_literals;
    MonitorLink link;
    panels::Recorder recorder(link);
    panels::WindowRunLine runLine(link, 1);
    QList<records::Row> runRows;
    const QString path = m_dir.filePath(QStringLiteral("clock-%1.csv").arg(recorded));
    if (recorded) {
        QCOMPARE(recorder.start(path), QString());
    } else {
        runLine.begin([&runRows](const records::Row &row) { runRows << row; },
                      [](const engine::Failure &) {});
    }
    const auto first = std::chrono::steady_clock::now();
    const QDateTime wall = QDateTime::currentDateTime();
    const QList<std::pair<std::chrono::milliseconds, qint64>> polls = {
        {0ms, 0}, {1500ms, -3600}, {2250ms, 86400}}; // since the first; the wall clock's step
    for (const auto &[since, step] : polls) {
        panels::Poll poll;
        poll.address = 1;
        poll.time = wall.addSecs(step).addMSecs(since.count());
        poll.sentTime = first + since;
        poll.reading = reading(1200, 500, true);
        link.take(poll);
    }
    QList<double> elapsed;
    QList<QDateTime> times;
    if (recorded) {
        recorder.stop();
        QFile file(path);
        QVERIFY(file.open(QIODevice::ReadOnly));
        const QList<QByteArray> lines = file.readAll().trimmed().split('\n');
        QCOMPARE(lines.size(), 4); // the header and three rows
        for (const QByteArray &line : lines.mid(1)) {
            const QList<QByteArray> cells = line.split(',');
            times << QDateTime::fromString(QString::fromLatin1(cells[0]), Qt::ISODateWithMs);
            elapsed << cells[1].toDouble();
        }
    } else {
        QCOMPARE(runRows.size(), 3);
        for (const records::Row &row : runRows) {
            times << row.time;
            elapsed << row.elapsedSeconds;
        }
    }
    QCOMPARE(elapsed, (QList<double>{0, 1.5, 2.25}));
    QVERIFY2(times[0].isValid(), qPrintable(times[0].toString()));
    QCOMPARE(times[0].msecsTo(times[1]), 1500);
    QCOMPARE(times[0].msecsTo(times[2]), 2250);
    // Named by the wall clock as it was when the rows began.
    QVERIFY(qAbs(times[0].msecsTo(wall)) < 60'000);
}

QTEST_MAIN(TestPanels)
#include "tst_panels.moc"
