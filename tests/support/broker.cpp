#include "support/broker.h"

#include <QElapsedTimer>
#include <QFile>
#include <QJsonDocument>
#include <QStandardPaths>
#include <QTcpSocket>
#include <QTest>
#include <QUuid>

#include <pwd.h>
#include <unistd.h>

namespace testsupport {

namespace {

QString mosquittoPath()
{
    return QStandardPaths::findExecutable(
        QStringLiteral("mosquitto"), {QStringLiteral("/usr/sbin"), QStringLiteral("/usr/bin")});
}

int freePort()
{
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost, 0);
    return probe.serverPort();
}

bool accepts(int port)
{
    QTcpSocket socket;
    socket.connectToHost(QHostAddress::LocalHost, quint16(port));
    return socket.waitForConnected(200);
}

QStringList hostArguments(const Broker &broker)
{
    return broker.clientArguments();
}

} // namespace

Broker::Broker() : m_port(freePort()) {}

Broker::~Broker()
{
    stop();
}

bool Broker::available()
{
    return !mosquittoPath().isEmpty() &&
           !QStandardPaths::findExecutable(QStringLiteral("mosquitto_sub")).isEmpty();
}

void Broker::requireLogin(const QString &user, const QString &password)
{
    m_passwordFile = m_dir.filePath(QStringLiteral("passwords"));
    QProcess::execute(QStringLiteral("mosquitto_passwd"),
                      {QStringLiteral("-b"), QStringLiteral("-c"), m_passwordFile, user, password});
}

void Broker::addUser(const QString &user, const QString &password)
{
    QProcess::execute(QStringLiteral("mosquitto_passwd"),
                      {QStringLiteral("-b"), m_passwordFile, user, password});
}

void Broker::setAcl(const QByteArray &acl)
{
    m_aclFile = m_dir.filePath(QStringLiteral("acl"));
    QFile file(m_aclFile);
    if (file.open(QIODevice::WriteOnly)) {
        file.write(acl);
    }
}

QStringList Broker::clientArguments() const
{
    QStringList arguments{QStringLiteral("-h"), QStringLiteral("127.0.0.1"), QStringLiteral("-p"),
                          QString::number(m_port)};
    if (!m_clientUser.isEmpty()) {
        arguments << QStringLiteral("-u") << m_clientUser << QStringLiteral("-P")
                  << m_clientPassword;
    }
    return arguments;
}

bool publishTo(const Broker &broker, const QString &topic, const QByteArray &payload,
               const QStringList &extra)
{
    QProcess pub;
    pub.start(QStringLiteral("mosquitto_pub"),
              broker.clientArguments() +
                  QStringList{QStringLiteral("-V"), QStringLiteral("mqttv5"), QStringLiteral("-q"),
                              QStringLiteral("1"), QStringLiteral("-t"), topic,
                              QStringLiteral("-m"), QString::fromUtf8(payload)} +
                  extra);
    return pub.waitForFinished(Broker::kWaitMs) && pub.exitCode() == 0;
}

QByteArray labAcl()
{
    return "user bench\n"
           "topic readwrite vantel/#\n"
           "topic readwrite homeassistant/#\n"
           "\nuser dashboard\n"
           "topic read vantel/#\n"
           "topic write vantel/+/+/+/set/#\n"
           "topic write vantel/+/+/+/output/set\n"
           "topic write vantel/+/+/all-off\n"
           "topic write vantel/all-off\n"
           "\nuser viewer\n"
           "topic read vantel/+/+/+/reading\n"
           "topic read vantel/+/+/status\n"
           "\nuser observer\n"
           "topic readwrite #\n";
}

bool startLabBroker(Broker &broker, const QString &password)
{
    broker.requireLogin(QStringLiteral("bench"), password);
    for (const char *user : {"dashboard", "viewer", "observer"}) {
        broker.addUser(QString::fromLatin1(user), password);
    }
    broker.setAcl(labAcl());
    broker.setClientLogin(QStringLiteral("observer"), password);
    return broker.start();
}

void endProgram(QProcess &process, int ms)
{
    if (process.state() == QProcess::NotRunning) {
        return;
    }
    process.terminate();
    if (!process.waitForFinished(ms)) {
        process.kill();
        process.waitForFinished();
    }
}

QJsonObject commandResult(const Broker &broker, Subscriber &sub, const QString &user,
                          const QString &password, const QString &topic, const QByteArray &payload,
                          const QString &resultTopic, int ms)
{
    const int before = sub.payloads(resultTopic).size();
    QProcess pub;
    pub.start(QStringLiteral("mosquitto_pub"),
              {QStringLiteral("-h"), QStringLiteral("127.0.0.1"), QStringLiteral("-p"),
               QString::number(broker.port()), QStringLiteral("-u"), user, QStringLiteral("-P"),
               password, QStringLiteral("-V"), QStringLiteral("mqttv5"), QStringLiteral("-q"),
               QStringLiteral("1"), QStringLiteral("-t"), topic, QStringLiteral("-m"),
               QString::fromUtf8(payload)});
    pub.waitForFinished(Broker::kWaitMs);
    if (!sub.waitFor(resultTopic, before + 1, ms)) {
        return {};
    }
    return QJsonDocument::fromJson(sub.payloads(resultTopic).value(before)).object();
}

bool Broker::start()
{
    QFile config(m_dir.filePath(QStringLiteral("mosquitto.conf")));
    if (!config.open(QIODevice::WriteOnly)) {
        return false;
    }
    // The broker's log goes to a file in the temporary folder, out of the test's output.
    QByteArray text = "persistence false\nlog_dest file " +
                      QFile::encodeName(m_dir.filePath(QStringLiteral("log"))) + "\nlistener " +
                      QByteArray::number(m_port) + " 127.0.0.1\n";
    text += m_passwordFile.isEmpty() ? "allow_anonymous true\n"
                                     : "allow_anonymous false\npassword_file " +
                                           QFile::encodeName(m_passwordFile) + "\n";
    if (!m_aclFile.isEmpty()) {
        text += "acl_file " + QFile::encodeName(m_aclFile) + "\n";
    }
    // Run as root, mosquitto would switch to its own user, who cannot read this folder.
    if (const passwd *self = ::getpwuid(::geteuid())) {
        text += QByteArray("user ") + self->pw_name + "\n";
    }
    config.write(text);
    config.close();
    m_process.setStandardOutputFile(QProcess::nullDevice());
    m_process.setStandardErrorFile(QProcess::nullDevice());
    m_process.start(mosquittoPath(), {QStringLiteral("-c"), config.fileName()});
    QElapsedTimer timer;
    timer.start();
    while (timer.elapsed() < kWaitMs) {
        if (m_process.state() == QProcess::NotRunning) {
            return false;
        }
        if (accepts(m_port)) {
            return true;
        }
        QTest::qWait(20);
    }
    return false;
}

void Broker::stop()
{
    if (m_process.state() == QProcess::NotRunning) {
        return;
    }
    m_process.terminate();
    if (!m_process.waitForFinished(kWaitMs)) {
        m_process.kill();
        m_process.waitForFinished();
    }
}

QString Broker::url(const QString &user) const
{
    const QString login = user.isEmpty() ? QString() : user + QLatin1Char('@');
    return QStringLiteral("mqtt://") + login + QStringLiteral("127.0.0.1:") +
           QString::number(m_port);
}

Subscriber::Subscriber(const Broker &broker, const QString &topic)
    : m_broker(broker), m_topic(topic)
{
}

Subscriber::~Subscriber()
{
    m_process.kill();
    m_process.waitForFinished();
}

bool Subscriber::start()
{
    // A probe topic of its own tells when the subscription is in place.
    const QString probe = QStringLiteral("probe/") + QUuid::createUuid().toString(QUuid::Id128);
    m_process.start(QStringLiteral("mosquitto_sub"),
                    hostArguments(m_broker) +
                        QStringList{QStringLiteral("-q"), QStringLiteral("1"), QStringLiteral("-v"),
                                    QStringLiteral("-t"), m_topic, QStringLiteral("-t"), probe});
    if (!m_process.waitForStarted(Broker::kWaitMs)) {
        return false;
    }
    QElapsedTimer timer;
    timer.start();
    while (timer.elapsed() < Broker::kWaitMs) {
        QProcess::execute(QStringLiteral("mosquitto_pub"),
                          hostArguments(m_broker) + QStringList{QStringLiteral("-t"), probe,
                                                                QStringLiteral("-m"),
                                                                QStringLiteral("probe")});
        if (waitFor(probe, 1, 200)) {
            return true;
        }
    }
    return false;
}

void Subscriber::pull()
{
    while (m_process.canReadLine()) {
        QByteArray line = m_process.readLine();
        line.chop(1);
        const int space = line.indexOf(' ');
        m_messages.append(
            {QString::fromUtf8(line.left(space)), space < 0 ? QByteArray() : line.mid(space + 1)});
    }
}

const QList<QPair<QString, QByteArray>> &Subscriber::messages()
{
    m_process.waitForReadyRead(0);
    pull();
    return m_messages;
}

QList<QByteArray> Subscriber::payloads(const QString &topic)
{
    QList<QByteArray> result;
    for (const auto &message : messages()) {
        if (message.first == topic) {
            result.append(message.second);
        }
    }
    return result;
}

bool Subscriber::waitFor(const QString &topic, int count, int ms)
{
    QElapsedTimer timer;
    timer.start();
    while (payloads(topic).size() < count) {
        if (timer.elapsed() > ms || m_process.state() == QProcess::NotRunning) {
            return false;
        }
        QTest::qWait(10);
    }
    return true;
}

QByteArray retained(const Broker &broker, const QString &topic)
{
    QProcess sub;
    sub.start(QStringLiteral("mosquitto_sub"),
              hostArguments(broker) + QStringList{QStringLiteral("-t"), topic,
                                                  QStringLiteral("--retained-only"),
                                                  QStringLiteral("-C"), QStringLiteral("1"),
                                                  QStringLiteral("-W"), QStringLiteral("1")});
    sub.waitForFinished(Broker::kWaitMs);
    QByteArray out = sub.readAllStandardOutput();
    if (out.endsWith('\n')) {
        out.chop(1);
    }
    return out;
}

Relay::Relay(const Broker &broker) : m_broker(broker) {}

bool Relay::listen()
{
    m_server = std::make_unique<QTcpServer>();
    if (!m_server->listen(QHostAddress::LocalHost, quint16(m_port))) {
        return false;
    }
    m_port = m_server->serverPort();
    QObject::connect(m_server.get(), &QTcpServer::newConnection, m_server.get(), [this] {
        while (QTcpSocket *client = m_server->nextPendingConnection()) {
            auto *upstream = new QTcpSocket(client);
            upstream->connectToHost(QHostAddress::LocalHost, quint16(m_broker.port()));
            QObject::connect(client, &QTcpSocket::readyRead, upstream,
                             [client, upstream] { upstream->write(client->readAll()); });
            QObject::connect(upstream, &QTcpSocket::readyRead, client,
                             [client, upstream] { client->write(upstream->readAll()); });
            QObject::connect(upstream, &QTcpSocket::disconnected, client,
                             &QTcpSocket::disconnectFromHost);
            QObject::connect(client, &QTcpSocket::disconnected, client, &QObject::deleteLater);
        }
    });
    return true;
}

void Relay::close()
{
    for (QTcpSocket *client : m_server->findChildren<QTcpSocket *>()) {
        client->abort();
    }
    m_server.reset();
}

QString Relay::url() const
{
    return QStringLiteral("mqtt://127.0.0.1:%1").arg(m_port);
}

} // namespace testsupport
