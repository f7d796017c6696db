// The keeper that opens a lost port again, over a scripted serial control.
#include "engine/client.h"
#include "line/portkeeper.h"
#include "protocol/frames.h"
#include "support/fakecommcontrol.h"

#include <QRegularExpression>
#include <QSignalSpy>
#include <QtTest>

using supply::PortKeeper;
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
    supply::Client client(comm);
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
        supply::Reply *reply = client.readStatus(1);
        QTRY_VERIFY_WITH_TIMEOUT(reply->isFinished(), kWaitMs);
        QCOMPARE(reply->error(), supply::Error::Port);
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
    supply::Reply *away = client.readStatus(1);
    QTRY_VERIFY_WITH_TIMEOUT(away->isFinished(), kWaitMs);
    QCOMPARE(away->error(), supply::Error::Port);
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
    supply::Reply *back = client.readStatus(1);
    QTRY_VERIFY_WITH_TIMEOUT(back->isFinished(), kWaitMs);
    QCOMPARE(back->error(), supply::Error::Timeout);
    QCOMPARE(comm.written.size(), sent + 1);
    delete back;
}

void TestPortKeeper::whenOpenGivesUpAfterItsTime()
{
    FakeCommControl comm;
    comm.setPort(kPort, FakeCommControl::Port::Free);
    comm.setCommPort(kPort);
    comm.setPortOpen(true);
    supply::Client client(comm);
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

QTEST_GUILESS_MAIN(TestPortKeeper)
#include "tst_portkeeper.moc"
