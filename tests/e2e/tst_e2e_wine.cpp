// End to end on Windows (run under Wine): the vantel window on the Win32 serial
// control, against vantel-sim on a pseudo-terminal that the Wine prefix maps as a
// COM port. scripts/test-windows.sh maps the port, names it in VANTEL_E2E_COM and
// reads the poll period and the frames off the simulator's trace. The simulator
// there answers at addresses 1 and 2: the bus window reads both.

#include "support/recordingmessenger.h"
#include "support/winecom.h"

#include "bus/buswindow.h"
#include "bus/supplycard.h"
#include "line/enginecommcontrol.h"
#include "monitor/form1.h"
#include "panels/busentry.h"

#include <QAction>
#include <QLineEdit>
#include <QtTest>

using monitor::Form1;

namespace {

constexpr int kWaitMs = 5000;    // anything due within a few polls, with Wine's overhead
constexpr int kMonitorMs = 5000; // about 14 polls for the trace to measure

QStringList display(const Form1 &f)
{
    return {f.T1->Text(), f.T2->Text(),    f.T3->Text(),
            f.T4->Text(), f.Text5->Text(), f.Text4->Text()};
}

} // namespace

class TestWineE2e : public QObject {
    Q_OBJECT
private slots:
    void monitorAndSetVoltage();
    void busOfTwo();
};

void TestWineE2e::monitorAndSetVoltage()
{
    const QString port = qEnvironmentVariable("VANTEL_E2E_COM");
    if (port.isEmpty()) {
        QSKIP("no simulated supply mapped as a COM port (scripts/test-windows.sh maps one)");
    }
    const auto comm = line::makeEngineCommControl();
    testsupport::RecordingMessenger messenger;
    Form1 form(*comm, messenger);
    form.show();

    const QString notOpened = testsupport::openMappedPort(form, port);
    QVERIFY2(notOpened.isEmpty(), qPrintable(notOpened));
    QVERIFY(comm->PortOpen());

    // The supply starts at 5.00 V / 1.000 A with the output off.
    form.C1_Click();
    QTRY_COMPARE_WITH_TIMEOUT(
        display(form), QStringList({"00.00", "0.000", "05.00", "1.000", "OFF", "CV"}), kWaitMs);
    QTest::qWait(kMonitorMs);

    // 12.34 V, digit by digit, then sent.
    const auto click = [](QPushButton *button, int times) {
        for (int i = 0; i < times; ++i) {
            button->click();
        }
    };
    click(form.C2, 1);
    click(form.C4, 2);
    click(form.C6, 3);
    click(form.C8, 4);
    form.C18->click();
    QTRY_COMPARE_WITH_TIMEOUT(form.T3->Text(), QStringLiteral("12.34"), kWaitMs);

    form.C1_Click();
    form.C31_Click();
    QVERIFY(!comm->PortOpen());
    QVERIFY2(messenger.messages.isEmpty(), qPrintable(messenger.messages.join('\n')));
}

// The bus window on the window's line: both supplies read, round-robin, beside
// the window's own poll.
void TestWineE2e::busOfTwo()
{
    const QString port = qEnvironmentVariable("VANTEL_E2E_COM");
    if (port.isEmpty()) {
        QSKIP("no simulated supply mapped as a COM port (scripts/test-windows.sh maps one)");
    }
    const auto comm = line::makeEngineCommControl();
    testsupport::RecordingMessenger messenger;
    Form1 form(*comm, messenger);
    form.show();
    const QString notOpened = testsupport::openMappedPort(form, port);
    QVERIFY2(notOpened.isEmpty(), qPrintable(notOpened));
    form.C1_Click();

    auto *entry = form.findChild<QAction *>(QStringLiteral("busAction"));
    QVERIFY(entry != nullptr);
    entry->trigger();
    bus::BusWindow *w = panels::busWindowOf(&form);
    QVERIFY(w != nullptr);
    w->addressField()->setText(QStringLiteral("1,2"));
    QVERIFY(w->applyAddresses());
    QCOMPARE(w->cards().size(), std::size_t(2));
    const auto bothRead = [w] {
        for (bus::SupplyCard *card : w->cards()) {
            if (card->state().readings() < 3 || card->isGrey()) {
                return false;
            }
        }
        return true;
    };
    QTRY_VERIFY_WITH_TIMEOUT(bothRead(), 2 * kWaitMs);

    w->close();
    form.C1_Click();
    form.C31_Click();
    QVERIFY(!comm->PortOpen());
    QVERIFY2(messenger.messages.isEmpty(), qPrintable(messenger.messages.join('\n')));
}

QTEST_MAIN(TestWineE2e)
#include "tst_e2e_wine.moc"
