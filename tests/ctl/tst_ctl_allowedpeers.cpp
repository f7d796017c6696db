// Who may connect to serve: this host always (loopback, or the address a listener
// is bound to), anyone else only from the --allow subnets.
#include "ctl/allowedpeers.h"

#include <QTest>

using namespace ctl;

class TestCtlAllowedPeers : public QObject {
    Q_OBJECT
private slots:
    void allows_data();
    void allows();
};

void TestCtlAllowedPeers::allows_data()
{
    QTest::addColumn<QString>("allow"); // as --allow gives it: address/bits,...
    QTest::addColumn<QString>("listening");
    QTest::addColumn<QString>("peer");
    QTest::addColumn<bool>("allowed");

    // Without --allow, loopback alone.
    QTest::newRow("default: 127.0.0.1") << ""
                                        << "127.0.0.1"
                                        << "127.0.0.1" << true;
    QTest::newRow("default: 127.0.0.2") << ""
                                        << "127.0.0.1"
                                        << "127.0.0.2" << true;
    QTest::newRow("default: ::1") << ""
                                  << "::1"
                                  << "::1" << true;
    QTest::newRow("default: LAN") << ""
                                  << "127.0.0.1"
                                  << "192.168.1.7" << false;
    // The printed address of a wildcard listener is loopback: it may connect
    // whatever --allow names.
    QTest::newRow("0.0.0.0, allow other net: 127.0.0.1") << "192.0.2.0/24"
                                                         << "0.0.0.0"
                                                         << "127.0.0.1" << true;
    QTest::newRow("[::], allow ::1: 127.0.0.1 dual stack") << "::1/128"
                                                           << "::"
                                                           << "::ffff:127.0.0.1" << true;
    QTest::newRow("[::], allow ::1: ::1") << "::1/128"
                                          << "::"
                                          << "::1" << true;
    QTest::newRow("0.0.0.0, allow other net: inside") << "192.0.2.0/24"
                                                      << "0.0.0.0"
                                                      << "192.0.2.9" << true;
    QTest::newRow("0.0.0.0, allow other net: mapped inside") << "192.0.2.0/24"
                                                             << "0.0.0.0"
                                                             << "::ffff:192.0.2.9" << true;
    QTest::newRow("0.0.0.0, allow other net: outside") << "192.0.2.0/24"
                                                       << "0.0.0.0"
                                                       << "198.51.100.1" << false;
    QTest::newRow("[::], allow ::1: LAN") << "::1/128"
                                          << "::"
                                          << "192.168.1.7" << false;
    QTest::newRow("[::], allow v6 net: inside") << "2001:db8::/32"
                                                << "::"
                                                << "2001:db8::5" << true;
    QTest::newRow("[::], allow v6 net: outside") << "2001:db8::/32"
                                                 << "::"
                                                 << "2001:db9::5" << false;
    // A listener on one address of this host: a client here that opens the printed
    // address comes from that address.
    QTest::newRow("own address, allow other net") << "10.0.0.0/8"
                                                  << "192.168.1.5"
                                                  << "192.168.1.5" << true;
    QTest::newRow("own address, neighbour") << "10.0.0.0/8"
                                            << "192.168.1.5"
                                            << "192.168.1.6" << false;
    QTest::newRow("own v6 address with a scope") << "2001:db8::/32"
                                                 << "fe80::1%lo"
                                                 << "fe80::1" << true;
    // On a loopback address, --allow still chooses among the other loopback ones.
    QTest::newRow("127.0.0.1, allow 127.0.0.1: itself") << "127.0.0.1/32"
                                                        << "127.0.0.1"
                                                        << "127.0.0.1" << true;
    QTest::newRow("127.0.0.1, allow 127.0.0.1: 127.0.0.2") << "127.0.0.1/32"
                                                           << "127.0.0.1"
                                                           << "127.0.0.2" << false;
    // A wildcard names no peer: it lets nobody in by itself.
    QTest::newRow("wildcard is not a peer") << ""
                                            << "0.0.0.0"
                                            << "0.0.0.0" << false;
    QTest::newRow("null peer") << ""
                               << "0.0.0.0"
                               << "" << false;
}

void TestCtlAllowedPeers::allows()
{
    QFETCH(QString, allow);
    QFETCH(QString, listening);
    QFETCH(QString, peer);
    QFETCH(bool, allowed);
    AllowedPeers::Subnets subnets;
    for (const QString &item : allow.split(QLatin1Char(','), Qt::SkipEmptyParts)) {
        subnets.append(QHostAddress::parseSubnet(item));
    }
    const AllowedPeers rule(subnets,
                            {QHostAddress(QStringLiteral("127.0.0.1")), QHostAddress(listening)});
    QCOMPARE(rule.allows(QHostAddress(peer)), allowed);
}

QTEST_GUILESS_MAIN(TestCtlAllowedPeers)
#include "tst_ctl_allowedpeers.moc"
