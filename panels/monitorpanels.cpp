#include "panels/monitorpanels.h"

#include "panels/runline.h"
#include "panels/windows.h"
#include "records/rowwriter.h"
#include "ui/messenger.h"

#include <QAction>
#include <QContextMenuEvent>
#include <QDateTime>
#include <QDir>
#include <QFileInfo>
#include <QMenu>
#include <QMessageBox>
#include <QSettings>
#include <QShortcut>
#include <QStandardPaths>
#include <QTimer>
#include <QWidget>

namespace panels {

namespace {

const QString kFolderKey = QStringLiteral("records/folder");

bool askYesNo(QWidget *parent, const QString &question)
{
    return QMessageBox::question(parent, ui::messageTitle(), question,
                                 QMessageBox::Yes | QMessageBox::No,
                                 QMessageBox::No) == QMessageBox::Yes;
}

QString durationText(double seconds)
{
    return QString::fromStdString(
        sequence::durationText(static_cast<std::int64_t>(seconds * 1000)));
}

QAction *addAction(QWidget *window, const QString &name, const QString &text,
                   const QKeySequence &key)
{
    auto *action = new QAction(text, window);
    action->setObjectName(name);
    action->setShortcut(key);
    return action;
}

} // namespace

QString stopRunQuestion()
{
    return QObject::tr("A sequence is running. Stop it and switch the output off?");
}

MonitorPanels::MonitorPanels(QWidget *window, const QList<QWidget *> &boxes,
                             ui::Messenger &messenger)
    : QObject(window), m_window(window), m_messenger(messenger), m_baseTitle(window->windowTitle()),
      m_link(this), m_recorder(m_link, this), m_ceilings(ui::Ceilings::load())
{
    setObjectName(QStringLiteral("panels"));
    ask = askYesNo;
    m_sequenceAction =
        addAction(window, QStringLiteral("sequenceAction"), tr("Sequence…"), Qt::Key_F3);
    m_recordAction = addAction(window, QStringLiteral("recordAction"), tr("Record…"), Qt::Key_F4);
    m_limitsAction = addAction(window, QStringLiteral("limitsAction"), tr("Limits…"), {});
    connect(m_sequenceAction, &QAction::triggered, this, &MonitorPanels::showSequenceWindow);
    connect(m_recordAction, &QAction::triggered, this, [this] {
        // F4 starts a recording into the records folder, or ends the one running.
        if (m_recorder.recording()) {
            stopRecording();
        } else {
            const QString refused = startRecording();
            if (!refused.isEmpty()) {
                inform(refused);
            }
        }
        showRecordWindow();
    });
    connect(m_limitsAction, &QAction::triggered, this, &MonitorPanels::showLimitsWindow);
    // The entries join each context menu after the widget's own actions ("Trend…"
    // first), which are left as they are; the keys work anywhere in the window.
    for (QWidget *widget : QList<QWidget *>{window} + boxes) {
        widget->installEventFilter(this);
        m_menuWidgets << widget;
    }
    for (QAction *action : {m_sequenceAction, m_recordAction}) {
        auto *key = new QShortcut(action->shortcut(), window);
        connect(key, &QShortcut::activated, action, &QAction::trigger);
    }
    // The stop key of the sequence window works in this window too.
    auto *stopKey = new QShortcut(QKeySequence(Qt::SHIFT | Qt::Key_F5), window);
    connect(stopKey, &QShortcut::activated, this,
            [this] { stopRun(tr("stopped by Shift+F5 in the monitor window")); });

    connect(&m_link, &MonitorLink::polled, this, &MonitorPanels::onPoll);
    connect(&m_link, &MonitorLink::ended, this, [this](const engine::Failure &why) {
        if (m_recorder.recording() && !m_link.portOpen()) {
            const QString path = m_recorder.path();
            m_recorder.stop();
            inform(tr("The recording ended (%1); its file is kept: %2")
                       .arg(MonitorLink::endedText(why), QDir::toNativeSeparators(path)));
        }
    });
    connect(&m_recorder, &Recorder::ended, this, [this](const QString &why) { inform(why); });
    connect(&m_recorder, &Recorder::stateChanged, this, &MonitorPanels::updateTitle);
    connect(&m_recorder, &Recorder::rowWritten, this, &MonitorPanels::updateTitle);
}

MonitorPanels::~MonitorPanels()
{
    // The window's controls may be gone already: nothing more is sent through them.
    m_link.send = nullptr;
    // The runner goes before its line and its sequence.
    m_runner.reset();
    m_runLine.reset();
}

bool MonitorPanels::eventFilter(QObject *watched, QEvent *event)
{
    // Quitting: an unsaved sequence is asked about before anything closes, and
    // Cancel keeps everything as it is. A run is stopped first (the window asks),
    // and the window's close after it comes here again.
    if (event->type() == QEvent::Close && watched == m_window && !running()) {
        auto *w = m_window->findChild<SequenceWindow *>(QString(), Qt::FindDirectChildrenOnly);
        if (w != nullptr && !w->settleUnsaved()) {
            event->ignore();
            return true;
        }
        // The windows beside it go with it.
        for (QWidget *child : m_window->findChildren<QWidget *>(Qt::FindDirectChildrenOnly)) {
            if (qobject_cast<SequenceWindow *>(child) || qobject_cast<RecordWindow *>(child) ||
                qobject_cast<LimitsWindow *>(child)) {
                child->close();
            }
        }
    }
    if (event->type() == QEvent::ContextMenu && m_menuWidgets.contains(watched)) {
        auto *widget = static_cast<QWidget *>(watched);
        QList<QAction *> entries = widget->actions();
        entries << m_sequenceAction << m_recordAction << m_limitsAction << m_moreActions;
        QMenu::exec(entries, static_cast<QContextMenuEvent *>(event)->globalPos(), nullptr, widget);
        return true;
    }
    return QObject::eventFilter(watched, event);
}

void MonitorPanels::addEntry(QAction *action)
{
    m_moreActions << action;
    if (!action->shortcut().isEmpty()) {
        auto *key = new QShortcut(action->shortcut(), m_window);
        connect(key, &QShortcut::activated, action, &QAction::trigger);
    }
}

void MonitorPanels::inform(const QString &text)
{
    // Shown once the current handler is done, so that a write decided in it goes
    // out before the box's own event loop runs.
    // A window closed meanwhile (the program quitting) shows nothing more.
    QTimer::singleShot(0, this, [this, text] {
        if (m_window->isVisible()) {
            m_messenger.inform(m_window, text);
        }
    });
}

bool MonitorPanels::intercept(const QString &why, std::function<void()> proceed)
{
    if (!running()) {
        return false;
    }
    if (!ask(m_window, stopRunQuestion())) {
        return true;
    }
    stopRun(why, false, std::move(proceed));
    return true;
}

void MonitorPanels::setCeilings(const ui::Ceilings &ceilings)
{
    m_ceilings = ceilings;
    m_ceilings.save();
    m_held.clear();
    m_heldAddress.reset();
    holdCeilings();
    emit ceilingsChanged();
}

void MonitorPanels::holdCeilings()
{
    m_held.setClient(lineClient ? lineClient() : nullptr);
    const std::optional<std::uint8_t> address = m_link.address ? m_link.address() : std::nullopt;
    if (address == m_heldAddress) {
        return;
    }
    // The window's ceilings hold on the supply it reads, and on no other.
    m_held.clear();
    m_heldAddress = address;
    if (address) {
        m_held.hold(*address, m_ceilings);
    }
}

QString MonitorPanels::recordsFolder() const
{
    // A relative folder would depend on where the program was started: it is
    // never used, even if an older version stored one.
    const QString chosen = ui::userSettings()->value(kFolderKey).toString();
    if (!chosen.isEmpty() && QDir::isAbsolutePath(chosen)) {
        return chosen;
    }
    return QDir(QStandardPaths::writableLocation(QStandardPaths::DocumentsLocation))
        .filePath(QStringLiteral("vantel"));
}

QString MonitorPanels::folderProblem(const QString &folder)
{
    if (folder.isEmpty()) {
        return tr("no folder is given");
    }
    if (!QDir::isAbsolutePath(folder)) {
        return tr("%1 is not a full path").arg(QDir::toNativeSeparators(folder));
    }
    // The folder itself, or the nearest of its parents that exists, must be a
    // folder this user may write in.
    QFileInfo existing(QDir::cleanPath(folder));
    while (!existing.exists() && !existing.isRoot()) {
        existing = QFileInfo(existing.absolutePath());
    }
    if (!existing.isDir()) {
        return tr("%1 is a file, not a folder").arg(QDir::toNativeSeparators(existing.filePath()));
    }
    if (!existing.isWritable()) {
        return tr("%1 cannot be written to").arg(QDir::toNativeSeparators(existing.filePath()));
    }
    return {};
}

QString MonitorPanels::setRecordsFolder(const QString &folder)
{
    const QString problem = folderProblem(folder);
    if (!problem.isEmpty()) {
        return problem;
    }
    ui::userSettings()->setValue(kFolderKey, QDir::cleanPath(folder));
    emit recordsFolderChanged();
    return {};
}

QString MonitorPanels::newRecordPath(const QString &prefix) const
{
    const QDir folder(recordsFolder());
    const QString stem =
        prefix + QDateTime::currentDateTime().toString(QStringLiteral("-yyyyMMdd-HHmmss"));
    QString path = folder.filePath(stem + QStringLiteral(".csv"));
    for (int n = 2; QFileInfo::exists(path); ++n) {
        path = folder.filePath(QStringLiteral("%1-%2.csv").arg(stem).arg(n));
    }
    return path;
}

bool MonitorPanels::running() const
{
    return m_runner && m_runner->running();
}

long MonitorPanels::runRows() const
{
    return m_runWriter ? m_runWriter->rowsWritten() : 0;
}

QString MonitorPanels::startRun(const sequence::Sequence &sequence)
{
    if (running()) {
        return tr("A sequence is running already.");
    }
    const QString notReady = m_link.notReadyReason();
    if (!notReady.isEmpty()) {
        return notReady;
    }
    const QString refused = m_ceilings.refusesSequence(sequence);
    if (!refused.isEmpty()) {
        return refused;
    }
    if (!QDir().mkpath(recordsFolder())) {
        return tr("The records folder %1 cannot be made.")
            .arg(QDir::toNativeSeparators(recordsFolder()));
    }
    auto writer = std::make_unique<records::RowWriter>(records::RowWriter::Format::Csv, true);
    const QString path = newRecordPath(QStringLiteral("run"));
    const QString failed = writer->open(path, records::RowWriter::Existing::Refuse);
    if (!failed.isEmpty()) {
        return failed;
    }
    m_runner.reset();
    m_runLine.reset();
    m_runWriter = std::move(writer);
    m_runPath = path;
    m_sequence = sequence;
    const std::uint8_t address = *m_link.address();
    m_runLine = std::make_unique<WindowRunLine>(m_link, address);
    runs::RunOptions options;
    options.address = address;
    m_runner = std::make_unique<runs::Runner>(*m_runLine, m_sequence, options);
    connect(m_runner.get(), &runs::Runner::rowTaken, this, &MonitorPanels::onRunRow);
    connect(m_runner.get(), &runs::Runner::message, this, [this](const QString &text) {
        // The way out is told once, by the closing account, in the window's words.
        if (!m_runner->ending()) {
            emit runMessage(text);
        }
    });
    connect(m_runner.get(), &runs::Runner::progressChanged, this, [this](const auto &p) {
        emit runProgress(p);
        updateTitle();
    });
    connect(m_runner.get(), &runs::Runner::finished, this, &MonitorPanels::onRunFinished);
    // The file's limit holds for every program on the line while the run goes.
    ui::Ceilings limits;
    if (m_sequence.limits.voltage) {
        limits.volts = *m_sequence.limits.voltage / protocol::kCountsPerVolt;
    }
    if (m_sequence.limits.current) {
        limits.amps = *m_sequence.limits.current / protocol::kCountsPerAmp;
    }
    limits.watts = m_sequence.limits.watts;
    m_runHeld.setClient(lineClient ? lineClient() : nullptr);
    m_runHeld.hold(address, limits);
    m_runner->start();
    emit runStarted();
    updateTitle();
    return {};
}

void MonitorPanels::stopRun(const QString &why, bool keepOutput, std::function<void()> after)
{
    if (after) {
        m_afterRun.push_back(std::move(after));
    }
    if (running()) {
        m_runner->stop(why, keepOutput);
    }
}

void MonitorPanels::onRunRow(const records::Row &row)
{
    if (!m_runWriter) {
        return;
    }
    const QString failed = m_runWriter->write(row);
    if (!failed.isEmpty() && m_runner) {
        m_runner->fail(tr("a row could not be written: %1").arg(failed));
    }
}

void MonitorPanels::onRunFinished(const runs::RunEnd &end)
{
    m_runHeld.clear();
    using How = runs::RunEnd::How;
    using Output = runs::RunEnd::Output;
    QString account;
    if (end.how == How::Completed) {
        account = tr("line %1: completed after %2; the output is left as the file leaves it")
                      .arg(end.line)
                      .arg(durationText(m_runner->progress().elapsedSeconds));
    } else {
        account = tr("line %1: %2: %3; ")
                      .arg(end.line)
                      .arg(end.how == How::Stopped ? tr("stopped") : tr("aborted"), end.why);
        switch (end.output) {
        case Output::Off:
            account += tr("the output is switched off, confirmed");
            break;
        case Output::LeftAsIs:
            account += tr("the output is left as it is");
            break;
        case Output::MayBeOn:
            account += tr("switching the output off was not confirmed (%1): it may still be on")
                           .arg(end.outputProblem);
            break;
        case Output::AsTheFileLeavesIt:
            account += tr("the output is left as the file leaves it");
            break;
        }
    }
    m_runWriter.reset();
    m_tripping = false;
    emit runFinished(end, account);
    updateTitle();
    // What a stop was asked for comes after it, once the runner's own signal is done.
    std::vector<std::function<void()>> after;
    after.swap(m_afterRun);
    QTimer::singleShot(0, this, [after = std::move(after)] {
        for (const auto &f : after) {
            f();
        }
    });
}

void MonitorPanels::onPoll(const Poll &poll)
{
    holdCeilings();
    if (!poll.reading || !m_ceilings.any()) {
        return;
    }
    const QString exceeded = m_ceilings.exceededBy(*poll.reading);
    if (exceeded.isEmpty() || !poll.reading->outputOn || m_tripping) {
        return;
    }
    const QString why = tr("ceiling tripped: %1").arg(exceeded);
    m_tripping = true;
    if (running()) {
        // The run switches the output off on its way out, with a confirmed write,
        // and its account says how that went.
        m_runner->fail(why);
        inform(tr("The run ends: %1; it switches the output off.").arg(why));
        return;
    }
    // Said once the switch-off is confirmed or not, never before.
    m_link.switchOutput(false, [this, why](const records::WriteResult &result) {
        m_tripping = false;
        if (result.confirmed) {
            inform(tr("The output is switched off: %1.").arg(why));
        } else {
            inform(tr("Switching the output off after the %1 was not confirmed (%2): it "
                      "may still be on.")
                       .arg(why, result.problem));
        }
    });
}

QString MonitorPanels::startRecording(const QString &path)
{
    // A recording takes the monitor's polls: without them it would never record.
    const QString notReady = m_link.notReadyReason();
    if (!notReady.isEmpty()) {
        return notReady;
    }
    QString target = path;
    if (target.isEmpty()) {
        if (!QDir().mkpath(recordsFolder())) {
            return tr("The records folder %1 cannot be made.")
                .arg(QDir::toNativeSeparators(recordsFolder()));
        }
        target = newRecordPath(QStringLiteral("record"));
    }
    return m_recorder.start(target);
}

void MonitorPanels::stopRecording()
{
    m_recorder.stop();
}

void MonitorPanels::updateTitle()
{
    QStringList parts{m_baseTitle};
    if (running()) {
        parts << tr("running line %1").arg(m_runner->progress().line);
    }
    if (m_recorder.recording()) {
        parts << tr("recording: %1 rows").arg(m_recorder.rows());
    }
    m_window->setWindowTitle(parts.join(QStringLiteral(" — ")));
}

void MonitorPanels::showSequenceWindow()
{
    auto *w = m_window->findChild<SequenceWindow *>(QString(), Qt::FindDirectChildrenOnly);
    if (w == nullptr) {
        w = new SequenceWindow(*this, m_window);
    }
    w->show();
    w->raise();
    w->activateWindow();
}

void MonitorPanels::showRecordWindow()
{
    auto *w = m_window->findChild<RecordWindow *>(QString(), Qt::FindDirectChildrenOnly);
    if (w == nullptr) {
        w = new RecordWindow(*this, m_window);
    }
    w->show();
    w->raise();
}

void MonitorPanels::showLimitsWindow()
{
    auto *w = m_window->findChild<LimitsWindow *>(QString(), Qt::FindDirectChildrenOnly);
    if (w == nullptr) {
        w = new LimitsWindow(*this, m_window);
    }
    w->show();
    w->raise();
    w->activateWindow();
}

} // namespace panels
