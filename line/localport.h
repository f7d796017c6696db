#pragma once

#include "line/linetrust.h"
#include "line/networkport.h"

#include <QLocalSocket>

#include <memory>

namespace line {

// The name of the local socket through which the program of ours that owns the
// device `device` (a path such as /dev/ttyUSB0, or COM3 on Windows) offers its
// line: a short hash of the device's canonical name (links resolved, so that
// every name of one device meets at one socket). On Unix a full path in the
// user's runtime folder, which only the user may enter; on Windows a pipe name.
QString lineSocketName(const QString &device);
// Every name that socket may have (lineSocketPlaces), lineSocketName first: an
// owner listens at the first it can, a joiner looks at each.
QStringList lineSocketNames(const QString &device);
// What a program says of a line whose owner of ours connects but answers
// nothing (stopped, or stuck): `pid` where the system told it, else 0.
QString stalledOwnerText(const QString &portName, qint64 pid);

// A connection to the program of ours that owns a line, over its local socket:
// Modbus TCP frames, the owner's verdicts named (Gateway::setNamesVerdicts).
// Opening it connects without waiting (a local socket connects at once, or its
// listener is stuck). It joins only the user's own: a socket in a folder that is
// not the user's own (another's, a link, open to others), or whose listener runs
// as another user, is kErrNoAccess with the reason, and not a byte is sent to
// it. No owner there (no socket, or a stale one) is kErrPortNotFound; an owner
// of ours that takes no connection (stopped, stuck) is kErrOpenFailed; and a
// connection that breaks later (the owner ended) is a lost port.
class LocalPort : public engine::MbapPort {
    Q_OBJECT
public:
    // The owner serves every program in turn, one request each, and its own:
    // a request may wait behind a few others' before its own reply time.
    static constexpr milliseconds kExtraWait{1000};

    explicit LocalPort(QString serverName, QObject *parent = nullptr);
    ~LocalPort() override;

    void setServerName(const QString &name) { m_serverName = name; }
    const QString &serverName() const { return m_serverName; }
    void setTrust(LineTrust trust) { m_trust = std::move(trust); }
    // Why the last open refused the socket it found; empty when it did not.
    const QString &refusal() const { return m_refusal; }
    // The process of the owner joined last, where the system tells it; else 0.
    qint64 ownerPid() const { return m_ownerPid; }
    milliseconds extraWait() const override { return kExtraWait; }
    QString name() const override;
    bool namesVerdicts() const override { return true; }

protected:
    void openDevice(int port) override;
    void closeDevice() override;
    void probeDevice(int port) override;
    bool deviceIsOpen() const override;
    void writeDevice(const QByteArray &bytes) override;
    void discardDeviceInput() override;

private:
    // A connection to the socket, made only when its folder and its listener are
    // the user's own; throws CommError otherwise.
    std::unique_ptr<QLocalSocket> connectTrusted();
    void onReadyRead();
    void onBroken();

    QString m_serverName;
    LineTrust m_trust;
    QString m_refusal;
    qint64 m_ownerPid = 0;
    std::unique_ptr<QLocalSocket> m_socket;
};

} // namespace line
