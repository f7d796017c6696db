#include "addrtool/form1.h"

#include "numtext/numtext.h"
#include "protocol/frames.h"

#include <optional>

namespace addrtool {

namespace {

std::optional<std::uint8_t> addressIn(const ui::TextBox *box)
{
    return numtext::toByte(box->Text().toStdString());
}

QByteArray toBytes(const protocol::Frame &frame)
{
    return QByteArray(reinterpret_cast<const char *>(frame.data()),
                      static_cast<qsizetype>(frame.size()));
}

} // namespace

void Form1::confirmAddress(std::uint8_t newAddress)
{
    const QString address = QString::number(newAddress);
    Text1->setText(address);
    MsgBox(QStringLiteral("The slave address is set to ") + address +
           QStringLiteral("successfully!"));
}

void Form1::Command1_Click()
{
    if (!MSComm1.PortOpen()) {
        MsgBox(QStringLiteral("Please open the serial port！"));
        return;
    }
    // The old address first, and both before anything goes out.
    const auto oldAddress = addressIn(T15);
    if (!oldAddress) {
        MsgBox(QStringLiteral("Old instrument address must be a number from 0 to 255！"));
        return;
    }
    const auto newAddress = addressIn(T20);
    if (!newAddress) {
        MsgBox(QStringLiteral("Slave new address must be a number from 0 to 255！"));
        return;
    }
    try {
        // Unsent bytes are dropped; what waits in the receive buffer stays.
        MSComm1.setOutBufferCount(0);
        MSComm1.setOutput(toBytes(protocol::buildSetAddressRequest(*oldAddress, *newAddress)));
    } catch (const serial::CommError &failure) {
        MsgBox(QString::fromStdString(failure.what()));
        return;
    }
    // Only a box that reads exactly 0 was a broadcast, which nobody answers;
    // 0.4 also goes to address 0 but waits for an echo that never comes.
    if (numtext::readStrict(T15->Text().toStdString()) == 0.0) {
        confirmAddress(*newAddress);
    }
}

void Form1::MSComm1_OnComm()
{
    // The echo is judged by what the boxes hold now: nothing records what was
    // sent. Any failure ends the handler without a word.
    try {
        if (MSComm1.CommEvent() != serial::CommControl::comEvReceive) {
            return;
        }
        const auto oldAddress = addressIn(T15);
        if (!oldAddress) {
            return;
        }
        const auto newAddress = addressIn(T20);
        if (!newAddress) {
            return;
        }
        const QByteArray reply = MSComm1.Input();
        const auto *bytes = reinterpret_cast<const std::uint8_t *>(reply.constData());
        if (protocol::checkAddressEcho(bytes, static_cast<std::size_t>(reply.size()),
                                       *oldAddress)) {
            confirmAddress(*newAddress);
        }
    } catch (const serial::CommError &) {
    }
}

} // namespace addrtool
