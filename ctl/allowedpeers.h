#pragma once

#include <QHostAddress>
#include <QList>
#include <QPair>

namespace ctl {

// Who may connect to serve's listeners, one rule for SCPI, Modbus TCP and the page.
// A connection from this host always may: a loopback address, or the very address
// a listener listens on (a client on this host that opens the printed address comes
// from it). Anyone else only from the `--allow` subnets; without them, nobody else.
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
};

// An IPv4 peer of a dual-stack listener comes as ::ffff:a.b.c.d; this gives a.b.c.d.
QHostAddress plainPeerAddress(const QHostAddress &address);

} // namespace ctl
