#include "bus/buswindow.h"

#include "bus/supplycard.h"
#include "protocol/frames.h"
#include "ui/messenger.h"

#include <QDialog>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QLabel>
#include <QLineEdit>

namespace bus {

namespace {

// The highest power a ceiling may name: 62.00 V at 3.200 A.
constexpr double kTopWatts = 62.0 * 3.2;

QString ceilingText(const std::optional<double> &value, int decimals)
{
    return value ? QString::number(*value, 'f', decimals) : QString();
}

} // namespace

void BusWindow::checkCeilings(SupplyCard *c, const protocol::StatusReading &reading)
{
    if (!c->ceilings().any() || !reading.outputOn || c->tripping || !m_poller) {
        return;
    }
    const QString exceeded = c->ceilings().exceededBy(reading);
    if (exceeded.isEmpty()) {
        return;
    }
    c->tripping = true;
    c->say(tr("Ceiling tripped: %1; switching the output off…").arg(exceeded));
    QPointer<SupplyCard> card = c;
    m_poller->write(c->address(), records::Target::Output, 0,
                    [card, exceeded](const records::WriteResult &result) {
                        if (card == nullptr) {
                            return;
                        }
                        card->tripping = false;
                        if (!result.confirmed) {
                            card->outputInDoubt();
                        }
                        card->say(result.confirmed
                                      ? tr("The output is switched off: %1.").arg(exceeded)
                                      : tr("Switching the output off after %1 was not "
                                           "confirmed (%2): it may still be on.")
                                            .arg(exceeded, result.problem));
                    });
}

void BusWindow::setCeilings(std::uint8_t address, const ui::Ceilings &ceilings)
{
    m_settings->setCeilings(address, ceilings);
    m_held.hold(address, ceilings);
    if (SupplyCard *c = card(address)) {
        c->setCeilings(ceilings);
    }
}

void BusWindow::editLimits(SupplyCard *c)
{
    const std::uint8_t address = c->address();
    QDialog dialog(this);
    dialog.setWindowTitle(tr("Limits of supply %1").arg(address));
    auto *form = new QFormLayout(&dialog);
    const ui::Ceilings now = c->ceilings();
    auto *volts = new QLineEdit(ceilingText(now.volts, 2), &dialog);
    auto *amps = new QLineEdit(ceilingText(now.amps, 3), &dialog);
    auto *watts = new QLineEdit(ceilingText(now.watts, 2), &dialog);
    form->addRow(tr("Voltage ceiling (V):"), volts);
    form->addRow(tr("Current ceiling (A):"), amps);
    form->addRow(tr("Power ceiling (W):"), watts);
    form->addRow(new QLabel(tr("Empty: no ceiling. A reading above one switches this "
                               "supply's output off."),
                            &dialog));
    auto *buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, &dialog);
    form->addRow(buttons);
    connect(buttons, &QDialogButtonBox::rejected, &dialog, &QDialog::reject);
    connect(buttons, &QDialogButtonBox::accepted, &dialog, [&] {
        ui::Ceilings typed;
        QStringList problems;
        const auto read = [&](QLineEdit *field, double top, const QString &unit,
                              std::optional<double> &into) {
            if (field->text().trimmed().isEmpty()) {
                return;
            }
            const ui::TypedCeiling t = ui::readCeiling(field->text(), top, unit);
            if (!t.value) {
                problems << t.problem;
            }
            into = t.value;
        };
        read(volts, protocol::kLargestVoltageCode / 100.0, QStringLiteral("V"), typed.volts);
        read(amps, protocol::kLargestCurrentCode / 1000.0, QStringLiteral("A"), typed.amps);
        read(watts, kTopWatts, QStringLiteral("W"), typed.watts);
        if (!problems.isEmpty()) {
            m_messenger.inform(&dialog, problems.join(QLatin1Char('\n')));
            return;
        }
        setCeilings(address, typed);
        dialog.accept();
    });
    dialog.exec();
}

} // namespace bus
