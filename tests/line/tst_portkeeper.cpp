// The keeper that opens a lost port again, over a scripted serial control.
#include "engine/client.h"
#include "line/portkeeper.h"
#include "protocol/frames.h"
#include "support/fakecommcontrol.h"
#include "support/simclock.h"

#include <QRegularExpression>
#include <QSignalSpy>
#include <QtTest>

using line::PortKeeper;
using testsupport::FakeCommControl;

namespace {

constexpr int kPort = 3;
constexpr int kWaitMs = 5000;

} // namespace

class TestPortKeeper : public QObject {
    Q_OBJECT
private slots:
    void reopensByNameOnceBack_data();
    void reopensByNameOnceBack();
    void whenOpenGivesUpAfterItsTime();
    void reopensEverySecondOnTheClock_data();
    void reopensEverySecondOnTheClock();
};

void TestPortKeeper::reopensByNameOnceBack_data()
{
    QTest::addColumn<bool>("refusedWrite"); // else the device went away
    QTest::addRow("device gone") << false;
    QTest::addRow("write refused") << true;
}

void TestPortKeeper::reopensByNameOnceBack()
{
    QFETCH(bool, refusedWrite);
    FakeCommControl comm;
    comm.setPort(kPort, FakeCommControl::Port::Free);
    comm.setCommPort(kPort);
    comm.setPortOpen(true);
    engine::Client client(comm);
    client.setTimeout(std::chrono::milliseconds(50));
    client.setStartQuiet(std::chrono::milliseconds(0));
    client.start();
    PortKeeper keeper(comm, client, QStringLiteral("COM3"));
    QCOMPARE(keeper.summary(), QString());
    QSignalSpy lost(&keeper, &PortKeeper::lost);
    QSignalSpy restored(&keeper, &PortKeeper::restored);
    QSignalSpy messages(&keeper, &PortKeeper::message);

    if (refusedWrite) {
        comm.failNextWrite(serial::kErrDeviceIo, "Input/output error");
        engine::Reply *reply = client.readStatus(1);
        QTRY_VERIFY_WITH_TIMEOUT(reply->isFinished(), kWaitMs);
        QCOMPARE(reply->error(), engine::Error::Port);
        delete reply;
    } else {
        comm.setPort(kPort, FakeCommControl::Port::Absent);
        comm.unplug();
    }
    // The control and the client both tell of the loss: one loss, said once.
    QTRY_COMPARE_WITH_TIMEOUT(lost.count(), 1, kWaitMs);
    QVERIFY(!keeper.isOpen());
    QVERIFY(!comm.PortOpen());
    QVERIFY(keeper.summary().endsWith(QStringLiteral(", away still")));
    QVERIFY2(
        messages.first().first().toString().startsWith(QStringLiteral("the port COM3 was lost (")),
        qPrintable(messages.first().first().toString()));

    // While it is away a request ends at once, as a port row.
    engine::Reply *away = client.readStatus(1);
    QTRY_VERIFY_WITH_TIMEOUT(away->isFinished(), kWaitMs);
    QCOMPARE(away->error(), engine::Error::Port);
    delete away;

    if (!refusedWrite) {
        // Tried every second and still absent: no second loss, nothing restored.
        QTRY_VERIFY_WITH_TIMEOUT(comm.journal.count(QStringLiteral("PortOpen=true")) >= 3, kWaitMs);
        QCOMPARE(restored.count(), 0);
        QCOMPARE(lost.count(), 1);
        comm.setPort(kPort, FakeCommControl::Port::Free);
    }
    QTRY_COMPARE_WITH_TIMEOUT(restored.count(), 1, kWaitMs);
    QVERIFY(keeper.isOpen());
    QCOMPARE(comm.opened.last(), kPort);
    QVERIFY(messages.last().first().toString().startsWith(QStringLiteral("the port COM3 is back")));
    QVERIFY2(QRegularExpression(QStringLiteral("^port COM3: lost once, away \\d+\\.\\d s in all$"))
                 .match(keeper.summary())
                 .hasMatch(),
             qPrintable(keeper.summary()));

    // The client takes requests again.
    const qsizetype sent = comm.written.size();
    engine::Reply *back = client.readStatus(1);
    QTRY_VERIFY_WITH_TIMEOUT(back->isFinished(), kWaitMs);
    QCOMPARE(back->error(), engine::Error::Timeout);
    QCOMPARE(comm.written.size(), sent + 1);
    delete back;
}

void TestPortKeeper::whenOpenGivesUpAfterItsTime()
{
    FakeCommControl comm;
    comm.setPort(kPort, FakeCommControl::Port::Free);
    comm.setCommPort(kPort);
    comm.setPortOpen(true);
    engine::Client client(comm);
    PortKeeper keeper(comm, client, QStringLiteral("COM3"));

    QList<bool> answers;
    keeper.whenOpen(std::chrono::milliseconds(100), [&answers](bool open) { answers << open; });
    QVERIFY(answers.isEmpty()); // never from inside the call
    QTRY_COMPARE(answers, QList<bool>{true});

    comm.setPort(kPort, FakeCommControl::Port::Absent);
    comm.unplug();
    answers.clear();
    keeper.whenOpen(std::chrono::milliseconds(1500), [&answers](bool open) { answers << open; });
    keeper.whenOpen(std::chrono::milliseconds(60000), [&answers](bool open) { answers << !open; });
    // The short wait ends at the first reopening after its time; the long one waits on.
    QTRY_COMPARE_WITH_TIMEOUT(answers, QList<bool>{false}, kWaitMs);
    comm.setPort(kPort, FakeCommControl::Port::Free);
    QTRY_COMPARE_WITH_TIMEOUT(answers, (QList<bool>{false, false}), kWaitMs);
    QVERIFY(keeper.isOpen());
}

void TestPortKeeper::reopensEverySecondOnTheClock_data()
{
    QTest::addColumn<int>("backAtMs");   // the device is there again, after the loss
    QTest::addColumn<int>("withinMs");   // a wait for the port, asked at the loss
    QTest::addColumn<int>("reopenedAt"); // the reopening that finds it
    QTest::addColumn<int>("tries");      // opens tried up to then, that one included
    QTest::addColumn<bool>("answer");    // the wait's answer
    QTest::addColumn<int>("answeredAt");

    // Tried every second from the loss; a wait hears at the first try past its time.
    QTest::newRow("back within the first second") << 500 << 5000 << 1000 << 1 << true << 1000;
    QTest::newRow("back after two and a half seconds") << 2500 << 5000 << 3000 << 3 << true << 3000;
    QTest::newRow("back too late for the wait") << 2500 << 1500 << 3000 << 3 << false << 2000;
}

void TestPortKeeper::reopensEverySecondOnTheClock()
{
    QFETCH(int, backAtMs);
    QFETCH(int, withinMs);
    QFETCH(int, reopenedAt);
    QFETCH(int, tries);
    QFETCH(bool, answer);
    QFETCH(int, answeredAt);

    testsupport::SimClock clock;
    FakeCommControl comm;
    comm.setPort(kPort, FakeCommControl::Port::Free);
    comm.setCommPort(kPort);
    comm.setPortOpen(true);
    engine::Client client(comm, clock);
    PortKeeper keeper(comm, client, QStringLiteral("COM3"));
    QSignalSpy restored(&keeper, &PortKeeper::restored);
    const auto lostAt = clock.now();
    const auto msSinceLoss = [&] {
        return static_cast<int>(
            std::chrono::duration_cast<std::chrono::milliseconds>(clock.now() - lostAt).count());
    };

    comm.setPort(kPort, FakeCommControl::Port::Absent);
    comm.unplug();
    clock.after(std::chrono::milliseconds(backAtMs),
                [&comm] { comm.setPort(kPort, FakeCommControl::Port::Free); });
    std::optional<std::pair<bool, int>> heard;
    keeper.whenOpen(std::chrono::milliseconds(withinMs), [&](bool open) {
        heard = {open, msSinceLoss()};
    });
    const auto triesSoFar = [&comm] {
        return static_cast<int>(comm.journal.count(QStringLiteral("PortOpen=true"))) - 1;
    };
    QVERIFY(clock.run([&] { return restored.count() == 1; }, std::chrono::seconds(10)));
    QCOMPARE(msSinceLoss(), reopenedAt);
    QCOMPARE(restored.first().first().toLongLong(), qint64(reopenedAt));
    QCOMPARE(triesSoFar(), tries);
    QVERIFY(heard.has_value());
    QCOMPARE(heard->first, answer);
    QCOMPARE(heard->second, answeredAt);
    QCOMPARE(keeper.awayMs(), qint64(reopenedAt));
    QVERIFY(keeper.isOpen());
    // Back: no more tries.
    clock.advance(std::chrono::seconds(5));
    QCOMPARE(triesSoFar(), tries);
}

QTEST_GUILESS_MAIN(TestPortKeeper)
#include "tst_portkeeper.moc"
