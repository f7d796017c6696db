// How the engine's failures reach a SCPI client: each failure of a reading and
// of a confirmed write becomes the link's fault, its detail and the SCPI error
// the instrument queues for it; every engine error has its row.
#include "ctl/enginelink.h"
#include "engine/failure.h"
#include "scpi/instrument.h"

#include <QTest>

#include <algorithm>
#include <iterator>

using engine::Error;
using scpi::LinkFault;

Q_DECLARE_METATYPE(engine::Error)
Q_DECLARE_METATYPE(scpi::LinkFault)

namespace {

const QString kGone = QStringLiteral("COM3: the device is gone");

struct ReadRow {
    const char *name;
    engine::Failure failure;
    LinkFault fault;
    int scpiError;
    const char *detail;
};

const ReadRow kReads[] = {
    {"none", {}, LinkFault::None, 0, ""},
    {"timeout", {Error::Timeout}, LinkFault::Line, -240, "timeout"},
    {"crc", {Error::Crc}, LinkFault::Line, -240, "crc"},
    {"foreign",
     {Error::Foreign, 0, QStringLiteral("values outside what a supply reports")},
     LinkFault::Line,
     -240,
     "foreign (values outside what a supply reports)"},
    {"short", {Error::Short}, LinkFault::Line, -240, "short"},
    {"undecoded",
     {Error::Undecoded, 0, QStringLiteral("values outside what a supply reports")},
     LinkFault::Line,
     -240,
     "undecoded (values outside what a supply reports)"},
    {"unconfirmed", {Error::NotConfirmed}, LinkFault::NotConfirmed, -240, "unconfirmed"},
    {"exception", {Error::Exception, 2}, LinkFault::Line, -240, "exception 2"},
    // The port's own reason is not passed on: it varies with the way it went.
    {"port",
     {Error::Port, 0, QStringLiteral("Input/output error")},
     LinkFault::Gone,
     -240,
     "COM3: the device is gone"},
    {"interrupted", {Error::Interrupted}, LinkFault::Line, -240, "interrupted"},
    {"refused",
     {Error::Refused, 0, QStringLiteral("above the ceiling")},
     LinkFault::Refused,
     -221,
     "refused (above the ceiling)"},
};

} // namespace

class TestEngineLink : public QObject {
    Q_OBJECT

private slots:
    void readings_data();
    void readings();
    void everyErrorHasARow();
    void writes_data();
    void writes();
};

void TestEngineLink::readings_data()
{
    QTest::addColumn<int>("index");
    for (std::size_t i = 0; i < std::size(kReads); ++i) {
        QTest::newRow(kReads[i].name) << int(i);
    }
}

void TestEngineLink::readings()
{
    QFETCH(int, index);
    const ReadRow &row = kReads[index];
    records::Reading reading;
    reading.row.failure = row.failure;
    if (!row.failure) {
        reading.row.reading = protocol::StatusReading{};
    }
    const scpi::SupplyLink::Result result = ctl::linkResult(reading, kGone);
    QCOMPARE(result.fault, row.fault);
    QCOMPARE(result.reading.has_value(), row.fault == LinkFault::None);
    QCOMPARE(QString::fromStdString(result.detail), QString::fromUtf8(row.detail));
    QCOMPARE(scpi::errorNumber(result.fault), row.scpiError);
}

// A new engine error must be given its SCPI meaning here, not fall through to
// whatever the mapping's last line says.
void TestEngineLink::everyErrorHasARow()
{
    int errors = 1; // None has no word
    for (int e = 1; !engine::errorWord(Error(e)).isEmpty(); ++e) {
        ++errors;
        const auto found =
            std::find_if(std::begin(kReads), std::end(kReads),
                         [e](const ReadRow &r) { return r.failure.error == Error(e); });
        QVERIFY2(found != std::end(kReads), qPrintable(engine::errorWord(Error(e))));
    }
    QCOMPARE(int(std::size(kReads)), errors);
}

void TestEngineLink::writes_data()
{
    QTest::addColumn<bool>("confirmed");
    QTest::addColumn<engine::Error>("error");
    QTest::addColumn<QString>("problem");
    QTest::addColumn<LinkFault>("fault");
    QTest::addColumn<int>("scpiError");
    QTest::addColumn<QString>("detail");

    const QString refusal = QStringLiteral("12.00 V is above the 8.00 V ceiling that vantel "
                                           "(pid 7) holds on COM3 address 5");
    QTest::newRow("confirmed") << true << Error::None << QString() << LinkFault::None << 0
                               << QString();
    QTest::newRow("the read-back differs")
        << false << Error::None << QStringLiteral("the read-back differs")
        << LinkFault::NotConfirmed << -240 << QStringLiteral("the read-back differs");
    QTest::newRow("not confirmed, no word")
        << false << Error::None << QString() << LinkFault::NotConfirmed << -240
        << QStringLiteral("not confirmed");
    QTest::newRow("no read-back") << false << Error::Timeout
                                  << QStringLiteral("no read-back (timeout)") << LinkFault::Line
                                  << -240 << QStringLiteral("no read-back (timeout)");
    QTest::newRow("exception") << false << Error::Exception << QStringLiteral("exception 3")
                               << LinkFault::Line << -240 << QStringLiteral("exception 3");
    QTest::newRow("refused by a ceiling")
        << false << Error::Refused << refusal << LinkFault::Refused << -221 << refusal;
    QTest::newRow("the port went away")
        << false << Error::Port << QStringLiteral("port") << LinkFault::Gone << -240 << kGone;
}

void TestEngineLink::writes()
{
    QFETCH(bool, confirmed);
    QFETCH(engine::Error, error);
    QFETCH(QString, problem);
    QFETCH(LinkFault, fault);
    QFETCH(int, scpiError);
    QFETCH(QString, detail);

    records::WriteResult write;
    write.confirmed = confirmed;
    write.failure = {error};
    write.problem = problem;
    write.readBack = protocol::StatusReading{};
    const scpi::SupplyLink::Result result = ctl::linkResult(write, kGone);
    QCOMPARE(result.fault, fault);
    QCOMPARE(result.reading.has_value(), confirmed);
    QCOMPARE(QString::fromStdString(result.detail), detail);
    QCOMPARE(scpi::errorNumber(result.fault), scpiError);
}

QTEST_GUILESS_MAIN(TestEngineLink)
#include "tst_ctl_enginelink.moc"
