#include "panels/runline.h"

#include <QTimer>

#include <utility>

namespace panels {

WindowRunLine::WindowRunLine(MonitorLink &link, std::uint8_t address, QObject *parent)
    : QObject(parent), m_link(link), m_address(address)
{
}

WindowRunLine::~WindowRunLine()
{
    end();
    if (m_write != 0) {
        m_link.cancel(m_write);
    }
}

void WindowRunLine::begin(std::function<void(const records::Row &)> reading,
                          std::function<void(const engine::Failure &why)> failed)
{
    end();
    m_reading = std::move(reading);
    takeReadings();
    m_ended = connect(&m_link, &MonitorLink::ended, this, std::move(failed));
}

void WindowRunLine::takeReadings()
{
    if (!m_reading || m_polled) {
        return;
    }
    m_polled = connect(&m_link, &MonitorLink::polled, this, [this](const Poll &poll) {
        m_reading(m_rows.make(poll.address, poll.sentTime, poll.reading, poll.failure));
    });
}

void WindowRunLine::end()
{
    disconnect(std::exchange(m_polled, {}));
    disconnect(std::exchange(m_ended, {}));
}

void WindowRunLine::write(records::Target target, std::uint16_t value,
                          std::function<void(const QString &problem)> retrying, Done done)
{
    if (m_interrupted) {
        records::WriteResult result;
        result.failure = {engine::Error::Interrupted};
        result.problem = result.failure.word();
        later(std::move(done), result);
        return;
    }
    m_write = send(target, value, std::move(retrying), std::move(done));
}

int WindowRunLine::send(records::Target target, std::uint16_t value,
                        std::function<void(const QString &)> retrying, Done done)
{
    m_writeDone = std::move(done);
    return m_link.write(
        records::writeRequest(m_address, target, value), records::confirmsWrite(target, value),
        [this](const records::WriteResult &written) {
            m_write = 0;
            records::WriteResult result = written;
            result.readBack = m_link.lastReading();
            if (result.failure.error == engine::Error::Port) {
                result.problem = result.failure.word(); // the reason is the failure's detail
            }
            later(std::exchange(m_writeDone, nullptr), result);
        },
        std::move(retrying));
}

void WindowRunLine::interrupt()
{
    m_interrupted = true;
    if (m_write != 0) {
        m_link.cancel(std::exchange(m_write, 0));
        records::WriteResult result;
        result.failure = {engine::Error::Interrupted};
        result.problem = result.failure.word();
        later(std::exchange(m_writeDone, nullptr), result);
    }
}

void WindowRunLine::switchOff(Done done)
{
    if (m_write != 0) {
        m_link.cancel(std::exchange(m_write, 0));
    }
    // The polls that confirm the switch-off are handed on as readings, up to the
    // one that shows the output off; then none.
    takeReadings();
    m_write = send(records::Target::Output, 0, nullptr,
                   [this, done = std::move(done)](const records::WriteResult &result) {
                       end();
                       if (done) {
                           done(result);
                       }
                   });
}

void WindowRunLine::later(Done done, records::WriteResult result)
{
    if (!done) {
        return;
    }
    QTimer::singleShot(0, this, [done = std::move(done), result] { done(result); });
}

} // namespace panels
