// End to end on Windows (run under Wine): the vantel window polls vantel-sim as a
// COM port (mapped by scripts/test-windows.sh, named in VANTEL_E2E_COM). F3 opens
// the sequence window; a short run goes from F5 to its end and its record holds its
// rows; a second run stopped with Shift+F5 leaves the output off, which the script
// then reads off the simulator's trace.

#include "support/recordingmessenger.h"
#include "support/winecom.h"

#include "line/enginecommcontrol.h"
#include "monitor/form1.h"
#include "panels/codeeditor.h"
#include "panels/monitorpanels.h"
#include "panels/windows.h"

#include <QLabel>
#include <QSettings>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

using monitor::Form1;

namespace {

constexpr int kWaitMs = 5000; // anything due within a few polls, with Wine's overhead

} // namespace

class TestWineSequenceE2e : public QObject {
    Q_OBJECT
private slots:
    void runToTheEndThenStop();
};

void TestWineSequenceE2e::runToTheEndThenStop()
{
    const QString port = qEnvironmentVariable("VANTEL_E2E_COM");
    if (port.isEmpty()) {
        QSKIP("no simulated supply mapped as a COM port (scripts/test-windows.sh maps one)");
    }
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, dir.filePath("settings"));
    const auto comm = line::makeEngineCommControl();
    testsupport::RecordingMessenger messenger;
    Form1 form(*comm, messenger);
    form.panels().setRecordsFolder(dir.filePath("records"));
    form.show();
    QVERIFY(QTest::qWaitForWindowExposed(&form));
    const QString notOpened = testsupport::openMappedPort(form, port);
    QVERIFY2(notOpened.isEmpty(), qPrintable(notOpened));
    form.C1_Click();
    QTRY_VERIFY_WITH_TIMEOUT(!form.T1->Text().isEmpty(), kWaitMs);

    form.activateWindow();
    QTest::keyClick(&form, Qt::Key_F3);
    panels::SequenceWindow *window = nullptr;
    QTRY_VERIFY_WITH_TIMEOUT(
        (window = form.findChild<panels::SequenceWindow *>()) && window->isVisible(), kWaitMs);
    QCOMPARE(window->windowTitle(), QStringLiteral("vantel - sequence"));

    // A short run from F5 to its end; its record holds a row for each poll.
    QSignalSpy finished(&form.panels(), &panels::MonitorPanels::runFinished);
    window->editor->setPlainText(QStringLiteral("set 5V 1A\noutput on\nhold 2s\noutput off\n"));
    // The keys go to the window that has the focus.
    window->activateWindow();
    QTRY_VERIFY_WITH_TIMEOUT(QApplication::activeWindow() == window, kWaitMs);
    window->editor->setFocus();
    QTest::keyClick(window->editor, Qt::Key_F5);
    QVERIFY2(form.panels().running(), qPrintable(window->accountLabel->text()));
    QTRY_VERIFY_WITH_TIMEOUT(finished.count() == 1, 6 * kWaitMs);
    QVERIFY2(finished.first().at(1).toString().contains("completed"),
             qPrintable(finished.first().at(1).toString()));
    QFile record(form.panels().runPath());
    QVERIFY(record.open(QIODevice::ReadOnly));
    const QList<QByteArray> lines = record.readAll().split('\n');
    QVERIFY(lines.first().startsWith("time,elapsed_s,address,"));
    QVERIFY2(lines.size() >= 1 + 6, qPrintable(QString::number(lines.size())));

    // A run stopped with Shift+F5: the output goes off, confirmed.
    window->editor->setPlainText(QStringLiteral("set 5V 1A\noutput on\nhold 60s\n"));
    QTest::keyClick(window->editor, Qt::Key_F5);
    QVERIFY(form.panels().running());
    QTRY_VERIFY_WITH_TIMEOUT(form.Text5->Text() == QStringLiteral("ON"), 2 * kWaitMs);
    QTest::keyClick(window->editor, Qt::Key_F5, Qt::ShiftModifier);
    QTRY_VERIFY_WITH_TIMEOUT(finished.count() == 2, 4 * kWaitMs);
    QVERIFY2(finished.last().at(1).toString().contains("switched off, confirmed"),
             qPrintable(finished.last().at(1).toString()));
    QTRY_VERIFY_WITH_TIMEOUT(form.Text5->Text() == QStringLiteral("OFF"), kWaitMs);
    form.C1_Click();
}

QTEST_MAIN(TestWineSequenceE2e)
#include "tst_e2e_wine_sequence.moc"
