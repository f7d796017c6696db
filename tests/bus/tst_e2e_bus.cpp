// End to end: vantel's bus window against four simulated supplies on one port
// (vantel-sim --address 1,2,3,4), read through the main window's own engine beside
// its poll, over the real serial control and timers. The simulator's trace says
// what reached each supply.

#include "support/recordingmessenger.h"
#include "support/simprocess.h"

#include "bus/buswindow.h"
#include "bus/supplycard.h"
#include "engine/ceilingregistry.h"
#include "engine/client.h"
#include "line/enginecommcontrol.h"
#include "monitor/form1.h"
#include "panels/busentry.h"
#include "panels/monitorpanels.h"
#include "protocol/frames.h"
#include "records/format.h"
#include "ui/ceilings.h"

#include <QAction>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QSettings>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

using testsupport::SimProcess;
using testsupport::TraceLine;

namespace {

constexpr int kWaitMs = 5000;

QString hexOf(const protocol::Frame &frame)
{
    QStringList bytes;
    for (std::uint8_t b : frame) {
        bytes << QStringLiteral("%1").arg(b, 2, 16, QLatin1Char('0')).toUpper();
    }
    return bytes.join(QLatin1Char(' '));
}

QString readHex(int address)
{
    return hexOf(protocol::buildReadStatusRequest(static_cast<std::uint8_t>(address)));
}

QString switchOffHex(int address)
{
    return hexOf(protocol::buildSwitchOutputRequest(static_cast<std::uint8_t>(address), false));
}

// Requests of function 6 (register writes) that reached the simulator, by address.
QMap<int, int> writesByAddress(SimProcess &sim)
{
    QMap<int, int> writes;
    for (const TraceLine &line : sim.trace()) {
        if (line.kind == QStringLiteral("rx") && line.hex.mid(3, 2) == QStringLiteral("06")) {
            ++writes[line.address];
        }
    }
    return writes;
}

// The CSV cells address,set_v,set_a,v,a,output of every status reply in the trace.
QStringList repliesAsCells(SimProcess &sim)
{
    QStringList cells;
    for (const TraceLine &line : sim.trace()) {
        const QStringList b = line.hex.split(QLatin1Char(' '));
        if (line.kind != QStringLiteral("tx") || b.size() != 17 || b[1] != QStringLiteral("03")) {
            continue;
        }
        const auto word = [&b](int i) { return (b[3 + 2 * i] + b[4 + 2 * i]).toInt(nullptr, 16); };
        cells << QStringList{QString::number(b[0].toInt(nullptr, 16)),
                             records::shortestPoint(word(0), 2),
                             records::shortestPoint(word(1), 3),
                             records::shortestPoint(word(2), 2),
                             records::shortestPoint(word(3), 3),
                             QString::number(word(4) & 0xFF)}
                     .join(QLatin1Char(','));
    }
    return cells;
}

} // namespace

class TestBusE2e : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void bench_data();
    void bench();

private:
    QTemporaryDir m_dir;
};

void TestBusE2e::initTestCase()
{
    QVERIFY(m_dir.isValid());
    qputenv("VANTEL_PORT_DIR", QFile::encodeName(m_dir.path()));
    QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, m_dir.filePath("settings"));
    ui::userSettings()->setValue(QStringLiteral("records/folder"), m_dir.filePath("records"));
}

void TestBusE2e::bench_data()
{
    QTest::addColumn<QString>("what");
    for (const char *what : {"scan, cancelled", "every card polled", "a set on card 3",
                             "all outputs off", "all outputs off with a supply that never answers",
                             "supply 2 silenced", "a ceiling on card 4", "the record"}) {
        QTest::newRow(what) << QString::fromLatin1(what);
    }
}

void TestBusE2e::bench()
{
    QFETCH(QString, what);
    // Four supplies, output on into 10 ohms, each at its own voltage: 2, 3, 4, 5 V.
    SimProcess sim(m_dir.path());
    QVERIFY(sim.start({"--port", "1", "--address", "1,2,3,4", "--output", "on", "--trace"}));
    for (int a = 1; a <= 4; ++a) {
        QCOMPARE(sim.command(QStringLiteral("set voltage %1 %2").arg(a + 1).arg(a)),
                 QStringLiteral("ok"));
    }

    std::unique_ptr<line::EngineCommControl> engine = line::makeEngineCommControl();
    testsupport::RecordingMessenger messenger;
    monitor::Form1 form(*engine, messenger);
    form.show();
    // Without a port the entry opens nothing and says why.
    auto *entry = form.findChild<QAction *>(QStringLiteral("busAction"));
    QVERIFY(entry != nullptr);
    entry->trigger();
    QVERIFY(panels::busWindowOf(&form) == nullptr);
    QCOMPARE(messenger.messages.size(), 1);
    messenger.messages.clear();

    form.C32_Click();
    form.C31_Click();
    QVERIFY(engine->PortOpen());
    form.C1_Click(); // the main window's own poll of address 1 runs beside
    entry->trigger();
    bus::BusWindow *w = panels::busWindowOf(&form);
    QVERIFY(w != nullptr);
    QCOMPARE(w->windowTitle(), QStringLiteral("vantel - bus"));
    if (what == QStringLiteral("scan, cancelled")) {
        // The scan asks 1, 2, ...; cancelled after 6 it puts what answered into the
        // field, and the list is remembered for the port.
        ui::userSettings()->remove(QStringLiteral("bus"));
        w->close();
        entry->trigger();
        w = panels::busWindowOf(&form);
        QCOMPARE(w->addressField()->text(), QString());
        // With no supply listed the window says what to do, and on which port.
        QVERIFY(!w->hint()->isHidden());
        QVERIFY(w->hint()->text().contains(QStringLiteral("Scan")));
        const QString port = w->findChild<QLabel *>(QStringLiteral("port"))->text();
        QVERIFY(!port.isEmpty());
        QVERIFY(w->hint()->text().contains(port));
        w->startScan();
        QTRY_VERIFY_WITH_TIMEOUT(w->scanProgress()->value() >= 6, kWaitMs);
        w->cancelScan();
        QCOMPARE(w->addressField()->text(), QStringLiteral("1-4"));
        QVERIFY(w->hint()->isHidden());
        w->close();
        entry->trigger();
        w = panels::busWindowOf(&form);
        QCOMPARE(w->addressField()->text(), QStringLiteral("1-4"));
    }
    w->addressField()->setText(QStringLiteral("1-4"));
    QVERIFY(w->applyAddresses());
    QCOMPARE(w->cards().size(), std::size_t(4));
    const auto everyCardRead = [w](long times) {
        for (bus::SupplyCard *c : w->cards()) {
            if (c->state().readings() < times) {
                return false;
            }
        }
        return true;
    };
    QTRY_VERIFY_WITH_TIMEOUT(everyCardRead(2), kWaitMs);

    if (what == QStringLiteral("every card polled")) {
        for (int a = 1; a <= 4; ++a) {
            QVERIFY(sim.count(QStringLiteral("rx"), readHex(a)) >= 2);
            QCOMPARE(w->card(a)->figures().first(), records::fixedPoint((a + 1) * 100, 2));
            QVERIFY(!w->card(a)->isGrey());
        }
        QVERIFY(writesByAddress(sim).isEmpty());
    } else if (what == QStringLiteral("a set on card 3")) {
        QLineEdit *field = w->card(3)->voltageField();
        // Above the supply's largest set value: refused before anything is sent.
        field->setText(QStringLiteral("62.5"));
        QTest::keyClick(field, Qt::Key_Return);
        QCOMPARE(messenger.messages.size(), 1);
        QCOMPARE(w->statusLine()->text(), messenger.messages.first());
        // Enter in an empty field sends nothing and opens no box.
        field->clear();
        QTest::keyClick(field, Qt::Key_Return);
        QCOMPARE(messenger.messages.size(), 1);
        // Rounded as the shell's set rounds it: 7.505 V is 7.50 V (half to even).
        field->setText(QStringLiteral("7.505"));
        QTest::keyClick(field, Qt::Key_Return);
        const QString set750 = hexOf(protocol::buildSetVoltageRequest(3, 750));
        QTRY_COMPARE_WITH_TIMEOUT(sim.count(QStringLiteral("rx"), set750), 1, kWaitMs);
        // The good entry took the refusal out of the status line.
        QVERIFY(!w->statusLine()->text().contains(QStringLiteral("62.5")));
        QTRY_VERIFY_WITH_TIMEOUT(
            w->card(3)->state().last() && w->card(3)->state().last()->setVoltage == 750, kWaitMs);
        QCOMPARE(writesByAddress(sim), (QMap<int, int>{{3, 1}}));
        QVERIFY(
            sim.command(QStringLiteral("status 3")).contains(QStringLiteral("set-voltage=750")));
        // A ceiling another program holds on the line: the card says the set was
        // refused, and nothing goes out.
        engine::CeilingRegistry &line = engine->client().ceilings();
        line.hold(line.addSource(false), 3, engine::CeilingKind::Voltage, 500, "another program",
                  4121);
        field->setText(QStringLiteral("6"));
        QTest::keyClick(field, Qt::Key_Return);
        QTRY_VERIFY_WITH_TIMEOUT(w->card(3)->message().contains(QStringLiteral("was refused (")),
                                 kWaitMs);
        QVERIFY2(w->card(3)->message().contains(QStringLiteral("ceiling")),
                 qPrintable(w->card(3)->message()));
        QCOMPARE(writesByAddress(sim), (QMap<int, int>{{3, 1}}));
    } else if (what == QStringLiteral("all outputs off")) {
        QSignalSpy done(w, &bus::BusWindow::allOffFinished);
        QTest::keyClick(w, Qt::Key_O, Qt::ControlModifier | Qt::ShiftModifier);
        QVERIFY(done.wait(kWaitMs));
        const auto results = done.first().first().value<bus::Poller::OffResults>();
        QCOMPARE(results.size(), std::size_t(4));
        for (const auto &[address, result] : results) {
            QVERIFY2(result.confirmed, qPrintable(result.problem));
        }
        for (int a = 1; a <= 4; ++a) {
            QCOMPARE(sim.count(QStringLiteral("rx"), switchOffHex(a)), 1);
            QVERIFY(sim.command(QStringLiteral("status %1").arg(a)).contains("output=off"));
        }
        QCOMPARE(writesByAddress(sim), (QMap<int, int>{{1, 1}, {2, 1}, {3, 1}, {4, 1}}));
    } else if (what == QStringLiteral("all outputs off with a supply that never answers")) {
        // Address 8 has no supply: its card never gets a reading.
        w->addressField()->setText(QStringLiteral("1-4,8"));
        QVERIFY(w->applyAddresses());
        QSignalSpy done(w, &bus::BusWindow::allOffFinished);
        w->allOutputsOff();
        QVERIFY(done.wait(kWaitMs));
        bus::SupplyCard *silent = w->card(8);
        QVERIFY(silent->message().contains(QStringLiteral("not confirmed")));
        // Its switch never offers to switch on what it knows nothing of.
        QVERIFY(silent->switchOffers() != std::optional<bool>(true));
        silent->outputButton()->click();
        silent->outputButton()->click();
        const int readsOf1 = sim.count(QStringLiteral("rx"), readHex(1));
        QTRY_VERIFY_WITH_TIMEOUT(sim.count(QStringLiteral("rx"), readHex(1)) >= readsOf1 + 3,
                                 kWaitMs);
        QTRY_VERIFY_WITH_TIMEOUT(!w->poller()->writing(), kWaitMs);
        const QString switchOn8 = hexOf(protocol::buildSwitchOutputRequest(8, true));
        QCOMPARE(sim.count(QStringLiteral("rx"), switchOn8), 0);
        QVERIFY(sim.count(QStringLiteral("rx"), switchOffHex(8)) >= 1);
        // The line's report is in the window; no box holds up the readings.
        QVERIFY(w->statusLine()->text().contains(QStringLiteral("Not confirmed off")));
        QVERIFY(messenger.messages.isEmpty());
    } else if (what == QStringLiteral("supply 2 silenced")) {
        QCOMPARE(sim.command(QStringLiteral("fault silence on 2")), QStringLiteral("ok"));
        QMap<int, int> before;
        for (int a = 1; a <= 4; ++a) {
            before[a] = sim.count(QStringLiteral("rx"), readHex(a));
        }
        QTRY_VERIFY_WITH_TIMEOUT(w->card(2)->isGrey(), kWaitMs);
        QTest::qWait(2000);
        QMap<int, int> asked;
        for (int a = 1; a <= 4; ++a) {
            asked[a] = sim.count(QStringLiteral("rx"), readHex(a)) - before[a];
        }
        qInfo("reads while 2 was silent: 1: %d, 2: %d, 3: %d, 4: %d", asked[1], asked[2], asked[3],
              asked[4]);
        // The silent one is asked only every few rounds; the others are not held back.
        for (int a : {1, 3, 4}) {
            QVERIFY(asked[a] >= 2 * asked[2]);
            QVERIFY(!w->card(a)->isGrey());
        }
        QVERIFY(w->card(2)->state().lastError() == QStringLiteral("timeout"));
        // It recovers by itself.
        QCOMPARE(sim.command(QStringLiteral("fault silence off 2")), QStringLiteral("ok"));
        QTRY_VERIFY_WITH_TIMEOUT(!w->card(2)->isGrey(), kWaitMs);
    } else if (what == QStringLiteral("a ceiling on card 4")) {
        // Supply 4 draws 0.500 A (5 V into 10 ohms), supply 3 0.400 A.
        ui::Ceilings ceiling;
        ceiling.amps = 0.3;
        w->setCeilings(4, ceiling);
        QTRY_VERIFY_WITH_TIMEOUT(
            w->card(4)->message().contains(QStringLiteral("output is switched off")), kWaitMs);
        QVERIFY(sim.command(QStringLiteral("status 4")).contains("output=off"));
        QCOMPARE(sim.count(QStringLiteral("rx"), switchOffHex(4)), 1);
        QCOMPARE(writesByAddress(sim), (QMap<int, int>{{4, 1}}));
        for (int a = 1; a <= 3; ++a) {
            QVERIFY(sim.command(QStringLiteral("status %1").arg(a)).contains("output=on"));
        }
        // A card shows the tightest ceilings the line holds, whoever holds them; only
        // the window's own trip it.
        engine::CeilingRegistry &line = engine->client().ceilings();
        line.hold(line.addSource(false), 3, engine::CeilingKind::Voltage, 800, "vantelctl serve",
                  42);
        const auto limits = [w](int a) {
            return w->card(a)->findChild<QPushButton *>(QStringLiteral("limits"))->toolTip();
        };
        QTRY_COMPARE_WITH_TIMEOUT(limits(3), QStringLiteral("ceilings active: 8.00 V"), kWaitMs);
        QCOMPARE(limits(4), QStringLiteral("ceilings active: 0.300 A"));
        QVERIFY(sim.command(QStringLiteral("status 3")).contains("output=on"));
    } else if (what == QStringLiteral("the record")) {
        auto *record = w->findChild<QPushButton *>(QStringLiteral("record"));
        QCOMPARE(record->text(), QStringLiteral("Record"));
        QCOMPARE(w->toggleRecording(), QString());
        QCOMPARE(record->text(), QStringLiteral("Stop recording"));
        QVERIFY(QFileInfo(w->recordPath()).fileName().startsWith(QStringLiteral("bus-")));
        QTRY_VERIFY_WITH_TIMEOUT(w->recordedRows() >= 16, kWaitMs);
        QVERIFY(w->windowTitle().contains(QStringLiteral("recording: ")));
        QCOMPARE(w->toggleRecording(), QString());
        QCOMPARE(record->text(), QStringLiteral("Record"));
        QFile file(w->recordPath());
        QVERIFY(file.open(QIODevice::ReadOnly));
        const QStringList lines = QString::fromUtf8(file.readAll()).split('\n', Qt::SkipEmptyParts);
        QCOMPARE(lines.first(), QStringLiteral("time,elapsed_s,address,set_v,set_a,v,a,w,"
                                               "output,mode,ah,wh,error"));
        QStringList replies = repliesAsCells(sim);
        QSet<int> addresses;
        // The recording counts from its own start, as a log does: time from its
        // first row, and each supply's charge and energy from its first reading.
        QCOMPARE(lines.at(1).split(QLatin1Char(',')).at(1).toDouble(), 0.0);
        for (const QString &line : lines.mid(1)) {
            const QStringList c = line.split(QLatin1Char(','));
            QCOMPARE(c.size(), 13);
            if (!addresses.contains(c[2].toInt())) {
                QCOMPARE(c[10].toDouble(), 0.0);
                QCOMPARE(c[11].toDouble(), 0.0);
            }
            QCOMPARE(c[12], QString()); // no error
            const QString cells = QStringList{c[2], c[3], c[4], c[5], c[6], c[8]}.join(',');
            // Every row is a reply the supply sent (each taken once).
            QVERIFY2(replies.removeOne(cells), qPrintable(line));
            addresses << c[2].toInt();
        }
        QCOMPARE(addresses, (QSet<int>{1, 2, 3, 4}));
    }
    form.C1_Click();
    // Closing the main window closes the bus window first: it reads through the
    // window's port.
    QVERIFY(form.close());
    QVERIFY(w->closed());
    QVERIFY(panels::busWindowOf(&form) == nullptr);
}

QTEST_MAIN(TestBusE2e)
#include "tst_e2e_bus.moc"
