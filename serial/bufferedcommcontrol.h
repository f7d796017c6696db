#pragma once

#include "serial/commcontrol.h"

namespace serial {

// Line settings parsed from the "baud,parity,data,stop" text.
struct LineSettings {
    int baudRate = 9600;
    char parity = 'n'; // n, e, o, m or s
    int dataBits = 8;
    int stopBits = 1; // 1 or 2 (1.5 is kept as 3)
};

// Parses "9600,n,8,1"; throws CommError(kErrInvalidValue) for anything else.
LineSettings parseSettings(const QString &settings);

// The bookkeeping every serial control shares: properties, the receive buffer and
// the receive threshold. A subclass supplies the device: opening, closing and
// writing it, and calling receive() with every piece of bytes that arrives.
//
// The receive threshold also tells the device how many more bytes are worth a
// wake-up (setDeviceReadThreshold): a reply of known length then reaches the
// program once, not once a byte. Events still fire exactly as the threshold says.
class BufferedCommControl : public CommControl {
    Q_OBJECT
public:
    using CommControl::CommControl;

    void setSettings(const QString &settings) override;
    QString Settings() const override { return m_settings; }
    void setInBufferSize(int size) override;
    int InBufferSize() const override { return m_inBufferSize; }
    void setOutBufferSize(int size) override;
    void setInputMode(int mode) override;
    void setInputLen(int length) override;
    void setRThreshold(int bytes) override;
    int RThreshold() const override { return m_rThreshold; }
    void setSThreshold(int bytes) override;

    int InBufferCount() const override
    {
        return static_cast<int>(m_input.size()) + deviceInputCount();
    }
    void setInBufferCount(int count) override;
    void setOutBufferCount(int count) override;

    void setCommPort(int port) override;
    int CommPort() const override { return m_commPort; }
    void setPortOpen(bool open) override;
    bool PortOpen() const override { return deviceIsOpen(); }
    bool PortOpening() const override { return !deviceIsOpen() && deviceIsOpening(); }

    void setOutput(const QByteArray &bytes) override;
    QByteArray Input() override;
    int CommEvent() const override { return m_commEvent; }
    int probePort(int port) override;

    // Opens this device (a path such as /dev/ttyUSB0) instead of the one behind
    // COMn; empty resolves COMn as usual. Takes effect at the next open.
    void setDevicePath(const QString &path) { m_devicePath = path; }
    // Why the device went away since the port was last opened; empty if it did not.
    const QString &lostReason() const { return m_lostReason; }
    const QString &devicePathOverride() const { return m_devicePath; }

protected:
    LineSettings lineSettings() const { return m_lineSettings; }

    // Every property write, before it takes effect (a refused value included):
    // `name` as the control spells it, `value` as text.
    virtual void propertySet(const char *name, const QString &value)
    {
        Q_UNUSED(name);
        Q_UNUSED(value);
    }
    // The device need hand over no bytes until `bytes` have come (at least 1).
    // Bytes it holds back still count in deviceInputCount().
    virtual void setDeviceReadThreshold(int bytes) { Q_UNUSED(bytes); }
    // Asks the device again for the read threshold the receive buffer needs now
    // (after an open, which resets the device's own setting).
    void updateDeviceReadThreshold();

    // Opens port number `port` with lineSettings(); throws CommError on failure.
    virtual void openDevice(int port) = 0;
    virtual void closeDevice() = 0;
    // Opens and at once closes port `port` apart from the held one; throws CommError.
    virtual void probeDevice(int port) = 0;
    virtual bool deviceIsOpen() const = 0;
    // Whether openDevice() returned with the open still on its way; the device
    // then calls deviceOpenEnded() once it is open or has failed.
    virtual bool deviceIsOpening() const { return false; }
    // Hands bytes to the device; throws CommError on failure.
    virtual void writeDevice(const QByteArray &bytes) = 0;
    // Drops bytes waiting to go out that the driver has not begun to send.
    virtual void discardDeviceOutput() {}
    // Drops bytes the system has received but not yet handed to receive().
    virtual void discardDeviceInput() {}
    // How many bytes the system has received but not yet handed to receive().
    virtual int deviceInputCount() const { return 0; }
    // Settings changed while the device is open.
    virtual void applyLineSettings() {}

    // Bytes arrived: they join the receive buffer (at most InBufferSize bytes
    // wait; what does not fit is dropped) and the receive event fires once at
    // least RThreshold bytes wait.
    void receive(const QByteArray &bytes);
    // The device went away: the port is closed and what waited is discarded;
    // `reason` is kept for lostReason().
    void deviceLost(const QString &reason = {});
    // An open still on its way has ended: `error` 0 when the device is open now.
    void deviceOpenEnded(int error, const QString &reason = {});

private:
    QString m_settings = QStringLiteral("9600,n,8,1");
    LineSettings m_lineSettings;
    int m_inBufferSize = 1024;
    int m_outBufferSize = 512;
    int m_inputMode = 0;
    int m_inputLen = 0;
    int m_rThreshold = 0;
    int m_sThreshold = 0;
    int m_commPort = 1;
    QString m_lostReason;
    QString m_devicePath;
    int m_commEvent = 0;
    QByteArray m_input;
};

} // namespace serial
