#pragma once

#include <QByteArray>

#include <cstddef>
#include <memory>

namespace scpi {
class Instrument;
class Session;
} // namespace scpi

namespace ctl {

// A SCPI client's bytes cut into lines for its session. A line ends in "\n", a CR
// before it is dropped. A line longer than kLongestLine, its terminator not
// counted, is discarded up to its end and stands as -223 in the error queue.
// A client's socket is read as its bytes come, so that a broken connection is
// seen at once and its waiting lines dropped; what comes beyond kWaitingLines
// lines waiting their turn is dropped with -363 (as an instrument's input buffer
// overruns), at most 1 MiB a client.
class ScpiLines {
public:
    static constexpr qsizetype kLongestLine = 4096;
    static constexpr std::size_t kWaitingLines = 256;

    ScpiLines(scpi::Instrument &instrument, std::shared_ptr<scpi::Session> session);

    // Takes what the client sent; true when a line went to the session.
    bool receive(const QByteArray &chunk);
    // The client has sent its last byte: an unterminated last line is taken too.
    void end();
    // The lines the client has ended, dropped ones too.
    long lines() const { return m_lines; }

private:
    void append(const QByteArray &bytes);
    bool endLine();

    scpi::Instrument &m_instrument;
    std::shared_ptr<scpi::Session> m_session;
    QByteArray m_partial;
    bool m_discarding = false; // inside a line that was too long
    bool m_overrun = false;    // lines are being dropped, -363 said
    long m_lines = 0;
};

} // namespace ctl
