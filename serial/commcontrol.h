#pragma once

#include <QByteArray>
#include <QObject>
#include <QString>

#include <stdexcept>
#include <string>

namespace serial {

// Error numbers the windows test for; every other failure has its own number and
// a readable description.
constexpr int kErrPortNotFound = 8002;    // no port with this number
constexpr int kErrPortInUse = 8005;       // held by another program or by this window
constexpr int kErrPortNotOpen = 8018;     // an operation that needs an open port
constexpr int kErrPortAlreadyOpen = 8000; // the port number cannot change while open
constexpr int kErrInvalidValue = 380;     // a property set to a value it cannot take
constexpr int kErrOpenFailed = 8012;      // the device exists but could not be opened
constexpr int kErrDeviceIo = 8020;        // the device failed while reading or writing
constexpr int kErrNoAccess = 8021;        // the device exists but this user may not open it

// A failure reported by the serial control, like the numbered errors callers trap.
class CommError : public std::runtime_error {
public:
    CommError(int number, const std::string &description)
        : std::runtime_error(description), m_number(number)
    {
    }
    int number() const { return m_number; }

private:
    int m_number;
};

// The serial communications control each window holds as `MSComm1`. Property
// names follow the control's own; setters that cannot do what is asked throw
// CommError. The receive event `OnComm` is raised on the owner's thread.
class CommControl : public QObject {
    Q_OBJECT
public:
    static constexpr int comEvReceive = 2;

    using QObject::QObject;
    ~CommControl() override = default;

    virtual void setSettings(const QString &settings) = 0; // "9600,n,8,1"
    virtual QString Settings() const = 0;
    virtual void setInBufferSize(int size) = 0;
    virtual int InBufferSize() const = 0;
    virtual void setOutBufferSize(int size) = 0;
    virtual void setInputMode(int mode) = 0;   // 1: Input yields bytes
    virtual void setInputLen(int length) = 0;  // 0: Input takes every waiting byte
    virtual void setRThreshold(int bytes) = 0; // 0: no receive events
    virtual int RThreshold() const = 0;
    virtual void setSThreshold(int bytes) = 0;

    virtual int InBufferCount() const = 0;
    virtual void setInBufferCount(int count) = 0;  // only 0: discard received bytes
    virtual void setOutBufferCount(int count) = 0; // only 0: discard unsent bytes

    virtual void setCommPort(int port) = 0;
    virtual int CommPort() const = 0;
    virtual void setPortOpen(bool open) = 0;
    virtual bool PortOpen() const = 0;
    // Whether an open has begun that ends later (a network line still looking up
    // its host or connecting): the port is not open yet, and openEnded says how
    // it ended. Closing the port ends the attempt without a signal.
    virtual bool PortOpening() const { return false; }

    virtual void setOutput(const QByteArray &bytes) = 0;
    virtual QByteArray Input() = 0;
    virtual int CommEvent() const = 0;

    // Opens port `port` and closes it again at once, without disturbing the port
    // this control holds; returns 0 when it opened, else the error number.
    virtual int probePort(int port) = 0;

    // Gives adapters plugged in since the last search their port numbers; the
    // port search calls it before probing. Nothing to do where the system names
    // ports itself.
    virtual void nameNewAdapters() {}

    // Whether bytes that arrive are looked at as they come. Off, they wait in the
    // system, without a wake-up of the program or a receive event, until it is on
    // again; the port's loss may then also be seen late. A program that knows a
    // reply cannot be whole before some time spares the wake-ups of its bytes.
    // Where the system hands bytes over in packets it makes no difference.
    virtual void setInputWatched(bool watched) { Q_UNUSED(watched); }

signals:
    void OnComm();
    // The device went away under an open port, which is now closed.
    void portLost(const QString &reason);
    // An open that went on after setPortOpen(true) returned has ended: the port
    // is open (`error` 0), or it is closed and `error` and `reason` say why, as
    // the CommError of an open that fails at once would.
    void openEnded(int error, const QString &reason);
};

} // namespace serial
