// End to end: the vantel window against vantel-sim with a changing actual voltage,
// the trend opened through the window's context menu, its CSV and PNG exports
// checked against what the simulator sent, and nothing on the line but polls.

#include "support/recordingmessenger.h"
#include "support/simprocess.h"

#include "monitor/form1.h"
#include "serial/qtcommcontrol.h"
#include "trend/trendwindow.h"

#include <QAction>
#include <QCheckBox>
#include <QImage>
#include <QPushButton>
#include <QTemporaryDir>
#include <QtTest>

using monitor::Form1;
using testsupport::RecordingMessenger;
using testsupport::SimProcess;

namespace {

constexpr int kPollMs = 350;
constexpr int kWaitMs = 3000;
const QString kReadStatusAt1 = QStringLiteral("01 03 10 00 00 06 C1 08");

// The fields set_v,set_a,v,a,output,mode of a status reply as the simulator's
// trace shows it ("01 03 0C ..."), decoded here on their own.
QString replyFields(const QString &hex)
{
    const QStringList b = hex.split(' ');
    const auto word = [&](int i) {
        return (b[i].toInt(nullptr, 16) << 8) | b[i + 1].toInt(nullptr, 16);
    };
    const int mode = b[14].toInt(nullptr, 16);
    const QString modes[] = {"CC", "CV", "OC"};
    // As the log's CSV writes numbers: trailing zeros dropped.
    return QStringList{
        QString::number(word(3) / 100.0), QString::number(word(5) / 1000.0),
        QString::number(word(7) / 100.0), QString::number(word(9) / 1000.0),
        b[12] == "01" ? "1" : "0",        mode <= 2 ? modes[mode] : QString::number(mode)}
        .join(',');
}

// The value of the newest point of the voltage line.
double lastVolts(const trend::TrendWindow &trend)
{
    for (int i = 0; i < trend.view->graphCount(); ++i) {
        const QCPGraph *line = trend.view->graph(i);
        if (line->name().startsWith("Voltage") && !line->data()->isEmpty()) {
            return (line->data()->constEnd() - 1)->value;
        }
    }
    return -1;
}

// A left-button drag across the plot from `from` to `to`, as the mouse sends it.
void drag(QWidget *plot, QPoint from, QPoint to)
{
    const auto send = [plot](QEvent::Type type, QPoint at, Qt::MouseButtons held) {
        QMouseEvent event(type, at, plot->mapToGlobal(at), Qt::LeftButton, held, {});
        QApplication::sendEvent(plot, &event);
    };
    send(QEvent::MouseButtonPress, from, Qt::LeftButton);
    send(QEvent::MouseMove, (from + to) / 2, Qt::LeftButton);
    send(QEvent::MouseMove, to, Qt::LeftButton);
    send(QEvent::MouseButtonRelease, to, Qt::NoButton);
}

} // namespace

class TestTrendE2e : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void trendRecordsAndExports();

private:
    QTemporaryDir m_dir;
};

void TestTrendE2e::initTestCase()
{
    QVERIFY(m_dir.isValid());
    qputenv("VANTEL_PORT_DIR", QFile::encodeName(m_dir.path()));
}

void TestTrendE2e::trendRecordsAndExports()
{
    SimProcess sim(m_dir.path());
    QVERIFY(sim.start({"--port", "1", "--trace", "--voltage", "12.34", "--current", "1.5",
                       "--output", "on", "--actual-voltage", "10.00"}));
    serial::QtCommControl comm;
    RecordingMessenger messenger;
    Form1 form(comm, messenger);
    form.show();
    form.C32_Click();
    form.C31_Click();
    form.C1_Click();
    QVERIFY(form.monitorRunning);
    QTRY_COMPARE_WITH_TIMEOUT(form.T1->Text(), QStringLiteral("10.00"), kWaitMs);

    // The voltage changes before the trend window ever opens: it is recorded anyway.
    // Each value stays until the window has shown it, however late a busy machine
    // polls.
    const auto vary = [&](double from) {
        for (int i = 0; i < 4; ++i) {
            const QString volts = QString::number(from + i * 1.25, 'f', 2);
            sim.send(QStringLiteral("set actual-voltage ") + volts);
            if (!QTest::qWaitFor([&] { return form.T1->Text() == volts; }, kWaitMs)) {
                return false;
            }
        }
        return true;
    };
    QVERIFY(vary(10.01));

    // The context menu of the background and of every display box holds one entry.
    auto *action = form.findChild<QAction *>(QStringLiteral("trendAction"));
    QVERIFY(action);
    QCOMPARE(action->text(), QStringLiteral("Trend…"));
    QCOMPARE(action->shortcut(), QKeySequence(Qt::Key_F2));
    for (QWidget *w :
         QList<QWidget *>{&form, form.T1, form.T2, form.T3, form.T4, form.Text4, form.Text5}) {
        QCOMPARE(w->contextMenuPolicy(), Qt::ActionsContextMenu);
        QCOMPARE(w->actions(), QList<QAction *>{action});
    }
    const std::size_t beforeOpening = form.history().samples().size();
    QVERIFY(beforeOpening >= 4);
    action->trigger();
    auto *trend = form.findChild<trend::TrendWindow *>();
    QVERIFY(trend);
    QVERIFY(trend->isVisible());
    QVERIFY(trend->isWindow());
    QCOMPARE(trend->windowTitle(), QStringLiteral("vantel - trend"));
    trend->power->setChecked(true);
    QVERIFY(vary(20.02));
    // The plot follows: the latest voltage is drawn, and the axes span it.
    QTRY_VERIFY_WITH_TIMEOUT(lastVolts(*trend) == 23.77, kWaitMs);
    QVERIFY(trend->viewTo() - trend->viewFrom() == 60 * 1000);
    // A drag zooms in and holds that time while recording goes on; a double-click
    // returns to the time window.
    const QRect area = trend->view->axisRect()->rect();
    drag(trend->view, QPoint(area.left() + area.width() / 4, area.top() + 10),
         QPoint(area.left() + area.width() / 2, area.bottom() - 10));
    QTRY_VERIFY(trend->viewTo() - trend->viewFrom() < 20 * 1000);
    const std::int64_t zoomedTo = trend->viewTo();
    QTest::qWait(3 * kPollMs);
    QCOMPARE(trend->viewTo(), zoomedTo);
    QTest::mouseDClick(trend->view, Qt::LeftButton, {}, area.center());
    QCOMPARE(trend->viewTo() - trend->viewFrom(), 60 * 1000);
    QVERIFY(trend->viewTo() > zoomedTo);

    // A silence ends the segment: the next sample starts a new one.
    sim.send(QStringLiteral("fault silence on"));
    QTRY_COMPARE_WITH_TIMEOUT(messenger.messages.size(), 1, 3 * kWaitMs);
    const std::size_t beforeAnswer = form.history().samples().size();
    sim.send(QStringLiteral("fault silence off"));
    QTRY_VERIFY_WITH_TIMEOUT(form.history().samples().size() > beforeAnswer, kWaitMs);
    QVERIFY(form.history().samples()[beforeAnswer].segmentStart);
    QVERIFY(vary(30.03));
    form.C1_Click();
    QTest::qWait(2 * kPollMs);

    // Export through the buttons, the file dialog answered here.
    QStringList answers{m_dir.filePath("trend.csv"), m_dir.filePath("trend"),
                        m_dir.filePath("missing/trend.csv")};
    trend->setPathPrompt(
        [&](const QString &, const QString &, const QString &) { return answers.takeFirst(); });
    trend->saveCsvButton->click();
    trend->savePngButton->click();
    QCOMPARE(messenger.messages.size(), 1);
    trend->saveCsvButton->click();
    QCOMPARE(messenger.messages.size(), 2);
    QVERIFY2(messenger.messages.last().contains("missing/trend.csv") &&
                 messenger.messages.last().contains("could not be written"),
             qPrintable(messenger.messages.last()));

    const QImage picture(m_dir.filePath("trend.png"));
    QCOMPARE(picture.size(), trend->view->size() * trend->view->devicePixelRatio());

    // Every CSV row is a reply the simulator sent, in the order sent.
    QFile csv(m_dir.filePath("trend.csv"));
    QVERIFY(csv.open(QIODevice::ReadOnly | QIODevice::Text));
    QCOMPARE(csv.readLine(), QByteArray("time,elapsed_s,set_v,set_a,v,a,w,output,mode\n"));
    QStringList replies;
    for (const testsupport::TraceLine &line : sim.trace()) {
        if (line.kind == "tx" && line.hex.startsWith("01 03 0C")) {
            replies << replyFields(line.hex);
        }
    }
    qsizetype next = 0;
    int rows = 0;
    QSet<QString> volts;
    QDateTime previous;
    while (!csv.atEnd()) {
        const QStringList f = QString::fromLatin1(csv.readLine()).trimmed().split(',');
        QCOMPARE(f.size(), 9);
        const QDateTime time = QDateTime::fromString(f[0], Qt::ISODateWithMs);
        QVERIFY2(time.isValid() && time >= previous, qPrintable(f[0]));
        previous = time;
        const QString fields = QStringList{f[2], f[3], f[4], f[5], f[7], f[8]}.join(',');
        next = replies.indexOf(fields, next);
        QVERIFY2(next >= 0, qPrintable("not sent in this order: " + fields));
        ++next;
        QCOMPARE(f[6].toDouble(), f[4].toDouble() * f[5].toDouble());
        volts << f[4];
        ++rows;
    }
    QCOMPARE(std::size_t(rows), form.history().samples().size());
    QVERIFY2(rows >= replies.size() / 2, qPrintable(QString::number(rows)));
    QVERIFY2(volts.size() >= 12, qPrintable(QStringList(volts.values()).join(' ')));

    // The trend never sent anything: every request on the line is the monitor's poll.
    int polls = 0;
    for (const testsupport::TraceLine &line : sim.trace()) {
        if (line.kind == "rx") {
            QCOMPARE(line.hex, kReadStatusAt1);
            ++polls;
        }
    }
    QVERIFY(polls >= rows);
}

QTEST_MAIN(TestTrendE2e)
#include "tst_e2e_trend.moc"
