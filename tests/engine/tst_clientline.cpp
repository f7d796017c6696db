// The session's line over a client: each reply a supply can give reaches the
// session as the failure every row and face names it by.
#include "engine/client.h"
#include "engine/session.h"
#include "protocol/frame.h"
#include "support/fakecommcontrol.h"

#include <QTest>
#include <QTimer>

#include <optional>

using engine::Error;

Q_DECLARE_METATYPE(engine::Error)

namespace {

// A status reply from address 1 with `words`, its CRC added.
QByteArray statusReply(std::initializer_list<std::uint16_t> words)
{
    protocol::Frame frame{1, 0x03, 12};
    for (std::uint16_t word : words) {
        frame.push_back(std::uint8_t(word >> 8));
        frame.push_back(std::uint8_t(word & 0xFF));
    }
    protocol::appendCrc(frame);
    return QByteArray(reinterpret_cast<const char *>(frame.data()), int(frame.size()));
}

// Answers every request written with `reply`.
class OneReplyLine : public testsupport::FakeCommControl {
    Q_OBJECT
public:
    QByteArray reply;

protected:
    void writeDevice(const QByteArray &bytes) override
    {
        FakeCommControl::writeDevice(bytes);
        QTimer::singleShot(0, this, [this] { feed(reply); });
    }
};

} // namespace

class TestClientLine : public QObject {
    Q_OBJECT
private slots:
    void readingsNamed_data();
    void readingsNamed();
};

void TestClientLine::readingsNamed_data()
{
    QTest::addColumn<QByteArray>("reply");
    QTest::addColumn<engine::Error>("error");
    QTest::addColumn<bool>("undecoded");

    QTest::newRow("a reading") << statusReply({1234, 1500, 1232, 500, 1, 1}) << Error::None
                               << false;
    // A well-formed reply whose set voltage no supply reports.
    QTest::newRow("words no supply reports: undecoded")
        << statusReply({0x8000, 1500, 1232, 500, 1, 1}) << Error::Undecoded << true;
}

void TestClientLine::readingsNamed()
{
    QFETCH(QByteArray, reply);
    QFETCH(engine::Error, error);
    QFETCH(bool, undecoded);

    OneReplyLine comm;
    comm.setPort(1, testsupport::FakeCommControl::Port::Free);
    comm.setCommPort(1);
    comm.setPortOpen(true);
    comm.reply = reply;
    engine::Client client(comm);
    // Room for a busy machine: the reply is never late.
    client.setTimeout(std::chrono::seconds(5));
    engine::ClientLine line(client);
    std::optional<engine::LineAnswer> answer;
    line.readStatus(1, [&](const engine::LineAnswer &a) { answer = a; });
    QTRY_VERIFY_WITH_TIMEOUT(answer.has_value(), 10000);
    QCOMPARE(answer->failure.error, error);
    QCOMPARE(answer->undecoded, undecoded);
    QCOMPARE(answer->good(), error == Error::None);
}

QTEST_GUILESS_MAIN(TestClientLine)
#include "tst_clientline.moc"
