#include "ui/ceilings.h"

#include "engine/client.h"

#include <QCoreApplication>

#include <QLocale>
#include <QObject>
#include <QSettings>
#include <QStringList>

#include <cmath>

namespace ui {

namespace {

QString volts(double v)
{
    return QString::number(v, 'f', 2) + QStringLiteral(" V");
}

QString amps(double a)
{
    return QString::number(a, 'f', 3) + QStringLiteral(" A");
}

QString watts(double w)
{
    return QString::number(w, 'f', 2) + QStringLiteral(" W");
}

QString above(const QString &value, const QString &ceiling)
{
    return QObject::tr("%1 above the ceiling of %2").arg(value, ceiling);
}

std::optional<double> readSetting(const QSettings &settings, const QString &key)
{
    const QVariant value = settings.value(key);
    bool ok = false;
    const double number = value.toDouble(&ok);
    if (!value.isValid() || !ok || !std::isfinite(number) || number < 0) {
        return std::nullopt;
    }
    return number;
}

} // namespace

std::unique_ptr<QSettings> userSettings()
{
    return std::make_unique<QSettings>(QStringLiteral("vantel"), QStringLiteral("vantel"));
}

engine::CeilingCounts Ceilings::counts() const
{
    const auto counted = [](engine::CeilingKind kind, const std::optional<double> &value) {
        return value ? std::optional<int>(engine::ceilingCounts(kind, *value)) : std::nullopt;
    };
    return {counted(engine::CeilingKind::Voltage, volts),
            counted(engine::CeilingKind::Current, amps),
            counted(engine::CeilingKind::Power, watts)};
}

Ceilings Ceilings::fromCounts(const engine::CeilingCounts &counts)
{
    const auto value = [](const std::optional<int> &count, double perUnit) {
        return count ? std::optional<double>(*count / perUnit) : std::nullopt;
    };
    return {value(counts.volts, 100.0), value(counts.amps, 1000.0), value(counts.watts, 100.0)};
}

QString Ceilings::exceededBy(const protocol::StatusReading &r) const
{
    // Compared in counts as the line holds them; a reading one count above is within.
    const auto trip = engine::tripOf(r, counts(), engine::TripSlack::Resolution);
    if (!trip) {
        return {};
    }
    switch (trip->kind) {
    case engine::CeilingKind::Voltage:
        return above(ui::volts(r.volts()), ui::volts(*volts));
    case engine::CeilingKind::Current:
        return above(ui::amps(r.amps()), ui::amps(*amps));
    case engine::CeilingKind::Power:
        return above(ui::watts(r.watts()), ui::watts(*watts));
    }
    return {};
}

QString Ceilings::refusesVoltage(double v) const
{
    if (engine::refusesSetValue(counts(), engine::CeilingKind::Voltage,
                                static_cast<int>(std::lround(v * 100.0)))) {
        return QObject::tr("%1 is above the voltage ceiling of %2: nothing was sent.")
            .arg(ui::volts(v), ui::volts(*volts));
    }
    return {};
}

QString Ceilings::refusesCurrent(double a) const
{
    if (engine::refusesSetValue(counts(), engine::CeilingKind::Current,
                                static_cast<int>(std::lround(a * 1000.0)))) {
        return QObject::tr("%1 is above the current ceiling of %2: nothing was sent.")
            .arg(ui::amps(a), ui::amps(*amps));
    }
    return {};
}

QString Ceilings::refusesSequence(const sequence::Sequence &sequence) const
{
    using Kind = sequence::SequenceStep::Kind;
    for (const sequence::SequenceStep &s : sequence.steps) {
        QString why;
        if (s.kind == Kind::Set) {
            why = s.voltage ? refusesVoltage(*s.voltage / 100.0) : QString();
            if (why.isEmpty() && s.current) {
                why = refusesCurrent(*s.current / 1000.0);
            }
        } else if (s.kind == Kind::Sweep) {
            for (std::size_t p = 0; p < s.pointCount() && why.isEmpty(); ++p) {
                why = s.sweepsVoltage ? refusesVoltage(s.point(p) / 100.0)
                                      : refusesCurrent(s.point(p) / 1000.0);
            }
        }
        if (!why.isEmpty()) {
            return QObject::tr("line %1: %2").arg(s.line).arg(why);
        }
    }
    return {};
}

QString Ceilings::summary() const
{
    QStringList parts;
    if (volts) {
        parts << ui::volts(*volts);
    }
    if (amps) {
        parts << ui::amps(*amps);
    }
    if (watts) {
        parts << ui::watts(*watts);
    }
    return parts.isEmpty() ? QString() : QObject::tr("ceilings active: %1").arg(parts.join(", "));
}

TypedCeiling readCeiling(const QString &text, double top, const QString &unit)
{
    QString number = text.trimmed();
    if (number.endsWith(unit, Qt::CaseInsensitive)) {
        number = number.chopped(unit.size()).trimmed();
    }
    bool ok = false;
    const double value = QLocale::c().toDouble(number, &ok);
    if (number.isEmpty()) {
        return {std::nullopt, QObject::tr("no value is given")};
    }
    if (!ok || !std::isfinite(value)) {
        return {std::nullopt, QObject::tr("%1 is not a number").arg(text.trimmed())};
    }
    if (value < 0 || value > top) {
        return {std::nullopt, QObject::tr("%1 is outside 0 to %2 %3")
                                  .arg(text.trimmed())
                                  .arg(top, 0, 'f', 2)
                                  .arg(unit)};
    }
    return {value, {}};
}

Ceilings Ceilings::load()
{
    const auto settings = userSettings();
    return {readSetting(*settings, QStringLiteral("ceilings/volts")),
            readSetting(*settings, QStringLiteral("ceilings/amps")),
            readSetting(*settings, QStringLiteral("ceilings/watts"))};
}

void Ceilings::save() const
{
    const auto settings = userSettings();
    const auto put = [&](const char *key, const std::optional<double> &value) {
        if (value) {
            settings->setValue(QLatin1String(key), *value);
        } else {
            settings->remove(QLatin1String(key));
        }
    };
    put("ceilings/volts", volts);
    put("ceilings/amps", amps);
    put("ceilings/watts", watts);
}

HeldCeilings::~HeldCeilings()
{
    releaseAll();
}

void HeldCeilings::setClient(engine::Client *client)
{
    if (client == m_client) {
        return;
    }
    releaseAll();
    m_client = client;
    for (const auto &[address, ceilings] : m_held) {
        apply(address, ceilings);
    }
}

void HeldCeilings::hold(std::uint8_t address, const Ceilings &ceilings)
{
    if (ceilings.any()) {
        m_held[address] = ceilings;
    } else {
        m_held.erase(address);
    }
    apply(address, ceilings);
}

void HeldCeilings::clear()
{
    releaseAll();
    m_held.clear();
}

void HeldCeilings::releaseAll()
{
    if (m_client && m_source != 0) {
        m_client->ceilings().dropSource(m_source);
    }
    m_source = 0;
}

void HeldCeilings::apply(std::uint8_t address, const Ceilings &ceilings)
{
    if (!m_client) {
        return;
    }
    engine::CeilingRegistry &registry = m_client->ceilings();
    if (m_source == 0) {
        m_source = registry.addSource(true);
    }
    const auto pid = static_cast<std::uint32_t>(QCoreApplication::applicationPid());
    // In the supply's counts (10 mV, 1 mA, 10 mW), never above what was typed.
    const engine::CeilingCounts counts = ceilings.counts();
    for (const auto kind :
         {engine::CeilingKind::Voltage, engine::CeilingKind::Current, engine::CeilingKind::Power}) {
        if (const auto &value = counts.of(kind)) {
            registry.hold(m_source, address, kind, *value, "vantel", pid);
        } else {
            registry.release(m_source, address, kind);
        }
    }
}

} // namespace ui
