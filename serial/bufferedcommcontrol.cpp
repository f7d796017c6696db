#include "serial/bufferedcommcontrol.h"

#include <QStringList>

namespace serial {

namespace {

[[noreturn]] void invalidValue(const char *what)
{
    throw CommError(kErrInvalidValue, std::string("Invalid property value: ") + what);
}

void requireNonNegative(int value, const char *what)
{
    if (value < 0) {
        invalidValue(what);
    }
}

} // namespace

LineSettings parseSettings(const QString &settings)
{
    const QStringList parts = settings.trimmed().split(QLatin1Char(','));
    if (parts.size() != 4) {
        invalidValue("Settings");
    }
    LineSettings line;
    bool ok = false;
    line.baudRate = parts[0].trimmed().toInt(&ok);
    if (!ok || line.baudRate <= 0) {
        invalidValue("Settings");
    }
    const QString parity = parts[1].trimmed().toLower();
    if (parity.size() != 1 || !QStringLiteral("neoms").contains(parity)) {
        invalidValue("Settings");
    }
    line.parity = parity.at(0).toLatin1();
    line.dataBits = parts[2].trimmed().toInt(&ok);
    if (!ok || line.dataBits < 4 || line.dataBits > 8) {
        invalidValue("Settings");
    }
    const QString stop = parts[3].trimmed();
    if (stop == QLatin1String("1")) {
        line.stopBits = 1;
    } else if (stop == QLatin1String("1.5")) {
        line.stopBits = 3;
    } else if (stop == QLatin1String("2")) {
        line.stopBits = 2;
    } else {
        invalidValue("Settings");
    }
    return line;
}

void BufferedCommControl::setSettings(const QString &settings)
{
    m_lineSettings = parseSettings(settings);
    m_settings = settings;
    if (deviceIsOpen()) {
        applyLineSettings();
    }
}

void BufferedCommControl::setInBufferSize(int size)
{
    if (size <= 0) {
        invalidValue("InBufferSize");
    }
    m_inBufferSize = size;
    if (m_input.size() > size) {
        m_input.truncate(size);
    }
}

void BufferedCommControl::setOutBufferSize(int size)
{
    if (size <= 0) {
        invalidValue("OutBufferSize");
    }
    m_outBufferSize = size;
}

void BufferedCommControl::setInputMode(int mode)
{
    if (mode != 0 && mode != 1) {
        invalidValue("InputMode");
    }
    m_inputMode = mode;
}

void BufferedCommControl::setInputLen(int length)
{
    requireNonNegative(length, "InputLen");
    m_inputLen = length;
}

void BufferedCommControl::setRThreshold(int bytes)
{
    requireNonNegative(bytes, "RThreshold");
    m_rThreshold = bytes;
}

void BufferedCommControl::setSThreshold(int bytes)
{
    requireNonNegative(bytes, "SThreshold");
    m_sThreshold = bytes;
}

void BufferedCommControl::setInBufferCount(int count)
{
    if (count != 0) {
        invalidValue("InBufferCount");
    }
    m_input.clear();
    // Bytes already received by the system but not read yet would otherwise come
    // in front of the next reply.
    if (deviceIsOpen()) {
        discardDeviceInput();
    }
}

void BufferedCommControl::setOutBufferCount(int count)
{
    if (count != 0) {
        invalidValue("OutBufferCount");
    }
    if (deviceIsOpen()) {
        discardDeviceOutput();
    }
}

void BufferedCommControl::setCommPort(int port)
{
    if (port < 1) {
        throw CommError(kErrInvalidValue, "Invalid port number");
    }
    if (deviceIsOpen()) {
        throw CommError(kErrPortAlreadyOpen, "Operation not valid while the port is opened");
    }
    m_commPort = port;
}

void BufferedCommControl::setPortOpen(bool open)
{
    if (open == deviceIsOpen()) {
        if (open) {
            throw CommError(kErrPortInUse, "Port already open");
        }
        return;
    }
    m_input.clear();
    if (open) {
        m_lostReason.clear();
        openDevice(m_commPort);
    } else {
        closeDevice();
    }
}

void BufferedCommControl::setOutput(const QByteArray &bytes)
{
    if (!deviceIsOpen()) {
        throw CommError(kErrPortNotOpen, "Operation valid only when the port is open");
    }
    writeDevice(bytes);
}

int BufferedCommControl::probePort(int port)
{
    if (port < 1) {
        return kErrInvalidValue;
    }
    if (deviceIsOpen() && port == m_commPort) {
        return kErrPortInUse;
    }
    try {
        probeDevice(port);
    } catch (const CommError &error) {
        return error.number();
    }
    return 0;
}

QByteArray BufferedCommControl::Input()
{
    if (m_inputLen == 0 || m_inputLen >= m_input.size()) {
        QByteArray all;
        all.swap(m_input);
        return all;
    }
    QByteArray head = m_input.left(m_inputLen);
    m_input.remove(0, m_inputLen);
    return head;
}

void BufferedCommControl::receive(const QByteArray &bytes)
{
    const qsizetype room = m_inBufferSize - m_input.size();
    if (room > 0) {
        m_input.append(bytes.left(room));
    }
    if (m_rThreshold > 0 && m_input.size() >= m_rThreshold) {
        m_commEvent = comEvReceive;
        emit OnComm();
    }
}

void BufferedCommControl::deviceLost(const QString &reason)
{
    m_lostReason = reason.isEmpty() ? QStringLiteral("the device went away") : reason;
    if (deviceIsOpen()) {
        closeDevice();
    }
    m_input.clear();
}

} // namespace serial
