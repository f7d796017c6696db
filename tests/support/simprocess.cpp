#include "support/simprocess.h"

#include <QElapsedTimer>
#include <QFile>
#include <QProcessEnvironment>
#include <QThread>

#include <algorithm>

namespace testsupport {

SimProcess::SimProcess(const QString &portDir) : m_portDir(portDir)
{
    if (!m_portDir.isEmpty()) {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("VANTEL_PORT_DIR"), m_portDir);
        m_process.setProcessEnvironment(env);
    }
    QObject::connect(&m_process, &QProcess::readyReadStandardOutput, &m_process,
                     [this] { pull(); });
}

SimProcess::~SimProcess()
{
    stop();
}

QString SimProcess::executable()
{
    return QStringLiteral(VANTEL_SIM_PATH);
}

void SimProcess::setOutputFile(const QString &path)
{
    m_outputPath = path;
    m_process.setStandardOutputFile(path);
}

void SimProcess::forwardErrors()
{
    m_process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
}

bool SimProcess::start(const QStringList &arguments, int readyMs)
{
    m_lines.clear();
    m_seen = 0;
    m_port.clear();
    m_pty.clear();
    m_link.clear();
    m_output.close();
    m_process.start(executable(), arguments);
    if (!m_process.waitForStarted(readyMs)) {
        return false;
    }
    const QString ready = waitForLine(
        [](const QString &l) { return l.startsWith(QStringLiteral("ready ")); }, readyMs);
    const QStringList words = ready.split(QLatin1Char(' '));
    if (words.size() != 4) {
        m_process.waitForFinished(kWaitMs);
        return false;
    }
    m_port = words[1];
    m_pty = words[2];
    m_link = words[3];
    return true;
}

QString SimProcess::waitForLine(const std::function<bool(const QString &)> &accept, int ms)
{
    QElapsedTimer timer;
    timer.start();
    for (;;) {
        pull();
        while (m_seen < m_lines.size()) {
            const QString &line = m_lines[m_seen++];
            if (accept(line)) {
                return line;
            }
        }
        if (timer.elapsed() > ms || m_process.state() == QProcess::NotRunning) {
            return {};
        }
        if (m_outputPath.isEmpty()) {
            m_process.waitForReadyRead(50);
        } else {
            QThread::msleep(20);
        }
    }
}

void SimProcess::send(const QString &line)
{
    m_process.write(line.toUtf8() + '\n');
    m_process.waitForBytesWritten(kWaitMs);
}

QString SimProcess::command(const QString &line)
{
    send(line);
    return waitForLine([](const QString &l) {
        return l == QStringLiteral("ok") || l.startsWith(QStringLiteral("error")) ||
               l.startsWith(QStringLiteral("status "));
    });
}

void SimProcess::stop(Stop how)
{
    if (m_process.state() == QProcess::NotRunning) {
        return;
    }
    switch (how) {
    case Stop::CloseInput:
        m_process.closeWriteChannel();
        break;
    case Stop::Terminate:
        m_process.terminate();
        break;
    case Stop::Kill:
        m_process.kill();
        break;
    }
    if (!m_process.waitForFinished(kWaitMs)) {
        m_process.kill();
        m_process.waitForFinished();
    }
}

// Takes in the complete lines that came since the last call.
void SimProcess::pull()
{
    if (m_outputPath.isEmpty()) {
        while (m_process.canReadLine()) {
            m_lines << QString::fromUtf8(m_process.readLine()).trimmed();
        }
        return;
    }
    if (!m_output.isOpen()) {
        m_output.setFileName(m_outputPath);
        if (!m_output.open(QIODevice::ReadOnly)) {
            return;
        }
    }
    for (;;) {
        const qint64 at = m_output.pos();
        const QByteArray line = m_output.readLine();
        if (!line.endsWith('\n')) {
            m_output.seek(at); // the rest of it is still being written
            return;
        }
        m_lines << QString::fromUtf8(line).trimmed();
    }
}

const QStringList &SimProcess::lines()
{
    pull();
    return m_lines;
}

int SimProcess::count(const QString &line)
{
    return static_cast<int>(lines().count(line));
}

std::optional<TraceLine> SimProcess::parseTraceLine(const QString &line)
{
    const QStringList parts = line.split(QLatin1Char(' '));
    bool isStart = false;
    bool isEnd = false;
    const double start = parts.value(0).toDouble(&isStart);
    const double end = parts.value(1).toDouble(&isEnd);
    if (!isStart || !isEnd || parts.size() < 5 || !parts.last().startsWith(QLatin1Char('@'))) {
        return std::nullopt;
    }
    bool isAddress = false;
    const int address = parts.last().mid(1).toInt(&isAddress);
    return TraceLine{start, end, parts[2], parts.mid(3, parts.size() - 4).join(QLatin1Char(' ')),
                     isAddress ? address : -1};
}

QList<TraceLine> SimProcess::trace()
{
    QList<TraceLine> result;
    for (const QString &line : lines()) {
        if (const std::optional<TraceLine> parsed = parseTraceLine(line)) {
            result << *parsed;
        }
    }
    return result;
}

int SimProcess::count(const QString &kind, const QString &hex)
{
    const QList<TraceLine> all = trace();
    return static_cast<int>(std::count_if(all.begin(), all.end(), [&](const TraceLine &l) {
        return l.kind == kind && l.hex == hex;
    }));
}

QList<double> SimProcess::times(const QString &kind, const QString &hex)
{
    QList<double> result;
    for (const TraceLine &l : trace()) {
        if (l.kind == kind && l.hex == hex) {
            result << l.seconds;
        }
    }
    return result;
}

long residentKb(const QString &pid)
{
    QFile status(QStringLiteral("/proc/%1/status").arg(pid));
    if (!status.open(QIODevice::ReadOnly)) {
        return 0;
    }
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith("VmRSS:")) {
            return line.mid(6).trimmed().split(' ').value(0).toLong();
        }
    }
    return 0;
}

} // namespace testsupport
