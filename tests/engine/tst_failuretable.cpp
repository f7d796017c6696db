// The one table of how every face tells a failure: every error has a row with
// every column, the words are unique, and the faces' numbers are the ones their
// users rely on.
#include "engine/failure.h"
#include "engine/failuretable.h"

#include <QSet>
#include <QTest>

using engine::Error;

Q_DECLARE_METATYPE(Error)

class TestFailureTable : public QObject {
    Q_OBJECT
private slots:
    void everyErrorHasEveryColumn();
    void faces_data();
    void faces();
};

void TestFailureTable::everyErrorHasEveryColumn()
{
    const auto &table = engine::failureTable();
    QCOMPARE(table.front().error, Error::None);
    QCOMPARE(table.front().exitCode, 0);
    QSet<int> errors;
    QSet<QString> rowWords;
    QSet<QString> screenWords;
    for (const engine::FailureFaces &row : table) {
        QVERIFY2(!errors.contains(int(row.error)), row.rowWord);
        errors.insert(int(row.error));
        if (row.error == Error::None) {
            continue;
        }
        QVERIFY(*row.rowWord && *row.screenWord);
        QVERIFY2(!rowWords.contains(row.rowWord), row.rowWord);
        QVERIFY2(!screenWords.contains(row.screenWord), row.screenWord);
        rowWords.insert(row.rowWord);
        screenWords.insert(row.screenWord);
        QVERIFY2(row.exitCode > 0, row.rowWord);
        QVERIFY2(row.scpiError < 0, row.rowWord);
        QVERIFY2(row.httpStatus >= 400 && row.httpStatus < 600, row.rowWord);
        QVERIFY2(row.modbusException != 0, row.rowWord);
        QCOMPARE(&engine::facesOf(row.error), &row);
    }
    // Every error of the enum, from None to the last.
    QCOMPARE(errors.size(), int(Error::Undecoded) + 1);
}

void TestFailureTable::faces_data()
{
    QTest::addColumn<Error>("error");
    QTest::addColumn<QString>("word"); // in rows, with an exception's code 2
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<int>("scpi");
    QTest::addColumn<int>("http");
    QTest::addColumn<int>("modbus");

    QTest::newRow("timeout") << Error::Timeout << "timeout" << 1 << -240 << 502 << 0x0B;
    QTest::newRow("exception") << Error::Exception << "exception 2" << 1 << -240 << 502
                               << engine::kSupplysOwnException;
    QTest::newRow("port") << Error::Port << "port" << 1 << -240 << 502 << 0x0B;
    QTest::newRow("interrupted") << Error::Interrupted << "interrupted" << 130 << -240 << 503
                                 << 0x0B;
    // A ceiling: nothing was sent; a conflict with the line's settings.
    QTest::newRow("refused") << Error::Refused << "refused" << 2 << -221 << 409 << 3;
    QTest::newRow("not confirmed")
        << Error::NotConfirmed << "unconfirmed" << 1 << -240 << 502 << 0x0B;
    QTest::newRow("undecoded") << Error::Undecoded << "undecoded" << 1 << -240 << 502 << 0x0B;
}

void TestFailureTable::faces()
{
    QFETCH(Error, error);
    QFETCH(QString, word);
    QFETCH(int, exitCode);
    QFETCH(int, scpi);
    QFETCH(int, http);
    QFETCH(int, modbus);
    const engine::FailureFaces &row = engine::facesOf(error);
    QCOMPARE(engine::errorWord(error, 2), word);
    QCOMPARE(row.exitCode, exitCode);
    QCOMPARE(row.scpiError, scpi);
    QCOMPARE(row.httpStatus, http);
    QCOMPARE(row.modbusException, modbus);
    // The verdict bytes between programs of ours name only what crosses the line.
    const bool crosses = error != Error::Refused && error != Error::Exception &&
                         error != Error::NotConfirmed && error != Error::Undecoded;
    QCOMPARE(engine::errorOfVerdictByte(engine::verdictByte(error)), crosses ? error : Error::None);
}

QTEST_GUILESS_MAIN(TestFailureTable)
#include "tst_failuretable.moc"
