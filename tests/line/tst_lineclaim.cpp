// The claim that lets one program of ours own a line at a time, with threads in
// the programs' place: where the system keeps one (Windows), a second taker is
// refused while the first holds it, and gets it once the first lets it go or
// ends without letting it go; where the device decides (Unix), it is granted.
#include "line/lineclaim.h"

#include <QTest>
#include <QThread>

#include <functional>
#include <memory>

using line::LineClaim;

namespace {

const QString kLine = QStringLiteral("vantel-line-test-%1").arg(QCoreApplication::applicationPid());

// Runs `work` on a thread of its own, to its end.
void onAnotherThread(const std::function<void()> &work)
{
    std::unique_ptr<QThread> thread(QThread::create(work));
    thread->start();
    QVERIFY(thread->wait(10000));
}

#ifdef Q_OS_WIN
constexpr bool kExclusive = true;
#else
constexpr bool kExclusive = false;
#endif

} // namespace

class TestLineClaim : public QObject {
    Q_OBJECT
private slots:
    void oneHolderAtATime_data();
    void oneHolderAtATime();
};

void TestLineClaim::oneHolderAtATime_data()
{
    QTest::addColumn<bool>("letGo"); // the first holder lets it go before it ends
    QTest::newRow("the holder lets it go") << true;
    QTest::newRow("the holder ends holding it") << false;
}

void TestLineClaim::oneHolderAtATime()
{
    QFETCH(bool, letGo);
    const QString line = kLine + (letGo ? QStringLiteral("-a") : QStringLiteral("-b"));
    LineClaim first;
    LineClaim second;
    bool firstTook = false;
    bool secondTookWhileHeld = false;
    // The first takes the claim and holds it while the second tries; then lets
    // it go or not, and its thread ends.
    onAnotherThread([&] {
        firstTook = first.take(line);
        onAnotherThread([&] {
            secondTookWhileHeld = second.take(line);
            second.release();
        });
        if (letGo) {
            first.release();
        }
    });
    QVERIFY(firstTook);
    QCOMPARE(secondTookWhileHeld, !kExclusive);
    // Once the holder let it go, or ended: the next taker gets it, and asking
    // again while it holds it is granted at once.
    bool tookAfter = false;
    bool tookAgain = false;
    bool heldAfterRelease = true;
    onAnotherThread([&] {
        tookAfter = second.take(line);
        tookAgain = second.take(line);
        second.release();
        heldAfterRelease = second.held();
    });
    QVERIFY(tookAfter);
    QVERIFY(tookAgain);
    QVERIFY(!heldAfterRelease);
}

QTEST_GUILESS_MAIN(TestLineClaim)
#include "tst_lineclaim.moc"
