#include "web/requestparser.h"

#include <http_parser.h>

namespace web {

QByteArray Request::header(const QByteArray &name) const
{
    for (const auto &h : headers) {
        if (h.first == name) {
            return h.second;
        }
    }
    return {};
}

bool Request::hasHeader(const QByteArray &name) const
{
    for (const auto &h : headers) {
        if (h.first == name) {
            return true;
        }
    }
    return false;
}

struct RequestParser::State {
    http_parser parser{};
    http_parser_settings settings{};
    RequestParser *owner = nullptr;
    Request current;
    QByteArray url;
    QByteArray field;
    QByteArray value;
    bool inValue = false;
    qsizetype head = 0; // bytes of the request line and headers so far

    bool grow(qsizetype n)
    {
        head += n;
        return head <= kMaxHead;
    }
    void keepHeader()
    {
        if (inValue) {
            current.headers.append({field.toLower(), value.trimmed()});
            field.clear();
            value.clear();
            inValue = false;
        }
    }
};

struct RequestParser::Callbacks {
    static State &state(http_parser *p) { return *static_cast<State *>(p->data); }

    static int messageBegin(http_parser *p)
    {
        State &s = state(p);
        s.current = Request{};
        s.url.clear();
        s.field.clear();
        s.value.clear();
        s.inValue = false;
        s.head = 0;
        return 0;
    }
    static int url(http_parser *p, const char *at, size_t n)
    {
        State &s = state(p);
        s.url.append(at, qsizetype(n));
        return s.grow(qsizetype(n)) ? 0 : -1;
    }
    static int headerField(http_parser *p, const char *at, size_t n)
    {
        State &s = state(p);
        s.keepHeader();
        s.field.append(at, qsizetype(n));
        return s.grow(qsizetype(n)) ? 0 : -1;
    }
    static int headerValue(http_parser *p, const char *at, size_t n)
    {
        State &s = state(p);
        s.inValue = true;
        s.value.append(at, qsizetype(n));
        return s.grow(qsizetype(n)) ? 0 : -1;
    }
    static int headersComplete(http_parser *p)
    {
        State &s = state(p);
        s.keepHeader();
        http_parser_url parts;
        http_parser_url_init(&parts);
        if (http_parser_parse_url(s.url.constData(), size_t(s.url.size()), 0, &parts) != 0 ||
            !(parts.field_set & (1 << UF_PATH))) {
            return -1;
        }
        const auto field = [&](int which) {
            return (parts.field_set & (1 << which))
                       ? s.url.mid(parts.field_data[which].off, parts.field_data[which].len)
                       : QByteArray();
        };
        s.current.path = field(UF_PATH);
        // A target is a path from the root or the server itself ("*"); the
        // parser lets "*anything" through as a path, which no route expects.
        if (!s.current.path.startsWith('/') && s.current.path != "*") {
            return -1;
        }
        s.current.query = field(UF_QUERY);
        s.current.method = http_method_str(static_cast<http_method>(p->method));
        // A declared length above the bound is refused before its body comes.
        if ((p->flags & F_CONTENTLENGTH) && p->content_length > quint64(kMaxBody)) {
            s.owner->fail(413);
            return -1;
        }
        // Who the request comes from and for: one of each, or no telling which
        // one another part of the chain took.
        for (const char *name : {"host", "origin", "authorization"}) {
            int count = 0;
            for (const auto &h : s.current.headers) {
                count += h.first == name ? 1 : 0;
            }
            if (count > 1) {
                return -1;
            }
        }
        if (s.current.hasHeader("expect")) {
            if (s.current.header("expect").toLower() != "100-continue") {
                s.owner->fail(417);
                return -1;
            }
            const bool body =
                (p->flags & F_CHUNKED) || ((p->flags & F_CONTENTLENGTH) && p->content_length > 0);
            s.owner->m_continue = body;
        }
        return 0;
    }
    static int body(http_parser *p, const char *at, size_t n)
    {
        State &s = state(p);
        s.owner->m_continue = false;
        if (s.current.body.size() + qsizetype(n) > kMaxBody) {
            s.owner->fail(413);
            return -1;
        }
        s.current.body.append(at, qsizetype(n));
        return 0;
    }
    static int messageComplete(http_parser *p)
    {
        State &s = state(p);
        s.owner->m_continue = false;
        if (p->upgrade) {
            // HTTP/2 over plain TCP is asked for by an upgrade that a server
            // may ignore: the request is answered in HTTP/1.1, and the bytes
            // after it are HTTP/1.1 too. Another protocol (a WebSocket) is not
            // served.
            bool h2c = false;
            for (const QByteArray &protocol : s.current.header("upgrade").split(',')) {
                h2c = h2c || protocol.trimmed().toLower() == "h2c";
            }
            if (!h2c || p->method == HTTP_CONNECT) {
                return -1;
            }
            p->upgrade = 0;
        }
        s.current.keepAlive = http_should_keep_alive(p) != 0;
        s.owner->m_done.push_back(std::move(s.current));
        s.current = Request{};
        // One request at a time: cut() decides whether to go on.
        http_parser_pause(p, 1);
        return 0;
    }
};

RequestParser::RequestParser() : m_state(std::make_unique<State>())
{
    State &s = *m_state;
    s.owner = this;
    http_parser_init(&s.parser, HTTP_REQUEST);
    s.parser.data = &s;
    http_parser_settings_init(&s.settings);
    s.settings.on_message_begin = &Callbacks::messageBegin;
    s.settings.on_url = &Callbacks::url;
    s.settings.on_header_field = &Callbacks::headerField;
    s.settings.on_header_value = &Callbacks::headerValue;
    s.settings.on_headers_complete = &Callbacks::headersComplete;
    s.settings.on_body = &Callbacks::body;
    s.settings.on_message_complete = &Callbacks::messageComplete;
}

RequestParser::~RequestParser() = default;

bool RequestParser::feed(const char *data, qsizetype size)
{
    if (m_failure) {
        return false;
    }
    m_held.append(data, size);
    cut();
    return m_failure == 0;
}

void RequestParser::cut()
{
    State &s = *m_state;
    qsizetype at = 0;
    while (at < m_held.size() && m_done.size() < kPipelined && !m_failure) {
        const size_t used = http_parser_execute(&s.parser, &s.settings, m_held.constData() + at,
                                                size_t(m_held.size() - at));
        at += qsizetype(used);
        const http_errno error = HTTP_PARSER_ERRNO(&s.parser);
        if (error == HPE_PAUSED) {
            http_parser_pause(&s.parser, 0);
            continue;
        }
        // An upgrade (a WebSocket) is not served: the bytes after it are no HTTP.
        if (error != HPE_OK || s.parser.upgrade || used == 0) {
            fail(400);
        }
    }
    m_held.remove(0, at);
    if (m_failure) {
        m_held.clear();
    }
}

namespace {

qsizetype size(const Request &r)
{
    qsizetype n = r.method.size() + r.path.size() + r.query.size() + r.body.size();
    for (const auto &h : r.headers) {
        n += h.first.size() + h.second.size();
    }
    return n;
}

} // namespace

qsizetype RequestParser::heldBytes() const
{
    const State &s = *m_state;
    qsizetype n = m_held.size() + size(s.current) + s.url.size() + s.field.size() + s.value.size();
    for (const Request &r : m_done) {
        n += size(r);
    }
    return n;
}

std::optional<Request> RequestParser::next()
{
    if (m_done.empty()) {
        return std::nullopt;
    }
    Request request = std::move(m_done.front());
    m_done.pop_front();
    if (!m_held.isEmpty()) {
        cut();
    }
    return request;
}

} // namespace web
