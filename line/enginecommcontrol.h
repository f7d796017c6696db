#pragma once

#include "line/networkport.h"
#include "serial/bufferedcommcontrol.h"

#include <QEventLoopLocker>
#include <QPointer>
#include <QTimer>

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

namespace engine {
class Client;
class Reply;
} // namespace engine

namespace line {

class LineHost;
// The serial control a window holds as `MSComm1`, with the engine in between:
// the window keeps its properties, receive buffer and receive events, while every
// frame it hands to Output becomes a request of `client`, which keeps the line's
// rules on the real control underneath (`port`, the control `client` drives).
//
// - A status read goes out as Client::readStatus, a register write as
//   Client::write; any other frame is refused (the windows send no other).
// - The bytes that came during the wait arrive as if from the line (less the
//   adapter's copy of the request): they join the receive buffer
//   and raise OnComm once the receive threshold's count waits. A bad CRC, a
//   foreign frame, a short reply or an exception arrive as the bytes that came,
//   for the window to judge; a timeout, a port failure or a stop bring nothing,
//   as a silent line does.
// - A status read that has not gone out yet when the window sends its next
//   request is withdrawn, so that polls never pile up behind a slow line. Writes
//   are never withdrawn: each is a set value or a switch the user asked for.
// - Port number, settings, opening, closing and probing go to `port`, with its
//   errors; a device lost under it closes this control too (portLost).
// - A COMn that names a network line (serial::networkTarget: "tcp://HOST:PORT")
//   opens a Modbus TCP connection instead, with a client of its own over it. Its
//   open does not wait: the port is opening (PortOpening) while the host is
//   looked up and connected, then openEnded says it is open, or that it is not
//   found with the reason (a host not found, a connection refused or not
//   answered); a connection lost later is the port lost.
// - A close while programs that joined the line (setLineHost) have requests
//   taken on it is the window's at once: the port reads closed, the window's own
//   requests end, nothing of the window goes out. The device is kept until
//   those requests are answered (the client's timeout and
//   LineHost::kFinishMargin at most), then let go and the line handed over
//   (released()). Opening the same port again meanwhile takes the line up
//   where it is; opening another lets this one go first.
class EngineCommControl : public serial::BufferedCommControl {
    Q_OBJECT
public:
    // Neither `port` nor `client` is owned; both must outlive this control.
    EngineCommControl(serial::CommControl &port, engine::Client &client, QObject *parent = nullptr);
    ~EngineCommControl() override;

    void nameNewAdapters() override;
    int probePort(int port) override;

    // The client of the line open now (or last open): the serial one, or that of
    // a network line.
    engine::Client &client() { return *m_client; }
    // What COMn names as a network line; by default serial::networkTarget.
    void setNetworkTargets(std::function<QString(int port)> targets);
    // How a network line's host name is looked up; by default the system's.
    void setHostLookup(HostLookup lookup) { m_hostLookup = std::move(lookup); }
    // Requests of the window that have not ended.
    int requestsOutstanding() const;
    // The host that offers the serial line to our other programs, whose requests
    // a close lets finish first; none by default.
    void setLineHost(LineHost *host);
    // Closed by the window, the line kept for the requests joiners had sent.
    // Meanwhile the application does not quit on its own (a quit lock is held):
    // a window closed as the program quits answers what it took, and the program
    // quits on its event loop once the line is released, within a bound.
    bool releasing() const { return m_releasing; }

signals:
    // A request of the window ended: its reading, verdict and times as the engine
    // judged them. Emitted before its bytes reach the receive buffer.
    void replied(const engine::Reply &reply);
    // A line kept after the close for the joiners' requests has been let go.
    void released();

protected:
    void openDevice(int port) override;
    void closeDevice() override;
    void probeDevice(int port) override;
    bool deviceIsOpen() const override;
    bool deviceIsOpening() const override;
    void writeDevice(const QByteArray &bytes) override;
    void applyLineSettings() override;

private:
    void onFinished(engine::Reply *reply);
    // Lets go of every request of the window: those not sent yet never go out, and
    // what comes for the others is not delivered (the port closed under them).
    void dropOutstanding();
    void withdrawWaitingReads();
    // Deletes the reply delivered last, now unless it is still being delivered.
    void releaseDelivered();

    // Makes the network line `target` the one in use; false when it names none
    // that can be read (the text is kept in `*why`).
    void useNetworkLine(const QString &target);
    void useSerialLine();
    void watchLoss(serial::CommControl &port);
    // Ends a release under way: the device goes, and the line to the next owner.
    void letGo();
    void resumeOwn();
    void beginRelease();
    void endRelease();

    serial::CommControl &m_serialPort;
    engine::Client &m_serialClient;
    serial::CommControl *m_port;
    engine::Client *m_client;
    std::unique_ptr<serial::BufferedCommControl> m_netPort;
    std::unique_ptr<engine::Client> m_netClient;
    std::function<QString(int)> m_networkTargets;
    HostLookup m_hostLookup = systemHostLookup();
    std::vector<QPointer<engine::Reply>> m_outstanding;
    // The reply delivered last, kept until the next request or the close deletes
    // it: a poll leaves nothing behind for another pass of the event loop.
    QPointer<engine::Reply> m_delivered;
    bool m_delivering = false;
    QPointer<LineHost> m_host;
    bool m_releasing = false;
    bool m_ownStopped = false; // the window's own requests stopped for the release
    // Held while releasing: the application's automatic quit waits for it.
    std::optional<QEventLoopLocker> m_quitLock;
    // Ends a release whose host is gone, should nothing else end it.
    QTimer m_releaseBound;
};

// How long the line must be quiet after a window opens its port before the first
// request goes: less than the windows' 350 ms poll period.
constexpr std::chrono::milliseconds kWindowStartQuiet{300};

// A window's control over the engine on this platform's serial control, with the
// control and the client it needs, owned by the returned one.
std::unique_ptr<EngineCommControl> makeEngineCommControl(QObject *parent = nullptr);

} // namespace line
