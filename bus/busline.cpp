#include "bus/busline.h"

#include <QTimer>

namespace bus {

namespace {

// Answered from the event loop, as the client would have.
void portLost(std::uint8_t address, engine::SessionLine::Done done)
{
    QTimer::singleShot(0, [address, done = std::move(done)] {
        engine::LineAnswer answer;
        answer.address = address;
        answer.failure = {engine::Error::Port};
        done(answer);
    });
}

} // namespace

ClientLine::ClientLine(engine::Client &client) : m_client(&client) {}

void ClientLine::readStatus(std::uint8_t address, Done done)
{
    if (m_client == nullptr) {
        portLost(address, std::move(done));
        return;
    }
    engine::ClientLine(*m_client).readStatus(address, [done = std::move(done)](auto answer) {
        if (answer.undecoded) {
            // The cards and the recording name it as every row does.
            answer.failure.error = engine::Error::Undecoded;
        }
        done(answer);
    });
}

void ClientLine::write(const protocol::Frame &request, Done done)
{
    if (m_client == nullptr) {
        portLost(request[0], std::move(done));
        return;
    }
    engine::ClientLine(*m_client).write(request, std::move(done));
}

} // namespace bus
