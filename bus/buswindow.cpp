#include "bus/buswindow.h"

#include "bus/buswindow_p.h"
#include "bus/supplycard.h"
#include "engine/client.h"
#include "help/helpwindow.h"
#include "records/rowwriter.h"
#include "ui/messenger.h"

#include <QCloseEvent>
#include <QDir>
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

namespace bus {

namespace {

const QString kTitle = QStringLiteral("vantel - bus");

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
    auto writer = std::make_unique<records::RowWriter>(records::RowWriter::Format::Csv);
    const QString refused = writer->open(path, records::RowWriter::Existing::Refuse);
    if (!refused.isEmpty()) {
        return refused;
    }
    m_writer = std::move(writer);
    m_recordRows = std::make_unique<records::RowMaker>();
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

} // namespace bus
