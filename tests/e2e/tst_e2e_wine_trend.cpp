// End to end on Windows (run under Wine): the vantel window polls vantel-sim as a
// COM port (mapped by scripts/test-windows.sh, named in VANTEL_E2E_COM), F2 opens
// the trend, and its CSV holds the readings the window showed.

#include "support/recordingmessenger.h"
#include "support/winecom.h"

#include "line/enginecommcontrol.h"
#include "monitor/form1.h"
#include "trend/trendwindow.h"

#include <QPushButton>
#include <QTemporaryDir>
#include <QtTest>

using monitor::Form1;

namespace {

constexpr int kWaitMs = 5000; // anything due within a few polls, with Wine's overhead

} // namespace

class TestWineTrendE2e : public QObject {
    Q_OBJECT
private slots:
    void trendOpensAndSavesCsv();
};

void TestWineTrendE2e::trendOpensAndSavesCsv()
{
    const QString port = qEnvironmentVariable("VANTEL_E2E_COM");
    if (port.isEmpty()) {
        QSKIP("no simulated supply mapped as a COM port (scripts/test-windows.sh maps one)");
    }
    const auto comm = line::makeEngineCommControl();
    testsupport::RecordingMessenger messenger;
    Form1 form(*comm, messenger);
    form.show();
    QVERIFY(QTest::qWaitForWindowExposed(&form));

    const QString notOpened = testsupport::openMappedPort(form, port);
    QVERIFY2(notOpened.isEmpty(), qPrintable(notOpened));
    QVERIFY(comm->PortOpen());
    form.C1_Click();
    QTRY_VERIFY_WITH_TIMEOUT(!form.history().samples().empty(), kWaitMs);
    // The set values the supply reported, as the CSV writes them; the output is off.
    const QStringList setValues{QString::number(form.T3->Text().toDouble()),
                                QString::number(form.T4->Text().toDouble()), QStringLiteral("0")};

    form.activateWindow();
    QTest::keyClick(&form, Qt::Key_F2);
    trend::TrendWindow *trend = nullptr;
    QTRY_VERIFY_WITH_TIMEOUT((trend = form.findChild<trend::TrendWindow *>()) && trend->isVisible(),
                             kWaitMs);
    QCOMPARE(trend->windowTitle(), QStringLiteral("vantel - trend"));
    QTRY_VERIFY_WITH_TIMEOUT(form.history().samples().size() >= 8, 4 * kWaitMs);

    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString path = dir.filePath(QStringLiteral("trend.csv"));
    trend->setPathPrompt([&](const QString &, const QString &, const QString &) { return path; });
    trend->saveCsvButton->click();
    form.C1_Click();
    form.C31_Click();
    QVERIFY2(messenger.messages.isEmpty(), qPrintable(messenger.messages.join('\n')));

    // One row a reading, each with the supply's set values and its output off.
    QFile csv(path);
    QVERIFY(csv.open(QIODevice::ReadOnly | QIODevice::Text));
    QCOMPARE(csv.readLine(), QByteArray("time,elapsed_s,set_v,set_a,v,a,w,output,mode\n"));
    std::size_t rows = 0;
    while (!csv.atEnd()) {
        const QStringList f = QString::fromLatin1(csv.readLine()).trimmed().split(',');
        QCOMPARE(f.size(), 9);
        QCOMPARE(QStringList({f[2], f[3], f[7]}), setValues);
        ++rows;
    }
    QCOMPARE(rows, form.history().samples().size());
}

QTEST_MAIN(TestWineTrendE2e)
#include "tst_e2e_wine_trend.moc"
