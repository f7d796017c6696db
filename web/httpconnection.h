#pragma once

// What web/httpserver.cpp and web/httpconnections.cpp share: a connection's
// state and the response's common parts.
#include "web/httpserver.h"

#include <QFile>
#include <QTcpSocket>

namespace web {

// How much of a connection's bytes is held read at a time (the socket reads no
// more from the system until it is taken), and how much of its answers may wait
// unsent before the next request is answered.
constexpr qint64 kReadChunk = 16 * 1024;
constexpr qint64 kUnsent = 64 * 1024;
constexpr qint64 kDownloadChunk = 64 * 1024;
// How many new connections are taken in one turn of the event loop.
constexpr int kAcceptBurst = 32;

using Headers = QList<QPair<QByteArray, QByteArray>>;

// The reason phrase of a status.
QByteArray reason(int status);
// The headers every response carries: nothing of another origin runs or loads,
// the page is framed nowhere, and nothing is kept by a cache (the page holds the
// token).
QByteArray commonHeaders();

// An IPv4 peer of a dual-stack listener comes as ::ffff:a.b.c.d.
QHostAddress plainAddress(const QHostAddress &address);

struct HttpServer::Connection {
    int id = 0;
    QTcpSocket *socket = nullptr;
    RequestParser parser;
    bool busy = false;          // a request is being answered
    bool inPump = false;        // pump() is on the stack
    bool stream = false;        // an event stream: nothing more is read
    bool closing = false;       // closed once its last response is out
    bool head = false;          // the request is a HEAD: the answer has no body
    bool authenticated = false; // a request showed a valid token
    bool heard = false;         // what it had sent was read before it could give way
    std::unique_ptr<QFile> download;
    qint64 left = 0; // bytes of the download still to send
    QString peer;    // its address, for the operator
};

} // namespace web
