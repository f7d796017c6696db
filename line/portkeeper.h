#pragma once

#include "engine/clock.h"
#include "serial/commcontrol.h"

#include <QObject>
#include <QString>

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

namespace engine {
class Client;
} // namespace engine

namespace line {

using std::chrono::milliseconds;

// Keeps a port open for a program that runs for long (a log, a run, a server): a
// port lost under it (a USB adapter unplugged, a hub reset, a write the device
// refused) is closed and opened again by its name every second until it comes
// back; then the client starts again on a quiet line. While the port is away the
// client's requests end at once with Error::Port, so a schedule goes on and
// records each missed reading as such.
//
// The control keeps the port's name and settings from the program's first open:
// reopening is setPortOpen(true) again. A network line (TcpPort) connects in the
// background meanwhile, so a reopening never holds the program up. It waits and
// times the loss on the client's clock.
class PortKeeper : public QObject {
    Q_OBJECT
public:
    static constexpr milliseconds kReopenEvery{1000};
    // How long a switch-off on the way out waits for a lost port: long enough for
    // a hub reset or an adapter plugged back in, short enough for a stop.
    static constexpr milliseconds kWaitToSwitchOff{5000};

    // `portName` is for messages only ("COM3", "/dev/ttyUSB0").
    PortKeeper(serial::CommControl &comm, engine::Client &client, QString portName,
               QObject *parent = nullptr);

    bool isOpen() const;
    const QString &portName() const { return m_portName; }

    // `then(true)` once the port is open (from the event loop, also when it is open
    // now), or `then(false)` when it is still away after `within`.
    void whenOpen(milliseconds within, std::function<void(bool open)> then);

    // How often the port was lost, and how long it was away in all (the time so
    // far when it is away now).
    int losses() const { return m_losses; }
    qint64 awayMs() const;
    // "port COM3: lost 2 times, away 4.2 s in all"; empty when it was never lost.
    QString summary() const;

signals:
    // The port was lost; reopening every second has begun.
    void lost(const QString &reason);
    // The port is open again after `awayMs` and the client has restarted.
    void restored(qint64 awayMs);
    // The same as a line of a program's account: "the port COM3 was lost (...);
    // opening it again every second", "the port COM3 is back after 3.1 s".
    void message(const QString &text);

private:
    struct Waiter {
        engine::EngineClock::time_point until;
        std::function<void(bool)> then;
    };

    void onLost(const QString &reason);
    void retry();
    void settleWaiters(bool open);
    qint64 msSince(engine::EngineClock::time_point then) const;

    serial::CommControl &m_comm;
    engine::Client &m_client;
    QString m_portName;
    const engine::EngineClock &m_clock;
    std::unique_ptr<engine::EngineTimer> m_retry;
    std::optional<engine::EngineClock::time_point> m_awaySince; // set while the port is away
    QString m_lastFailure;
    int m_losses = 0;
    qint64 m_awayBeforeMs = 0; // the losses that have ended
    std::vector<Waiter> m_waiters;
};

} // namespace line
