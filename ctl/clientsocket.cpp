#include "ctl/clientsocket.h"

#include "ctl/socket.h"

#include <QMetaObject>

namespace ctl {

ClientSocket::ClientSocket(qintptr descriptor)
    : m_socket(descriptor), m_reader(descriptor, QSocketNotifier::Read, this),
      m_writer(descriptor, QSocketNotifier::Write, this)
{
    prepareSocket(descriptor);
    m_writer.setEnabled(false);
    QObject::connect(&m_reader, &QSocketNotifier::activated, this, [this] { readSome(); });
    QObject::connect(&m_writer, &QSocketNotifier::activated, this, [this] { writeSome(true); });
}

ClientSocket::~ClientSocket()
{
    close();
}

void ClientSocket::write(const QByteArray &bytes)
{
    if (m_socket < 0) {
        return;
    }
    m_out += bytes;
    writeSome(false);
}

void ClientSocket::close()
{
    if (m_socket >= 0) {
        m_reader.setEnabled(false);
        m_writer.setEnabled(false);
        closeSocket(m_socket);
        m_socket = -1;
    }
}

void ClientSocket::readSome()
{
    char buffer[64 * 1024];
    while (m_socket >= 0) {
        const qint64 n = socketReceive(m_socket, buffer, sizeof buffer);
        if (n == kSocketWouldBlock) {
            return;
        }
        if (n == kSocketFailed) {
            fail();
            return;
        }
        if (n == 0) {
            m_reader.setEnabled(false);
            if (ended) {
                ended();
            }
            return;
        }
        if (received) {
            received(QByteArray(buffer, qsizetype(n)));
        }
    }
}

void ClientSocket::writeSome(bool notify)
{
    qint64 sent = 0;
    while (m_socket >= 0 && sent < m_out.size()) {
        const qint64 n = socketSend(m_socket, m_out.constData() + sent, m_out.size() - sent);
        if (n == kSocketWouldBlock) {
            break;
        }
        if (n < 0) {
            fail();
            return;
        }
        sent += n;
    }
    m_out.remove(0, qsizetype(sent));
    m_writer.setEnabled(m_socket >= 0 && !m_out.isEmpty());
    if (notify && sent > 0 && written) {
        written();
    }
}

void ClientSocket::fail()
{
    const QString why = socketError();
    close();
    QMetaObject::invokeMethod(
        this,
        [this, why] {
            if (failed) {
                failed(why);
            }
        },
        Qt::QueuedConnection);
}

} // namespace ctl
