#include "ctl/allowedpeers.h"

#include <utility>

namespace ctl {

namespace {

bool isWildcard(const QHostAddress &address)
{
    return address == QHostAddress(QHostAddress::Any) ||
           address.isEqual(QHostAddress(QHostAddress::AnyIPv4), QHostAddress::StrictConversion) ||
           address.isEqual(QHostAddress(QHostAddress::AnyIPv6), QHostAddress::StrictConversion);
}

} // namespace

QHostAddress plainPeerAddress(const QHostAddress &address)
{
    bool isV4 = false;
    const quint32 v4 = address.toIPv4Address(&isV4);
    return isV4 ? QHostAddress(v4) : address;
}

AllowedPeers::AllowedPeers(Subnets subnets, const QList<QHostAddress> &listening)
    : m_subnets(std::move(subnets))
{
    for (const QHostAddress &address : listening) {
        QHostAddress plain = plainPeerAddress(address);
        plain.setScopeId(QString());
        if (isWildcard(plain)) {
            m_everyAddress = true;
        } else if (!plain.isNull() && !m_own.contains(plain)) {
            m_own.append(plain);
        }
    }
}

bool AllowedPeers::allows(const QHostAddress &peer) const
{
    const QHostAddress address = plainPeerAddress(peer);
    if (address.isNull()) {
        return false;
    }
    // The scope of a link-local address does not make it another peer.
    QHostAddress bare = address;
    bare.setScopeId(QString());
    if (m_own.contains(bare) || (address.isLoopback() && (m_subnets.isEmpty() || m_everyAddress))) {
        return true;
    }
    for (const auto &subnet : m_subnets) {
        if (address.isInSubnet(subnet.first, subnet.second)) {
            return true;
        }
    }
    return false;
}

QString endpointText(const QHostAddress &address, quint16 port)
{
    if (address.protocol() == QAbstractSocket::AnyIPProtocol) {
        return QStringLiteral("[::]:%1 (IPv6 and IPv4)").arg(port);
    }
    return address.protocol() == QAbstractSocket::IPv6Protocol
               ? QStringLiteral("[%1]:%2").arg(address.toString()).arg(port)
               : QStringLiteral("%1:%2").arg(address.toString()).arg(port);
}

QString addressOf(const QString &endpoint)
{
    return endpoint.section(QLatin1Char(':'), 0, -2);
}

} // namespace ctl
