#include "panels/timetext.h"

#include <QObject>

#include <cmath>

namespace panels {

QString clockText(double seconds)
{
    const auto whole = static_cast<long long>(std::llround(std::max(0.0, seconds)));
    return QStringLiteral("%1:%2:%3")
        .arg(whole / 3600)
        .arg(whole / 60 % 60, 2, 10, QLatin1Char('0'))
        .arg(whole % 60, 2, 10, QLatin1Char('0'));
}

QString runTimeText(double elapsedSeconds, std::optional<double> remainingSeconds, bool running)
{
    if (!running) {
        return QObject::tr("elapsed %1, ended").arg(clockText(elapsedSeconds));
    }
    if (!remainingSeconds) {
        return QObject::tr("elapsed %1, remaining unknown: an until has no max")
            .arg(clockText(elapsedSeconds));
    }
    return QObject::tr("elapsed %1, remaining at most %2")
        .arg(clockText(elapsedSeconds), clockText(*remainingSeconds));
}

} // namespace panels
