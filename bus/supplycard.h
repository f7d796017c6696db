#pragma once

#include "bus/sparkline.h"
#include "bus/supplystate.h"
#include "records/operations.h"
#include "ui/ceilings.h"

#include <QFrame>

#include <cstdint>
#include <optional>

class QLabel;
class QLineEdit;
class QPushButton;

namespace engine {
class Client;
} // namespace engine

namespace bus {

// One supply of the bus as a card: its address and name, the actual values in
// large figures, the set values, CV/CC, the output as a lamp and a switch, the
// last minute as a small plot, the charge and energy since the window opened,
// and fields to set voltage and current. It shows; the window acts on what the
// user asks through its signals.
class SupplyCard : public QFrame {
    Q_OBJECT
public:
    SupplyCard(std::uint8_t address, std::int64_t nowMs, QWidget *parent = nullptr);

    std::uint8_t address() const { return m_address; }
    const SupplyState &state() const { return m_state; }
    void setName(const QString &name);
    QString name() const;

    // A reading of this supply at `nowMs`.
    void take(const records::Reading &reading, std::int64_t nowMs);
    // Greys the card after a silence, and back.
    void refresh(std::int64_t nowMs);
    bool isGrey() const { return m_grey; }
    // A line under the figures: a trip, a switch not confirmed.
    void say(const QString &text);
    QString message() const;

    // The ceilings this window holds on the supply, which it trips on.
    const ui::Ceilings &ceilings() const { return m_ceilings; }
    void setCeilings(const ui::Ceilings &ceilings);
    // The tightest ceilings held on the supply by any program on the line, as the
    // registry of the line's client knows them (none without a client): the card
    // shows these.
    void showLineCeilings(const engine::Client *client);
    // A ceiling's switch-off is on its way.
    bool tripping = false;
    // A switch of the output is on its way: the switch waits for it.
    void switchStarted();
    // It ended; not confirmed, the output's state is unknown until the next good
    // reading, and the switch offers only "Switch off".
    void switchEnded(bool confirmed);
    // A switch-off of the output (a ceiling's) was not confirmed.
    void outputInDoubt();
    // What pressing the switch asks for: on (true) or off (false); nothing while a
    // switch is on its way or before any reading has shown the output's state.
    std::optional<bool> switchOffers() const { return m_offer; }

    // The figures as shown, for tests and the screenshots: V, A, W.
    QStringList figures() const;

    QLineEdit *voltageField() const { return m_setVoltage; }
    QLineEdit *currentField() const { return m_setCurrent; }
    QPushButton *outputButton() const { return m_output; }
    QPushButton *limitsButton() const { return m_limits; }

signals:
    // The user pressed Enter in a set field.
    void setRequested(records::Target target, const QString &text);
    // The user pressed the output switch: the state wanted.
    void outputRequested(bool on);
    void limitsRequested();
    void nameEdited(const QString &name);

private:
    void showReading();
    // Sets the switch's label, and what pressing it asks for, from what is known.
    void showSwitch();

    std::uint8_t m_address;
    SupplyState m_state;
    ui::Ceilings m_ceilings;
    bool m_grey = false;
    bool m_switching = false;
    bool m_outputUnknown = false; // a switch was not confirmed; no good reading since
    std::optional<bool> m_offer;
    QLabel *m_title;
    QLineEdit *m_name;
    QLabel *m_volts, *m_amps, *m_watts;
    QLabel *m_setValues, *m_mode, *m_lamp, *m_energy, *m_status, *m_message;
    Sparkline *m_plot;
    QLineEdit *m_setVoltage, *m_setCurrent;
    QPushButton *m_output, *m_limits;
};

} // namespace bus
