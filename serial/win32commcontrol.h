#pragma once

#include "serial/bufferedcommcontrol.h"
#include "serial/win32api.h"

#include <array>

class QWinEventNotifier;

namespace serial {

// The serial control over a Windows COM port: \\.\COMn opened exclusively for
// overlapped I/O. A read is always pending while the port is open; its completion
// event wakes the owner's thread through a QWinEventNotifier, so that thread never
// waits for the line. A write returns once the driver has taken the whole frame,
// so a refused write surfaces as a CommError from Output, and clearing the output
// never finds a frame of ours still waiting: nothing is purged there.
class Win32CommControl : public BufferedCommControl {
    Q_OBJECT
public:
    explicit Win32CommControl(QObject *parent = nullptr, Win32Api &api = systemWin32Api());
    ~Win32CommControl() override;

    // CreateFileW's error as the control's error number.
    static int openErrorNumber(DWORD error);
    // The DCB fields that carry the line settings, with no flow control.
    static void applyTo(DCB &dcb, const LineSettings &line);
    // The path CreateFileW takes for a port name: COMn as \\.\COMn.
    static QString win32Path(const QString &name);

protected:
    void openDevice(int port) override;
    void closeDevice() override;
    void probeDevice(int port) override;
    bool deviceIsOpen() const override { return m_port != INVALID_HANDLE_VALUE; }
    void writeDevice(const QByteArray &bytes) override;
    void discardDeviceInput() override;
    int deviceInputCount() const override;
    void applyLineSettings() override;

private:
    HANDLE openHandle(const QString &device);
    DWORD configure();
    DWORD startRead();
    void onReadDone();

    Win32Api &m_api;
    HANDLE m_port = INVALID_HANDLE_VALUE;
    HANDLE m_readEvent;  // manual reset, as overlapped I/O wants
    HANDLE m_writeEvent; // manual reset
    OVERLAPPED m_read{};
    bool m_readPending = false;
    std::array<char, 1024> m_readBuffer{};
    QWinEventNotifier *m_readNotifier;
};

} // namespace serial
