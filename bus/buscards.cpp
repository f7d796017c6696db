#include "bus/buswindow.h"

#include "bus/buswindow_p.h"
#include "bus/supplycard.h"
#include "values/values.h"

#include <QGridLayout>
#include <QLabel>
#include <QLineEdit>
#include <QScrollArea>

#include <algorithm>

namespace bus {

bool BusWindow::applyAddresses()
{
    return takeAddresses(true);
}

bool BusWindow::takeAddresses(bool typed)
{
    // A refusal of what was typed gets a box; of what a scan found (in a reply's
    // callback), only the status line.
    const auto refuse = [this, typed](const QString &text) {
        if (typed) {
            inform(text);
        } else {
            report(text);
        }
    };
    const QString text = m_addresses->text().trimmed();
    std::vector<std::uint8_t> list;
    if (!text.isEmpty()) {
        const auto parsed = values::parseAddressList(text);
        if (!parsed) {
            refuse(tr("The addresses are refused: %1.").arg(parsed.error()));
            return false;
        }
        list = *parsed;
    }
    if (static_cast<int>(list.size()) > kMostSupplies) {
        refuse(tr("The window shows at most %1 supplies; %2 are listed.")
                   .arg(kMostSupplies)
                   .arg(list.size()));
        return false;
    }
    clearRefusal();
    m_list = list;
    m_settings->setAddresses(addressListText(list));
    if (m_poller) {
        m_poller->setAddresses(m_list);
        if (!scanning()) {
            m_poller->start();
        }
    }
    rebuildCards();
    return true;
}

void BusWindow::rebuildCards()
{
    std::map<std::uint8_t, SupplyCard *> kept;
    for (std::uint8_t a : m_list) {
        auto it = m_cards.find(a);
        if (it != m_cards.end()) {
            kept[a] = it->second;
            m_cards.erase(it);
            continue;
        }
        auto *card = new SupplyCard(a, nowMs(), m_grid);
        card->setName(m_settings->name(a));
        card->setCeilings(m_settings->ceilings(a));
        m_held.hold(a, m_settings->ceilings(a));
        connect(card, &SupplyCard::nameEdited, this,
                [this, a](const QString &name) { m_settings->setName(a, name); });
        connect(
            card, &SupplyCard::setRequested, this,
            [this, card](records::Target t, const QString &text) { requestSet(card, t, text); });
        connect(card, &SupplyCard::outputRequested, this,
                [this, card](bool on) { requestOutput(card, on); });
        connect(card, &SupplyCard::limitsRequested, this, [this, card] { editLimits(card); });
        kept[a] = card;
    }
    for (auto &[address, card] : m_cards) {
        m_held.hold(address, {});
        delete card;
    }
    m_cards = std::move(kept);
    m_columns = 0;
    reflow();
    showHint();
}

void BusWindow::reflow()
{
    const int spacing = m_gridLayout->horizontalSpacing();
    const int cardWidth = 250 + std::max(spacing, 0);
    const int width = m_scroll->viewport()->width();
    const int columns = std::max(1, width / cardWidth);
    if (columns == m_columns) {
        return;
    }
    m_columns = columns;
    while (m_gridLayout->count() > 0) {
        delete m_gridLayout->takeAt(0);
    }
    int i = 0;
    for (std::uint8_t a : m_list) {
        SupplyCard *card = m_cards.at(a);
        m_gridLayout->addWidget(card, i / columns, i % columns);
        card->show();
        ++i;
    }
}

void BusWindow::showHint()
{
    const QString port = m_access.portName ? m_access.portName() : m_port;
    m_portLabel->setText(m_client ? port : tr("%1 (closed)").arg(port));
    m_hint->setText(
        tr("No supply is listed on %1 yet.\n\nType the addresses of the supplies on this "
           "port above, for example 1,3,5-7, and press Enter; or press Scan… to ask "
           "every address from 1 to %2 and list those that answer.")
            .arg(port)
            .arg(kLastAddress));
    m_hint->setVisible(m_list.empty());
    m_scroll->setVisible(!m_list.empty());
}

SupplyCard *BusWindow::card(std::uint8_t address) const
{
    const auto it = m_cards.find(address);
    return it == m_cards.end() ? nullptr : it->second;
}

std::vector<SupplyCard *> BusWindow::cards() const
{
    std::vector<SupplyCard *> all;
    for (std::uint8_t a : m_list) {
        all.push_back(m_cards.at(a));
    }
    return all;
}

} // namespace bus
