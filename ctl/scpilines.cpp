#include "ctl/scpilines.h"

#include "scpi/instrument.h"

#include <string>
#include <utility>

namespace ctl {

ScpiLines::ScpiLines(scpi::Instrument &instrument, std::shared_ptr<scpi::Session> session)
    : m_instrument(instrument), m_session(std::move(session))
{
}

bool ScpiLines::receive(const QByteArray &chunk)
{
    bool taken = false;
    qsizetype start = 0;
    while (true) {
        const qsizetype end = chunk.indexOf('\n', start);
        append(chunk.mid(start, end < 0 ? -1 : end - start));
        if (end < 0) {
            break;
        }
        taken = endLine() || taken;
        start = end + 1;
    }
    return taken;
}

void ScpiLines::end()
{
    if (!m_partial.isEmpty() || m_discarding) {
        endLine();
    }
}

void ScpiLines::append(const QByteArray &bytes)
{
    if (m_discarding) {
        return;
    }
    m_partial += bytes;
    // A CR before the terminator is no part of the line's length.
    const qsizetype length = m_partial.size() - (m_partial.endsWith('\r') ? 1 : 0);
    if (length > kLongestLine) {
        m_discarding = true;
        m_partial.clear();
    }
}

// False when the line was dropped for want of room.
bool ScpiLines::endLine()
{
    ++m_lines;
    const bool tooLong = m_discarding;
    m_discarding = false;
    if (m_partial.endsWith('\r')) {
        m_partial.chop(1);
    }
    const std::string line = m_partial.toStdString();
    m_partial.clear();
    if (m_session->waitingLines() >= kWaitingLines) {
        if (!m_overrun) {
            m_overrun = true;
            m_instrument.submitError(*m_session, scpi::err::kInputBufferOverrun,
                                     "lines were dropped: more than 256 waited");
        }
        return false;
    }
    m_overrun = false;
    if (tooLong) {
        m_instrument.submitError(*m_session, scpi::err::kTooMuchData,
                                 "a line longer than 4096 bytes was discarded");
    } else {
        m_instrument.submit(*m_session, line);
    }
    return true;
}

} // namespace ctl
