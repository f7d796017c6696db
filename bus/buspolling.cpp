#include "bus/buswindow.h"

#include "bus/supplycard.h"
#include "engine/client.h"
#include "records/rowwriter.h"

#include <QDir>
#include <QLabel>

namespace bus {

void BusWindow::followLine()
{
    engine::Client *now = m_access.client ? m_access.client() : nullptr;
    if (now == m_client && (now != nullptr) == (m_poller != nullptr)) {
        return;
    }
    // The line closed or changed: what was on the old one is let go.
    cancelScan();
    m_poller.reset();
    m_line.reset();
    m_client = now;
    showHint();
    m_held.setClient(now);
    if (now == nullptr) {
        m_statusLine->setText(tr("The serial port is closed: nothing is read."));
        if (m_writer) {
            m_writer.reset();
            m_statusLine->setText(tr("The serial port is closed; the recording ended, its file "
                                     "is kept: %1")
                                      .arg(QDir::toNativeSeparators(m_recordPath)));
            updateTitle();
        }
        return;
    }
    m_line = std::make_unique<ClientLine>(*now);
    m_poller = std::make_unique<Poller>(*m_line);
    connect(m_poller.get(), &Poller::readingTaken, this, &BusWindow::onReading);
    m_poller->setAddresses(m_list);
    m_poller->start();
    m_statusLine->clear();
}

void BusWindow::tick()
{
    followLine();
    const std::int64_t now = nowMs();
    for (auto &[address, card] : m_cards) {
        card->refresh(now);
    }
}

void BusWindow::onReading(const records::Reading &reading)
{
    SupplyCard *c = card(static_cast<std::uint8_t>(reading.row.address));
    if (m_writer) {
        // The recording's clock and counters start at 0 with it, as a log's; the cards' do not.
        const records::Row row = m_recordRows->make(reading.row.address, reading.sentTime,
                                                    reading.row.reading, reading.row.failure);
        const QString failed = m_writer->write(row);
        if (!failed.isEmpty()) {
            m_writer.reset();
            report(tr("The recording stopped: %1").arg(failed));
        }
        updateTitle();
    }
    if (c == nullptr) {
        return;
    }
    c->take(reading, nowMs());
    c->showLineCeilings(m_client);
    if (reading.good()) {
        checkCeilings(c, *reading.row.reading);
    }
}

} // namespace bus
