#include "values/values.h"

#include "numtext/numtext.h"
#include "numtext/quantity.h"

#include <QRegularExpression>
#include <QStringList>
#include <QUrl>

#include <algorithm>
#include <cmath>

namespace values {

namespace {

constexpr qlonglong kLongestDurationSeconds = 366LL * 24 * 3600;

template <typename T> Parsed<T> refuse(const QString &why)
{
    return Parsed<T>::refused(why);
}

const QString kGoodNetworkPorts =
    QStringLiteral("; a good one looks like tcp://bench-pc, tcp://10.0.0.7:1502 or "
                   "tcp://[fd00::7]:502");

} // namespace

Parsed<std::uint16_t> parseSetCode(const QString &text, int decimals, int largest,
                                   const QString &unit)
{
    // The value is read as a sequence file reads it: a plain number is in `unit`,
    // and the unit or its thousandth may be written after it (12.6V, 500mA).
    const bool volts = unit == QLatin1String("V");
    const numtext::Unit expected = volts ? numtext::Unit::Volt : numtext::Unit::Amp;
    const numtext::Quantity q = numtext::readQuantity(text.toStdString());
    // A refusal names the value as written, with the unit added where none was.
    const QString shown =
        q.unitText.empty() ? text.trimmed() + QLatin1Char(' ') + unit : text.trimmed();
    // `largest` in counts is well within a double's exact digits: the text is exact.
    const QString range = QString::number(largest / std::pow(10.0, decimals), 'f', decimals) +
                          QLatin1Char(' ') + unit;
    switch (q.fault) {
    case numtext::Quantity::Fault::None:
        break;
    case numtext::Quantity::Fault::OutOfRange:
        // A number too large for a double (1e400) is a number all the same.
        return refuse<std::uint16_t>(
            QStringLiteral("%1 is out of range (0 to %2)").arg(shown, range));
    case numtext::Quantity::Fault::NotANumber:
        return refuse<std::uint16_t>(QStringLiteral("'%1' is not a number").arg(text));
    case numtext::Quantity::Fault::UnknownUnit:
        return refuse<std::uint16_t>(
            QStringLiteral("'%1' is not %2")
                .arg(text.trimmed(), QString::fromLatin1(numtext::unitName(expected))));
    }
    if (q.unit != numtext::Unit::None && q.unit != expected) {
        return refuse<std::uint16_t>(
            QStringLiteral("'%1' is not %2")
                .arg(text.trimmed(), QString::fromLatin1(numtext::unitName(expected))));
    }
    const numtext::SetCount code = numtext::toSetCount(q.value, decimals, largest);
    switch (code.fault) {
    case numtext::SetCount::Fault::None:
        break;
    case numtext::SetCount::Fault::Negative:
        return refuse<std::uint16_t>(QStringLiteral("%1 is negative").arg(shown));
    case numtext::SetCount::Fault::AboveLargest:
        return refuse<std::uint16_t>(
            QStringLiteral("%1 is above the limit of %2").arg(shown, range));
    }
    return Parsed<std::uint16_t>::of(code.count);
}

Parsed<bool> parseSwitch(const QString &text)
{
    const std::optional<bool> on = numtext::readSwitch(text.toStdString());
    if (!on) {
        return refuse<bool>(QStringLiteral("output takes on or off, not '%1'").arg(text));
    }
    return Parsed<bool>::of(*on);
}

Parsed<int> parseWhole(const QString &text, int first, int last)
{
    bool ok = false;
    const int value = text.trimmed().toInt(&ok);
    if (!ok || value < first || value > last) {
        return refuse<int>(QStringLiteral("'%1' is not a whole number from %2 to %3")
                               .arg(text)
                               .arg(first)
                               .arg(last));
    }
    return Parsed<int>::of(value);
}

Parsed<std::uint8_t> parseAddress(const QString &text)
{
    const Parsed<int> whole = parseWhole(text, kFirstAddress, kLastAddress);
    if (!whole) {
        return refuse<std::uint8_t>(
            QStringLiteral("address '%1' is not a whole number from 1 to 247").arg(text));
    }
    return Parsed<std::uint8_t>::of(static_cast<std::uint8_t>(*whole));
}

QString PortChoice::name() const
{
    if (network) {
        return network->name();
    }
    return devicePath.isEmpty() ? QStringLiteral("COM%1").arg(comPort) : devicePath;
}

Parsed<PortChoice> parsePort(const QString &text)
{
    if (values::isNetworkPortName(text)) {
        QString why;
        auto address = values::parseNetworkAddress(text, &why);
        if (!address) {
            // What the URL reader says of a host or port it cannot take names its
            // own fields ("scheme = ..."): the user is told in plain words instead.
            if (!QUrl(text, QUrl::StrictMode).isValid()) {
                why = QStringLiteral("port '%1': after tcp:// comes a host name or address "
                                     "(an IPv6 address in brackets), then optionally a "
                                     "colon and a port from 1 to 65535")
                          .arg(text);
            }
            return refuse<PortChoice>(why + kGoodNetworkPorts);
        }
        PortChoice choice;
        choice.network = std::move(address);
        return Parsed<PortChoice>::of(choice);
    }
    if (text.contains(QLatin1Char('/')) || text.contains(QLatin1Char('\\'))) {
        return Parsed<PortChoice>::of(PortChoice{1, text, std::nullopt});
    }
    if (text.startsWith(QLatin1String("COM"), Qt::CaseInsensitive)) {
        const Parsed<int> number = parseWhole(text.mid(3), 1, 256);
        if (number && !text.mid(3).startsWith(QLatin1Char('+'))) {
            return Parsed<PortChoice>::of(PortChoice{*number, {}, std::nullopt});
        }
    }
    return refuse<PortChoice>(
        QStringLiteral("port '%1' is neither COM1..COM256 nor a device path").arg(text));
}

Parsed<std::vector<std::uint8_t>> parseAddressList(const QString &text)
{
    using List = std::vector<std::uint8_t>;
    List addresses;
    const QStringList items = text.split(QLatin1Char(','));
    for (const QString &item : items) {
        const QStringList ends = item.split(QLatin1Char('-'));
        if (ends.size() > 2) {
            return refuse<List>(QStringLiteral("'%1' is not an address or a range").arg(item));
        }
        const Parsed<std::uint8_t> first = parseAddress(ends.front());
        const Parsed<std::uint8_t> last = parseAddress(ends.back());
        if (!first || !last) {
            return refuse<List>(!first ? first.error() : last.error());
        }
        if (*last < *first) {
            return refuse<List>(QStringLiteral("range '%1' runs backwards").arg(item));
        }
        for (int a = *first; a <= *last; ++a) {
            if (std::find(addresses.begin(), addresses.end(), a) == addresses.end()) {
                addresses.push_back(static_cast<std::uint8_t>(a));
            }
        }
    }
    return Parsed<List>::of(addresses);
}

Parsed<std::chrono::milliseconds> parseDuration(const QString &text)
{
    using std::chrono::milliseconds;
    const QString trimmed = text.trimmed();
    const QChar unit = trimmed.isEmpty() ? QChar() : trimmed.back();
    const int seconds = unit == QLatin1Char('s')   ? 1
                        : unit == QLatin1Char('m') ? 60
                        : unit == QLatin1Char('h') ? 3600
                                                   : 0;
    bool ok = false;
    const qlonglong count = trimmed.chopped(seconds > 0 ? 1 : 0).toLongLong(&ok);
    const QString digits = trimmed.chopped(seconds > 0 ? 1 : 0);
    const bool plain = !digits.isEmpty() && std::all_of(digits.begin(), digits.end(),
                                                        [](QChar c) { return c.isDigit(); });
    if (seconds == 0 || !plain || (ok && count <= 0)) {
        return refuse<milliseconds>(
            QStringLiteral("duration '%1' is not a whole number with s, m or h (90s, 10m, 2h)")
                .arg(text));
    }
    // Bounded by the time it stands for, whatever the unit, so that it fits the
    // log's clock (nanoseconds) many times over.
    if (!ok || count > kLongestDurationSeconds / seconds) {
        return refuse<milliseconds>(
            QStringLiteral("duration '%1' is longer than 366 days").arg(text));
    }
    return Parsed<milliseconds>::of(milliseconds(count * seconds * 1000));
}

} // namespace values
