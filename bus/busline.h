#pragma once

#include "engine/client.h"
#include "records/operations.h"

#include <QPointer>

#include <cstdint>
#include <functional>
#include <memory>

namespace bus {

// The line as the bus window's poller uses it: one status reading, or one
// confirmed write (write, echo, read-back, one retry), each calling back once,
// later than the call. The poller never has two on the line at once.
class BusLine {
public:
    virtual ~BusLine() = default;
    virtual void read(std::uint8_t address, std::function<void(const supply::Reading &)> done) = 0;
    virtual void write(std::uint8_t address, supply::Target target, std::uint16_t value,
                       supply::WriteCallbacks callbacks) = 0;
};

// The bus line over an engine client, shared with whatever else uses it (the
// main window's own poll). The rows' clock and the energy counters start with
// it. A client that goes away takes its queued requests with it, uncalled: the
// owner stops polling when the port closes.
class ClientLine : public BusLine {
public:
    explicit ClientLine(supply::Client &client);

    void read(std::uint8_t address, std::function<void(const supply::Reading &)> done) override;
    void write(std::uint8_t address, supply::Target target, std::uint16_t value,
               supply::WriteCallbacks callbacks) override;

    supply::Client *client() const { return m_client; }

private:
    QPointer<supply::Client> m_client;
    // Shared with the requests on their way, which may end after this line is gone.
    std::shared_ptr<supply::RowMaker> m_rows = std::make_shared<supply::RowMaker>();
};

} // namespace bus
