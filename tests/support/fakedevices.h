#pragma once

#include "serial/portnames.h"

#include <QDir>
#include <QFile>
#include <QMap>
#include <QTemporaryDir>

#include <fcntl.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

namespace testsupport {

// A Linux device tree in a temporary folder, laid out as the kernel and udev lay
// out the real one: ttyS entries with their UART type in sys/class/tty, and USB
// serial adapters made of ptys, each with dev/ttyUSBn, its dev/serial/by-id and
// by-path links and the USB device above it in sys/devices. The COM links go to
// a folder of their own beside it.
class FakeDevices {
public:
    FakeDevices()
    {
        for (const char *folder : {"dev/serial/by-id", "dev/serial/by-path", "sys/class/tty"}) {
            QDir(root()).mkpath(QString::fromLatin1(folder));
        }
    }
    ~FakeDevices()
    {
        for (const Plugged &adapter : std::as_const(m_plugged)) {
            ::close(adapter.master);
        }
    }
    FakeDevices(const FakeDevices &) = delete;
    FakeDevices &operator=(const FakeDevices &) = delete;

    QString root() const { return m_dir.path(); }
    QString path(const QString &relative) const { return m_dir.filePath(relative); }
    QString linkDir() const { return path(QStringLiteral("home/ports")); }
    serial::PortNames names() const { return {root(), linkDir()}; }

    // ttyS<index>, with a UART behind it or none (type 0).
    void addTtyS(int index, bool uart)
    {
        const QString name = QStringLiteral("ttyS%1").arg(index);
        QDir(root()).mkpath(QStringLiteral("sys/class/tty/") + name);
        write(QStringLiteral("sys/class/tty/%1/type").arg(name), uart ? "4" : "0");
        write(QStringLiteral("dev/") + name, "");
    }

    // Plugs an adapter into USB jack `jack`; it becomes the lowest free ttyUSBn.
    // Adapters without a serial number share one by-id name, which udev gives
    // to the one plugged in last. Returns the kernel name, empty on failure.
    QString plug(const QString &serialNumber, int jack)
    {
        int n = 0;
        while (m_plugged.contains(QStringLiteral("ttyUSB%1").arg(n))) {
            ++n;
        }
        const QString kernel = QStringLiteral("ttyUSB%1").arg(n);
        Plugged adapter;
        int slave = -1;
        char name[128] = {};
        termios raw{};
        cfmakeraw(&raw);
        if (::openpty(&adapter.master, &slave, name, &raw, nullptr) != 0) {
            return {};
        }
        ::close(slave);
        ::fcntl(adapter.master, F_SETFL, ::fcntl(adapter.master, F_GETFL) | O_NONBLOCK);
        adapter.pty = QString::fromLocal8Bit(name);
        adapter.jack = jack;
        QFile::link(adapter.pty, path(QStringLiteral("dev/") + kernel));

        const QString byId =
            serialNumber.isEmpty()
                ? QStringLiteral("usb-1a86_USB_Serial-if00-port0")
                : QStringLiteral("usb-FTDI_FT232R_USB_UART_%1-if00-port0").arg(serialNumber);
        QFile::remove(path(QStringLiteral("dev/serial/by-id/") + byId));
        QFile::link(QStringLiteral("../../") + kernel,
                    path(QStringLiteral("dev/serial/by-id/") + byId));
        QFile::link(QStringLiteral("../../") + kernel,
                    path(QStringLiteral("dev/serial/by-path/pci-0000:00:14.0-usb-0:%1:1.0-port0")
                             .arg(jack)));

        const QString usb = QStringLiteral("sys/devices/usb1/1-%1").arg(jack);
        const QString port = usb + QStringLiteral("/1-%1:1.0/").arg(jack) + kernel;
        QDir(root()).mkpath(port);
        write(usb + QStringLiteral("/idVendor"), serialNumber.isEmpty() ? "1a86" : "0403");
        if (!serialNumber.isEmpty()) {
            write(usb + QStringLiteral("/serial"), serialNumber.toLatin1());
        }
        QDir(root()).mkpath(QStringLiteral("sys/class/tty/") + kernel);
        QFile::link(path(port), path(QStringLiteral("sys/class/tty/%1/device").arg(kernel)));
        m_plugged.insert(kernel, adapter);
        return kernel;
    }

    // Pulls the adapter out: its device, udev links and sysfs entries go.
    void unplug(const QString &kernel)
    {
        const Plugged adapter = m_plugged.take(kernel);
        ::close(adapter.master);
        QFile::remove(path(QStringLiteral("dev/") + kernel));
        for (const char *folder : {"dev/serial/by-id", "dev/serial/by-path"}) {
            const QDir links(path(QString::fromLatin1(folder)));
            for (const QString &entry : links.entryList(QDir::System | QDir::Files)) {
                if (QFileInfo(links.filePath(entry))
                        .symLinkTarget()
                        .endsWith(QLatin1Char('/') + kernel)) {
                    QFile::remove(links.filePath(entry));
                }
            }
        }
        QDir(path(QStringLiteral("sys/class/tty/") + kernel)).removeRecursively();
        QDir(path(QStringLiteral("sys/devices/usb1/1-%1").arg(adapter.jack))).removeRecursively();
    }

    // The pty slave behind a plugged adapter.
    QString pty(const QString &kernel) const { return m_plugged.value(kernel).pty; }

private:
    struct Plugged {
        int master = -1;
        QString pty;
        int jack = 0;
    };

    void write(const QString &relative, const QByteArray &content)
    {
        QFile file(path(relative));
        if (file.open(QIODevice::WriteOnly)) {
            file.write(content);
        }
    }

    QTemporaryDir m_dir;
    QMap<QString, Plugged> m_plugged;
};

} // namespace testsupport
