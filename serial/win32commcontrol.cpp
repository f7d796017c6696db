#include "serial/win32commcontrol.h"

#include "serial/portnames.h"

#include <QWinEventNotifier>

#include <string>

namespace serial {

namespace {

// With both total read timeouts zero, a read waits for its first byte and ends at
// the first gap this long between bytes (a byte takes about 1 ms at 9600 baud).
constexpr DWORD kReadIntervalMs = 2;
// A frame of a few bytes leaves within milliseconds at 9600 baud; a line that does
// not drain in this time has failed.
constexpr DWORD kWriteTimeoutMs = 1000;

std::string systemMessage(DWORD error)
{
    wchar_t *text = nullptr;
    const DWORD length = FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, error, 0, reinterpret_cast<wchar_t *>(&text), 0, nullptr);
    QString message = length > 0 ? QString::fromWCharArray(text, length).trimmed() : QString();
    LocalFree(text);
    if (message.isEmpty()) {
        message = QStringLiteral("Windows error %1").arg(error);
    }
    return message.toStdString();
}

} // namespace

Win32CommControl::Win32CommControl(QObject *parent, Win32Api &api)
    : BufferedCommControl(parent), m_api(api),
      m_readEvent(CreateEventW(nullptr, TRUE, FALSE, nullptr)),
      m_writeEvent(CreateEventW(nullptr, TRUE, FALSE, nullptr)),
      m_readNotifier(new QWinEventNotifier(m_readEvent, this))
{
    m_readNotifier->setEnabled(false);
    connect(m_readNotifier, &QWinEventNotifier::activated, this, &Win32CommControl::onReadDone);
}

Win32CommControl::~Win32CommControl()
{
    if (deviceIsOpen()) {
        closeDevice();
    }
    delete m_readNotifier; // before the event it waits on goes
    CloseHandle(m_readEvent);
    CloseHandle(m_writeEvent);
}

int Win32CommControl::openErrorNumber(DWORD error)
{
    switch (error) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
        return kErrPortNotFound;
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
        // A COM port is never shared: another program (or this one) holds it.
        return kErrPortInUse;
    default:
        return kErrOpenFailed;
    }
}

void Win32CommControl::applyTo(DCB &dcb, const LineSettings &line)
{
    dcb.BaudRate = static_cast<DWORD>(line.baudRate);
    dcb.ByteSize = static_cast<BYTE>(line.dataBits);
    switch (line.parity) {
    case 'e':
        dcb.Parity = EVENPARITY;
        break;
    case 'o':
        dcb.Parity = ODDPARITY;
        break;
    case 'm':
        dcb.Parity = MARKPARITY;
        break;
    case 's':
        dcb.Parity = SPACEPARITY;
        break;
    default:
        dcb.Parity = NOPARITY;
        break;
    }
    dcb.StopBits = line.stopBits == 2   ? TWOSTOPBITS
                   : line.stopBits == 3 ? ONE5STOPBITS
                                        : ONESTOPBIT;
    dcb.fBinary = TRUE;
    dcb.fParity = line.parity != 'n';
    dcb.fOutxCtsFlow = FALSE;
    dcb.fOutxDsrFlow = FALSE;
    dcb.fDtrControl = DTR_CONTROL_ENABLE; // adapters that draw power from DTR and RTS
    dcb.fRtsControl = RTS_CONTROL_ENABLE;
    dcb.fDsrSensitivity = FALSE;
    dcb.fOutX = FALSE;
    dcb.fInX = FALSE;
    dcb.fErrorChar = FALSE;
    dcb.fNull = FALSE;
    // A framing or parity error must not stop every later read and write.
    dcb.fAbortOnError = FALSE;
}

QString Win32CommControl::win32Path(const QString &name)
{
    // Only COM1 to COM9 are known to CreateFileW without the device namespace prefix.
    if (name.startsWith(QLatin1String("\\\\.\\"))) {
        return name;
    }
    return QStringLiteral("\\\\.\\") + name;
}

HANDLE Win32CommControl::openHandle(const QString &device)
{
    const std::wstring path = win32Path(device).toStdWString();
    const HANDLE handle = m_api.openPort(path.c_str());
    if (handle == INVALID_HANDLE_VALUE) {
        const DWORD error = m_api.lastError();
        const int number = openErrorNumber(error);
        throw CommError(number, number == kErrPortNotFound ? std::string("Invalid port number")
                                                           : systemMessage(error));
    }
    return handle;
}

DWORD Win32CommControl::configure()
{
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    if (!m_api.getCommState(m_port, &dcb)) {
        return m_api.lastError();
    }
    applyTo(dcb, lineSettings());
    if (!m_api.setCommState(m_port, &dcb)) {
        return m_api.lastError();
    }
    COMMTIMEOUTS timeouts{};
    timeouts.ReadIntervalTimeout = kReadIntervalMs;
    timeouts.WriteTotalTimeoutConstant = kWriteTimeoutMs;
    if (!m_api.setCommTimeouts(m_port, &timeouts)) {
        return m_api.lastError();
    }
    return ERROR_SUCCESS;
}

void Win32CommControl::openDevice(int port)
{
    m_port = openHandle(devicePathOverride().isEmpty() ? devicePath(port) : devicePathOverride());
    DWORD error = configure();
    if (error == ERROR_SUCCESS) {
        error = startRead();
    }
    if (error != ERROR_SUCCESS) {
        closeDevice();
        throw CommError(kErrOpenFailed, systemMessage(error));
    }
}

void Win32CommControl::probeDevice(int port)
{
    m_api.closeHandle(openHandle(devicePath(port)));
}

void Win32CommControl::closeDevice()
{
    m_readNotifier->setEnabled(false);
    if (m_readPending) {
        // The buffer and the OVERLAPPED belong to the read until it is over.
        m_api.cancelIo(m_port);
        DWORD transferred = 0;
        m_api.getOverlappedResult(m_port, &m_read, &transferred, TRUE);
        m_readPending = false;
    }
    m_api.closeHandle(m_port);
    m_port = INVALID_HANDLE_VALUE;
}

DWORD Win32CommControl::startRead()
{
    m_read = OVERLAPPED{};
    m_read.hEvent = m_readEvent;
    ResetEvent(m_readEvent);
    // Done at once or later, the read sets the event either way; onReadDone collects it.
    if (!m_api.readFile(m_port, m_readBuffer.data(), static_cast<DWORD>(m_readBuffer.size()),
                        &m_read)) {
        const DWORD error = m_api.lastError();
        if (error != ERROR_IO_PENDING) {
            return error;
        }
    }
    m_readPending = true;
    m_readNotifier->setEnabled(true);
    return ERROR_SUCCESS;
}

void Win32CommControl::onReadDone()
{
    if (!m_readPending) {
        return;
    }
    DWORD transferred = 0;
    if (!m_api.getOverlappedResult(m_port, &m_read, &transferred, FALSE)) {
        if (m_api.lastError() == ERROR_IO_INCOMPLETE) {
            return;
        }
        // An adapter pulled out or a line whose other end is gone: close the handle
        // rather than keep a dead one open.
        m_readPending = false;
        deviceLost();
        return;
    }
    m_readPending = false;
    const QByteArray bytes(m_readBuffer.data(), static_cast<qsizetype>(transferred));
    // The receive event may close the port, or close and open it again.
    if (!bytes.isEmpty()) {
        receive(bytes);
    }
    if (deviceIsOpen() && !m_readPending && startRead() != ERROR_SUCCESS) {
        deviceLost();
    }
}

void Win32CommControl::writeDevice(const QByteArray &bytes)
{
    OVERLAPPED write{};
    write.hEvent = m_writeEvent;
    ResetEvent(m_writeEvent);
    const auto size = static_cast<DWORD>(bytes.size());
    if (!m_api.writeFile(m_port, bytes.constData(), size, &write)) {
        const DWORD error = m_api.lastError();
        if (error != ERROR_IO_PENDING) {
            throw CommError(kErrDeviceIo, systemMessage(error));
        }
    }
    DWORD written = 0;
    if (!m_api.getOverlappedResult(m_port, &write, &written, TRUE)) {
        throw CommError(kErrDeviceIo, systemMessage(m_api.lastError()));
    }
    if (written != size) {
        throw CommError(kErrDeviceIo, "Write timed out");
    }
}

void Win32CommControl::discardDeviceInput()
{
    m_api.purgeComm(m_port, PURGE_RXCLEAR);
}

int Win32CommControl::deviceInputCount() const
{
    if (!deviceIsOpen()) {
        return 0;
    }
    DWORD errors = 0;
    COMSTAT status{};
    return m_api.clearCommError(m_port, &errors, &status) ? static_cast<int>(status.cbInQue) : 0;
}

void Win32CommControl::applyLineSettings()
{
    const DWORD error = configure();
    if (error != ERROR_SUCCESS) {
        throw CommError(kErrInvalidValue, systemMessage(error));
    }
}

} // namespace serial
