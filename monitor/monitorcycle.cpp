#include "monitor/form1.h"

#include "numtext/numtext.h"
#include "protocol/frames.h"
#include "protocol/reading.h"
#include "protocol/reply.h"

#include <cmath>
#include <initializer_list>
#include <optional>
#include <utility>

namespace monitor {

namespace {

const QColor kRed(255, 0, 0);
const QColor kMonitorLampOff(255, 255, 255); // the monitor lamp while polling is stopped
const QColor kMonitorRunningBack(255, 192, 128);

constexpr int kPollMs = 350;
constexpr int kWatchdogMs = 2000;
constexpr int kStatusThreshold = static_cast<int>(protocol::kStatusReplySize);

// A display reading and its set value closer than this show the same text.
constexpr double kVoltsTolerance = 0.02;
constexpr double kAmpsTolerance = 0.002;

const QString kNoMonitorPort = QStringLiteral("Please open the serial port！");
const QString kCommunicationFailed = QStringLiteral(
    "Communication failed,Please check whether the communication address is correct！");

std::optional<double> numberIn(const ui::TextBox *box)
{
    return numtext::readStrict(box->Text().toStdString());
}

std::optional<std::uint8_t> byteIn(const ui::TextBox *box)
{
    return numtext::toByte(box->Text().toStdString());
}

QString text(const std::string &s)
{
    return QString::fromStdString(s);
}

// The address a poll goes to: only a whole number from 0 to 255 names one.
std::optional<std::uint8_t> pollAddress(const ui::TextBox *box)
{
    const auto value = numberIn(box);
    if (!value || *value != std::floor(*value)) {
        return std::nullopt;
    }
    return byteIn(box);
}

// The value dialled in digit boxes, each digit weighted by its place; nullopt
// when a box holds no number.
std::optional<double> dialled(std::initializer_list<std::pair<double, const ui::TextBox *>> digits)
{
    double value = 0;
    for (const auto &[weight, box] : digits) {
        const auto digit = numberIn(box);
        if (!digit) {
            return std::nullopt;
        }
        value += weight * *digit;
    }
    return value;
}

// A dialled set value goes in as plain number text, then formatted.
void showDialled(ui::TextBox *box, std::optional<double> value, std::string (*format)(double))
{
    if (!value) {
        box->setText(QString());
        return;
    }
    box->setText(text(numtext::formatPlain(*value)));
    box->setText(text(format(*value)));
}

// Writes `value` into `box`: the plain number into its Tag, the formatted one
// into its Text (which may raise the box's change reaction).
void showValue(ui::TextBox *box, double value, std::string (*format)(double))
{
    box->setTag(text(numtext::formatPlain(value)));
    box->setText(text(format(value)));
}

// A reading within `tolerance` of its set value shows the set value's text, so
// that the last count of a regulated output does not flicker. False when either
// text is no number, which ends the decoding.
bool maskReading(ui::TextBox *reading, const ui::TextBox *setValue, double tolerance)
{
    const auto actual = numberIn(reading);
    const auto set = numberIn(setValue);
    if (!actual || !set) {
        return false;
    }
    if (std::fabs(*actual - *set) <= tolerance) {
        reading->setText(setValue->Text());
    }
    return true;
}

// With the output off a reading at or below `tolerance` shows as zero. False
// when the text is no number.
bool zeroReading(ui::TextBox *reading, double tolerance, const QString &zero)
{
    const auto actual = numberIn(reading);
    if (!actual) {
        return false;
    }
    if (*actual <= tolerance) {
        reading->setText(zero);
    }
    return true;
}

// Tests the bytes waiting as a status reply and shows its six values. Every
// write to T1, T2, Text4 and Text5 runs that box's change reaction before the
// next step, and later steps read what it left. Returns at the first value that
// cannot be read; what was written before stays.
void decodeStatusReply(Form1 &w)
{
    const auto expected = byteIn(w.T15);
    if (!expected) {
        return;
    }
    const QByteArray input = w.MSComm1.Input();
    // Any bytes count as a sign of life, even those that fail the tests.
    w.replySeen = true;
    // The supply answers again after a silence: the watchdog watches for the next one.
    if (w.watchdogTripped && w.monitorRunning) {
        w.watchdogTripped = false;
        w.Timer2->setInterval(kWatchdogMs);
        w.Timer2->setEnabled(true);
    }
    const auto *reply = reinterpret_cast<const std::uint8_t *>(input.constData());
    const auto size = static_cast<std::size_t>(input.size());
    if (protocol::judgeStatusReply(*expected, reply, size).verdict != protocol::ReplyVerdict::Ok) {
        return;
    }
    // The values as sent go to the trend's history; the display below masks them.
    if (const auto reading = protocol::decodeStatusReading(reply, size)) {
        emit w.statusDecoded(*reading);
    }
    const auto word = [&](int index) { return protocol::statusWord(reply, size, index); };

    const auto setVolts = word(protocol::status::kSetVoltage);
    if (!setVolts) {
        return;
    }
    showValue(w.T3, protocol::countToVolts(*setVolts), numtext::formatVolts);
    const auto setAmps = word(protocol::status::kSetCurrent);
    if (!setAmps) {
        return;
    }
    showValue(w.T4, protocol::countToAmps(*setAmps), numtext::formatAmps);
    const auto actualVolts = word(protocol::status::kActualVoltage);
    if (!actualVolts) {
        return;
    }
    showValue(w.T1, protocol::countToVolts(*actualVolts), numtext::formatVolts);
    if (!maskReading(w.T1, w.T3, kVoltsTolerance)) {
        return;
    }
    const auto actualAmps = word(protocol::status::kActualCurrent);
    if (!actualAmps) {
        return;
    }
    showValue(w.T2, protocol::countToAmps(*actualAmps), numtext::formatAmps);
    if (!maskReading(w.T2, w.T4, kAmpsTolerance)) {
        return;
    }

    // The reply was judged whole, so both low bytes are there.
    const auto on = protocol::outputStateOf(
        *protocol::statusLowByte(reply, size, protocol::status::kOutputState));
    if (on == false) {
        w.Text5->setText(QStringLiteral("OFF"));
        if (w.C25->Caption() == Form1::kOutputStop) {
            w.C25->setCaption(Form1::kOutputStart);
            w.C25->setBackColor(Form1::kCyan);
        }
        if (!zeroReading(w.T1, kVoltsTolerance, QStringLiteral("00.00")) ||
            !zeroReading(w.T2, kAmpsTolerance, QStringLiteral("0.000"))) {
            return;
        }
    } else if (on == true) {
        w.Text5->setText(QStringLiteral("ON"));
        if (w.C25->Caption() == Form1::kOutputStart) {
            w.C25->setCaption(Form1::kOutputStop);
            w.C25->setBackColor(Form1::kPink);
        }
    }

    // A mode the supply never sends leaves the box as it was.
    const char *mode =
        protocol::modeName(*protocol::statusLowByte(reply, size, protocol::status::kMode));
    if (mode != nullptr) {
        w.Text4->setText(QString::fromLatin1(mode));
    }
}

} // namespace

void Form1::C1_Click()
{
    MSComm1.setInBufferCount(0);
    MSComm1.setRThreshold(kStatusThreshold);
    if (!portOpened) {
        MsgBox(kNoMonitorPort);
        return;
    }
    // The count wraps within 16 bits; 32767 + 1 = -32768 keeps the odd/even turn.
    monitorClickCount = monitorClickCount == 32767 ? qint16(-32768) : qint16(monitorClickCount + 1);
    watchdogTripped = false;
    if (monitorClickCount % 2 != 0) {
        monitorRunning = true;
        Timer1->setInterval(kPollMs);
        Timer1->setEnabled(true);
        Timer2->setInterval(kWatchdogMs);
        Timer2->setEnabled(true);
        Shape8->setFillColor(kRed);
        // Show the dialled set values until the first reply brings the supply's
        // own. A digit box holding no number leaves its set value empty.
        showDialled(T3, dialled({{10, T6}, {1, T8}, {0.1, T10}, {0.01, T12}}),
                    numtext::formatVolts);
        showDialled(T4, dialled({{1, T16}, {0.1, T7}, {0.01, T9}, {0.001, T11}}),
                    numtext::formatAmps);
        C1->setCaption(kMonitorStop);
        C1->setBackColor(kMonitorRunningBack);
        if (!MSComm1.PortOpen()) {
            T1->setText(QString());
            T2->setText(QString());
        }
    } else {
        monitorRunning = false;
        emit readingsInterrupted();
        Timer1->setEnabled(false);
        Timer2->setEnabled(false);
        Shape8->setFillColor(kMonitorLampOff);
        T1->setText(QString());
        T2->setText(QString());
        C1->setCaption(kMonitorStart);
        C1->setBackColor(kCyan);
        Text4->setText(QString());
        Text5->setText(QString());
        C25->setCaption(kOutputStart);
        C25->setBackColor(kCyan);
    }
}

void Form1::Timer1_Timer()
{
    // Whatever still waits (an echo of a write, a late reply) is dropped, so that
    // the next reply starts at the head of the buffer.
    MSComm1.setInBufferCount(0);
    // An address box that names no address sends nothing; the tick comes again.
    const auto address = pollAddress(T15);
    if (!address) {
        return;
    }
    const protocol::Frame request = protocol::buildReadStatusRequest(*address);
    if (!MSComm1.PortOpen()) {
        return;
    }
    try {
        MSComm1.setOutBufferCount(0);
        MSComm1.setOutput(QByteArray(reinterpret_cast<const char *>(request.data()),
                                     static_cast<qsizetype>(request.size())));
    } catch (const serial::CommError &) {
        // A port that fails under the write: nothing went out, and the watchdog
        // reports the silence that follows.
        return;
    }
    emit pollSent(*address);
    // The broadcast address never answers: one request is enough.
    if (*address == protocol::kBroadcastAddress) {
        Timer1->setEnabled(false);
    }
}

void Form1::Timer2_Timer()
{
    if (replySeen) {
        replySeen = false;
        return;
    }
    Text4->setText(QString());
    Text5->setText(QString());
    T1->setText(QString());
    T2->setText(QString());
    T3->setText(QString());
    T4->setText(QString());
    C25->setCaption(kOutputStart);
    C25->setBackColor(kCyan);
    emit readingsInterrupted();
    // The box runs its own event loop, which goes on delivering ticks and
    // replies: the watchdog stops before it so that one silence gives one
    // message. A reply arms it again; a silence that follows while the box is
    // still open empties the display without a second box over the first.
    watchdogTripped = true;
    Timer2->setEnabled(false);
    if (m_silenceBoxOpen) {
        return;
    }
    m_silenceBoxOpen = true;
    MsgBox(kCommunicationFailed);
    m_silenceBoxOpen = false;
    if (watchdogTripped) {
        Timer2->setEnabled(false);
    }
}

void Form1::MSComm1_OnComm()
{
    try {
        if (MSComm1.CommEvent() != serial::CommControl::comEvReceive) {
            return;
        }
        // No second receive event while this one is decoded.
        MSComm1.setRThreshold(0);
        decodeStatusReply(*this);
        // Decoded, rejected or failed halfway: the next full reply is decoded again.
        MSComm1.setRThreshold(kStatusThreshold);
    } catch (const serial::CommError &) {
        // The control failed under the handler: the event is dropped silently.
    }
}

void Form1::T1_Change()
{
    if (!monitorRunning) {
        T1->setText(QString());
    }
}

void Form1::T2_Change()
{
    if (!monitorRunning) {
        T2->setText(QString());
    }
}

void Form1::Text4_Change()
{
    if (!monitorRunning) {
        Text4->setText(QString());
    }
}

void Form1::Text5_Change()
{
    if (!monitorRunning) {
        Text5->setText(QString());
    }
}

} // namespace monitor
