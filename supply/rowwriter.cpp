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

QString RowWriter::csvLine(const Row &row, bool withStep)
{
    QStringList cells{localTimeText(row.time), elapsedText(row.elapsedSeconds),
                      QString::number(row.address)};
    if (row.reading) {
        const protocol::StatusReading &r = *row.reading;
        cells << voltsText(r.setVoltage) << ampsText(r.setCurrent) << voltsText(r.actualVoltage)
              << ampsText(r.actualCurrent) << wattsText(powerCount(r))
              << (r.outputOn ? QStringLiteral("1") : QStringLiteral("0")) << modeText(r.mode);
    } else {
        for (int i = 0; i < 7; ++i) {
            cells << QString();
        }
    }
    cells << counterText(row.ampHours) << counterText(row.wattHours) << row.failure.word();
    if (withStep) {
        cells << QString::number(row.step) << (row.point ? QString::number(*row.point) : QString());
    }
    return cells.join(QLatin1Char(','));
}

QByteArray RowWriter::jsonLine(const Row &row, bool withStep)
{
    JsonObject json;
    json.text("time", localTimeText(row.time));
    json.number("elapsed_s", elapsedText(row.elapsedSeconds));
    json.number("address", QString::number(row.address));
    if (row.reading) {
        const protocol::StatusReading &r = *row.reading;
        json.number("set_v", voltsText(r.setVoltage));
        json.number("set_a", ampsText(r.setCurrent));
        json.number("v", voltsText(r.actualVoltage));
        json.number("a", ampsText(r.actualCurrent));
        json.number("w", wattsText(powerCount(r)));
        json.boolean("output", r.outputOn);
        json.text("mode", modeText(r.mode));
    } else {
        for (const char *key : {"set_v", "set_a", "v", "a", "w", "output", "mode"}) {
            json.null(key);
        }
    }
    json.number("ah", counterText(row.ampHours));
    json.number("wh", counterText(row.wattHours));
    if (!row.failure) {
        json.null("error");
    } else {
        json.text("error", row.failure.word());
    }
    if (withStep) {
        json.number("step", QString::number(row.step));
        if (row.point) {
            json.number("point", QString::number(*row.point));
        } else {
            json.null("point");
        }
    }
    return json.toJson();
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
    const QByteArray line = m_format == Format::Csv ? (csvLine(row, m_withStep) + '\n').toUtf8()
                                                    : jsonLine(row, m_withStep) + '\n';
    const QString why = writeBytes(line);
    if (why.isEmpty()) {
        ++m_rows;
    }
    return why;
}

QString RowWriter::writeBytes(const QByteArray &bytes)
{
    const qint64 before = m_path.isEmpty() ? -1 : m_file.size();
    errno = 0;
    const qint64 written = m_file.write(bytes);
    if (written == bytes.size()) {
        return {};
    }
    // A short write sets no error of QFile's own; errno holds the system's reason.
    const int number = errno;
    const QString reason = number != 0 ? systemError(number) : m_file.errorString();
    m_failed = true;
    if (before >= 0 && written > 0) {
        m_file.resize(before); // back to the last whole row
    }
    return QStringLiteral("%1: %2").arg(target(), reason);
}

} // namespace supply
