#include "supply/rowwriter.h"

#include "supply/format.h"

#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QStringList>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace supply {

namespace {

constexpr int kStdoutFd = 1;

QString systemError(int number)
{
    return QString::fromLocal8Bit(std::strerror(number));
}

} // namespace

RowWriter::RowWriter(Format format, bool withStep) : m_format(format), m_withStep(withStep) {}

RowWriter::~RowWriter() = default;

bool RowWriter::isStdout(const QString &path)
{
    return path.isEmpty() || path == QLatin1String("-");
}

QString RowWriter::csvHeader(bool withStep)
{
    return QStringLiteral("time,elapsed_s,address,set_v,set_a,v,a,w,output,mode,ah,wh,error") +
           (withStep ? QStringLiteral(",step,point") : QString());
}

void RowWriter::appendCsv(QByteArray &out, const Row &row, bool withStep)
{
    appendLocalTime(out, row.time);
    out.append(',');
    appendElapsed(out, row.elapsedSeconds);
    out.append(',');
    appendInteger(out, row.address);
    out.append(',');
    if (row.reading) {
        const protocol::StatusReading &r = *row.reading;
        appendShortestPoint(out, r.setVoltage, 2);
        out.append(',');
        appendShortestPoint(out, r.setCurrent, 3);
        out.append(',');
        appendShortestPoint(out, r.actualVoltage, 2);
        out.append(',');
        appendShortestPoint(out, r.actualCurrent, 3);
        out.append(',');
        appendShortestPoint(out, powerCount(r), 5);
        out.append(r.outputOn ? ",1," : ",0,");
        appendMode(out, r.mode);
        out.append(',');
    } else {
        out.append(",,,,,,,");
    }
    appendCounter(out, row.ampHours);
    out.append(',');
    appendCounter(out, row.wattHours);
    out.append(',');
    out.append(row.error.toUtf8());
    if (withStep) {
        out.append(',');
        appendInteger(out, row.step);
        out.append(',');
        if (row.point) {
            appendInteger(out, *row.point);
        }
    }
}

void RowWriter::appendJson(QByteArray &out, const Row &row, bool withStep)
{
    // The time and the mode are ASCII with nothing to escape.
    out.append("{\"time\":\"");
    appendLocalTime(out, row.time);
    out.append("\",\"elapsed_s\":");
    appendElapsed(out, row.elapsedSeconds);
    out.append(",\"address\":");
    appendInteger(out, row.address);
    if (row.reading) {
        const protocol::StatusReading &r = *row.reading;
        out.append(",\"set_v\":");
        appendShortestPoint(out, r.setVoltage, 2);
        out.append(",\"set_a\":");
        appendShortestPoint(out, r.setCurrent, 3);
        out.append(",\"v\":");
        appendShortestPoint(out, r.actualVoltage, 2);
        out.append(",\"a\":");
        appendShortestPoint(out, r.actualCurrent, 3);
        out.append(",\"w\":");
        appendShortestPoint(out, powerCount(r), 5);
        out.append(r.outputOn ? ",\"output\":true,\"mode\":\"" : ",\"output\":false,\"mode\":\"");
        appendMode(out, r.mode);
        out.append('"');
    } else {
        out.append(",\"set_v\":null,\"set_a\":null,\"v\":null,\"a\":null,\"w\":null,"
                   "\"output\":null,\"mode\":null");
    }
    out.append(",\"ah\":");
    appendCounter(out, row.ampHours);
    out.append(",\"wh\":");
    appendCounter(out, row.wattHours);
    out.append(",\"error\":");
    if (row.error.isEmpty()) {
        out.append("null");
    } else {
        appendJsonString(out, row.error);
    }
    if (withStep) {
        out.append(",\"step\":");
        appendInteger(out, row.step);
        out.append(",\"point\":");
        if (row.point) {
            appendInteger(out, *row.point);
        } else {
            out.append("null");
        }
    }
    out.append('}');
}

QString RowWriter::csvLine(const Row &row, bool withStep)
{
    QByteArray line;
    appendCsv(line, row, withStep);
    return QString::fromUtf8(line);
}

QByteArray RowWriter::jsonLine(const Row &row, bool withStep)
{
    QByteArray line;
    appendJson(line, row, withStep);
    return line;
}

QString RowWriter::target() const
{
    return isStdout(m_path) ? QStringLiteral("stdout") : m_path;
}

QString RowWriter::refusal(const QString &path, Existing existing) const
{
    if (isStdout(path)) {
        return {};
    }
    const QFileInfo info(path);
    if (info.isDir()) {
        return QStringLiteral("%1 is a folder; give the path of a file in it").arg(path);
    }
    QFile file(path);
    if (existing == Existing::Overwrite || file.size() == 0) {
        return {};
    }
    if (existing == Existing::Refuse) {
        return QStringLiteral("%1 holds data already; give --append to add rows after it or "
                              "--overwrite to replace it")
            .arg(path);
    }
    if (!file.open(QIODevice::ReadOnly)) {
        return QStringLiteral("cannot read %1: %2").arg(path, file.errorString());
    }
    const QByteArray first = file.readLine().trimmed();
    bool matches = false;
    if (m_format == Format::Csv) {
        matches = first == csvHeader(m_withStep).toUtf8();
    } else {
        const QJsonObject object = QJsonDocument::fromJson(first).object();
        const QJsonObject expected = QJsonDocument::fromJson(jsonLine(Row(), m_withStep)).object();
        matches = !object.isEmpty() && object.keys() == expected.keys();
    }
    if (!matches) {
        return QStringLiteral("--append: %1 does not begin as this log's %2 does")
            .arg(path, m_format == Format::Csv ? QStringLiteral("CSV header")
                                               : QStringLiteral("JSON lines"));
    }
    return {};
}

QString RowWriter::open(const QString &path, Existing existing)
{
    m_path = isStdout(path) ? QString() : path;
    m_failed = false;
    m_rows = 0;
    m_size = 0;
    if (isStdout(path)) {
        if (!m_file.open(kStdoutFd, QIODevice::WriteOnly | QIODevice::Unbuffered)) {
            return QStringLiteral("stdout: ") + m_file.errorString();
        }
    } else {
        if (QFileInfo(path).isDir()) {
            return QStringLiteral("%1: it is a folder").arg(path);
        }
        m_file.setFileName(path);
        const bool appending = existing == Existing::Append && m_file.size() > 0;
        bool endsInNewline = true;
        if (appending && m_file.open(QIODevice::ReadOnly)) {
            m_file.seek(m_file.size() - 1);
            endsInNewline = m_file.read(1) == "\n";
            m_file.close();
        }
        const QIODevice::OpenMode mode = QIODevice::WriteOnly | QIODevice::Unbuffered |
                                         (appending ? QIODevice::Append : QIODevice::Truncate);
        if (!m_file.open(mode)) {
            return QStringLiteral("%1: %2").arg(path, m_file.errorString());
        }
        // The size is kept from here on rather than asked of the system at every row.
        m_size = m_file.size();
        if (appending) {
            // A last line cut short (a process killed mid-write) is ended first.
            return endsInNewline ? QString() : writeBytes("\n");
        }
    }
    return m_format == Format::Csv ? writeBytes((csvHeader(m_withStep) + '\n').toUtf8())
                                   : QString();
}

QString RowWriter::write(const Row &row)
{
    if (m_failed) {
        return QStringLiteral("%1: an earlier row could not be written").arg(target());
    }
    // One buffer for every row: after the first rows it holds the longest line, and
    // building a row allocates nothing.
    m_line.truncate(0);
    if (m_format == Format::Csv) {
        appendCsv(m_line, row, m_withStep);
    } else {
        appendJson(m_line, row, m_withStep);
    }
    m_line.append('\n');
    const QString why = writeBytes(m_line);
    if (why.isEmpty()) {
        ++m_rows;
    }
    return why;
}

QString RowWriter::writeBytes(const QByteArray &bytes)
{
    errno = 0;
    const qint64 written = m_file.write(bytes);
    if (written == bytes.size()) {
        m_size += written;
        return {};
    }
    // A short write sets no error of QFile's own; errno holds the system's reason.
    const int number = errno;
    const QString reason = number != 0 ? systemError(number) : m_file.errorString();
    m_failed = true;
    if (!m_path.isEmpty() && written > 0) {
        m_file.resize(m_size); // back to the last whole row
    }
    return QStringLiteral("%1: %2").arg(target(), reason);
}

} // namespace supply
