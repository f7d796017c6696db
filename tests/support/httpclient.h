#pragma once

#include <QByteArray>
#include <QDeadlineTimer>
#include <QMap>
#include <QTcpSocket>
#include <QTest>

#include <memory>

namespace testsupport {

// One HTTP response as it came; status 0 when none came whole in time.
struct HttpResponse {
    int status = 0;
    QMap<QByteArray, QByteArray> headers; // lower-case names
    QByteArray body;
};

// A client connection for the HTTP server's tests. It waits with the event loop
// running, so a server in the same thread goes on serving meanwhile.
class HttpConnection {
public:
    static constexpr int kWaitMs = 10000;

    explicit HttpConnection(quint16 port, const QString &host = QStringLiteral("127.0.0.1"))
    {
        m_socket.connectToHost(host, port);
        waitUntil([this] { return m_socket.state() == QAbstractSocket::ConnectedState; });
    }
    QTcpSocket &socket() { return m_socket; }
    bool connected() const { return m_socket.state() == QAbstractSocket::ConnectedState; }

    // Sent at once, as a browser sends a request as soon as it is connected.
    void send(const QByteArray &bytes)
    {
        m_socket.write(bytes);
        m_socket.flush();
    }

    // The next response: headers, then a body of Content-Length bytes.
    HttpResponse next(int ms = kWaitMs)
    {
        HttpResponse response;
        qsizetype end = -1;
        waitUntil(
            [&] {
                m_buffer += m_socket.readAll();
                end = m_buffer.indexOf("\r\n\r\n");
                return end >= 0;
            },
            ms);
        if (end < 0) {
            return response;
        }
        const QList<QByteArray> lines = m_buffer.left(end).split('\n');
        const QList<QByteArray> first = lines.value(0).trimmed().split(' ');
        for (qsizetype i = 1; i < lines.size(); ++i) {
            const qsizetype colon = lines[i].indexOf(':');
            if (colon > 0) {
                response.headers.insert(lines[i].left(colon).trimmed().toLower(),
                                        lines[i].mid(colon + 1).trimmed());
            }
        }
        const qsizetype length = response.headers.value("content-length", "0").toLongLong();
        waitUntil(
            [&] {
                m_buffer += m_socket.readAll();
                return m_buffer.size() >= end + 4 + length;
            },
            ms);
        if (m_buffer.size() < end + 4 + length) {
            return response;
        }
        response.body = m_buffer.mid(end + 4, length);
        m_buffer.remove(0, end + 4 + length);
        response.status = first.value(1).toInt();
        return response;
    }

    // Bytes of a stream (an event stream's) until `enough` says so.
    template <typename Enough> QByteArray readUntil(Enough enough, int ms = kWaitMs)
    {
        waitUntil(
            [&] {
                m_buffer += m_socket.readAll();
                return enough(m_buffer);
            },
            ms);
        return m_buffer;
    }

    // Whether the server closed the connection within `ms`.
    bool closedByServer(int ms = kWaitMs)
    {
        waitUntil([this] { return m_socket.state() == QAbstractSocket::UnconnectedState; }, ms);
        return m_socket.state() == QAbstractSocket::UnconnectedState;
    }

    template <typename Done> static void waitUntil(Done done, int ms = kWaitMs)
    {
        QDeadlineTimer deadline(ms);
        while (!done() && !deadline.hasExpired()) {
            QTest::qWait(2);
        }
    }

private:
    QTcpSocket m_socket;
    QByteArray m_buffer;
};

// A request's bytes: the method, path, headers and body, with Content-Length.
inline QByteArray httpRequest(const QByteArray &method, const QByteArray &path,
                              const QList<QByteArray> &headers, const QByteArray &body = {})
{
    QByteArray bytes = method + ' ' + path + " HTTP/1.1\r\n";
    for (const QByteArray &header : headers) {
        bytes += header + "\r\n";
    }
    if (!body.isEmpty() || method == "POST") {
        bytes += "Content-Length: " + QByteArray::number(body.size()) + "\r\n";
    }
    return bytes + "\r\n" + body;
}

} // namespace testsupport
