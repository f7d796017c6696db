#pragma once

#include <QByteArray>
#include <QObject>
#include <QSocketNotifier>
#include <QString>

#include <functional>

namespace ctl {

// A client's socket, read and written here rather than by QTcpSocket: that one
// takes a client's last byte sent (a half-close, as `nc -N` and socat do after
// their input) for the end of the connection and drops the answers still due,
// where such a client has only finished sending and still reads.
class ClientSocket : public QObject {
public:
    explicit ClientSocket(qintptr descriptor);
    ~ClientSocket() override;

    std::function<void(const QByteArray &)> received;
    std::function<void()> ended;                 // the client sends nothing more
    std::function<void(const QString &)> failed; // reset by the client, or a socket error
    std::function<void()> written;               // some of what waited went out later

    void write(const QByteArray &bytes);
    qint64 bytesToWrite() const { return m_out.size(); }
    // Stops reading and writing and closes the socket; safe to call twice.
    void close();

private:
    void readSome();
    // `notify`: say so when some went out; not when called from write(), whose
    // caller may be in the middle of its work.
    void writeSome(bool notify);
    // Said from the event loop: a write fails inside the instrument's own work.
    void fail();

    qintptr m_socket;
    QSocketNotifier m_reader;
    QSocketNotifier m_writer;
    QByteArray m_out;
};

} // namespace ctl
