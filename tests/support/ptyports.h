#pragma once

#include <QByteArray>
#include <QDir>
#include <QElapsedTimer>
#include <QMap>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>
#include <QtGlobal>

#include <cerrno>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

namespace testsupport {

// COM ports made of pseudo-terminals: each COMn is a link in a temporary folder,
// which VANTEL_PORT_DIR points at, to the slave side of a pty whose master the
// test holds. The test plays the device on the master side.
class PtyPorts {
public:
    PtyPorts()
    {
        m_dir.setAutoRemove(true);
        qputenv("VANTEL_PORT_DIR", m_dir.path().toLocal8Bit());
    }
    ~PtyPorts()
    {
        for (int fd : std::as_const(m_masters)) {
            ::close(fd);
        }
        qunsetenv("VANTEL_PORT_DIR");
    }
    PtyPorts(const PtyPorts &) = delete;
    PtyPorts &operator=(const PtyPorts &) = delete;

    QString dir() const { return m_dir.path(); }

    // Creates COMn; returns the slave's device path, empty on failure.
    QString add(int n)
    {
        int master = -1;
        int slave = -1;
        char name[128] = {};
        termios raw{};
        cfmakeraw(&raw);
        if (::openpty(&master, &slave, name, &raw, nullptr) != 0) {
            return {};
        }
        // Only the program under test opens the slave side.
        ::close(slave);
        ::fcntl(master, F_SETFL, ::fcntl(master, F_GETFL) | O_NONBLOCK);
        m_masters[n] = master;
        m_devices[n] = QString::fromLocal8Bit(name);
        link(n, m_devices[n]);
        return m_devices[n];
    }

    // The device's own end of COMn, for tests that wait on it.
    int master(int n) const { return m_masters.value(n, -1); }

    // Another COMn entry for the device already behind COMm.
    void alias(int n, int m) { link(n, m_devices.value(m)); }

    // The device sends bytes to the program.
    bool send(int n, const QByteArray &bytes)
    {
        return ::write(m_masters.value(n, -1), bytes.constData(), bytes.size()) == bytes.size();
    }

    // What the program sent, waiting up to `ms` for at least `count` bytes while
    // the event loop runs.
    QByteArray receive(int n, int count, int ms = 2000)
    {
        QByteArray got;
        QElapsedTimer clock;
        clock.start();
        while (got.size() < count && clock.elapsed() < ms) {
            char buffer[256];
            const ssize_t r = ::read(m_masters.value(n, -1), buffer, sizeof buffer);
            if (r > 0) {
                got.append(buffer, static_cast<int>(r));
                continue;
            }
            QTest::qWait(5);
        }
        return got;
    }

    // The other end goes away, as a pulled adapter does. COMn then leads to a
    // name that stays absent: the pty's own number may go to the next pty that
    // any process opens.
    void hangUp(int n)
    {
        ::close(m_masters.take(n));
        m_devices.remove(n);
        unlink(n);
        link(n, m_dir.filePath(QStringLiteral("gone%1").arg(n)));
    }

    // Removes the COMn entry only.
    void unlink(int n) { QFile::remove(m_dir.filePath(QStringLiteral("COM%1").arg(n))); }

private:
    void link(int n, const QString &device)
    {
        QFile::link(device, m_dir.filePath(QStringLiteral("COM%1").arg(n)));
    }

    QTemporaryDir m_dir;
    QMap<int, int> m_masters;
    QMap<int, QString> m_devices;
};

// Another program holding a port: a child process that opens the device with
// QSerialPort (and so takes its lock file) and keeps it until stopped.
class PortHolder {
public:
    // Starts holding COMn of the current VANTEL_PORT_DIR; true once it holds it.
    bool start(int n)
    {
        m_process.setProgram(QStringLiteral(VANTEL_HOLD_PORT_EXE));
        m_process.setArguments({QString::number(n)});
        m_process.start();
        if (!m_process.waitForReadyRead(5000)) {
            return false;
        }
        return m_process.readAll().startsWith("held");
    }
    void stop()
    {
        if (m_process.state() != QProcess::NotRunning) {
            m_process.closeWriteChannel();
            m_process.waitForFinished(5000);
        }
    }
    ~PortHolder() { stop(); }

private:
    QProcess m_process;
};

} // namespace testsupport
