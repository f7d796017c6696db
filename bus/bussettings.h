#pragma once

#include "ui/ceilings.h"

#include <QString>

#include <cstdint>
#include <vector>

namespace bus {

// What the bus window remembers, per port (COM3, tcp://host:port) and per
// address on it: the list of addresses, each supply's name and its ceilings.
class BusSettings {
public:
    explicit BusSettings(const QString &port);

    QString addresses() const;
    void setAddresses(const QString &list);
    QString name(std::uint8_t address) const;
    void setName(std::uint8_t address, const QString &name);
    ui::Ceilings ceilings(std::uint8_t address) const;
    void setCeilings(std::uint8_t address, const ui::Ceilings &ceilings);

private:
    QString key(std::uint8_t address, const char *what) const;
    QString m_group;
};

// "1-4,7,9": the addresses in order, runs of three or more as a range.
QString addressListText(const std::vector<std::uint8_t> &addresses);

} // namespace bus
