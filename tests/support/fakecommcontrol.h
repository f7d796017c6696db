#pragma once

#include "serial/bufferedcommcontrol.h"

#include <QByteArray>
#include <QList>
#include <QMap>
#include <QStringList>

#include <optional>

namespace testsupport {

// A scripted serial control: which port numbers exist or are held elsewhere,
// every frame the window hands to Output, and bytes fed in as if they arrived.
// Every property write is journalled as "Name=value" so tests can check order.
class FakeCommControl : public serial::BufferedCommControl {
    Q_OBJECT
public:
    // Later: an open that goes on after setPortOpen returns until endOpen().
    enum class Port { Absent, Free, Busy, NoAccess, Later };

    using serial::BufferedCommControl::BufferedCommControl;

    void setPort(int number, Port state) { m_ports[number] = state; }
    // Bytes arrive from the line (in one piece).
    void feed(const QByteArray &bytes) { receive(bytes); }
    // The device disappears under an open port.
    void unplug() { deviceLost(); }
    // An open on its way (Port::Later) ends: open when `error` is 0.
    void endOpen(int error, const QString &reason = {})
    {
        // A late word about an open already closed is still told, as a stale
        // signal would be: whoever listens must tell it apart.
        m_open = error == 0 && m_opening;
        m_opening = false;
        deviceOpenEnded(error, reason);
    }
    // The next setOutput fails with this error.
    void failNextWrite(int number, const std::string &description)
    {
        m_writeFailure = serial::CommError(number, description);
    }

    QList<QByteArray> written; // one entry per setOutput
    QStringList journal;
    QList<int> opened; // port numbers opened, in order
    QList<int> probed; // port numbers probed by a search, in order

protected:
    void propertySet(const char *name, const QString &value) override
    {
        journal << QLatin1String(name) + QLatin1Char('=') + value;
    }
    void openDevice(int port) override
    {
        switch (m_ports.value(port, Port::Absent)) {
        case Port::Absent:
            throw serial::CommError(serial::kErrPortNotFound, "Invalid port number");
        case Port::Busy:
            throw serial::CommError(serial::kErrPortInUse, "Port already open");
        case Port::NoAccess:
            throw serial::CommError(serial::kErrNoAccess, "You may not open this port");
        case Port::Later:
            m_opening = true;
            opened << port;
            return;
        case Port::Free:
            break;
        }
        m_open = true;
        opened << port;
    }
    void closeDevice() override
    {
        m_open = false;
        m_opening = false;
    }
    bool deviceIsOpening() const override { return m_opening; }
    void probeDevice(int port) override
    {
        switch (m_ports.value(port, Port::Absent)) {
        case Port::Absent:
            throw serial::CommError(serial::kErrPortNotFound, "Invalid port number");
        case Port::Busy:
            throw serial::CommError(serial::kErrPortInUse, "Port already open");
        case Port::NoAccess:
            throw serial::CommError(serial::kErrNoAccess, "You may not open this port");
        case Port::Free:
        case Port::Later:
            break;
        }
        probed << port;
    }
    bool deviceIsOpen() const override { return m_open; }
    void writeDevice(const QByteArray &bytes) override
    {
        if (m_writeFailure) {
            const serial::CommError failure = *m_writeFailure;
            m_writeFailure.reset();
            throw failure;
        }
        written << bytes;
    }

private:
    QMap<int, Port> m_ports;
    bool m_open = false;
    bool m_opening = false;
    std::optional<serial::CommError> m_writeFailure;
};

} // namespace testsupport
