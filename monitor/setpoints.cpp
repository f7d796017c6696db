#include "monitor/form1.h"

#include "numtext/numtext.h"
#include "protocol/frames.h"

#include <array>
#include <cstdint>
#include <exception>
#include <string>

namespace monitor {

namespace {

constexpr int kStepUp = +1;
constexpr int kStepDown = -1;
constexpr double kTopAddress = 128;      // the address spinner wraps 128 <-> 0
constexpr int kPollIntervalMs = 350;     // the read request follows a write a full period later
constexpr int kAddressWatchdogMs = 3000; // a fresh watchdog period after an address step

const QString kPortClosed = QStringLiteral("Please open the serial port！");
const QString kMonitorStopped = QStringLiteral("Please open the Output monitor start！");
const QString kBadAddress =
    QStringLiteral("The instrument address must be a whole number from 0 to 255");

double valueOf(const ui::TextBox *box)
{
    return numtext::readLenient(box->Text().toStdString());
}

void writeValue(ui::TextBox *box, double value)
{
    box->setText(QString::fromStdString(numtext::formatPlain(value)));
}

// One digit spinner: the box's value stepped by one, "0" past 9 going up, "9" below 0
// going down. A typed value outside 0..9 is stepped from where it stands and a
// fraction keeps its fraction; only the wrap test bounds the digit. When the digit
// wraps going down, `borrowFrom` (if any) is set to "0".
void stepDigit(ui::TextBox *box, int step, ui::TextBox *borrowFrom = nullptr)
{
    writeValue(box, valueOf(box) + step);
    const double value = valueOf(box);
    if (step == kStepUp && value > 9) {
        box->setText(QStringLiteral("0"));
    } else if (step == kStepDown && value < 0) {
        box->setText(QStringLiteral("9"));
        if (borrowFrom != nullptr) {
            borrowFrom->setText(QStringLiteral("0"));
        }
    }
}

QByteArray bytesOf(const protocol::Frame &frame)
{
    return QByteArray(reinterpret_cast<const char *>(frame.data()),
                      static_cast<qsizetype>(frame.size()));
}

} // namespace

// What sets the voltage apart from the current: the four digit boxes (highest
// first) form a code 1000a + 100b + 10c + d in the register's unit, and the value
// shown in volts or amperes with the display weights.
struct SetCommand {
    std::array<ui::TextBox * Form1::*, 4> digits;
    std::array<double, 4> displayWeights;
    ui::TextBox *Form1::*display;
    std::string (*format)(double);
    double largestCode;
    protocol::Frame (*buildRequest)(std::uint8_t address, std::uint16_t code);
    const char *refusal;
    const char *notNumbers;
    const char *negative;
};

namespace {

constexpr std::array<double, 4> kCodeWeights{1000, 100, 10, 1};

const SetCommand kSetVoltage{
    {&Form1::T6, &Form1::T8, &Form1::T10, &Form1::T12},
    {10, 1, 0.1, 0.01},
    &Form1::T3,
    numtext::formatVolts,
    protocol::kLargestVoltageCode,
    protocol::buildSetVoltageRequest,
    "Voltage setting cannot exceed 62.00V\r\nPlease reset the voltage",
    "The voltage digits must be numbers",
    "The voltage setting cannot be negative",
};

const SetCommand kSetCurrent{
    {&Form1::T16, &Form1::T7, &Form1::T9, &Form1::T11},
    {1, 0.1, 0.01, 0.001},
    &Form1::T4,
    numtext::formatAmps,
    protocol::kLargestCurrentCode,
    protocol::buildSetCurrentRequest,
    "Current setting cannot exceed 3.200A\r\nPlease reset the current",
    "The current digits must be numbers",
    "The current setting cannot be negative",
};

} // namespace

// clang-format off
// The sixteen digit spinners: box and direction.
void Form1::C2_Click() { stepDigit(T6, kStepUp); }
void Form1::C3_Click() { stepDigit(T6, kStepDown); }
void Form1::C4_Click() { stepDigit(T8, kStepUp); }
void Form1::C5_Click() { stepDigit(T8, kStepDown); }
void Form1::C6_Click() { stepDigit(T10, kStepUp); }
void Form1::C7_Click() { stepDigit(T10, kStepDown); }
void Form1::C8_Click() { stepDigit(T12, kStepUp); }
void Form1::C9_Click() { stepDigit(T12, kStepDown); }
void Form1::C34_Click() { stepDigit(T16, kStepUp); }
void Form1::C35_Click() { stepDigit(T16, kStepDown); }
void Form1::C10_Click() { stepDigit(T7, kStepUp); }
void Form1::C11_Click() { stepDigit(T7, kStepDown, T16); } // wrapping to 9 clears the amperes
void Form1::C12_Click() { stepDigit(T9, kStepUp); }
void Form1::C13_Click() { stepDigit(T9, kStepDown); }
void Form1::C14_Click() { stepDigit(T11, kStepUp); }
void Form1::C15_Click() { stepDigit(T11, kStepDown); }

void Form1::C23_Click() { stepAddress(kStepUp); }
void Form1::C24_Click() { stepAddress(kStepDown); }

void Form1::C18_Click() { sendSetpoint(kSetVoltage); }
void Form1::C19_Click() { sendSetpoint(kSetCurrent); }
// clang-format on

// Steps the instrument address within 0..128. While the monitor runs the watchdog
// gets a fresh period, and the read requests stop at the broadcast address 0,
// which never answers, and resume above it.
void Form1::stepAddress(int step)
{
    const bool monitoring = C1->Caption() == kMonitorStop;
    if (monitoring) {
        Timer2->setInterval(kAddressWatchdogMs);
        Timer2->setEnabled(true);
        watchdogTripped = false;
    }
    writeValue(T15, valueOf(T15) + step);
    if (step == kStepUp && valueOf(T15) > kTopAddress) {
        T15->setText(QStringLiteral("0"));
    } else if (step == kStepDown && valueOf(T15) < 0) {
        writeValue(T15, kTopAddress);
    }
    if (!monitoring) {
        return;
    }
    // The text was just written from a number, so it always converts.
    const double address = numtext::readStrict(T15->Text().toStdString()).value_or(-1);
    if (address == 0) {
        Text4->setText(QString());
        Text5->setText(QString());
        T1->setText(QString());
        T2->setText(QString());
        Timer1->setEnabled(false);
    } else if (address >= 1) {
        Timer1->setEnabled(true);
    }
}

// Sends the dialled voltage or current. The value is shown before the limit test,
// so a refused value is on display too. A digit box or address that does not
// convert sends nothing and leaves the timers alone.
void Form1::sendSetpoint(const SetCommand &command)
{
    MSComm1.setInBufferCount(0);
    if (!MSComm1.PortOpen()) {
        MsgBox(kPortClosed);
        return;
    }
    double code = 0;
    double shown = 0;
    for (std::size_t i = 0; i < command.digits.size(); ++i) {
        const auto digit = numtext::readStrict((this->*command.digits[i])->Text().toStdString());
        if (!digit) {
            MsgBox(QString::fromUtf8(command.notNumbers));
            return;
        }
        code += kCodeWeights[i] * *digit;
        shown += command.displayWeights[i] * *digit;
    }
    (this->*command.display)->setText(QString::fromStdString(command.format(shown)));
    if (numtext::roundHalfEven(code) > command.largestCode) {
        MsgBox(QString::fromUtf8(command.refusal));
        return;
    }
    const auto value = numtext::toInt16(code);
    if (!value || *value < 0) {
        MsgBox(QString::fromUtf8(command.negative));
        return;
    }
    const auto address = numtext::toByte(T15->Text().toStdString());
    if (!address) {
        MsgBox(kBadAddress);
        return;
    }
    try {
        handOverWrite(command.buildRequest(*address, static_cast<std::uint16_t>(*value)));
    } catch (const std::exception &error) {
        MsgBox(QString::fromUtf8(error.what()));
    }
}

// Switches the supply's output. The caption names the next click's action; it
// flips before sending and flips back if the request does not go out.
void Form1::C25_Click()
{
    try {
        MSComm1.setInBufferCount(0);
        if (!MSComm1.PortOpen()) {
            MsgBox(kPortClosed);
            return;
        }
        if (!monitorRunning) {
            MsgBox(kMonitorStopped);
            return;
        }
        const auto address = numtext::toByte(T15->Text().toStdString());
        if (!address) {
            MsgBox(kBadAddress);
            return;
        }
        const QString caption = C25->Caption();
        const QColor color = C25->BackColor();
        const bool switchOn = caption != kOutputStop;
        C25->setCaption(switchOn ? kOutputStop : kOutputStart);
        C25->setBackColor(switchOn ? kPink : kCyan);
        try {
            handOverWrite(protocol::buildSwitchOutputRequest(*address, switchOn));
        } catch (...) {
            C25->setCaption(caption);
            C25->setBackColor(color);
            throw;
        }
    } catch (const std::exception &error) {
        MsgBox(QString::fromUtf8(error.what()));
    }
}

// Sends one write request with Timer1 held off, so that no read request is
// interleaved with it, then restarts Timer1 so that the next read follows a full
// period later. If sending fails, the failure goes to the caller and Timer1 polls
// again if it did before or the monitor runs.
void Form1::handOverWrite(const protocol::Frame &frame)
{
    const bool wasPolling = Timer1->Enabled();
    MSComm1.setOutBufferCount(0);
    Timer1->setEnabled(false);
    try {
        MSComm1.setOutput(bytesOf(frame));
    } catch (...) {
        if (wasPolling || monitorRunning) {
            Timer1->setInterval(kPollIntervalMs);
            Timer1->setEnabled(true);
        }
        throw;
    }
    Timer1->setInterval(kPollIntervalMs);
    Timer1->setEnabled(true);
}

} // namespace monitor
