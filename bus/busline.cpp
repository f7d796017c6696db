#include "bus/busline.h"

#include <QTimer>

namespace bus {

ClientLine::ClientLine(supply::Client &client) : m_client(&client) {}

void ClientLine::read(std::uint8_t address, std::function<void(const supply::Reading &)> done)
{
    if (m_client == nullptr) {
        QTimer::singleShot(0, [address, done = std::move(done)] {
            supply::Reading reading;
            reading.failure.error = supply::Error::Port;
            reading.row.address = address;
            reading.row.failure = {supply::Error::Port};
            done(reading);
        });
        return;
    }
    // The row maker rides along with the request, which may end after this line.
    supply::takeReading(
        *m_client, *m_rows, address,
        [rows = m_rows, done = std::move(done)](const supply::Reading &r) { done(r); });
}

void ClientLine::write(std::uint8_t address, supply::Target target, std::uint16_t value,
                       supply::WriteCallbacks callbacks)
{
    if (m_client == nullptr) {
        QTimer::singleShot(0, [done = std::move(callbacks.done)] {
            supply::WriteResult result;
            result.failure = {supply::Error::Port};
            result.problem = QStringLiteral("port");
            if (done) {
                done(result);
            }
        });
        return;
    }
    // The callbacks keep the row maker alive as long as the write goes on.
    callbacks.done = [rows = m_rows, done = std::move(callbacks.done)](const auto &result) {
        if (done) {
            done(result);
        }
    };
    supply::confirmedWrite(*m_client, *m_rows, supply::writeRequest(address, target, value),
                           supply::confirmsWrite(target, value), std::move(callbacks));
}

} // namespace bus
