#include "bus/buswindow.h"

#include "bus/setwording.h"
#include "bus/supplycard.h"
#include "protocol/frames.h"
#include "values/values.h"

namespace bus {

void BusWindow::requestSet(SupplyCard *c, records::Target target, const QString &text)
{
    const bool volts = target == records::Target::Voltage;
    if (text.trimmed().isEmpty()) {
        // Enter in an empty field: nothing to send, and nothing to refuse.
        report(volts ? tr("Supply %1: type a voltage, then press Enter.").arg(c->address())
                     : tr("Supply %1: type a current, then press Enter.").arg(c->address()));
        return;
    }
    // Read and rounded as the shell's `set` reads and rounds it.
    const auto code =
        volts ? values::parseSetCode(text, 2, protocol::kLargestVoltageCode, QStringLiteral("V"))
              : values::parseSetCode(text, 3, protocol::kLargestCurrentCode, QStringLiteral("A"));
    if (!code) {
        inform(tr("Supply %1: %2: nothing was sent.").arg(c->address()).arg(code.error()));
        return;
    }
    const QString refused = volts ? c->ceilings().refusesVoltage(*code / 100.0)
                                  : c->ceilings().refusesCurrent(*code / 1000.0);
    if (!refused.isEmpty()) {
        inform(tr("Supply %1: %2").arg(c->address()).arg(refused));
        return;
    }
    if (!m_poller) {
        inform(tr("The serial port is closed: nothing was sent."));
        return;
    }
    clearRefusal();
    QPointer<SupplyCard> card = c;
    c->say(QString());
    m_poller->write(c->address(), target, *code, [card, volts](const records::WriteResult &r) {
        if (card != nullptr && !r.confirmed) {
            card->say(setNotTaken(volts, r));
        }
    });
}

void BusWindow::requestOutput(SupplyCard *c, bool on)
{
    if (!m_poller) {
        inform(tr("The serial port is closed: nothing was sent."));
        return;
    }
    QPointer<SupplyCard> card = c;
    c->switchStarted();
    c->say(QString());
    m_poller->write(
        c->address(), records::Target::Output, on ? 1 : 0,
        [card, on](const records::WriteResult &r) {
            if (card == nullptr) {
                return;
            }
            card->switchEnded(r.confirmed);
            if (r.confirmed) {
                return;
            }
            card->say(on ? tr("Switching the output on was not confirmed (%1).").arg(r.problem)
                         : tr("Switching the output off was not confirmed (%1): it "
                              "may still be on.")
                               .arg(r.problem));
        });
}

void BusWindow::allOutputsOff()
{
    if (!m_poller) {
        inform(tr("The serial port is closed: nothing was sent."));
        return;
    }
    if (m_list.empty()) {
        return;
    }
    // The window may be closed before the last switch-off ends; the writes go on.
    m_droppedByOff =
        m_poller->allOutputsOff([self = QPointer<BusWindow>(this)](const Poller::OffResults &r) {
            if (self != nullptr) {
                self->allOffEnded(r);
            }
        });
    // After the dropped writes have ended: their cards wait for the switch-off too.
    for (SupplyCard *c : cards()) {
        c->switchStarted();
    }
    report(tr("Switching every output off…") + droppedText());
}

void BusWindow::allOffEnded(const Poller::OffResults &results)
{
    QStringList failed;
    for (const auto &[address, result] : results) {
        if (SupplyCard *c = card(address)) {
            c->switchEnded(result.confirmed);
            c->say(result.confirmed ? QString()
                                    : tr("Switching the output off was not confirmed "
                                         "(%1): it may still be on.")
                                          .arg(result.problem));
        }
        if (!result.confirmed) {
            failed << tr("%1 (%2)").arg(address).arg(result.problem);
        }
    }
    // Told in the window, never in a box: the readings and the ceilings' watch go on.
    if (failed.isEmpty()) {
        report(tr("Every output is switched off, confirmed.") + droppedText());
    } else {
        report(tr("Not confirmed off, so they may still be on: %1.")
                   .arg(failed.join(QStringLiteral(", "))) +
               droppedText());
    }
    emit allOffFinished(results);
}

QString BusWindow::droppedText() const
{
    if (m_droppedByOff == 0) {
        return {};
    }
    return m_droppedByOff == 1
               ? tr(" 1 write asked for before it was dropped.")
               : tr(" %1 writes asked for before it were dropped.").arg(m_droppedByOff);
}

} // namespace bus
