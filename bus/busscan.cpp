#include "bus/buswindow.h"

#include "bus/buswindow_p.h"
#include "engine/client.h"

#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>

namespace bus {

void BusWindow::startScan()
{
    if (scanning()) {
        return;
    }
    if (!m_client) {
        inform(tr("The serial port is closed: nothing can be scanned."));
        return;
    }
    if (m_poller) {
        m_poller->stop();
    }
    m_found.clear();
    m_scanNext = 1;
    m_progress->setValue(0);
    m_progress->show();
    m_cancel->show();
    m_scan->setEnabled(false);
    m_statusLine->setText(tr("Scanning 1 to %1…").arg(kLastAddress));
    scanStep();
}

void BusWindow::scanStep()
{
    if (!scanning()) {
        return;
    }
    if (m_scanNext > kLastAddress) {
        finishScan({});
        return;
    }
    if (!m_client) {
        finishScan(tr("the port closed"));
        return;
    }
    // Each address costs at most the short wait for the first byte of its reply.
    const std::optional<std::chrono::milliseconds> firstByte =
        kScanWait < m_client->timeout() ? std::optional<std::chrono::milliseconds>(kScanWait)
                                        : std::nullopt;
    engine::Reply *reply = m_client->readStatus(static_cast<std::uint8_t>(m_scanNext), firstByte);
    m_scanReply = reply;
    connect(reply, &engine::Reply::finished, this, [this, reply] {
        reply->deleteLater();
        if (reply != m_scanReply || !scanning()) {
            return;
        }
        m_scanReply = nullptr;
        // A supply is there when it answered: with its status, or with an exception.
        if (reply->error() == engine::Error::None || reply->error() == engine::Error::Exception) {
            m_found.push_back(reply->address());
        }
        m_progress->setValue(m_scanNext);
        ++m_scanNext;
        scanStep();
    });
}

void BusWindow::cancelScan()
{
    if (scanning()) {
        finishScan(tr("cancelled"));
    }
}

void BusWindow::finishScan(const QString &why)
{
    m_scanNext = 0;
    m_scanReply = nullptr;
    m_progress->hide();
    m_cancel->hide();
    m_scan->setEnabled(true);
    const QString list = addressListText(m_found);
    if (why.isEmpty()) {
        m_statusLine->setText(m_found.empty() ? tr("The scan found no supply.")
                                              : tr("The scan found %1.").arg(list));
        if (!m_found.empty()) {
            m_addresses->setText(list);
            takeAddresses(false);
        }
    } else {
        m_statusLine->setText(tr("The scan ended (%1); found so far: %2.")
                                  .arg(why, list.isEmpty() ? tr("none") : list));
        if (!m_found.empty()) {
            m_addresses->setText(list);
            takeAddresses(false);
        }
    }
    if (m_poller && !m_poller->running()) {
        m_poller->start();
    }
    emit scanFinished(m_found);
}

} // namespace bus
