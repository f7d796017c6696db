#pragma once

#include <QByteArray>
#include <QList>
#include <QPair>

#include <deque>
#include <memory>
#include <optional>
#include <utility>

namespace web {

// One HTTP request as it came: the method, the path and query apart, the headers
// with lower-case names, and the whole body.
struct Request {
    QByteArray method; // "GET"
    QByteArray path;   // "/api/supplies", as sent (no decoding)
    QByteArray query;  // "token=..." without the '?'
    QList<QPair<QByteArray, QByteArray>> headers;
    QByteArray body;
    bool keepAlive = true;

    // The first header of that lower-case name, empty when there is none.
    QByteArray header(const QByteArray &name) const;
    bool hasHeader(const QByteArray &name) const;
};

// Cuts a connection's bytes into requests with http_parser: pipelined requests
// come out in order, and bytes may arrive in any pieces. Headers and bodies are
// bounded, and so are the requests cut and not yet taken: past kPipelined, the
// bytes fed are kept as they came and cut as next() takes requests. A stream
// that breaks the rules or a bound stops the parser for good, with the status
// that answers it (400, or 413 for a body too large).
class RequestParser {
public:
    static constexpr qsizetype kMaxBody = 64 * 1024;
    static constexpr qsizetype kMaxHead = 32 * 1024; // the request line and headers
    static constexpr std::size_t kPipelined = 16;

    RequestParser();
    ~RequestParser();
    RequestParser(const RequestParser &) = delete;
    RequestParser &operator=(const RequestParser &) = delete;

    // Takes the next bytes; false once the stream is broken (failureStatus()).
    bool feed(const char *data, qsizetype size);
    // The next complete request, in order. While one is there, nothing more
    // needs feeding: the bytes fed and not yet cut give the next ones.
    std::optional<Request> next();
    bool pending() const { return !m_done.empty(); }
    // Bytes this parser holds: requests cut and not yet taken, the one under
    // way, and input not parsed yet.
    qsizetype heldBytes() const;
    // 0 while the stream is sound, else 400, 413 or 417.
    int failureStatus() const { return m_failure; }
    // Whether the request under way waits for "100 Continue" before it sends its
    // body; true once, and only until its body starts.
    bool takeContinue() { return std::exchange(m_continue, false); }

private:
    struct Callbacks;
    void fail(int status) { m_failure = m_failure ? m_failure : status; }
    void cut();

    struct State;
    std::unique_ptr<State> m_state;
    std::deque<Request> m_done;
    QByteArray m_held; // fed, not yet cut
    int m_failure = 0;
    bool m_continue = false;
};

} // namespace web
