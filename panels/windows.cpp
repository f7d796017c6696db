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

const QString kSequenceFilter = QStringLiteral("Sequence files (*.txt *.seq)");
constexpr int kCheckPauseMs = 200;
constexpr std::int64_t kPollPeriodMs = 350; // the monitor's poll, a run's readings
constexpr int kDiskSettleMs = 300;
const QSize kPreferredSize(900, 720);
// The highest ceilings the limits window takes: a little above the supply's range.
constexpr double kCeilingTopVolts = 62;
constexpr double kCeilingTopAmps = 3.2;
constexpr double kCeilingTopWatts = 200;

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

// The file's bytes now; nullopt when it cannot be read (gone, say).
std::optional<QByteArray> readBytes(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        return std::nullopt;
    }
    return file.readAll();
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
        const QString path = m_askOpen(this, tr("Open a sequence"), m_path, kSequenceFilter);
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

bool SequenceWindow::openFile(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        m_panels.messenger().inform(
            this,
            tr("%1 could not be read: %2").arg(QDir::toNativeSeparators(path), file.errorString()));
        return false;
    }
    const QByteArray bytes = file.readAll();
    // Decoded as a run decodes a file: UTF-8 with or without its mark, UTF-16
    // with its mark.
    const SequenceFileText read = decodeSequenceFile(bytes);
    if (!read.error.isEmpty()) {
        m_panels.messenger().inform(
            this, tr("%1 is not opened: %2").arg(QDir::toNativeSeparators(path), read.error));
        return false;
    }
    setFile(path, bytes, read.encoding, read.crlf);
    editor->setPlainText(read.text);
    editor->document()->setModified(false);
    updateTitle();
    checkNow();
    return true;
}

void SequenceWindow::setFile(const QString &path, const std::optional<QByteArray> &bytes,
                             TextEncoding encoding, bool crlf)
{
    m_path = path;
    m_diskBytes = bytes;
    m_declinedBytes.reset();
    m_encoding = encoding;
    m_crlf = crlf;
    if (!m_watcher.files().isEmpty()) {
        m_watcher.removePaths(m_watcher.files());
    }
    if (!path.isEmpty() && bytes) {
        m_watcher.addPath(path);
    }
}

void SequenceWindow::diskChanged()
{
    if (m_path.isEmpty() || m_askingDisk || m_panels.running() || !isVisible()) {
        return; // a run's end, or the window shown again, looks again
    }
    const std::optional<QByteArray> now = readBytes(m_path);
    // A file replaced by another (as editors save) leaves the watcher: watch it again.
    if (now && !m_watcher.files().contains(m_path)) {
        m_watcher.addPath(m_path);
    }
    if (!now || now == m_diskBytes || now == m_declinedBytes) {
        return;
    }
    m_askingDisk = true;
    const QString name = QDir::toNativeSeparators(m_path);
    const bool reload = m_panels.ask(
        this, modified()
                  ? tr("%1 was changed on disk. Reload it and lose your changes here?").arg(name)
                  : tr("%1 was changed on disk. Reload it?").arg(name));
    m_askingDisk = false;
    if (reload) {
        openFile(m_path);
    } else {
        m_declinedBytes = now;
    }
}

bool SequenceWindow::save()
{
    if (m_path.isEmpty()) {
        return saveAs();
    }
    const QString name = QDir::toNativeSeparators(m_path);
    if (m_encoding == TextEncoding::Other &&
        !m_panels.ask(
            this,
            tr("%1 was read as neither UTF-8 nor UTF-16 text. Save it as UTF-8?").arg(name))) {
        return false;
    }
    const std::optional<QByteArray> now = readBytes(m_path);
    if (now && now != m_diskBytes &&
        !m_panels.ask(this,
                      tr("%1 was changed on disk since it was read. Overwrite it?").arg(name))) {
        return false;
    }
    const QByteArray bytes = encodeSequenceFile(editor->toPlainText(), m_encoding, m_crlf);
    QSaveFile file(m_path);
    if (!file.open(QIODevice::WriteOnly) || file.write(bytes) < 0 || !file.commit()) {
        m_panels.messenger().inform(this,
                                    tr("%1 could not be written: %2")
                                        .arg(QDir::toNativeSeparators(m_path), file.errorString()));
        return false;
    }
    setFile(m_path, bytes, m_encoding == TextEncoding::Other ? TextEncoding::Utf8 : m_encoding,
            m_crlf);
    editor->document()->setModified(false);
    updateTitle();
    checkNow();
    return true;
}

bool SequenceWindow::saveAs()
{
    const QString suggested =
        m_path.isEmpty() ? QDir(m_panels.recordsFolder()).filePath(QStringLiteral("sequence.txt"))
                         : m_path;
    const QString path = m_askSave(this, tr("Save the sequence"), suggested, kSequenceFilter);
    if (path.isEmpty()) {
        return false;
    }
    const QString previous = m_path;
    const std::optional<QByteArray> previousBytes = m_diskBytes;
    // The dialog asked before an existing file is replaced.
    setFile(path, readBytes(path), m_encoding, m_crlf);
    if (!save()) {
        setFile(previous, previousBytes, m_encoding, m_crlf);
        return false;
    }
    return true;
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

void SequenceWindow::showProgress(const supply::RunProgress &p)
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
    connect(m_panels.runner(), &supply::Runner::rowTaken, this, [this](const supply::Row &row) {
        if (row.reading) {
            addReading(plot, static_cast<double>(m_runClock.elapsed()) / 1000.0, *row.reading);
        }
    });
}

void SequenceWindow::runEnded(const supply::RunEnd &, const QString &account)
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

bool SequenceWindow::settleUnsaved()
{
    if (!modified()) {
        return true;
    }
    const Unsaved answer = askUnsaved(this);
    if (answer == Unsaved::Cancel || (answer == Unsaved::Save && !save())) {
        return false;
    }
    if (answer == Unsaved::Discard) {
        editor->document()->setModified(false);
    }
    return true;
}

RecordWindow::RecordWindow(MonitorPanels &panels, QWidget *parent)
    : QWidget(parent, Qt::Window), m_panels(panels), m_askSave(trend::askSavePath)
{
    setObjectName(QStringLiteral("RecordWindow"));
    setWindowTitle(QStringLiteral("vantel - recording"));
    help::addHelp(this, QStringLiteral("window.md"), QStringLiteral("Recording"));
    fileLabel = new QLabel(this);
    fileLabel->setTextInteractionFlags(Qt::TextSelectableByMouse);
    rowsLabel = new QLabel(this);
    startStopButton = new QPushButton(this);
    chooseButton = new QPushButton(tr("Record to…"), this);
    folderRow = new FolderRow(panels, this);
    auto *buttons = new QHBoxLayout;
    buttons->addWidget(startStopButton);
    buttons->addWidget(chooseButton);
    buttons->addStretch(1);
    auto *layout = new QVBoxLayout(this);
    layout->addWidget(fileLabel);
    layout->addWidget(rowsLabel);
    layout->addLayout(buttons);
    layout->addWidget(folderRow);
    layout->addWidget(new QLabel(
        tr("Every poll of the monitor becomes a row, written and flushed at once; a poll "
           "without a reply is a row with its error."),
        this));

    const auto begin = [this](const QString &path) {
        const QString refused = m_panels.startRecording(path);
        if (!refused.isEmpty()) {
            m_panels.messenger().inform(this, refused);
        }
    };
    connect(startStopButton, &QPushButton::clicked, this, [this, begin] {
        if (m_panels.recorder().recording()) {
            m_panels.stopRecording();
        } else {
            begin({});
        }
    });
    connect(chooseButton, &QPushButton::clicked, this, [this, begin] {
        const QString path =
            m_askSave(this, tr("Record to"), m_panels.newRecordPath(QStringLiteral("record")),
                      QStringLiteral("CSV files (*.csv)"));
        if (!path.isEmpty()) {
            m_panels.stopRecording();
            QFile::remove(path); // the dialog asked before an existing file is replaced
            begin(path);
        }
    });
    connect(&m_panels.recorder(), &Recorder::stateChanged, this, &RecordWindow::update);
    connect(&m_panels.recorder(), &Recorder::rowWritten, this, &RecordWindow::update);
    update();
}

void RecordWindow::update()
{
    const Recorder &r = m_panels.recorder();
    startStopButton->setText(r.recording() ? tr("Stop recording (F4)")
                                           : tr("Start recording (F4)"));
    fileLabel->setText(r.path().isEmpty()
                           ? tr("Not recording.")
                           : (r.recording() ? tr("Recording to %1") : tr("Recorded to %1"))
                                 .arg(QDir::toNativeSeparators(r.path())));
    rowsLabel->setText(tr("%1 rows").arg(r.rows()));
}

LimitsWindow::LimitsWindow(MonitorPanels &panels, QWidget *parent)
    : QWidget(parent, Qt::Window), m_panels(panels)
{
    setObjectName(QStringLiteral("LimitsWindow"));
    setWindowTitle(QStringLiteral("vantel - limits"));
    help::addHelp(this, QStringLiteral("window.md"), QStringLiteral("Limits"));
    // Plain fields: what is typed stays as typed until Apply judges it, so that a
    // value out of range or unreadable is refused with a word, never cut short.
    const auto field = [this](const QString &unit) {
        auto *box = new QLineEdit(this);
        auto *row = new QWidget(this);
        auto *layout = new QHBoxLayout(row);
        layout->setContentsMargins(0, 0, 0, 0);
        layout->addWidget(box, 1);
        layout->addWidget(new QLabel(unit, row));
        return std::pair{box, row};
    };
    voltsOn = new QCheckBox(tr("Voltage ceiling"), this);
    ampsOn = new QCheckBox(tr("Current ceiling"), this);
    wattsOn = new QCheckBox(tr("Power ceiling"), this);
    const auto [voltsBox, voltsRow] = field(QStringLiteral("V"));
    const auto [ampsBox, ampsRow] = field(QStringLiteral("A"));
    const auto [wattsBox, wattsRow] = field(QStringLiteral("W"));
    volts = voltsBox;
    amps = ampsBox;
    watts = wattsBox;
    applyButton = new QPushButton(tr("Apply"), this);
    stateLabel = new QLabel(this);
    auto *grid = new QGridLayout;
    grid->addWidget(voltsOn, 0, 0);
    grid->addWidget(voltsRow, 0, 1);
    grid->addWidget(ampsOn, 1, 0);
    grid->addWidget(ampsRow, 1, 1);
    grid->addWidget(wattsOn, 2, 0);
    grid->addWidget(wattsRow, 2, 1);
    auto *note = new QLabel(
        tr("While the monitor runs, a reading above a ceiling by more than the supply's "
           "resolution switches the output off, and a set value above one is not sent. "
           "This reacts within one poll (350 ms) plus one write: it is no replacement for "
           "the supply's own protection."),
        this);
    note->setWordWrap(true);
    auto *layout = new QVBoxLayout(this);
    layout->addLayout(grid);
    layout->addWidget(applyButton);
    layout->addWidget(stateLabel);
    layout->addWidget(note);
    connect(applyButton, &QPushButton::clicked, this, [this] {
        // Every checked field must be readable and in range, or nothing changes.
        struct Entry {
            QCheckBox *on;
            QLineEdit *box;
            double top;
            QString unit;
            std::optional<double> Ceilings::*value;
        };
        const Entry entries[] = {
            {voltsOn, volts, kCeilingTopVolts, QStringLiteral("V"), &Ceilings::volts},
            {ampsOn, amps, kCeilingTopAmps, QStringLiteral("A"), &Ceilings::amps},
            {wattsOn, watts, kCeilingTopWatts, QStringLiteral("W"), &Ceilings::watts},
        };
        Ceilings c;
        for (const Entry &e : entries) {
            if (!e.on->isChecked()) {
                continue;
            }
            const TypedCeiling typed = readCeiling(e.box->text(), e.top, e.unit);
            if (!typed.value) {
                stateLabel->setText(tr("Not applied: %1: %2.").arg(e.on->text(), typed.problem));
                e.box->setFocus();
                return;
            }
            c.*e.value = typed.value;
        }
        m_panels.setCeilings(c);
    });
    connect(&m_panels, &MonitorPanels::ceilingsChanged, this, &LimitsWindow::update);
    load();
    update();
}

void LimitsWindow::load()
{
    const Ceilings &c = m_panels.ceilings();
    voltsOn->setChecked(c.volts.has_value());
    ampsOn->setChecked(c.amps.has_value());
    wattsOn->setChecked(c.watts.has_value());
    volts->setText(QString::number(c.volts.value_or(0), 'f', 2));
    amps->setText(QString::number(c.amps.value_or(0), 'f', 3));
    watts->setText(QString::number(c.watts.value_or(0), 'f', 2));
}

void LimitsWindow::update()
{
    const QString summary = m_panels.ceilings().summary();
    stateLabel->setText(summary.isEmpty() ? tr("No ceiling is set.") : summary);
}

} // namespace panels
