#include "bus/buswindow.h"

#include "bus/setwording.h"
#include "bus/supplycard.h"
#include "engine/client.h"
#include "help/helpwindow.h"
#include "protocol/frames.h"
#include "records/rowwriter.h"
#include "ui/messenger.h"
#include "values/values.h"

#include <QCloseEvent>
#include <QDialog>
#include <QDialogButtonBox>
#include <QDir>
#include <QFormLayout>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QScrollArea>
#include <QScrollBar>
#include <QShortcut>
#include <QVBoxLayout>

#include <algorithm>

namespace bus {

namespace {

const QString kTitle = QStringLiteral("vantel - bus");
constexpr int kLastAddress = 247;
// The highest power a ceiling may name: 62.00 V at 3.200 A.
constexpr double kTopWatts = 62.0 * 3.2;

QString ceilingText(const std::optional<double> &value, int decimals)
{
    return value ? QString::number(*value, 'f', decimals) : QString();
}

} // namespace

BusWindow::BusWindow(BusAccess access, ui::Messenger &messenger, QWidget *parent)
    : QWidget(parent, Qt::Window), m_access(std::move(access)), m_messenger(messenger)
{
    setObjectName(QStringLiteral("busWindow"));
    setAttribute(Qt::WA_DeleteOnClose);
    m_clock.start();
    m_port = m_access.portName ? m_access.portName() : QString();
    m_settings = std::make_unique<BusSettings>(m_port);

    m_addresses = new QLineEdit(this);
    m_addresses->setObjectName(QStringLiteral("addresses"));
    m_addresses->setPlaceholderText(tr("for example 1,3,5-7, then Enter"));
    m_scan = new QPushButton(tr("Scan…"), this);
    m_scan->setObjectName(QStringLiteral("scan"));
    m_cancel = new QPushButton(tr("Cancel"), this);
    m_cancel->setObjectName(QStringLiteral("cancelScan"));
    m_progress = new QProgressBar(this);
    m_progress->setObjectName(QStringLiteral("scanProgress"));
    m_progress->setRange(0, kLastAddress);
    m_allOff = new QPushButton(tr("All outputs off"), this);
    m_allOff->setObjectName(QStringLiteral("allOff"));
    m_allOff->setStyleSheet(QStringLiteral("QPushButton{background:#c02020;color:white;"
                                           "font-weight:bold;padding:4px 10px;}"));
    m_allOff->setToolTip(tr("Ctrl+Shift+O"));
    m_record = new QPushButton(tr("Record"), this);
    m_record->setObjectName(QStringLiteral("record"));
    m_record->setToolTip(tr("F4"));
    m_portLabel = new QLabel(this);
    m_portLabel->setObjectName(QStringLiteral("port"));
    QFont bold = m_portLabel->font();
    bold.setBold(true);
    m_portLabel->setFont(bold);
    auto *top = new QHBoxLayout;
    top->addWidget(m_portLabel);
    top->addWidget(new QLabel(tr("Addresses:"), this));
    top->addWidget(m_addresses, 1);
    top->addWidget(m_scan);
    top->addWidget(m_progress);
    top->addWidget(m_cancel);
    top->addWidget(m_record);
    top->addWidget(m_allOff);
    m_progress->hide();
    m_cancel->hide();

    m_grid = new QWidget;
    m_gridLayout = new QGridLayout(m_grid);
    m_gridLayout->setAlignment(Qt::AlignTop | Qt::AlignLeft);
    m_scroll = new QScrollArea(this);
    m_scroll->setWidgetResizable(true);
    m_scroll->setWidget(m_grid);
    m_scroll->viewport()->installEventFilter(this);
    // What to do, in place of the cards while there are none.
    m_hint = new QLabel(this);
    m_hint->setObjectName(QStringLiteral("hint"));
    m_hint->setWordWrap(true);
    m_hint->setAlignment(Qt::AlignCenter);
    m_hint->setMargin(24);
    QFont large = m_hint->font();
    large.setPointSizeF(large.pointSizeF() * 1.25);
    m_hint->setFont(large);
    m_statusLine = new QLabel(this);
    m_statusLine->setObjectName(QStringLiteral("statusLine"));
    m_statusLine->setWordWrap(true);

    auto *layout = new QVBoxLayout(this);
    layout->addLayout(top);
    layout->addWidget(m_hint, 1);
    layout->addWidget(m_scroll, 1);
    layout->addWidget(m_statusLine);
    resize(820, 560);

    connect(m_addresses, &QLineEdit::returnPressed, this, &BusWindow::applyAddresses);
    connect(m_scan, &QPushButton::clicked, this, &BusWindow::startScan);
    connect(m_cancel, &QPushButton::clicked, this, &BusWindow::cancelScan);
    connect(m_allOff, &QPushButton::clicked, this, &BusWindow::allOutputsOff);
    connect(m_record, &QPushButton::clicked, this, [this] {
        const QString refused = toggleRecording();
        if (!refused.isEmpty()) {
            inform(refused);
        }
    });
    auto *offKey = new QShortcut(QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_O), this);
    connect(offKey, &QShortcut::activated, this, &BusWindow::allOutputsOff);
    auto *recordKey = new QShortcut(QKeySequence(Qt::Key_F4), this);
    connect(recordKey, &QShortcut::activated, m_record, &QPushButton::click);
    help::addHelp(this, QStringLiteral("bus.md"));

    m_tick.setInterval(kTickMs);
    connect(&m_tick, &QTimer::timeout, this, &BusWindow::tick);
    m_tick.start();

    followLine();
    const QString remembered = m_settings->addresses();
    m_addresses->setText(remembered);
    if (remembered.isEmpty()) {
        m_addresses->setFocus();
    } else {
        applyAddresses();
    }
    showHint();
    updateTitle();
}

BusWindow::~BusWindow()
{
    // The poller goes before its line; requests on the line end uncalled.
    m_poller.reset();
    m_line.reset();
}

void BusWindow::closeEvent(QCloseEvent *event)
{
    m_closed = true;
    cancelScan();
    // No more readings; writes asked for (a switch-off above all) still go out,
    // and the poller and its line go once they have.
    if (m_poller && m_poller->writing()) {
        Poller *poller = m_poller.release();
        ClientLine *line = m_line.release();
        poller->stop();
        disconnect(poller, nullptr, this, nullptr);
        connect(poller, &Poller::writesDone, poller, [poller, line] {
            poller->deleteLater();
            QTimer::singleShot(0, [line] { delete line; });
        });
    }
    m_poller.reset();
    m_line.reset();
    m_tick.stop();
    m_writer.reset();
    QWidget::closeEvent(event);
}

bool BusWindow::eventFilter(QObject *watched, QEvent *event)
{
    if (watched == m_scroll->viewport() && event->type() == QEvent::Resize) {
        reflow();
    }
    return QWidget::eventFilter(watched, event);
}

void BusWindow::inform(const QString &text)
{
    m_statusLine->setText(text);
    m_refusal = text;
    m_messenger.inform(this, text);
}

void BusWindow::report(const QString &text)
{
    m_statusLine->setText(text);
    m_refusal.clear();
}

void BusWindow::clearRefusal()
{
    if (!m_refusal.isEmpty() && m_statusLine->text() == m_refusal) {
        m_statusLine->clear();
    }
    m_refusal.clear();
}

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
        connect(card, &SupplyCard::setRequested, this,
                [this, card](supply::Target t, const QString &text) { requestSet(card, t, text); });
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

void BusWindow::followLine()
{
    supply::Client *now = m_access.client ? m_access.client() : nullptr;
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

void BusWindow::onReading(const supply::Reading &reading)
{
    SupplyCard *c = card(static_cast<std::uint8_t>(reading.row.address));
    if (m_writer) {
        // The recording's clock and counters start at 0 with it, as a log's; the cards' do not.
        const supply::Row row = m_recordRows->make(reading.row.address, reading.sentTime,
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
    m_poller->write(c->address(), supply::Target::Output, 0,
                    [card, exceeded](const supply::WriteResult &result) {
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

void BusWindow::requestSet(SupplyCard *c, supply::Target target, const QString &text)
{
    const bool volts = target == supply::Target::Voltage;
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
    m_poller->write(c->address(), target, *code, [card, volts](const supply::WriteResult &r) {
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
        c->address(), supply::Target::Output, on ? 1 : 0, [card, on](const supply::WriteResult &r) {
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
    supply::Reply *reply = m_client->readStatus(static_cast<std::uint8_t>(m_scanNext), firstByte);
    m_scanReply = reply;
    connect(reply, &supply::Reply::finished, this, [this, reply] {
        reply->deleteLater();
        if (reply != m_scanReply || !scanning()) {
            return;
        }
        m_scanReply = nullptr;
        // A supply is there when it answered: with its status, or with an exception.
        if (reply->error() == supply::Error::None || reply->error() == supply::Error::Exception) {
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

QString BusWindow::droppedText() const
{
    if (m_droppedByOff == 0) {
        return {};
    }
    return m_droppedByOff == 1
               ? tr(" 1 write asked for before it was dropped.")
               : tr(" %1 writes asked for before it were dropped.").arg(m_droppedByOff);
}

QString BusWindow::toggleRecording()
{
    if (m_writer) {
        m_writer.reset();
        m_statusLine->setText(
            tr("The recording ended: %1").arg(QDir::toNativeSeparators(m_recordPath)));
        updateTitle();
        return {};
    }
    QString problem;
    const QString path = m_access.newRecordPath
                             ? m_access.newRecordPath(QStringLiteral("bus"), &problem)
                             : QString();
    if (path.isEmpty()) {
        return problem.isEmpty() ? tr("There is no records folder.") : problem;
    }
    auto writer = std::make_unique<supply::RowWriter>(supply::RowWriter::Format::Csv);
    const QString refused = writer->open(path, supply::RowWriter::Existing::Refuse);
    if (!refused.isEmpty()) {
        return refused;
    }
    m_writer = std::move(writer);
    m_recordRows = std::make_unique<supply::RowMaker>();
    m_recordPath = path;
    m_statusLine->setText(tr("Recording into %1").arg(QDir::toNativeSeparators(path)));
    updateTitle();
    return {};
}

long BusWindow::recordedRows() const
{
    return m_writer ? m_writer->rowsWritten() : 0;
}

void BusWindow::updateTitle()
{
    m_record->setText(m_writer ? tr("Stop recording") : tr("Record"));
    setWindowTitle(m_writer ? tr("%1 — recording: %2 rows").arg(kTitle).arg(recordedRows())
                            : kTitle);
}

void BusWindow::setCeilings(std::uint8_t address, const panels::Ceilings &ceilings)
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
    const panels::Ceilings now = c->ceilings();
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
        panels::Ceilings typed;
        QStringList problems;
        const auto read = [&](QLineEdit *field, double top, const QString &unit,
                              std::optional<double> &into) {
            if (field->text().trimmed().isEmpty()) {
                return;
            }
            const panels::TypedCeiling t = panels::readCeiling(field->text(), top, unit);
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
