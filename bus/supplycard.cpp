#include "bus/supplycard.h"

#include "engine/client.h"
#include "records/format.h"

#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

namespace bus {

namespace {

QLabel *figure(QWidget *parent, const QString &name)
{
    auto *label = new QLabel(QStringLiteral("—"), parent);
    label->setObjectName(name);
    QFont font = label->font();
    font.setPointSize(font.pointSize() * 2);
    font.setBold(true);
    label->setFont(font);
    label->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    return label;
}

QString lampStyle(const QColor &colour)
{
    return QStringLiteral("background:%1;border-radius:7px;border:1px solid #555;")
        .arg(colour.name());
}

} // namespace

SupplyCard::SupplyCard(std::uint8_t address, std::int64_t nowMs, QWidget *parent)
    : QFrame(parent), m_address(address), m_state(nowMs)
{
    setObjectName(QStringLiteral("card%1").arg(address));
    setFrameShape(QFrame::StyledPanel);
    setAutoFillBackground(true);
    setFixedWidth(250);

    m_title = new QLabel(QStringLiteral("#%1").arg(address), this);
    QFont bold = m_title->font();
    bold.setBold(true);
    m_title->setFont(bold);
    m_name = new QLineEdit(this);
    m_name->setObjectName(QStringLiteral("name"));
    m_name->setPlaceholderText(tr("name"));
    m_name->setFrame(false);
    m_lamp = new QLabel(this);
    m_lamp->setObjectName(QStringLiteral("lamp"));
    m_lamp->setFixedSize(14, 14);
    m_lamp->setStyleSheet(lampStyle(Qt::gray));
    auto *head = new QHBoxLayout;
    head->addWidget(m_title);
    head->addWidget(m_name, 1);
    head->addWidget(m_lamp);

    m_volts = figure(this, QStringLiteral("volts"));
    m_amps = figure(this, QStringLiteral("amps"));
    m_watts = figure(this, QStringLiteral("watts"));
    auto *figures = new QGridLayout;
    int row = 0;
    for (auto [label, unit] : {std::pair{m_volts, "V"}, {m_amps, "A"}, {m_watts, "W"}}) {
        figures->addWidget(label, row, 0);
        figures->addWidget(new QLabel(QLatin1String(unit), this), row, 1);
        ++row;
    }

    m_setValues = new QLabel(this);
    m_setValues->setObjectName(QStringLiteral("setValues"));
    m_mode = new QLabel(this);
    m_mode->setObjectName(QStringLiteral("mode"));
    auto *setLine = new QHBoxLayout;
    setLine->addWidget(m_setValues, 1);
    setLine->addWidget(m_mode);

    m_plot = new Sparkline(this);
    m_energy = new QLabel(this);
    m_energy->setObjectName(QStringLiteral("energy"));
    m_status = new QLabel(this);
    m_status->setObjectName(QStringLiteral("status"));

    m_setVoltage = new QLineEdit(this);
    m_setVoltage->setObjectName(QStringLiteral("setVoltage"));
    m_setVoltage->setPlaceholderText(tr("set V"));
    m_setCurrent = new QLineEdit(this);
    m_setCurrent->setObjectName(QStringLiteral("setCurrent"));
    m_setCurrent->setPlaceholderText(tr("set A"));
    auto *fields = new QHBoxLayout;
    fields->addWidget(m_setVoltage);
    fields->addWidget(m_setCurrent);

    m_output = new QPushButton(this);
    m_output->setObjectName(QStringLiteral("output"));
    m_limits = new QPushButton(tr("Limits…"), this);
    m_limits->setObjectName(QStringLiteral("limits"));
    auto *buttons = new QHBoxLayout;
    buttons->addWidget(m_output, 1);
    buttons->addWidget(m_limits);

    m_message = new QLabel(this);
    m_message->setObjectName(QStringLiteral("message"));
    m_message->setWordWrap(true);
    m_message->setStyleSheet(QStringLiteral("color:#a00000;"));

    auto *layout = new QVBoxLayout(this);
    layout->addLayout(head);
    layout->addLayout(figures);
    layout->addLayout(setLine);
    layout->addWidget(m_plot);
    layout->addWidget(m_energy);
    layout->addWidget(m_status);
    layout->addLayout(fields);
    layout->addLayout(buttons);
    layout->addWidget(m_message);

    connect(m_setVoltage, &QLineEdit::returnPressed, this,
            [this] { emit setRequested(records::Target::Voltage, m_setVoltage->text()); });
    connect(m_setCurrent, &QLineEdit::returnPressed, this,
            [this] { emit setRequested(records::Target::Current, m_setCurrent->text()); });
    connect(m_output, &QPushButton::clicked, this, [this] {
        // It asks for what its label says, never for what a guess would make of it.
        if (m_offer) {
            emit outputRequested(*m_offer);
        }
    });
    connect(m_limits, &QPushButton::clicked, this, &SupplyCard::limitsRequested);
    connect(m_name, &QLineEdit::editingFinished, this, [this] { emit nameEdited(m_name->text()); });
    showReading();
    showSwitch();
    refresh(nowMs);
}

void SupplyCard::setName(const QString &name)
{
    m_name->setText(name);
}

QString SupplyCard::name() const
{
    return m_name->text();
}

void SupplyCard::take(const records::Reading &reading, std::int64_t nowMs)
{
    m_state.take(reading, nowMs);
    if (reading.good()) {
        m_outputUnknown = false;
        m_plot->add(nowMs, *reading.row.reading);
    } else {
        m_plot->gap();
    }
    showReading();
    showSwitch();
    refresh(nowMs);
}

void SupplyCard::showReading()
{
    using records::fixedPoint;
    m_energy->setText(
        tr("%1 Ah   %2 Wh").arg(m_state.ampHours(), 0, 'f', 4).arg(m_state.wattHours(), 0, 'f', 3));
    const auto &r = m_state.last();
    if (!r) {
        return;
    }
    m_volts->setText(fixedPoint(r->actualVoltage, 2));
    m_amps->setText(fixedPoint(r->actualCurrent, 3));
    m_watts->setText(QString::number(r->watts(), 'f', 2));
    m_setValues->setText(
        tr("set %1 V  %2 A").arg(fixedPoint(r->setVoltage, 2), fixedPoint(r->setCurrent, 3)));
    const char *mode = protocol::modeName(r->mode);
    m_mode->setText(mode != nullptr ? QLatin1String(mode) : QString::number(r->mode));
    m_lamp->setStyleSheet(lampStyle(r->outputOn ? QColor(40, 200, 60) : QColor(90, 90, 90)));
}

void SupplyCard::showSwitch()
{
    const auto &last = m_state.last();
    if (m_switching) {
        m_offer.reset();
        m_output->setText(tr("Switching…"));
    } else if (m_outputUnknown) {
        // Whether the output is on is not known: only the safe way is offered.
        m_offer = false;
        m_output->setText(tr("Switch off"));
    } else if (!last) {
        m_offer.reset();
        m_output->setText(tr("Output: no reading yet"));
    } else {
        m_offer = !last->outputOn;
        m_output->setText(last->outputOn ? tr("Switch off") : tr("Switch on"));
    }
    m_output->setEnabled(m_offer.has_value());
}

void SupplyCard::refresh(std::int64_t nowMs)
{
    m_plot->setNow(nowMs);
    m_plot->update();
    const bool grey = m_state.grey(nowMs);
    if (grey) {
        m_status->setText(tr("no good reply: %1").arg(m_state.lastError()));
    } else {
        m_status->clear();
    }
    if (grey == m_grey) {
        return;
    }
    m_grey = grey;
    QPalette p = palette();
    p.setColor(QPalette::Window, grey ? QColor(200, 200, 200)
                                 : parentWidget() != nullptr
                                     ? parentWidget()->palette().color(QPalette::Window)
                                     : QColor(Qt::white));
    setPalette(p);
    for (QLabel *label : {m_volts, m_amps, m_watts}) {
        label->setEnabled(!grey);
    }
}

void SupplyCard::say(const QString &text)
{
    m_message->setText(text);
}

QString SupplyCard::message() const
{
    return m_message->text();
}

void SupplyCard::setCeilings(const ui::Ceilings &ceilings)
{
    m_ceilings = ceilings;
    m_limits->setToolTip(ceilings.summary());
}

void SupplyCard::showLineCeilings(const engine::Client *client)
{
    const auto line =
        client ? client->ceilings().tightestCounts(m_address) : engine::CeilingCounts{};
    m_limits->setToolTip(ui::Ceilings::fromCounts(line).summary());
}

void SupplyCard::switchStarted()
{
    m_switching = true;
    showSwitch();
}

void SupplyCard::switchEnded(bool confirmed)
{
    m_switching = false;
    if (!confirmed) {
        m_outputUnknown = true;
    }
    showSwitch();
}

void SupplyCard::outputInDoubt()
{
    m_outputUnknown = true;
    showSwitch();
}

QStringList SupplyCard::figures() const
{
    return {m_volts->text(), m_amps->text(), m_watts->text()};
}

} // namespace bus
