// The sequence window: its editor, checks, preview and run; the folder row. Its
// file's jobs are in sequencewindowfile.cpp, the record and limits windows in
// recordlimits.cpp.
#include "panels/windows.h"

#include "help/helpwindow.h"
#include "panels/codeeditor.h"
#include "panels/examples.h"
#include "panels/monitorpanels.h"
#include "panels/preview.h"
#include "panels/previewplot.h"
#include "panels/timetext.h"
#include "trend/savedialog.h"
#include "ui/messenger.h"

#include <QAction>
#include <QCheckBox>
#include <QCloseEvent>
#include <QDesktopServices>
#include <QDir>
#include <QDoubleSpinBox>
#include <QFile>
#include <QFileInfo>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSaveFile>
#include <QScreen>
#include <QShortcut>
#include <QSplitter>
#include <QUrl>
#include <QVBoxLayout>

namespace panels {

namespace {

constexpr int kCheckPauseMs = 200;
constexpr std::int64_t kPollPeriodMs = 350; // the monitor's poll, a run's readings
constexpr int kDiskSettleMs = 300;
const QSize kPreferredSize(900, 720);

QString duration(double seconds)
{
    return QString::fromStdString(
        sequence::durationText(static_cast<std::int64_t>(seconds * 1000)));
}

SequenceWindow::Unsaved askUnsavedBox(QWidget *parent)
{
    const auto answer = QMessageBox::question(
        parent, ui::messageTitle(), QObject::tr("The sequence was changed. Save it?"),
        QMessageBox::Save | QMessageBox::Discard | QMessageBox::Cancel, QMessageBox::Save);
    if (answer == QMessageBox::Save) {
        return SequenceWindow::Unsaved::Save;
    }
    return answer == QMessageBox::Discard ? SequenceWindow::Unsaved::Discard
                                          : SequenceWindow::Unsaved::Cancel;
}

// `wanted`, shrunk to fit the screen's free area with room for the frame.
QSize fitted(QSize wanted, const QRect &available)
{
    constexpr int kFrame = 40;
    return wanted.boundedTo(available.size() - QSize(kFrame / 2, kFrame));
}

} // namespace

SequenceWindow::SequenceWindow(MonitorPanels &panels, QWidget *parent)
    : QWidget(parent, Qt::Window), m_panels(panels), m_askOpen(trend::askOpenPath),
      m_askSave(trend::askSavePath)
{
    setObjectName(QStringLiteral("SequenceWindow"));
    askUnsaved = askUnsavedBox;
    help::addHelp(this, QStringLiteral("window.md"), QStringLiteral("Sequences"));
    resize(screen() ? fitted(kPreferredSize, screen()->availableGeometry()) : kPreferredSize);

    openButton = new QPushButton(tr("Open…"), this);
    saveButton = new QPushButton(tr("Save"), this);
    saveAsButton = new QPushButton(tr("Save as…"), this);
    examplesButton = new QPushButton(tr("Examples"), this);
    auto *examplesMenu = new QMenu(examplesButton);
    for (const Example &example : examples()) {
        examplesMenu->addAction(example.name, this, [this, example] {
            if (!settleUnsaved()) {
                return;
            }
            // An example belongs to no file: a save asks where it goes.
            setFile({}, std::nullopt, TextEncoding::Utf8, false);
            editor->setPlainText(example.text);
            editor->document()->setModified(true);
            updateTitle();
        });
    }
    examplesButton->setMenu(examplesMenu);
    auto *fileRow = new QHBoxLayout;
    for (QPushButton *b : {openButton, saveButton, saveAsButton, examplesButton}) {
        fileRow->addWidget(b);
    }
    fileRow->addStretch(1);

    editor = new CodeEditor(this);
    editor->setObjectName(QStringLiteral("sequenceEditor"));
    checkLabel = new QLabel(this);
    checkLabel->setStyleSheet(QStringLiteral("color: #b00000"));
    checkLabel->setTextInteractionFlags(Qt::TextSelectableByMouse);
    summaryLabel = new QLabel(this);
    previewNote = new QLabel(this);
    previewNote->setWordWrap(true);
    plot = makePreviewPlot(this);

    startButton = new QPushButton(tr("Start (F5)"), this);
    stopButton = new QPushButton(tr("Stop (Shift+F5)"), this);
    stopKeepButton = new QPushButton(tr("Stop, keep output"), this);
    auto *runRow = new QHBoxLayout;
    for (QPushButton *b : {startButton, stopButton, stopKeepButton}) {
        runRow->addWidget(b);
    }
    runRow->addStretch(1);
    stepLabel = new QLabel(this);
    waitLabel = new QLabel(this);
    timeLabel = new QLabel(this);
    rowsLabel = new QLabel(this);
    recordLabel = new QLabel(this);
    recordLabel->setTextInteractionFlags(Qt::TextSelectableByMouse);
    accountLabel = new QLabel(this);
    accountLabel->setWordWrap(true);
    ceilingLabel = new QLabel(this);
    folderRow = new FolderRow(panels, this);
    log = new QPlainTextEdit(this);
    log->setReadOnly(true);
    log->setMaximumBlockCount(2000);
    log->setMinimumHeight(3 * log->fontMetrics().height());
    log->setTabChangesFocus(true);

    auto *top = new QWidget(this);
    auto *topLayout = new QVBoxLayout(top);
    topLayout->setContentsMargins(0, 0, 0, 0);
    topLayout->addLayout(fileRow);
    topLayout->addWidget(editor, 1);
    topLayout->addWidget(checkLabel);
    topLayout->addWidget(summaryLabel);
    auto *bottom = new QWidget(this);
    auto *bottomLayout = new QVBoxLayout(bottom);
    bottomLayout->setContentsMargins(0, 0, 0, 0);
    bottomLayout->addWidget(plot, 3);
    bottomLayout->addWidget(previewNote);
    bottomLayout->addLayout(runRow);
    for (QLabel *l :
         {ceilingLabel, stepLabel, waitLabel, timeLabel, rowsLabel, recordLabel, accountLabel}) {
        bottomLayout->addWidget(l);
    }
    bottomLayout->addWidget(folderRow);
    bottomLayout->addWidget(log, 1);
    auto *split = new QSplitter(Qt::Vertical, this);
    split->addWidget(top);
    split->addWidget(bottom);
    auto *layout = new QVBoxLayout(this);
    layout->addWidget(split);

    const auto key = [this](const QKeySequence &sequence, QPushButton *button) {
        auto *shortcut = new QShortcut(sequence, this);
        connect(shortcut, &QShortcut::activated, button, &QPushButton::click);
    };
    key(QKeySequence::Open, openButton);
    key(QKeySequence::Save, saveButton);
    key(Qt::Key_F5, startButton);
    key(QKeySequence(Qt::SHIFT | Qt::Key_F5), stopButton);

    connect(openButton, &QPushButton::clicked, this, [this] {
        if (m_panels.running()) {
            return;
        }
        // The path first: edits discarded for a dialog then cancelled would be
        // left in the editor marked as saved.
        const QString path = m_askOpen(this, tr("Open a sequence"), m_path, fileFilter());
        if (!path.isEmpty() && settleUnsaved()) {
            openFile(path);
        }
    });
    connect(saveButton, &QPushButton::clicked, this, &SequenceWindow::save);
    connect(saveAsButton, &QPushButton::clicked, this, &SequenceWindow::saveAs);
    connect(startButton, &QPushButton::clicked, this, &SequenceWindow::start);
    connect(stopButton, &QPushButton::clicked, this,
            [this] { m_panels.stopRun(tr("stopped by the Stop button")); });
    connect(stopKeepButton, &QPushButton::clicked, this,
            [this] { m_panels.stopRun(tr("stopped by “Stop, keep output”"), true); });

    m_checkTimer.setSingleShot(true);
    m_checkTimer.setInterval(kCheckPauseMs);
    connect(&m_checkTimer, &QTimer::timeout, this, &SequenceWindow::check);
    connect(editor, &QPlainTextEdit::textChanged, this, [this] { m_checkTimer.start(); });
    connect(editor->document(), &QTextDocument::modificationChanged, this,
            &SequenceWindow::updateTitle);
    m_diskTimer.setSingleShot(true);
    m_diskTimer.setInterval(kDiskSettleMs);
    connect(&m_watcher, &QFileSystemWatcher::fileChanged, &m_diskTimer,
            qOverload<>(&QTimer::start));
    connect(&m_diskTimer, &QTimer::timeout, this, &SequenceWindow::diskChanged);
    connect(&m_panels, &MonitorPanels::runStarted, this, &SequenceWindow::followRun);

    connect(&m_panels, &MonitorPanels::runStarted, this, [this] {
        log->clear();
        accountLabel->clear();
        updateButtons();
    });
    connect(&m_panels, &MonitorPanels::runMessage, log, &QPlainTextEdit::appendPlainText);
    connect(&m_panels, &MonitorPanels::runProgress, this, &SequenceWindow::showProgress);
    connect(&m_panels, &MonitorPanels::runFinished, this, &SequenceWindow::runEnded);
    connect(&m_panels, &MonitorPanels::ceilingsChanged, this,
            [this] { ceilingLabel->setText(m_panels.ceilings().summary()); });
    ceilingLabel->setText(m_panels.ceilings().summary());

    updateTitle();
    updateButtons();
    check();
}

QString SequenceWindow::fileName() const
{
    return m_path.isEmpty() ? tr("untitled") : QFileInfo(m_path).fileName();
}

bool SequenceWindow::modified() const
{
    return editor->document()->isModified();
}

void SequenceWindow::updateTitle()
{
    QString title = QStringLiteral("vantel - sequence");
    if (!m_path.isEmpty()) {
        title += QStringLiteral(" — ") + fileName();
    }
    if (modified()) {
        title += QStringLiteral(" *");
    }
    setWindowTitle(title);
}

void SequenceWindow::updateButtons()
{
    const bool running = m_panels.running();
    // A run button about to be disabled hands the focus on: to Stop when a run
    // starts, to the editor when it ends, never to whatever field comes next.
    QWidget *focused = focusWidget();
    const bool runFocus =
        focused == startButton || focused == stopButton || focused == stopKeepButton;
    editor->setReadOnly(running);
    startButton->setEnabled(!running);
    openButton->setEnabled(!running);
    examplesButton->setEnabled(!running);
    stopButton->setEnabled(running);
    stopKeepButton->setEnabled(running);
    if (!running) {
        editor->setRunningLine(0);
    }
    if (runFocus) {
        (running ? static_cast<QWidget *>(stopButton) : editor)->setFocus();
    }
}

void SequenceWindow::checkNow()
{
    m_checkTimer.stop();
    check();
}

void SequenceWindow::check()
{
    const QString text = editor->toPlainText();
    const sequence::ParsedSequence parsed = sequence::parseSequence(text.toStdString());
    // An empty editor is no error until it is run: a new window shows nothing yet.
    if (parsed.error && text.trimmed().isEmpty()) {
        checkLabel->clear();
        editor->setErrorLines({});
        summaryLabel->clear();
        clearPreview(plot, tr("no preview: no steps yet"));
        previewNote->clear();
        return;
    }
    if (parsed.error) {
        checkLabel->setText(QStringLiteral("%1:%2: %3")
                                .arg(fileName())
                                .arg(parsed.error->line)
                                .arg(QString::fromStdString(parsed.error->message)));
        editor->setErrorLines({parsed.error->line});
        summaryLabel->clear();
        // A plan drawn before the error would pass for this text's.
        clearPreview(plot, tr("no preview: line %1 has an error").arg(parsed.error->line));
        previewNote->setText(
            tr("The preview is drawn again once line %1 is corrected.").arg(parsed.error->line));
        return;
    }
    checkLabel->clear();
    editor->setErrorLines({});
    const sequence::Sequence &s = parsed.sequence;
    const auto steps = std::count_if(s.steps.begin(), s.steps.end(), [](const auto &step) {
        return step.kind != sequence::SequenceStep::Kind::End;
    });
    const auto longest = s.longestMs();
    summaryLabel->setText(longest
                              ? tr("%1 steps; the waits take at most %2")
                                    .arg(steps)
                                    .arg(QString::fromStdString(sequence::durationText(*longest)))
                              : tr("%1 steps; no bound: the until at line %2 has no max")
                                    .arg(steps)
                                    .arg(s.unboundedLine()));
    // What a run at the window's poll period may not do as written.
    QStringList warnings;
    for (const sequence::SequenceWarning &w : s.warnings(kPollPeriodMs)) {
        warnings << QStringLiteral("%1:%2: warning: %3")
                        .arg(fileName())
                        .arg(w.line)
                        .arg(QString::fromStdString(w.message));
    }
    checkLabel->setText(warnings.join(QLatin1Char('\n')));
    const auto last = m_panels.link().lastReading();
    const Preview preview = planPreview(s, last ? last->setVolts() : 0, last ? last->setAmps() : 0,
                                        kMostPreviewPoints, last && last->outputOn);
    drawPreview(plot, preview);
    QStringList notes;
    if (!preview.openEnds.empty()) {
        notes << tr("an until without max is drawn %1 long and marked open-ended")
                     .arg(duration(kOpenEndedSeconds));
    }
    if (!preview.summary.isEmpty()) {
        notes << preview.summary;
    }
    previewNote->setText(notes.join(QStringLiteral("; ")));
}

void SequenceWindow::start()
{
    if (m_panels.running()) {
        return;
    }
    checkNow();
    // The whole text is checked again, as a run of the file would check it.
    const sequence::ParsedSequence parsed =
        sequence::parseSequence(editor->toPlainText().toStdString());
    if (parsed.error && !checkLabel->text().isEmpty()) {
        accountLabel->setText(tr("Nothing started: %1").arg(checkLabel->text()));
        return;
    }
    // Only an empty editor has no error line to show.
    if (parsed.error || parsed.sequence.steps.empty()) {
        accountLabel->setText(tr("Nothing started: the sequence has no step."));
        return;
    }
    const QString refused = m_panels.startRun(parsed.sequence);
    if (!refused.isEmpty()) {
        accountLabel->setText(tr("Nothing started: %1").arg(refused));
        return;
    }
    recordLabel->setText(tr("Recording to %1").arg(QDir::toNativeSeparators(m_panels.runPath())));
    updateButtons();
}

void SequenceWindow::showProgress(const runs::RunProgress &p)
{
    editor->setRunningLine(p.line);
    stepLabel->setText(tr("line %1: %2").arg(p.line).arg(p.step));
    waitLabel->setText(p.waitFor.isEmpty() ? QString()
                                           : tr("waiting for %1: met %2 of %3 in a row")
                                                 .arg(p.waitFor)
                                                 .arg(p.metInARow)
                                                 .arg(p.needed));
    timeLabel->setText(runTimeText(p.elapsedSeconds, p.remainingSeconds, m_panels.running()));
    rowsLabel->setText(tr("%1 rows recorded, %2 Ah, %3 Wh")
                           .arg(p.rows)
                           .arg(p.ampHours, 0, 'f', 4)
                           .arg(p.wattHours, 0, 'f', 4));
}

void SequenceWindow::followRun()
{
    // The plan from the set values the run starts with, and its readings over it.
    clearReadings(plot);
    checkNow();
    m_runClock.start();
    connect(m_panels.runner(), &runs::Runner::rowTaken, this, [this](const records::Row &row) {
        if (row.reading) {
            addReading(plot, static_cast<double>(m_runClock.elapsed()) / 1000.0, *row.reading);
        }
    });
}

void SequenceWindow::runEnded(const runs::RunEnd &, const QString &account)
{
    accountLabel->setText(account);
    log->appendPlainText(account);
    waitLabel->clear();
    recordLabel->setText(tr("Recorded to %1").arg(QDir::toNativeSeparators(m_panels.runPath())));
    updateButtons();
    if (m_closing) {
        m_closing = false;
        hide();
    }
    m_diskTimer.start(); // a change on disk during the run is asked about now
}

void SequenceWindow::showEvent(QShowEvent *event)
{
    QWidget::showEvent(event);
    m_diskTimer.start(); // a change on disk while the window was closed is asked about now
}

void SequenceWindow::closeEvent(QCloseEvent *event)
{
    if (m_panels.running()) {
        event->ignore();
        if (m_panels.ask(this, stopRunQuestion())) {
            m_closing = true;
            m_panels.stopRun(tr("the sequence window was closed"));
        }
        return;
    }
    if (!settleUnsaved()) {
        event->ignore();
        return;
    }
    editor->document()->setModified(false);
    QWidget::closeEvent(event);
}

} // namespace panels
