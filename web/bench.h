#pragma once

#include <QByteArray>
#include <QJsonObject>
#include <QString>

#include <cstdint>
#include <functional>
#include <optional>
#include <vector>

namespace web {

// How a write asked through the page fared: the HTTP status and its JSON body.
struct Outcome {
    int status = 200;
    QJsonObject body;
};

// The served supplies as the HTTP server sees them: their latest readings, the
// writes it may ask for, and the record of every reading. Values have been
// checked against the supply's range before they come here.
class Bench {
public:
    using Answer = std::function<void(const Outcome &)>;

    virtual ~Bench() = default;
    virtual std::vector<std::uint8_t> addresses() const = 0;
    // The supply's object: the latest reading's keys, its name and its ceilings.
    virtual QJsonObject supply(std::uint8_t address) const = 0;
    // Set voltage (10 mV counts) and current (1 mA counts), either or both.
    virtual void set(std::uint8_t address, std::optional<std::uint16_t> voltage,
                     std::optional<std::uint16_t> current, Answer answer) = 0;
    virtual void output(std::uint8_t address, bool on, Answer answer) = 0;
    // Drops the writes still waiting and switches every output off.
    virtual void allOff(Answer answer) = 0;
    // The file that holds every reading so far as CSV, header first.
    virtual QString recordPath() const = 0;

    // Called with each supply's object as a reading of it comes, good or failed.
    std::function<void(const QJsonObject &)> reading;
};

} // namespace web
