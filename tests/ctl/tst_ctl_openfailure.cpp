// What vantelctl says of a port held by someone: "in use by another program"
// only when the holder is not a program of ours.
#include "ctl/tool.h"
#include "serial/commcontrol.h"

#include <QTest>

class TestCtlOpenFailure : public QObject {
    Q_OBJECT
private slots:
    void heldPortNamesItsHolder_data();
    void heldPortNamesItsHolder();
};

void TestCtlOpenFailure::heldPortNamesItsHolder_data()
{
    QTest::addColumn<qint64>("pid");
    QTest::addColumn<QString>("program");
    QTest::addColumn<bool>("ours");
    QTest::addColumn<bool>("sameUser");
    QTest::addColumn<QStringList>("said");
    QTest::addColumn<bool>("another"); // "in use by another program"

    QTest::newRow("holder unknown")
        << qint64(0) << QString() << false << false
        << QStringList{"COM3 is in use by another program (Permission error while locking"} << true;
    QTest::newRow("holder not ours") << qint64(77) << "minicom" << false << true
                                     << QStringList{"(minicom (pid 77)); close it"} << true;
    QTest::newRow("ours, same user, line not found")
        << qint64(4121) << "vantelctl" << true << true
        << QStringList{"COM3 is held by vantelctl (pid 4121), a program of ours", "is not found"}
        << false;
    QTest::newRow("ours, another user")
        << qint64(4121) << "vantel" << true << false
        << QStringList{"COM3 is held by vantel (pid 4121)", "user 1001 (mallory)",
                       "only with those of their own user"}
        << false;
}

void TestCtlOpenFailure::heldPortNamesItsHolder()
{
    QFETCH(qint64, pid);
    QFETCH(QString, program);
    QFETCH(bool, ours);
    QFETCH(bool, sameUser);
    QFETCH(QStringList, said);
    QFETCH(bool, another);
    line::DeviceHolder holder;
    holder.pid = pid;
    holder.program = program;
    holder.ours = ours;
    holder.sameUser = sameUser;
    holder.user = QStringLiteral("1001 (mallory)");
    const QString text =
        ctl::openFailureText(QStringLiteral("COM3"), serial::kErrPortInUse,
                             QStringLiteral("Permission error while locking the device"), holder);
    for (const QString &part : said) {
        QVERIFY2(text.contains(part), qPrintable(text));
    }
    QCOMPARE(text.contains(QStringLiteral("in use by another program")), another);
}

QTEST_GUILESS_MAIN(TestCtlOpenFailure)
#include "tst_ctl_openfailure.moc"
