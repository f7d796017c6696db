// Requests cut from a connection's bytes, whatever pieces they come in.
#include "web/requestparser.h"

#include <QTest>

class TestWebRequestParser : public QObject {
    Q_OBJECT
private slots:
    void anyPieces_data();
    void anyPieces();
};

void TestWebRequestParser::anyPieces_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QStringList>("requests"); // "METHOD path ?query body keep-alive"
    QTest::addColumn<int>("failure");

    QTest::newRow("a GET with a query")
        << QByteArray("GET /?token=ab%20c HTTP/1.1\r\nHost: x\r\nCOOKIE: a=b\r\n\r\n")
        << QStringList{"GET / ?token=ab%20c  keep cookie=a=b"} << 0;
    QTest::newRow("two pipelined POSTs")
        << QByteArray("POST /a HTTP/1.1\r\nContent-Length: 2\r\n\r\n{}"
                      "POST /b HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n3\r\nabc\r\n0\r\n\r\n")
        << QStringList{"POST /a ? {} keep cookie=", "POST /b ? abc keep cookie="} << 0;
    QTest::newRow("HTTP/1.0 closes")
        << QByteArray("GET /x HTTP/1.0\r\n\r\n") << QStringList{"GET /x ?  close cookie="} << 0;
    QTest::newRow("Connection: close") << QByteArray("GET /x HTTP/1.1\r\nConnection: close\r\n\r\n")
                                       << QStringList{"GET /x ?  close cookie="} << 0;
    QStringList forty;
    for (int i = 0; i < 40; ++i) {
        forty << QStringLiteral("GET /%1 ?  keep cookie=").arg(i);
    }
    QByteArray fortyBytes;
    for (int i = 0; i < 40; ++i) {
        fortyBytes += "GET /" + QByteArray::number(i) + " HTTP/1.1\r\n\r\n";
    }
    QTest::newRow("more pipelined than are cut at a time") << fortyBytes << forty << 0;
    QTest::newRow("an h2c upgrade is ignored")
        << QByteArray("GET /a HTTP/1.1\r\nConnection: Upgrade, HTTP2-Settings\r\nUpgrade: h2c\r\n"
                      "HTTP2-Settings: AAMAAABkAAQCAAAAAAIAAAAA\r\n\r\nGET /b HTTP/1.1\r\n\r\n")
        << QStringList{"GET /a ?  keep cookie=", "GET /b ?  keep cookie="} << 0;
    QTest::newRow("a WebSocket upgrade")
        << QByteArray("GET /a HTTP/1.1\r\nConnection: Upgrade\r\nUpgrade: websocket\r\n\r\n")
        << QStringList{} << 400;
    for (const char *name : {"Host", "Origin", "Authorization"}) {
        QTest::newRow(qPrintable(QStringLiteral("two %1 headers").arg(QLatin1String(name))))
            << QByteArray("GET /a HTTP/1.1\r\n") + name + ": a\r\n" + name + ": b\r\n\r\n"
            << QStringList{} << 400;
    }
    QTest::newRow("an expectation other than 100-continue")
        << QByteArray("POST /a HTTP/1.1\r\nExpect: 200-ok\r\nContent-Length: 2\r\n\r\n{}")
        << QStringList{} << 417;
    QTest::newRow("a good one, then garbage")
        << QByteArray("GET /x HTTP/1.1\r\n\r\nBLAH\x01\r\n\r\n")
        << QStringList{"GET /x ?  keep cookie="} << 400;
    QTest::newRow("a declared body over 64 KiB")
        << QByteArray("POST /x HTTP/1.1\r\nContent-Length: 65537\r\n\r\n") << QStringList{} << 413;
    QTest::newRow("a body of 64 KiB")
        << QByteArray("POST /x HTTP/1.1\r\nContent-Length: 65536\r\n\r\n" + QByteArray(65536, 'b'))
        << QStringList{"POST /x ? " + QString(65536, QLatin1Char('b')) + " keep cookie="} << 0;
    QTest::newRow("an absolute URL") << QByteArray("GET http://h/p?q HTTP/1.1\r\n\r\n")
                                     << QStringList{"GET /p ?q  keep cookie="} << 0;
    QTest::newRow("the server itself") << QByteArray("OPTIONS * HTTP/1.1\r\n\r\n")
                                       << QStringList{"OPTIONS * ?  keep cookie="} << 0;
    QTest::newRow("a target neither rooted nor the server")
        << QByteArray("GET *api.1 HTTP/1.1\r\nHost: x\r\n\r\n") << QStringList{} << 400;
    QTest::newRow("the same without a version")
        << QByteArray("GET *api.1\r\nHost: x\r\n\r\n") << QStringList{} << 400;
}

void TestWebRequestParser::anyPieces()
{
    QFETCH(QByteArray, bytes);
    QFETCH(QStringList, requests);
    QFETCH(int, failure);
    // Whole, byte by byte, and in pieces of 7.
    for (const qsizetype piece : {bytes.size(), qsizetype(1), qsizetype(7)}) {
        web::RequestParser parser;
        QStringList got;
        for (qsizetype at = 0; at < bytes.size(); at += piece) {
            const bool fine = parser.feed(bytes.constData() + at, qMin(piece, bytes.size() - at));
            while (auto r = parser.next()) {
                got << QStringLiteral("%1 %2 ?%3 %4 %5 cookie=%6")
                           .arg(QString::fromLatin1(r->method), QString::fromLatin1(r->path),
                                QString::fromLatin1(r->query), QString::fromLatin1(r->body),
                                r->keepAlive ? QStringLiteral("keep") : QStringLiteral("close"),
                                QString::fromLatin1(r->header("cookie")));
            }
            if (!fine) {
                break;
            }
        }
        QCOMPARE(got, requests);
        QCOMPARE(parser.failureStatus(), failure);
    }
}

QTEST_GUILESS_MAIN(TestWebRequestParser)
#include "tst_web_requestparser.moc"
