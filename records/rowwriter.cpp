#include "records/rowwriter.h"

#include "records/format.h"

#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QStringList>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

namespace records {

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

namespace {

// A string literal, without its terminating zero.
template <std::size_t N> char *putText(char *p, const char (&text)[N])
{
    return std::copy(text, text + N - 1, p);
}

// The columns before the error, at most: a time, eleven numbers or a mode, and
// the separators and JSON keys between them.
constexpr int kLineChars = kTimeChars + 11 * kNumberChars + 160;

// The step and point columns or keys: at most two numbers and their keys.
constexpr int kStepChars = 2 * kNumberChars + 32;

} // namespace

void RowWriter::appendCsv(QByteArray &out, const Row &row, bool withStep)
{
    // Everything but the error is put into one buffer and appended in one call.
    char text[kLineChars];
    char *p = putLocalTime(text, row.time);
    *p++ = ',';
    p = putElapsed(p, row.elapsedSeconds);
    *p++ = ',';
    p = putInteger(p, row.address);
    *p++ = ',';
    if (row.reading) {
        const protocol::StatusReading &r = *row.reading;
        p = putShortestPoint(p, r.setVoltage, 2);
        *p++ = ',';
        p = putShortestPoint(p, r.setCurrent, 3);
        *p++ = ',';
        p = putShortestPoint(p, r.actualVoltage, 2);
        *p++ = ',';
        p = putShortestPoint(p, r.actualCurrent, 3);
        *p++ = ',';
        p = putShortestPoint(p, powerCount(r), 5);
        p = r.outputOn ? putText(p, ",1,") : putText(p, ",0,");
        p = putMode(p, r.mode);
        *p++ = ',';
    } else {
        p = putText(p, ",,,,,,,");
    }
    p = putCounter(p, row.ampHours);
    *p++ = ',';
    p = putCounter(p, row.wattHours);
    *p++ = ',';
    out.append(text, p - text);
    if (row.failure) {
        out.append(row.failure.word().toUtf8());
    }
    if (withStep) {
        char step[kStepChars];
        char *q = step;
        *q++ = ',';
        q = putInteger(q, row.step);
        *q++ = ',';
        if (row.point) {
            q = putInteger(q, *row.point);
        }
        out.append(step, q - step);
    }
}

void RowWriter::appendJson(QByteArray &out, const Row &row, bool withStep)
{
    // The time and the mode are ASCII with nothing to escape.
    char text[kLineChars];
    char *p = putText(text, "{\"time\":\"");
    p = putLocalTime(p, row.time);
    p = putText(p, "\",\"elapsed_s\":");
    p = putElapsed(p, row.elapsedSeconds);
    p = putText(p, ",\"address\":");
    p = putInteger(p, row.address);
    if (row.reading) {
        const protocol::StatusReading &r = *row.reading;
        p = putText(p, ",\"set_v\":");
        p = putShortestPoint(p, r.setVoltage, 2);
        p = putText(p, ",\"set_a\":");
        p = putShortestPoint(p, r.setCurrent, 3);
        p = putText(p, ",\"v\":");
        p = putShortestPoint(p, r.actualVoltage, 2);
        p = putText(p, ",\"a\":");
        p = putShortestPoint(p, r.actualCurrent, 3);
        p = putText(p, ",\"w\":");
        p = putShortestPoint(p, powerCount(r), 5);
        p = r.outputOn ? putText(p, ",\"output\":true,\"mode\":\"")
                       : putText(p, ",\"output\":false,\"mode\":\"");
        p = putMode(p, r.mode);
        *p++ = '"';
    } else {
        p = putText(p, ",\"set_v\":null,\"set_a\":null,\"v\":null,\"a\":null,\"w\":null,"
                       "\"output\":null,\"mode\":null");
    }
    p = putText(p, ",\"ah\":");
    p = putCounter(p, row.ampHours);
    p = putText(p, ",\"wh\":");
    p = putCounter(p, row.wattHours);
    p = putText(p, ",\"error\":");
    if (!row.failure) {
        p = putText(p, "null");
        out.append(text, p - text);
    } else {
        out.append(text, p - text);
        appendJsonString(out, row.failure.word());
    }
    char tail[kStepChars];
    char *q = tail;
    if (withStep) {
        q = putText(q, ",\"step\":");
        q = putInteger(q, row.step);
        q = putText(q, ",\"point\":");
        q = row.point ? putInteger(q, *row.point) : putText(q, "null");
    }
    *q++ = '}';
    out.append(tail, q - tail);
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

} // namespace records
