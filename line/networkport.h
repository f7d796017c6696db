#pragma once

#include "engine/mbapport.h"
#include "values/networkaddress.h"

#include <QElapsedTimer>
#include <QHostAddress>
#include <QList>
#include <QString>
#include <QTcpSocket>
#include <QTimer>

#include <chrono>
#include <functional>
#include <memory>
#include <optional>

namespace line {

using std::chrono::milliseconds;

// Looks a host name up without waiting: `done` runs later from the event loop
// with the host's addresses, or with none and the reason; it may never run (a
// name server that does not answer), so the caller bounds the wait itself.
// `context` ends the lookup's delivery when it is destroyed.
using HostLookup = std::function<void(
    const QString &host, QObject *context,
    std::function<void(const QList<QHostAddress> &addresses, const QString &error)> done)>;
// The system's lookup (QHostInfo), answered in a thread of its own.
HostLookup systemHostLookup();

// A Modbus TCP connection over a QTcpSocket. Opening it connects (the host name
// resolved), waiting at most kConnectWait; a refused or unreachable gateway is
// kErrPortNotFound with the system's reason, and a connection that breaks later
// is a lost port.
//
// A port opened from a window's event loop (setOpensLater) never waits either:
// an open starts the host lookup (bounded by kLookupWait) and the connection
// (bounded by kConnectWait) and returns; the port reports openEnded when it is
// open or why it is not, and a close on the way drops the attempt.
//
// A port kept open by a long-running program (setReconnecting) never waits:
// an open then takes a connection made in the background, or starts one and
// fails at once with the last attempt's reason, and ready() says when one has
// been made. Such a port also takes a connection as lost when the gateway has
// sent nothing at all for kSilentFor across kSilentRequests requests and its
// host takes no new connection either: a host that went off without closing the
// connection, which TCP itself would notice only after many minutes.
class TcpPort : public engine::MbapPort {
    Q_OBJECT
public:
    // The most an open waits: a gateway on the same network answers a
    // connection within milliseconds; a command must not stall much longer
    // while a host is unreachable.
    static constexpr milliseconds kConnectWait{1500};
    // The most an open that does not wait gives the host's name lookup: a name
    // server answers within milliseconds, or retries and gives up after several
    // seconds, which a window need not sit through.
    static constexpr milliseconds kLookupWait{3000};
    // A probe of a port in a window's port search: a gateway that is there
    // answers a connection well within this, and a search of several ports
    // must not keep the window waiting.
    static constexpr milliseconds kProbeWait{300};
    // A gateway waits for the supply (about the reply timeout of our own serial
    // line) before it answers "target failed to respond"; this leaves room for
    // that, a request queued behind another client's, and the network.
    static constexpr milliseconds kExtraWait{1000};
    // A gateway answers every request, if only with an exception, or at least
    // some of several; one that has sent nothing for this long across this many
    // requests may be gone (a gateway that ignores a unit it does not serve is
    // still there, and its host still takes a connection).
    static constexpr milliseconds kSilentFor{5000};
    static constexpr int kSilentRequests = 3;

    explicit TcpPort(values::NetworkAddress address, QObject *parent = nullptr);
    ~TcpPort() override;

    const values::NetworkAddress &address() const { return m_address; }
    milliseconds extraWait() const override { return kExtraWait; }
    QString name() const override { return m_address.name(); }

    // Opens without waiting from now on, and checks a silent gateway (above).
    void setReconnecting(bool on) { m_reconnecting = on; }
    bool reconnecting() const { return m_reconnecting; }
    // Opens without waiting: the open goes on after setPortOpen(true) returns.
    void setOpensLater(bool on) { m_opensLater = on; }
    // How host names are looked up by an open that does not wait.
    void setHostLookup(HostLookup lookup) { m_lookup = std::move(lookup); }

signals:
    // A connection made in the background is there: an open now takes it.
    void ready();

protected:
    void openDevice(int port) override;
    void closeDevice() override;
    void probeDevice(int port) override;
    bool deviceIsOpen() const override;
    bool deviceIsOpening() const override { return m_opening; }
    void writeDevice(const QByteArray &bytes) override;
    void discardDeviceInput() override;

private:
    // A connection on its way in the background, or a check of a silent host.
    struct Attempt {
        std::unique_ptr<QTcpSocket> socket;
        QElapsedTimer age;
        explicit operator bool() const { return socket != nullptr; }
    };

    void adopt(std::unique_ptr<QTcpSocket> socket);
    void startOpening();
    void onLookedUp(const QList<QHostAddress> &addresses, const QString &error);
    void connectNext();
    void onOpenTimedOut();
    void failOpening(const QString &reason);
    void stopOpening();
    void openInBackground();
    Attempt startAttempt();
    static void dropAttempt(Attempt &attempt);
    void checkSilence();
    void onCheckEnded(bool hostAnswers, const QString &reason);
    void onReadyRead();
    void onBroken();

    values::NetworkAddress m_address;
    std::unique_ptr<QTcpSocket> m_socket;
    bool m_reconnecting = false;
    Attempt m_pending;       // the next connection, made in the background
    QString m_pendingReason; // why the last background attempt failed
    Attempt m_check;         // whether a silent gateway's host takes a connection
    QTimer m_checkTimer;
    QElapsedTimer m_silent; // since the first request after the gateway's last byte
    int m_unanswered = 0;   // requests since the gateway's last byte

    // An open that does not wait: its round (a stale callback's is older), the
    // addresses not tried yet, the connection on its way and the bound.
    bool m_opensLater = false;
    bool m_opening = false;
    bool m_lookingUp = false;
    quint64 m_openRound = 0;
    HostLookup m_lookup = systemHostLookup();
    QList<QHostAddress> m_addresses;
    Attempt m_connecting;
    QString m_connectReason; // why the last address tried refused
    QTimer m_openTimer;
};

} // namespace line
