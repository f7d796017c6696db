#pragma once

#include "serial/bufferedcommcontrol.h"
#include "serial/portnames.h"

#include <QList>
#include <QSerialPort>

#include <optional>

#include <termios.h>

namespace serial {

// The serial control over a QSerialPort owned by this object.
class QtCommControl : public BufferedCommControl {
    Q_OBJECT
public:
    explicit QtCommControl(QObject *parent = nullptr);

    // Maps Qt's error to the control's error number; nothing else looks at Qt's enum.
    static int errorNumber(QSerialPort::SerialPortError error);

    // Where the port numbers lead; the machine's own names unless set.
    void setPortNames(const PortNames &names) { m_names = names; }
    void nameNewAdapters() override { m_names.assignAdapterNames(); }
    // A pseudo-terminal hands bytes over one by one, at the line's pace, and the
    // tty wakes the program at each even while VMIN holds them back. Unwatched,
    // they wait there without a wake-up.
    void setInputWatched(bool watched) override;

protected:
    void openDevice(int port) override;
    void closeDevice() override;
    void probeDevice(int port) override;
    bool deviceIsOpen() const override { return m_port->isOpen(); }
    void writeDevice(const QByteArray &bytes) override;
    void discardDeviceOutput() override;
    void discardDeviceInput() override;
    int deviceInputCount() const override;
    void applyLineSettings() override;
    // The tty's VMIN: in raw mode with VTIME 0, poll() reports the port readable
    // only once this many bytes wait, so a whole reply costs one return to the
    // program (the tty still wakes the poll at every byte: see setInputWatched).
    void setDeviceReadThreshold(int bytes) override;

private:
    void onReadyRead();
    void onError(QSerialPort::SerialPortError error);
    void onBytesWritten();
    // Hands one frame to the driver now; throws CommError when it is refused.
    void handOver(const QByteArray &frame);

    PortNames m_names;
    QSerialPort *m_port;
    // Frames waiting until the driver has taken the one in progress.
    QList<QByteArray> m_waiting;
    // The last error the port reported, kept past the close that may follow it.
    QString m_lastError;
    // The VMIN the tty holds now; 0 after an open, whose configuration resets it.
    int m_vmin = 0;
    // Off while the read notifier is (setInputWatched).
    bool m_watched = true;
    // The tty's attributes as last read, so that a new VMIN costs one system call.
    std::optional<termios> m_termios;
};

} // namespace serial
