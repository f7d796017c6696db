#include "bus/bussettings.h"

#include <QSettings>
#include <QStringList>

#include <cmath>

namespace bus {

namespace {

std::optional<double> readCeilingSetting(const QSettings &settings, const QString &key)
{
    bool ok = false;
    const QVariant value = settings.value(key);
    const double number = value.toDouble(&ok);
    if (!value.isValid() || !ok || !std::isfinite(number) || number < 0) {
        return std::nullopt;
    }
    return number;
}

} // namespace

BusSettings::BusSettings(const QString &port)
{
    // A settings key takes no slashes or colons: a network line's name is kept
    // with them turned into underscores.
    QString name = port.trimmed();
    for (QChar &c : name) {
        if (!c.isLetterOrNumber() && c != QLatin1Char('.') && c != QLatin1Char('-')) {
            c = QLatin1Char('_');
        }
    }
    m_group = QStringLiteral("bus/") + (name.isEmpty() ? QStringLiteral("_") : name);
}

QString BusSettings::key(std::uint8_t address, const char *what) const
{
    return QStringLiteral("%1/%2/%3").arg(m_group).arg(address).arg(QLatin1String(what));
}

QString BusSettings::addresses() const
{
    return ui::userSettings()->value(m_group + QStringLiteral("/addresses")).toString();
}

void BusSettings::setAddresses(const QString &list)
{
    ui::userSettings()->setValue(m_group + QStringLiteral("/addresses"), list);
}

QString BusSettings::name(std::uint8_t address) const
{
    return ui::userSettings()->value(key(address, "name")).toString();
}

void BusSettings::setName(std::uint8_t address, const QString &name)
{
    const auto settings = ui::userSettings();
    if (name.trimmed().isEmpty()) {
        settings->remove(key(address, "name"));
    } else {
        settings->setValue(key(address, "name"), name.trimmed());
    }
}

ui::Ceilings BusSettings::ceilings(std::uint8_t address) const
{
    const auto settings = ui::userSettings();
    return {readCeilingSetting(*settings, key(address, "volts")),
            readCeilingSetting(*settings, key(address, "amps")),
            readCeilingSetting(*settings, key(address, "watts"))};
}

void BusSettings::setCeilings(std::uint8_t address, const ui::Ceilings &ceilings)
{
    const auto settings = ui::userSettings();
    const auto put = [&](const char *what, const std::optional<double> &value) {
        if (value) {
            settings->setValue(key(address, what), *value);
        } else {
            settings->remove(key(address, what));
        }
    };
    put("volts", ceilings.volts);
    put("amps", ceilings.amps);
    put("watts", ceilings.watts);
}

QString addressListText(const std::vector<std::uint8_t> &addresses)
{
    QStringList parts;
    std::size_t i = 0;
    while (i < addresses.size()) {
        std::size_t j = i;
        while (j + 1 < addresses.size() && addresses[j + 1] == addresses[j] + 1) {
            ++j;
        }
        if (j - i >= 2) {
            parts << QStringLiteral("%1-%2").arg(addresses[i]).arg(addresses[j]);
        } else {
            for (std::size_t k = i; k <= j; ++k) {
                parts << QString::number(addresses[k]);
            }
        }
        i = j + 1;
    }
    return parts.join(QLatin1Char(','));
}

} // namespace bus
