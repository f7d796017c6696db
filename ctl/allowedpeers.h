#pragma once

#include <QHostAddress>
#include <QList>
#include <QPair>
#include <QString>

namespace ctl {

// Who may connect to serve's listeners, one rule for SCPI, Modbus TCP and the page.
// Without `--allow`, loopback alone. With it, its subnets, and this host always:
// the very address a listener is bound to (a client here that opens the printed
// address comes from it), and loopback when a listener listens on every address
// (the printed address is then loopback).
class AllowedPeers {
public:
    using Subnets = QList<QPair<QHostAddress, int>>;

    // `listening`: the addresses serve's listeners are bound to (wildcards are
    // skipped: they name no peer).
    AllowedPeers(Subnets subnets, const QList<QHostAddress> &listening);

    bool allows(const QHostAddress &peer) const;

private:
    Subnets m_subnets;
    QList<QHostAddress> m_own;
    bool m_everyAddress = false; // a listener on 0.0.0.0 or [::]
};

// An IPv4 peer of a dual-stack listener comes as ::ffff:a.b.c.d; this gives a.b.c.d.
QHostAddress plainPeerAddress(const QHostAddress &address);
// How serve names a listener or a peer: "127.0.0.1:5025", "[::1]:5025", and a
// dual-stack listener "[::]:5025 (IPv6 and IPv4)".
QString endpointText(const QHostAddress &address, quint16 port);
// The address of such a name without its port: "127.0.0.1", "[::1]".
QString addressOf(const QString &endpoint);

} // namespace ctl
