#include "serial/bufferedcommcontrol.h"

#include <QStringList>

#include <algorithm>

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
    propertySet("Settings", settings);
    m_lineSettings = parseSettings(settings);
    m_settings = settings;
    if (deviceIsOpen()) {
        applyLineSettings();
    }
}

void BufferedCommControl::setInBufferSize(int size)
{
    propertySet("InBufferSize", QString::number(size));
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
    propertySet("OutBufferSize", QString::number(size));
    if (size <= 0) {
        invalidValue("OutBufferSize");
    }
    m_outBufferSize = size;
}

void BufferedCommControl::setInputMode(int mode)
{
    propertySet("InputMode", QString::number(mode));
    if (mode != 0 && mode != 1) {
        invalidValue("InputMode");
    }
    m_inputMode = mode;
}

void BufferedCommControl::setInputLen(int length)
{
    propertySet("InputLen", QString::number(length));
    requireNonNegative(length, "InputLen");
    m_inputLen = length;
}

void BufferedCommControl::setRThreshold(int bytes)
{
    propertySet("RThreshold", QString::number(bytes));
    requireNonNegative(bytes, "RThreshold");
    m_rThreshold = bytes;
    updateDeviceReadThreshold();
}

void BufferedCommControl::updateDeviceReadThreshold()
{
    // With no events wanted, the device keeps what it was told last: the windows
    // switch events off only while they decode, and set the same threshold again.
    if (m_rThreshold > 0 && deviceIsOpen()) {
        setDeviceReadThreshold(std::max(1, m_rThreshold - static_cast<int>(m_input.size())));
    }
}

void BufferedCommControl::setSThreshold(int bytes)
{
    propertySet("SThreshold", QString::number(bytes));
    requireNonNegative(bytes, "SThreshold");
    m_sThreshold = bytes;
}

void BufferedCommControl::setInBufferCount(int count)
{
    propertySet("InBufferCount", QString::number(count));
    if (count != 0) {
        invalidValue("InBufferCount");
    }
    m_input.clear();
    // Bytes already received by the system but not read yet would otherwise come
    // in front of the next reply.
    if (deviceIsOpen()) {
        discardDeviceInput();
    }
    updateDeviceReadThreshold();
}

void BufferedCommControl::setOutBufferCount(int count)
{
    propertySet("OutBufferCount", QString::number(count));
    if (count != 0) {
        invalidValue("OutBufferCount");
    }
    if (deviceIsOpen()) {
        discardDeviceOutput();
    }
}

void BufferedCommControl::setCommPort(int port)
{
    propertySet("CommPort", QString::number(port));
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
    propertySet("PortOpen", open ? QStringLiteral("true") : QStringLiteral("false"));
    if (open == deviceIsOpen()) {
        if (open) {
            throw CommError(kErrPortInUse, "Port already open");
        }
        if (deviceIsOpening()) {
            closeDevice(); // the open on its way ends, unheard
        }
        return;
    }
    if (open && deviceIsOpening()) {
        throw CommError(kErrPortInUse, "Port already being opened");
    }
    m_input.clear();
    if (open) {
        m_lostReason.clear();
        openDevice(m_commPort);
        updateDeviceReadThreshold();
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
    if ((deviceIsOpen() || deviceIsOpening()) && port == m_commPort) {
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
    QByteArray taken;
    if (m_inputLen == 0 || m_inputLen >= m_input.size()) {
        taken.swap(m_input);
    } else {
        taken = m_input.left(m_inputLen);
        m_input.remove(0, m_inputLen);
    }
    updateDeviceReadThreshold();
    return taken;
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
    } else {
        updateDeviceReadThreshold();
    }
}

void BufferedCommControl::deviceOpenEnded(int error, const QString &reason)
{
    if (error == 0) {
        m_input.clear();
        updateDeviceReadThreshold();
    }
    emit openEnded(error, reason);
}

void BufferedCommControl::deviceLost(const QString &reason)
{
    m_lostReason = reason.isEmpty() ? QStringLiteral("the device went away") : reason;
    if (deviceIsOpen()) {
        closeDevice();
    }
    m_input.clear();
    emit portLost(m_lostReason);
}

} // namespace serial
