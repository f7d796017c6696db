#include "ctl/output.h"

#include "ctl/platform.h"
#include "protocol/reading.h"
#include "records/format.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace ctl {

void printErr(const QString &line)
{
    writeText(stderr, QStringLiteral("vantelctl: ") + line + QLatin1Char('\n'));
}

QString hexBytes(const QByteArray &bytes)
{
    return QString::fromLatin1(bytes.toHex(' ').toUpper());
}

Console::Console(bool closed)
{
    if (closed) {
        m_error = QStringLiteral("stdout is closed");
    }
}

bool Console::out(const QString &line)
{
    if (!m_error.isEmpty()) {
        return false;
    }
    errno = 0;
    if (!writeText(stdout, line + QLatin1Char('\n'))) {
        m_error = errno != 0 ? QString::fromLocal8Bit(std::strerror(errno))
                             : QStringLiteral("the write failed");
        std::clearerr(stdout);
        return false;
    }
    return true;
}

QString statusText(const protocol::StatusReading &r)
{
    using records::fixedPoint;
    // Power is shown to 10 mW, rounded half up from its 10 µW count.
    const long long centiwatts = (records::powerCount(r) + 500) / 1000;
    const char *name = protocol::modeName(r.mode);
    return QStringLiteral("%1 V  %2 A  %3 W  (set %4 V %5 A)  output %6  %7")
        .arg(fixedPoint(r.actualVoltage, 2), fixedPoint(r.actualCurrent, 3),
             fixedPoint(centiwatts, 2), fixedPoint(r.setVoltage, 2), fixedPoint(r.setCurrent, 3),
             r.outputOn ? QStringLiteral("on") : QStringLiteral("off"),
             name != nullptr ? QString::fromLatin1(name)
                             : QStringLiteral("mode ") + QString::number(r.mode));
}

} // namespace ctl
