#include "serial/qtcommcontrol.h"

#include <QDir>
#include <QFileInfo>
#include <QSocketNotifier>

#include <algorithm>

#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

namespace serial {

QtCommControl::QtCommControl(QObject *parent)
    : BufferedCommControl(parent), m_port(new QSerialPort(this))
{
    connect(m_port, &QSerialPort::readyRead, this, &QtCommControl::onReadyRead);
    connect(m_port, &QSerialPort::errorOccurred, this, &QtCommControl::onError);
    connect(m_port, &QSerialPort::bytesWritten, this, &QtCommControl::onBytesWritten);
}

int QtCommControl::errorNumber(QSerialPort::SerialPortError error)
{
    switch (error) {
    case QSerialPort::NoError:
        return 0;
    case QSerialPort::DeviceNotFoundError:
        return kErrPortNotFound;
    case QSerialPort::PermissionError:
        // Another opener holds the lock file QSerialPort takes for the device (in
        // this program or another), or the device refuses a second opener (EBUSY).
        // For root the device never refuses, so the lock file is what counts there.
        // A device this user may not open at all is told apart when opening.
        return kErrPortInUse;
    case QSerialPort::OpenError:
        return kErrPortInUse;
    case QSerialPort::NotOpenError:
        return kErrPortNotOpen;
    case QSerialPort::UnsupportedOperationError:
        return kErrInvalidValue;
    case QSerialPort::ResourceError:
    case QSerialPort::ReadError:
    case QSerialPort::WriteError:
    case QSerialPort::TimeoutError:
    case QSerialPort::UnknownError:
        return kErrDeviceIo;
    }
    return kErrDeviceIo;
}

namespace {

// Opens `port` on `device` (a path, or a native name), which the user knows as
// `name`; throws CommError when it cannot.
void openOn(QSerialPort &port, const QString &name, const QString &device)
{
    if (device.isEmpty()) {
        throw CommError(kErrPortNotFound, "Invalid port number");
    }
    if (QDir::isAbsolutePath(device)) {
        // A COMn entry that is missing, or a link whose device went away, is no port.
        const QFileInfo info(device);
        if (!info.exists()) {
            throw CommError(kErrPortNotFound, "Invalid port number");
        }
        // Follow the link so that the lock file taken on open names the real device,
        // whichever link or program opens it.
        port.setPortName(info.canonicalFilePath());
    } else {
        port.setPortName(device); // a native name such as COM3
    }
    if (!port.open(QIODevice::ReadWrite)) {
        const auto error = port.error();
        const QString description = port.errorString();
        port.clearError();
        // Qt gives a held lock file, a busy device and a refused permission one
        // code; the device's permissions and this user's groups tell them apart.
        if (error == QSerialPort::PermissionError) {
            const QString problem = noAccessMessage(name, device);
            if (!problem.isEmpty()) {
                throw CommError(kErrNoAccess, problem.toStdString());
            }
        }
        throw CommError(QtCommControl::errorNumber(error), description.toStdString());
    }
}

QString comPortName(int port)
{
    return QStringLiteral("COM") + QString::number(port);
}

} // namespace

void QtCommControl::openDevice(int port)
{
    const QString &path = devicePathOverride();
    if (path.isEmpty()) {
        openOn(*m_port, comPortName(port), m_names.devicePath(port));
    } else {
        openOn(*m_port, path, path);
    }
    m_vmin = 0;       // QSerialPort's own configuration sets VMIN 0 and VTIME 0
    m_watched = true; // an open makes a new read notifier, on
    applyLineSettings();
}

void QtCommControl::probeDevice(int port)
{
    QSerialPort probe;
    openOn(probe, comPortName(port), m_names.devicePath(port));
    probe.close();
}

void QtCommControl::closeDevice()
{
    m_waiting.clear();
    m_port->close();
    m_port->clearError();
}

void QtCommControl::writeDevice(const QByteArray &bytes)
{
    // While Qt still holds the tail of a frame the driver has begun to take, later
    // frames wait here, where clearing the transmit buffer can drop them whole.
    if (m_port->bytesToWrite() > 0 || !m_waiting.isEmpty()) {
        m_waiting.append(bytes);
        return;
    }
    handOver(bytes);
}

void QtCommControl::handOver(const QByteArray &whole)
{
    // Straight to the driver while Qt holds nothing: Qt's own path arms a write
    // notifier, which costs the event loop a turn for every frame. Whatever the
    // driver does not take, and any failure, goes Qt's way below.
    QByteArray frame = whole;
    m_lastError.clear();
    if (m_port->bytesToWrite() == 0) {
        const ssize_t taken =
            ::write(m_port->handle(), whole.constData(), static_cast<std::size_t>(whole.size()));
        if (taken == whole.size()) {
            return;
        }
        if (taken > 0) {
            // The driver is full: Qt sends the rest as it drains.
            frame = whole.mid(taken);
            if (m_port->write(frame) == frame.size()) {
                return;
            }
        }
    }
    // write() only copies into Qt's buffer; flush() makes the system call, so its
    // result is what tells whether the driver took the frame.
    if (m_port->write(frame) == frame.size() && m_port->flush()) {
        return;
    }
    const QString reason = m_lastError.isEmpty() ? m_port->errorString() : m_lastError;
    if (m_port->isOpen()) {
        // The refused frame is still in Qt's buffer and would go out with the next
        // one; the device has failed, so nothing it queued is worth keeping.
        m_port->clear(QSerialPort::Output);
        m_port->clearError();
    }
    m_waiting.clear();
    throw CommError(kErrDeviceIo,
                    QStringLiteral("The frame could not be sent: %1").arg(reason).toStdString());
}

void QtCommControl::onBytesWritten()
{
    if (m_port->bytesToWrite() > 0 || m_waiting.isEmpty()) {
        return;
    }
    try {
        handOver(m_waiting.takeFirst());
    } catch (const CommError &) {
        // No caller waits for a queued frame: the port's error signal has already
        // closed a failed device, and the poll watchdog reports the silence.
    }
}

void QtCommControl::discardDeviceOutput()
{
    // Only frames the driver has not begun are dropped. Qt's own buffer may hold
    // the rest of a frame the driver has partly taken, and the driver's queue whole
    // frames: cutting either would put a broken frame on the line.
    m_waiting.clear();
}

void QtCommControl::discardDeviceInput()
{
    // Qt's read buffer and the system's input queue (tcflush).
    m_port->clear(QSerialPort::Input);
}

int QtCommControl::deviceInputCount() const
{
    // Bytes the tty holds back for VMIN, or while unwatched, count; with VMIN 1
    // and watched, the port reads what comes at once, and the count stays what
    // Input() can hand over.
    int waiting = 0;
    if ((m_vmin > 1 || !m_watched) && m_port->isOpen() &&
        ::ioctl(m_port->handle(), FIONREAD, &waiting) != 0) {
        waiting = 0;
    }
    return static_cast<int>(m_port->bytesAvailable()) + waiting;
}

void QtCommControl::setDeviceReadThreshold(int bytes)
{
    // A tty holds at most 255 as VMIN; a larger threshold wakes at 255 bytes.
    bytes = std::clamp(bytes, 1, 255);
    if (!m_port->isOpen() || bytes == m_vmin) {
        return;
    }
    if (!m_termios) {
        termios tio{};
        if (::tcgetattr(m_port->handle(), &tio) != 0) {
            return; // the device is going away; its error comes through Qt
        }
        m_termios = tio;
    }
    m_termios->c_cc[VMIN] = static_cast<cc_t>(bytes);
    m_termios->c_cc[VTIME] = 0;
    if (::tcsetattr(m_port->handle(), TCSANOW, &*m_termios) == 0) {
        m_vmin = bytes;
    } else {
        m_termios.reset();
    }
}

void QtCommControl::setInputWatched(bool watched)
{
    // QSerialPort reads the device when its read notifier, a child of the port,
    // fires, and turns the notifier on again itself at every read; there is no
    // other way to leave the device out of the event loop's poll for a while.
    // Should the notifier not be found, bytes are read as they come, as before.
    m_watched = watched;
    for (QObject *child : m_port->children()) {
        auto *notifier = qobject_cast<QSocketNotifier *>(child);
        if (notifier != nullptr && notifier->type() == QSocketNotifier::Read) {
            notifier->setEnabled(watched);
        }
    }
}

void QtCommControl::applyLineSettings()
{
    const LineSettings line = lineSettings();
    m_port->setBaudRate(line.baudRate);
    m_port->setDataBits(static_cast<QSerialPort::DataBits>(line.dataBits));
    switch (line.parity) {
    case 'e':
        m_port->setParity(QSerialPort::EvenParity);
        break;
    case 'o':
        m_port->setParity(QSerialPort::OddParity);
        break;
    case 'm':
        m_port->setParity(QSerialPort::MarkParity);
        break;
    case 's':
        m_port->setParity(QSerialPort::SpaceParity);
        break;
    default:
        m_port->setParity(QSerialPort::NoParity);
        break;
    }
    m_port->setStopBits(line.stopBits == 2   ? QSerialPort::TwoStop
                        : line.stopBits == 3 ? QSerialPort::OneAndHalfStop
                                             : QSerialPort::OneStop);
    // Each setting reads the tty's attributes and writes them back: VMIN stays,
    // and the rest is read again before the next VMIN is written.
    m_port->setFlowControl(QSerialPort::NoFlowControl);
    m_termios.reset();
}

void QtCommControl::onReadyRead()
{
    receive(m_port->readAll());
}

void QtCommControl::onError(QSerialPort::SerialPortError error)
{
    if (error != QSerialPort::NoError) {
        m_lastError = m_port->errorString();
    }
    // An adapter pulled out or a pty whose other end closed keeps reporting errors
    // for as long as the handle stays open: close it at once.
    if (error == QSerialPort::ResourceError || error == QSerialPort::ReadError) {
        if (m_port->isOpen()) {
            deviceLost(m_port->errorString());
        }
    }
}

} // namespace serial
