#pragma once

#include "line/lineclaim.h"
#include "line/localport.h"
#include "line/networkport.h"

#include <QElapsedTimer>
#include <QTimer>

#include <memory>

namespace line {

// A serial port that every program of ours can use at once. The first to open
// the device OWNS it: its bytes are the device's, its client keeps the line's
// rules, and a LineHost offers the line to the others. A later program JOINS the
// owner over its local socket and speaks Modbus TCP to it: an open tries the
// owner's socket first, then the device (and, where the program allows the wait,
// while the device is held the socket again, as the owner may not listen yet).
// A line whose folder or owner is not the user's own is never joined: the device
// is opened when it is free, else the open fails with kErrNoAccess naming the
// folder or the owner. Nothing sleeps on the event loop: joining, owning and
// the handover try at once, and the handover again on a timer. When the
// owner ends (closes, crashes, is killed) a joiner opens the device itself, or
// joins whoever did, within kHandoverWithin; only then is the port lost. A device
// held by a program that is not ours (no owner answers) is kErrPortInUse, as on a
// plain port.
//
// Settings, the port number and the device path are the facade's own and go to
// the device at each open. lineChanged() comes at each open and each handover,
// so that the client takes the framing of the new role.
class SharedPort : public engine::MbapPort {
    Q_OBJECT
public:
    enum class Role { None, Owner, Joiner };

    // How long a program's first open may keep trying to join (setOwnerWait):
    // the owner may be between its open of the device and its listening.
    static constexpr milliseconds kJoinWait{300};
    static constexpr milliseconds kHandoverWithin{1000};
    static constexpr milliseconds kHandoverEvery{50};

    explicit SharedPort(std::unique_ptr<serial::BufferedCommControl> device,
                        QObject *parent = nullptr);
    ~SharedPort() override;

    Role role() const { return m_role; }
    // How long an open tries again to join while the device is held and no
    // owner listens yet; 0 (the default) tries once. An open that may wait runs
    // before the program's event loop does (a command's first open): later ones,
    // a window's among them, never sleep.
    void setOwnerWait(milliseconds wait) { m_ownerWait = wait; }
    // What a joiner checks of the line's folder and of its owner (tests replace it).
    void setTrust(LineTrust trust);
    // The joined owner's process, where the system tells it; else 0.
    qint64 ownerPid() const { return m_role == Role::Joiner ? m_local.ownerPid() : 0; }
    // What a joiner says when its owner sends nothing at all (the owner answers
    // a silent supply itself): "the program of ours that owns COM3 (pid 4121)
    // does not answer".
    QString ownerSilentText() const { return stalledOwnerText(portName(), ownerPid()); }
    // A program of ours (this one or another) owns the device behind COMn and
    // offers its line: its socket takes a connection.
    bool offeredByOurs(int port) const;
    // The local socket of the line last opened, where its owner listens first;
    // empty before.
    const QString &socketName() const { return m_socketName; }
    // Every place of that socket (lineSocketNames), socketName() first.
    const QStringList &socketNames() const { return m_socketNames; }
    serial::BufferedCommControl &device() { return *m_device; }
    // Who held the device when the last open found it held and joined nobody.
    const DeviceHolder &holder() const { return m_holder; }

    milliseconds extraWait() const override { return LocalPort::kExtraWait; }
    QString name() const override;
    bool carriesMbap() const override { return m_role == Role::Joiner; }
    bool namesVerdicts() const override { return m_role == Role::Joiner; }
    void nameNewAdapters() override { m_device->nameNewAdapters(); }
    // The owner's device; a joiner's bytes come from the owner as whole frames.
    void setInputWatched(bool watched) override;

signals:
    // It became the owner (LineHost listens) or stopped being it.
    void roleChanged(line::SharedPort::Role role);
    // The owner is about to let the device go: the line is offered no more.
    void leaving();

protected:
    void openDevice(int port) override;
    void closeDevice() override;
    void probeDevice(int port) override;
    // Open while a handover is under way: the line is away for a moment, not lost.
    bool deviceIsOpen() const override { return m_role != Role::None || m_handingOver; }
    void writeDevice(const QByteArray &bytes) override;
    void discardDeviceOutput() override;
    void discardDeviceInput() override;
    int deviceInputCount() const override;
    void setDeviceReadThreshold(int bytes) override;
    void applyLineSettings() override;

private:
    // ClaimedByOurs: another program of ours holds the line's claim and is about
    // to own it, or owns it and does not answer.
    enum class Attempt { Done, HeldByOwner, ClaimedByOurs, Failed };
    enum class Joined { Yes, Nobody, Refused, Stalled };

    serial::CommControl *active() const;
    // The port as a message names it: COMn, or the device's path.
    QString portName() const;
    // The device behind `port` as the socket name knows it.
    QString deviceOf(int port) const;
    // Takes the line's claim and opens the device; HeldByOwner when the device
    // is in use (someone may own it), ClaimedByOurs when the claim is.
    Attempt own(int port);
    // Connects to the owner's socket, at the first of its places where one
    // listens, when it is the user's own.
    Joined join();
    Joined joinAt(const QString &name);
    // The line is this port's now, in `role`.
    void taken(Role role);
    void setRole(Role role);
    void onActiveComm();
    void onActiveLost(const QString &reason);
    void handoverStep();

    // Before the device: it is let go after the device is closed.
    LineClaim m_claim;
    std::unique_ptr<serial::BufferedCommControl> m_device;
    LineTrust m_trust;
    LocalPort m_local;
    milliseconds m_ownerWait{0};
    Role m_role = Role::None;
    QString m_socketName;
    QStringList m_socketNames;
    QString m_refusal; // why the last join refused a socket it found
    int m_port = 0;
    int m_readThreshold = 1;
    QTimer m_handover;
    QElapsedTimer m_handoverTime;
    QString m_handoverReason;
    QString m_inUse;
    DeviceHolder m_holder;
    bool m_handingOver = false;
};

} // namespace line
