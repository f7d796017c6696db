#include "supply/failure.h"

#include "supply/client.h"

namespace supply {

QString Failure::word() const
{
    return errorWord(error, exceptionCode);
}

QString Failure::text() const
{
    const QString w = word();
    return detail.isEmpty() || w.isEmpty() ? w : QStringLiteral("%1 (%2)").arg(w, detail);
}

} // namespace supply
