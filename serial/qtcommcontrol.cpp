#include "serial/qtcommcontrol.h"

#include "serial/portnames.h"

#include <QDir>
#include <QFileInfo>

namespace serial {

QtCommControl::QtCommControl(QObject *parent)
    : BufferedCommControl(parent), m_port(new QSerialPort(this))
{
    connect(m_port, &QSerialPort::readyRead, this, &QtCommControl::onReadyRead);
    connect(m_port, &QSerialPort::errorOccurred, this, &QtCommControl::onError);
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
        // A device this user may not open at all (EACCES) reads as in use too.
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

// Opens `port` on `device` (a path, or a native name); throws CommError when it cannot.
void openOn(QSerialPort &port, const QString &device)
{
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
        throw CommError(QtCommControl::errorNumber(error), description.toStdString());
    }
}

} // namespace

void QtCommControl::openDevice(int port)
{
    openOn(*m_port, devicePathOverride().isEmpty() ? devicePath(port) : devicePathOverride());
    applyLineSettings();
}

void QtCommControl::probeDevice(int port)
{
    QSerialPort probe;
    openOn(probe, devicePath(port));
    probe.close();
}

void QtCommControl::closeDevice()
{
    m_port->close();
    m_port->clearError();
}

void QtCommControl::writeDevice(const QByteArray &bytes)
{
    if (m_port->write(bytes) != bytes.size()) {
        const QString description = m_port->errorString();
        throw CommError(kErrDeviceIo, description.toStdString());
    }
    // Hand the frame to the driver now rather than on the next turn of the event
    // loop, so that a later OutBufferCount = 0 in the same turn cannot drop it.
    m_port->flush();
}

void QtCommControl::discardDeviceOutput()
{
    // Only bytes the driver has not taken yet are discarded. A frame already handed
    // over stays whole: cutting it short in the driver's queue would put a broken
    // frame on the line in front of the next one.
    if (m_port->bytesToWrite() > 0) {
        m_port->clear(QSerialPort::Output);
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
    m_port->setFlowControl(QSerialPort::NoFlowControl);
}

void QtCommControl::onReadyRead()
{
    receive(m_port->readAll());
}

void QtCommControl::onError(QSerialPort::SerialPortError error)
{
    // An adapter pulled out or a pty whose other end closed keeps reporting errors
    // for as long as the handle stays open: close it at once.
    if (error == QSerialPort::ResourceError || error == QSerialPort::ReadError) {
        if (m_port->isOpen()) {
            deviceLost();
        }
    }
}

} // namespace serial
