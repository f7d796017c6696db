#include "monitor/form1.h"
#include "support/fakecommcontrol.h"
#include "support/recordingmessenger.h"

#include <QtTest>

#include <functional>
#include <memory>

using monitor::Form1;

namespace {

// Notes whether the poll timer was enabled at the moment a frame went to the line.
class ObservedComm : public testsupport::FakeCommControl {
public:
    std::function<void()> onWrite;

protected:
    void writeDevice(const QByteArray &bytes) override
    {
        if (onWrite) {
            onWrite();
        }
        FakeCommControl::writeDevice(bytes);
    }
};

const QStringList kVoltageBoxes{"T6", "T8", "T10", "T12"};
const QStringList kCurrentBoxes{"T16", "T7", "T9", "T11"};
const QStringList kDigitBoxes = kVoltageBoxes + kCurrentBoxes;
const char *const kPortClosed = "Please open the serial port！";
const char *const kVoltageRefused =
    "Voltage setting cannot exceed 62.00V\r\nPlease reset the voltage";
const char *const kCurrentRefused =
    "Current setting cannot exceed 3.200A\r\nPlease reset the current";
const char *const kBadAddress = "The instrument address must be a whole number from 0 to 255";
const char *const kWriteFailed = "The device failed while writing";

QByteArray hex(const char *text)
{
    return QByteArray::fromHex(QByteArray(text).replace(' ', ""));
}

} // namespace

class TestSetpoints : public QObject {
    Q_OBJECT

private:
    std::unique_ptr<ObservedComm> comm;
    std::unique_ptr<testsupport::RecordingMessenger> messenger;
    std::unique_ptr<Form1> w;
    QList<bool> timer1AtWrite;

    ui::TextBox *box(const QString &name) { return w->findChild<ui::TextBox *>(name); }
    void click(const QString &name)
    {
        auto *button = w->findChild<QPushButton *>(name);
        QVERIFY2(button, qPrintable(name));
        button->click();
    }
    void openPort()
    {
        comm->setPort(1, testsupport::FakeCommControl::Port::Free);
        comm->setCommPort(1);
        comm->setPortOpen(true);
    }
    // As the monitor button leaves the window when it starts the cycle.
    void runMonitor()
    {
        w->monitorRunning = true;
        w->C1->setCaption(Form1::kMonitorStop);
        w->Timer1->setInterval(350);
        w->Timer1->setEnabled(true);
        w->Timer2->setInterval(2000);
        w->Timer2->setEnabled(true);
    }

private slots:
    void init()
    {
        comm = std::make_unique<ObservedComm>();
        messenger = std::make_unique<testsupport::RecordingMessenger>();
        w = std::make_unique<Form1>(*comm, *messenger);
        timer1AtWrite.clear();
        comm->onWrite = [this] { timer1AtWrite << w->Timer1->Enabled(); };
    }
    void cleanup()
    {
        w.reset();
        comm.reset();
    }

    void digitSpinner_data()
    {
        QTest::addColumn<QString>("button");
        QTest::addColumn<QString>("box");
        QTest::addColumn<QString>("before");
        QTest::addColumn<QString>("after");
        const auto row = [](const char *name, const char *button, const char *box,
                            const char *before, const char *after) {
            QTest::addRow("%s %s", button, name) << button << box << before << after;
        };
        const struct {
            const char *up, *down, *box;
        } family[] = {{"C2", "C3", "T6"},   {"C4", "C5", "T8"},    {"C6", "C7", "T10"},
                      {"C8", "C9", "T12"},  {"C34", "C35", "T16"}, {"C10", "C11", "T7"},
                      {"C12", "C13", "T9"}, {"C14", "C15", "T11"}};
        for (const auto &member : family) {
            row("4 up", member.up, member.box, "4", "5");
            row("9 up wraps", member.up, member.box, "9", "0");
            row("4 down", member.down, member.box, "4", "3");
            row("1 down", member.down, member.box, "1", "0");
            if (QByteArray(member.down) != "C11") { // C11 borrows, see below
                row("0 down wraps", member.down, member.box, "0", "9");
            }
        }
        row("empty up", "C2", "T6", "", "1");
        row("empty down", "C3", "T6", "", "9");
        row("letters up", "C14", "T11", "x7", "1");
        row("typed 12 down", "C5", "T8", "12", "11");
        row("typed 12 up", "C4", "T8", "12", "0");
        row("fraction up", "C12", "T9", "2.5", "3.5");
        row("fraction down", "C13", "T9", "2.5", "1.5");
        row("leading digits", "C8", "T12", "3V", "4");
    }
    void digitSpinner()
    {
        QFETCH(QString, button);
        QFETCH(QString, box);
        QFETCH(QString, before);
        QFETCH(QString, after);
        for (const QString &name : kDigitBoxes) {
            this->box(name)->setText(QStringLiteral("5"));
        }
        this->box(box)->setText(before);

        click(button);

        QCOMPARE(this->box(box)->Text(), after);
        for (const QString &name : kDigitBoxes) {
            if (name != box) {
                QCOMPARE(this->box(name)->Text(), QStringLiteral("5"));
            }
        }
        QVERIFY(comm->written.isEmpty());
        QVERIFY(messenger->messages.isEmpty());
    }

    void tenthsOfAmpereBorrow_data()
    {
        QTest::addColumn<QString>("units");
        QTest::addColumn<QString>("tenths");
        QTest::addColumn<QString>("unitsAfter");
        QTest::addColumn<QString>("tenthsAfter");
        const auto row = [](const char *name, const char *units, const char *tenths,
                            const char *unitsAfter, const char *tenthsAfter) {
            QTest::newRow(name) << units << tenths << unitsAfter << tenthsAfter;
        };
        row("2.050 A wraps", "2", "0", "0", "9");
        row("2.350 A steps", "2", "3", "2", "2");
        row("empty tenths wraps", "7", "", "0", "9");
    }
    void tenthsOfAmpereBorrow()
    {
        QFETCH(QString, units);
        QFETCH(QString, tenths);
        w->T16->setText(units);
        w->T7->setText(tenths);
        w->T9->setText(QStringLiteral("5"));

        click(QStringLiteral("C11"));

        QTEST(w->T16->Text(), "unitsAfter");
        QTEST(w->T7->Text(), "tenthsAfter");
        QCOMPARE(w->T9->Text(), QStringLiteral("5"));
    }

    void addressSpinner_data()
    {
        QTest::addColumn<bool>("monitoring");
        QTest::addColumn<QString>("button");
        QTest::addColumn<QString>("before");
        QTest::addColumn<QString>("after");
        QTest::addColumn<bool>("timer1Before");
        QTest::addColumn<bool>("timer1After");
        QTest::addColumn<bool>("blanked");
        const auto row = [](const char *name, bool monitoring, const char *button,
                            const char *before, const char *after, bool timer1Before,
                            bool timer1After, bool blanked) {
            QTest::newRow(name) << monitoring << button << before << after << timer1Before
                                << timer1After << blanked;
        };
        row("stopped 128 up", false, "C23", "128", "0", false, false, false);
        row("stopped 0 down", false, "C24", "0", "128", false, false, false);
        row("stopped empty up", false, "C23", "", "1", false, false, false);
        row("stopped 1 down", false, "C24", "1", "0", false, false, false);
        row("stopped letters down", false, "C24", "abc", "128", false, false, false);
        row("running 5 up", true, "C23", "5", "6", true, true, false);
        row("running 1 down stops polling", true, "C24", "1", "0", true, false, true);
        row("running 128 up stops polling", true, "C23", "128", "0", true, false, true);
        row("running 0 up resumes", true, "C23", "0", "1", false, true, false);
        row("running 0 down resumes", true, "C24", "0", "128", false, true, false);
        row("running fraction up", true, "C23", "2.5", "3.5", true, true, false);
    }
    void addressSpinner()
    {
        QFETCH(bool, monitoring);
        QFETCH(QString, button);
        QFETCH(QString, before);
        QFETCH(bool, timer1Before);
        QFETCH(bool, blanked);
        if (monitoring) {
            runMonitor();
            w->T1->setText(QStringLiteral("12.32"));
            w->T2->setText(QStringLiteral("0.500"));
            w->Text4->setText(QStringLiteral("CV"));
            w->Text5->setText(QStringLiteral("ON"));
        }
        w->Timer1->setEnabled(timer1Before);
        w->T3->setText(QStringLiteral("12.34"));
        w->T4->setText(QStringLiteral("1.500"));
        w->T15->setText(before);
        const int timer2Interval = w->Timer2->Interval();
        const bool timer2Enabled = w->Timer2->Enabled();
        QStringList changed;
        for (ui::TextBox *field : {w->Text4, w->Text5, w->T1, w->T2}) {
            connect(field, &ui::TextBox::Change, this,
                    [&changed, field] { changed << field->objectName(); });
        }

        click(button);

        QTEST(w->T15->Text(), "after");
        QTEST(w->Timer1->Enabled(), "timer1After");
        QCOMPARE(w->Timer1->isTicking(), w->Timer1->Enabled());
        QCOMPARE(w->Timer2->Interval(), monitoring ? 3000 : timer2Interval);
        QCOMPARE(w->Timer2->Enabled(), monitoring || timer2Enabled);
        const QStringList blanking{"Text4", "Text5", "T1", "T2"};
        QCOMPARE(changed, blanked ? blanking : QStringList());
        if (blanked) {
            QVERIFY(w->T1->Text().isEmpty() && w->T2->Text().isEmpty());
            QVERIFY(w->Text4->Text().isEmpty() && w->Text5->Text().isEmpty());
        }
        QCOMPARE(w->T3->Text(), QStringLiteral("12.34"));
        QCOMPARE(w->T4->Text(), QStringLiteral("1.500"));
        QVERIFY(comm->written.isEmpty());
        QVERIFY(messenger->messages.isEmpty());
    }

    void setCommand_data()
    {
        QTest::addColumn<QString>("button");
        QTest::addColumn<QStringList>("digits");
        QTest::addColumn<QString>("address");
        QTest::addColumn<QByteArray>("frame"); // empty: nothing may be sent
        QTest::addColumn<QString>("shown");
        QTest::addColumn<QString>("message");
        const auto row = [](const char *name, const char *button, const QStringList &digits,
                            const char *address, const char *frame, const char *shown,
                            const char *message) {
            QTest::newRow(name) << button << digits << address << hex(frame) << shown
                                << QString::fromUtf8(message);
        };
        const QStringList v1234{"1", "2", "3", "4"};
        row("62.00 V is the limit", "C18", {"6", "2", "0", "0"}, "1", "01 06 10 00 18 38 86 D8",
            "62.00", "");
        row("62.01 V refused", "C18", {"6", "2", "0", "1"}, "1", "", "62.01", kVoltageRefused);
        row("12.34 V", "C18", v1234, "1", "01 06 10 00 04 D2 0F 97", "12.34", "");
        row("0 V", "C18", {"0", "0", "0", "0"}, "1", "01 06 10 00 00 00 8D 0A", "00.00", "");
        row("3.200 A is the limit", "C19", {"3", "2", "0", "0"}, "1", "01 06 10 01 0C 80 D8 6A",
            "3.200", "");
        row("3.201 A refused", "C19", {"3", "2", "0", "1"}, "1", "", "3.201", kCurrentRefused);
        row("0 A", "C19", {"0", "0", "0", "0"}, "1", "01 06 10 01 00 00 DC CA", "0.000", "");
        row("address 0", "C18", v1234, "0", "00 06 10 00 04 D2 0E 46", "12.34", "");
        row("typed 2.5 rounds to even", "C18", {"0", "0", "0", "2.5"}, "1",
            "01 06 10 00 00 02 0C CB", "00.03", "");
        row("typed 3.5 rounds to even", "C18", {"0", "0", "0", "3.5"}, "1",
            "01 06 10 00 00 04 8C C9", "00.04", "");
        row("code beyond 16 bits", "C18", {"40", "0", "0", "0"}, "1", "", "400.00",
            kVoltageRefused);
        row("negative code", "C19", {"0", "0", "0", "-1"}, "1", "", "-0.001",
            "The current setting cannot be negative");
        row("empty digit", "C18", {"1", "", "3", "4"}, "1", "", "unchanged",
            "The voltage digits must be numbers");
        row("letters in a digit", "C19", {"1", "5", "x", "0"}, "1", "", "unchanged",
            "The current digits must be numbers");
        row("address letters", "C18", v1234, "abc", "", "12.34", kBadAddress);
        row("address 256", "C18", v1234, "256", "", "12.34", kBadAddress);
        row("address empty", "C19", {"1", "5", "0", "0"}, "", "", "1.500", kBadAddress);
    }
    void setCommand()
    {
        QFETCH(QString, button);
        QFETCH(QStringList, digits);
        QFETCH(QByteArray, frame);
        QFETCH(QString, message);
        openPort();
        const bool voltage = button == "C18";
        const QStringList boxes = voltage ? kVoltageBoxes : kCurrentBoxes;
        for (int i = 0; i < 4; ++i) {
            box(boxes[i])->setText(digits[i]);
        }
        QFETCH(QString, address);
        w->T15->setText(address);
        ui::TextBox *display = voltage ? w->T3 : w->T4;
        display->setText(QStringLiteral("unchanged"));
        comm->feed(hex("01 06 10 00"));
        comm->journal.clear();

        click(button);

        QCOMPARE(comm->journal.value(0), QStringLiteral("InBufferCount=0"));
        QCOMPARE(comm->InBufferCount(), 0);
        QTEST(display->Text(), "shown");
        if (frame.isEmpty()) {
            QVERIFY(comm->written.isEmpty());
            QVERIFY(!w->Timer1->Enabled()); // left as it was
            QCOMPARE(messenger->messages, QStringList{message});
        } else {
            // The monitor is stopped, and the poll timer starts anyway.
            QCOMPARE(comm->written, QList<QByteArray>{frame});
            QCOMPARE(comm->journal.last(), QStringLiteral("OutBufferCount=0"));
            QCOMPARE(timer1AtWrite, QList<bool>{false});
            QVERIFY(w->Timer1->Enabled());
            QCOMPARE(w->Timer1->Interval(), 350);
            QVERIFY(messenger->messages.isEmpty());
        }
        QCOMPARE(w->Timer2->Interval(), 0);
    }

    void setCommandPortClosed_data()
    {
        QTest::addColumn<QString>("button");
        QTest::newRow("voltage") << "C18";
        QTest::newRow("current") << "C19";
    }
    void setCommandPortClosed()
    {
        QFETCH(QString, button);
        w->T6->setText(QStringLiteral("1"));
        w->T16->setText(QStringLiteral("1"));
        w->T3->setText(QStringLiteral("05.00"));
        w->T4->setText(QStringLiteral("0.500"));
        comm->journal.clear();

        click(button);

        QCOMPARE(comm->journal, QStringList{"InBufferCount=0"});
        QCOMPARE(messenger->messages, QStringList{kPortClosed});
        QCOMPARE(w->T3->Text(), QStringLiteral("05.00"));
        QCOMPARE(w->T4->Text(), QStringLiteral("0.500"));
        QVERIFY(!w->Timer1->Enabled());
    }

    void setCommandSendFails_data()
    {
        QTest::addColumn<bool>("monitoring");
        QTest::addColumn<bool>("polling");
        QTest::newRow("idle") << false << false;
        QTest::newRow("polling without monitor") << false << true;
        QTest::newRow("monitor at address 0") << true << false;
        QTest::newRow("monitor polling") << true << true;
    }
    void setCommandSendFails()
    {
        QFETCH(bool, monitoring);
        QFETCH(bool, polling);
        openPort();
        if (monitoring) {
            runMonitor();
        }
        w->Timer1->setEnabled(polling);
        comm->failNextWrite(serial::kErrDeviceIo, kWriteFailed);

        click(QStringLiteral("C19"));

        QCOMPARE(messenger->messages, QStringList{kWriteFailed});
        QVERIFY(comm->written.isEmpty());
        QCOMPARE(w->Timer1->Enabled(), polling || monitoring);
        // The window stays usable: the next press goes out.
        click(QStringLiteral("C19"));
        QCOMPARE(comm->written, QList<QByteArray>{hex("01 06 10 01 00 00 DC CA")});
        QCOMPARE(timer1AtWrite, (QList<bool>{false, false})); // never polling while writing
    }

    void outputSwitch_data()
    {
        QTest::addColumn<bool>("portOpen");
        QTest::addColumn<bool>("monitoring");
        QTest::addColumn<bool>("on");
        QTest::addColumn<QString>("address");
        QTest::addColumn<bool>("failWrite");
        QTest::addColumn<QByteArray>("frame"); // empty: nothing may be sent
        QTest::addColumn<bool>("onAfter");
        QTest::addColumn<QString>("message");
        const auto row = [](const char *name, bool portOpen, bool monitoring, bool on,
                            const char *address, bool failWrite, const char *frame, bool onAfter,
                            const char *message) {
            QTest::newRow(name) << portOpen << monitoring << on << address << failWrite
                                << hex(frame) << onAfter << QString::fromUtf8(message);
        };
        row("switch on", true, true, false, "1", false, "01 06 10 06 00 01 AC CB", true, "");
        row("switch off", true, true, true, "1", false, "01 06 10 06 00 00 6D 0B", false, "");
        row("port closed, monitor running", false, true, false, "1", false, "", false, kPortClosed);
        row("port closed, monitor stopped", false, false, false, "1", false, "", false,
            kPortClosed);
        row("monitor stopped", true, false, false, "1", false, "", false,
            "Please open the Output monitor start！");
        row("address letters", true, true, false, "x", false, "", false, kBadAddress);
        row("address -1", true, true, true, "-1", false, "", true, kBadAddress);
        row("write fails on", true, true, false, "1", true, "", false, kWriteFailed);
        row("write fails off", true, true, true, "1", true, "", true, kWriteFailed);
    }
    void outputSwitch()
    {
        QFETCH(bool, portOpen);
        QFETCH(bool, monitoring);
        QFETCH(bool, on);
        QFETCH(QString, address);
        QFETCH(bool, failWrite);
        QFETCH(QByteArray, frame);
        QFETCH(bool, onAfter);
        QFETCH(QString, message);
        if (portOpen) {
            openPort();
        }
        if (monitoring) {
            runMonitor();
        }
        // As at address 0: the poll timer is off until a write hands it back.
        w->Timer1->setEnabled(false);
        w->C25->setCaption(on ? Form1::kOutputStop : Form1::kOutputStart);
        w->C25->setBackColor(on ? Form1::kPink : Form1::kCyan);
        w->T15->setText(address);
        if (failWrite) {
            comm->failNextWrite(serial::kErrDeviceIo, kWriteFailed);
        }
        comm->journal.clear();

        click(QStringLiteral("C25"));

        QCOMPARE(w->C25->Caption(), onAfter ? Form1::kOutputStop : Form1::kOutputStart);
        QCOMPARE(w->C25->BackColor(), onAfter ? Form1::kPink : Form1::kCyan);
        QCOMPARE(comm->journal.value(0), QStringLiteral("InBufferCount=0"));
        if (frame.isEmpty()) {
            QVERIFY(comm->written.isEmpty());
            QCOMPARE(messenger->messages, QStringList{message});
        } else {
            QCOMPARE(comm->written, QList<QByteArray>{frame});
            QCOMPARE(timer1AtWrite, QList<bool>{false});
            QVERIFY(messenger->messages.isEmpty());
        }
        // Polling resumes after every request handed to the line, sent or failed.
        const bool handedOver = !frame.isEmpty() || failWrite;
        QCOMPARE(w->Timer1->Enabled(), handedOver);
        if (handedOver) {
            QCOMPARE(w->Timer1->Interval(), 350);
        }
    }
};

QTEST_MAIN(TestSetpoints)
#include "tst_setpoints.moc"
