// Commands over MQTT without a broker: which topic is which command, which
// messages may be carried out, and the result message.

#include "publish/commands.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTest>

using publish::Command;
using publish::CommandGate;
using publish::CommandKind;

Q_DECLARE_METATYPE(CommandKind)
Q_DECLARE_METATYPE(CommandGate::Verdict)

namespace {

const publish::Topics kTopics{QStringLiteral("vantel/bench/COM1")};
const QList<int> kAddresses{1, 7};

using namespace std::chrono_literals;

} // namespace

class TestCommands : public QObject {
    Q_OBJECT
private slots:
    void topics_data();
    void topics();
    void gate_data();
    void gate();
    void results();
};

void TestCommands::topics_data()
{
    QTest::addColumn<QString>("topic");
    QTest::addColumn<bool>("command");
    QTest::addColumn<CommandKind>("kind");
    QTest::addColumn<int>("address");
    QTest::addColumn<bool>("labWide");
    const QString p = kTopics.prefix;
    QTest::newRow("set v") << p + "/1/set/v" << true << CommandKind::SetVoltage << 1 << false;
    QTest::newRow("set a") << p + "/7/set/a" << true << CommandKind::SetCurrent << 7 << false;
    QTest::newRow("output") << p + "/7/output/set" << true << CommandKind::Output << 7 << false;
    QTest::newRow("bench all-off") << p + "/all-off" << true << CommandKind::AllOff << 0 << false;
    QTest::newRow("lab all-off") << "vantel/all-off" << true << CommandKind::AllOff << 0 << true;
    // What is not the bench's is no command: the log reads only its own supplies.
    QTest::newRow("an address not logged")
        << p + "/2/set/v" << false << CommandKind::AllOff << 0 << false;
    QTest::newRow("another bench")
        << "vantel/other/COM1/1/set/v" << false << CommandKind::AllOff << 0 << false;
    QTest::newRow("longer") << p + "/1/set/v/x" << false << CommandKind::AllOff << 0 << false;
    QTest::newRow("the reading") << p + "/1/reading" << false << CommandKind::AllOff << 0 << false;
    QTest::newRow("the result") << p + "/1/result" << false << CommandKind::AllOff << 0 << false;
    QTest::newRow("leading zero") << p + "/01/set/v" << false << CommandKind::AllOff << 0 << false;
}

void TestCommands::topics()
{
    QFETCH(QString, topic);
    QFETCH(bool, command);
    QFETCH(CommandKind, kind);
    QFETCH(int, address);
    QFETCH(bool, labWide);
    const auto found = publish::commandOf(kTopics, kAddresses, topic, "5");
    QCOMPARE(found.has_value(), command);
    if (!found) {
        return;
    }
    QCOMPARE(found->kind, kind);
    QCOMPARE(found->address, address);
    QCOMPARE(found->labWide, labWide);
    QCOMPARE(found->payload, QByteArray("5"));
    // Every command's topic is one the bench subscribes to.
    QVERIFY(publish::commandTopics(kTopics, kAddresses).contains(topic));
    QCOMPARE(publish::resultTopic(kTopics, *found),
             address == 0 ? kTopics.prefix + "/result"
                          : QStringLiteral("%1/%2/result").arg(kTopics.prefix).arg(address));
}

// Each row is a story: connections and losses at times in ms, then one message.
void TestCommands::gate_data()
{
    QTest::addColumn<QString>("story"); // c: connect, k: connect with the session kept,
                                        // l: lost, u: caught up, x: a message carried out
    QTest::addColumn<bool>("retained");
    QTest::addColumn<int>("mid");
    QTest::addColumn<CommandGate::Verdict>("verdict");
    using V = CommandGate::Verdict;
    QTest::newRow("live") << "c0" << false << 1 << V::Carry;
    QTest::newRow("retained") << "c0" << true << 1 << V::Retained;
    QTest::newRow("retained while caught up") << "k0 u0" << true << 1 << V::Retained;
    // The first connection cannot know how long its session waited.
    QTest::newRow("kept, first connection") << "k0" << false << 1 << V::Stale;
    QTest::newRow("kept, after caught up") << "k0 u10" << false << 1 << V::Carry;
    QTest::newRow("away 4 s of 5") << "c0 l1000 k5000" << false << 1 << V::Carry;
    QTest::newRow("away 6 s of 5") << "c0 l1000 k7000" << false << 1 << V::Stale;
    QTest::newRow("away 6 s, after caught up") << "c0 l1000 k7000 u7001" << false << 1 << V::Carry;
    QTest::newRow("session not kept") << "c0 l1000 c60000" << false << 1 << V::Carry;
    // Sent again after a reconnection with its id, topic and payload: once only.
    QTest::newRow("repeat") << "c0 x1 l1000 k2000" << false << 1 << V::Repeat;
    QTest::newRow("another id") << "c0 x1 l1000 k2000" << false << 2 << V::Carry;
    QTest::newRow("same id, live") << "c0 x1 l1000 k2000 u2001" << false << 1 << V::Carry;
}

void TestCommands::gate()
{
    QFETCH(QString, story);
    QFETCH(bool, retained);
    QFETCH(int, mid);
    QFETCH(CommandGate::Verdict, verdict);
    CommandGate gate(5s);
    const CommandGate::Clock::time_point origin{};
    CommandGate::Clock::time_point now = origin;
    for (const QString &step : story.split(' ')) {
        const QChar what = step.at(0);
        if (what == 'x') {
            QCOMPARE(gate.judge(step.mid(1).toInt(), "t", "ON", false, now),
                     CommandGate::Verdict::Carry);
            continue;
        }
        now = origin + std::chrono::milliseconds(step.mid(1).toInt());
        if (what == 'c' || what == 'k') {
            gate.connected(what == 'k', now);
        } else if (what == 'l') {
            gate.lost(now);
        } else if (what == 'u') {
            gate.caughtUp();
        }
    }
    QCOMPARE(gate.judge(mid, "t", "ON", retained, now), verdict);
}

void TestCommands::results()
{
    Command set;
    set.kind = CommandKind::SetVoltage;
    set.address = 3;
    set.payload = "20";
    publish::CommandResult refused;
    refused.error = "refused";
    refused.text = "20.00 V is above the 10.00 V ceiling";
    refused.holder = "vantelctl run (pid 42)";
    const QJsonObject one = QJsonDocument::fromJson(publish::resultJson(set, refused)).object();
    QCOMPARE(one.value("command").toString(), QStringLiteral("set/v"));
    QCOMPARE(one.value("address").toInt(), 3);
    QCOMPARE(one.value("payload").toString(), QStringLiteral("20"));
    QCOMPARE(one.value("ok").toBool(true), false);
    QCOMPARE(one.value("error").toString(), QStringLiteral("refused"));
    QCOMPARE(one.value("holder").toString(), refused.holder);

    Command allOff;
    allOff.labWide = true;
    publish::CommandResult partly;
    partly.off = {1};
    partly.failed = {{2, "timeout"}};
    const QJsonObject two = QJsonDocument::fromJson(publish::resultJson(allOff, partly)).object();
    QCOMPARE(two.value("command").toString(), QStringLiteral("all-off"));
    QVERIFY(two.value("lab").toBool());
    QVERIFY(!two.contains("address"));
    QVERIFY(two.value("holder").isNull());
    QCOMPARE(two.value("off").toArray(), QJsonArray{1});
    QCOMPARE(two.value("failed").toArray().at(0).toObject().value("address").toInt(), 2);
}

QTEST_GUILESS_MAIN(TestCommands)
#include "tst_commands.moc"
