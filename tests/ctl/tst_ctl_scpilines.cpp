// A SCPI client's bytes cut into lines for its session: terminators, the longest
// line, a line's end arriving in any chunk, and lines beyond the waiting room.
#include "ctl/scpilines.h"
#include "scpi/instrument.h"

#include <QTest>

using namespace ctl;

namespace {

// No supply is reached: the lines below only touch the error queue.
class NoSupply : public scpi::SupplyLink {
public:
    void readStatus(std::uint8_t, Done done) override
    {
        done(Result::failed(scpi::LinkFault::Gone, "no supply"));
    }
    void setVoltage(std::uint8_t, std::uint16_t, Done done) override
    {
        done(Result::failed(scpi::LinkFault::Gone, "no supply"));
    }
    void setCurrent(std::uint8_t, std::uint16_t, Done done) override
    {
        done(Result::failed(scpi::LinkFault::Gone, "no supply"));
    }
    void setOutput(std::uint8_t, bool, Done done) override
    {
        done(Result::failed(scpi::LinkFault::Gone, "no supply"));
    }
    void allOff(std::vector<std::uint8_t> addresses, AllOffDone done) override
    {
        std::vector<std::pair<std::uint8_t, std::string>> failed;
        for (std::uint8_t address : addresses) {
            failed.emplace_back(address, "no supply");
        }
        done(std::move(failed));
    }
};

// A client's session and its lines; its answers as their error codes, the text
// before the first comma ("0", "-113").
struct Client {
    NoSupply link;
    scpi::Instrument instrument{link, {"COM3", {5}, "1.0.0"}};
    QStringList answers;
    std::shared_ptr<scpi::Session> session = instrument.open([this](const std::string &text) {
        answers << QString::fromStdString(text).trimmed().section(QLatin1Char(','), 0, 0);
    });
    ScpiLines lines{instrument, session};
};

const QByteArray kNextError = "SYST:ERR?\n";

} // namespace

class TestCtlScpiLines : public QObject {
    Q_OBJECT
private slots:
    void framing_data();
    void framing();
    void waitingRoom();
};

void TestCtlScpiLines::framing_data()
{
    QTest::addColumn<QByteArray>("sent");
    QTest::addColumn<bool>("chunked"); // byte by byte, else whole
    QTest::addColumn<bool>("ended");   // the client sends its last byte after these
    QTest::addColumn<long>("lines");
    // The answers, then the next error as it stands after all of it.
    QTest::addColumn<QStringList>("answers");

    const QByteArray longest(ScpiLines::kLongestLine, 'X'); // too long a header: -112
    struct Row {
        const char *name;
        QByteArray sent;
        bool ended;
        long lines;
        QStringList answers;
    };
    const QList<Row> rows{
        {"LF and CRLF", kNextError + "FOO\r\n" + kNextError, false, 3, {"0", "-113", "0"}},
        {"the longest line is a line", longest + "\n" + kNextError, false, 2, {"-112", "0"}},
        {"its CR is no part of its length", longest + "\r\n" + kNextError, false, 2, {"-112", "0"}},
        {"one byte more is discarded", longest + "X\n" + kNextError, false, 2, {"-223", "0"}},
        // What follows the first 4096 bytes is no line of its own.
        {"a discarded line's end goes with it",
         longest + "X" + kNextError + kNextError,
         false,
         2,
         {"-223", "0"}},
        {"an unterminated last line is taken", "FOO\nSYST:ERR?", true, 2, {"-113", "0"}},
        {"a discarded last line is told", longest + "XX", true, 1, {"-223"}},
        {"nothing unterminated, nothing more", kNextError, true, 1, {"0", "0"}},
        {"a line not yet ended waits", "FOO\nSYST:ERR", false, 1, {"-113"}},
    };
    for (const Row &row : rows) {
        for (const bool chunked : {false, true}) {
            QTest::addRow("%s%s", row.name, chunked ? " (byte by byte)" : "")
                << row.sent << chunked << row.ended << row.lines << row.answers;
        }
    }
}

void TestCtlScpiLines::framing()
{
    QFETCH(QByteArray, sent);
    QFETCH(bool, chunked);
    QFETCH(bool, ended);
    QFETCH(long, lines);
    QFETCH(QStringList, answers);
    Client client;
    if (chunked) {
        for (const char byte : sent) {
            client.lines.receive(QByteArray(1, byte));
        }
    } else {
        client.lines.receive(sent);
    }
    if (ended) {
        client.lines.end();
    }
    QCOMPARE(client.lines.lines(), lines);
    client.instrument.submit(*client.session, "SYST:ERR?");
    client.instrument.pump();
    QCOMPARE(client.answers, answers);
}

// Lines beyond the waiting room are dropped and told once, by -363, in turn.
void TestCtlScpiLines::waitingRoom()
{
    Client client;
    QByteArray many;
    for (std::size_t i = 0; i < ScpiLines::kWaitingLines + 40; ++i) {
        many += kNextError;
    }
    QVERIFY(client.lines.receive(many));
    // Nothing ended, or nothing that found room: the client has no new work.
    QVERIFY(!client.lines.receive("SYST:"));
    QVERIFY(!client.lines.receive("ERR?\n"));
    client.instrument.pump();
    QCOMPARE(client.answers.size(), qsizetype(ScpiLines::kWaitingLines));
    QCOMPARE(client.answers.count(QStringLiteral("0")), client.answers.size());
    client.answers.clear();
    // Room again: lines are taken, and -363 was queued once.
    QVERIFY(client.lines.receive(kNextError + kNextError));
    client.instrument.pump();
    QCOMPARE(client.answers, (QStringList{"-363", "0"}));
    QCOMPARE(client.lines.lines(), long(ScpiLines::kWaitingLines + 40 + 1 + 2));
    // A second overrun is told again.
    client.lines.receive(many);
    client.instrument.pump();
    client.answers.clear();
    client.lines.receive(kNextError);
    client.instrument.pump();
    QCOMPARE(client.answers, QStringList{"-363"});
}

QTEST_GUILESS_MAIN(TestCtlScpiLines)
#include "tst_ctl_scpilines.moc"
