#pragma once

#include "panels/monitorlink.h"
#include "panels/recorder.h"
#include "runs/runner.h"
#include "sequence/sequence.h"
#include "ui/ceilings.h"

#include <QList>
#include <QObject>
#include <QString>

#include <functional>
#include <memory>

class QAction;
class QWidget;

namespace ui {
class Messenger;
}

namespace records {
class RowWriter;
} // namespace records

namespace panels {

class WindowRunLine;

// What the monitor window gains beside its own controls: sequence runs,
// recording and ceilings, all on the window's own poll and write path. The
// window reports its polls to link() and asks intercept() before a control that
// would disturb a run.
class MonitorPanels : public QObject {
    Q_OBJECT
public:
    // Adds "Sequence…" (F3), "Record…" (F4) and "Limits…" to the context menu of
    // `window` and `boxes`, after what is there.
    MonitorPanels(QWidget *window, const QList<QWidget *> &boxes, ui::Messenger &messenger);
    ~MonitorPanels() override;

    MonitorLink &link() { return m_link; }
    Recorder &recorder() { return m_recorder; }
    ui::Messenger &messenger() { return m_messenger; }
    QWidget *window() const { return m_window; }

    // A yes/no question; tests answer it themselves.
    std::function<bool(QWidget *parent, const QString &question)> ask;

    // Before a control that would disturb a run acts: false when no run holds the
    // supply and the control may act now. Otherwise the user is asked; on Yes the
    // run stops with the output confirmed off and `proceed` runs after; on No
    // nothing happens. Either way the control must not act now.
    // `why` is the run's reason for stopping ("stopped by “Output stop”").
    bool intercept(const QString &why, std::function<void()> proceed);

    // Ceilings.
    const ui::Ceilings &ceilings() const { return m_ceilings; }
    void setCeilings(const ui::Ceilings &ceilings);
    // The client of the line the window reads through, on which its ceilings are
    // held for every program on the line (nullptr or unset: none).
    std::function<engine::Client *()> lineClient;

    // The folder runs and recordings go to: Documents/vantel unless changed.
    QString recordsFolder() const;
    // Why `folder` cannot take records (not a full path, a file, not writable),
    // empty when it can; a folder that does not exist yet is made when needed.
    static QString folderProblem(const QString &folder);
    // Changes the folder; the reason it is refused, empty when it was changed.
    QString setRecordsFolder(const QString &folder);
    // A new file in the records folder named by the time, "run-20261209-021500.csv".
    QString newRecordPath(const QString &prefix) const;

    // Starts `sequence` (checked whole by the caller); the reason it cannot start,
    // empty when it started.
    QString startRun(const sequence::Sequence &sequence);
    // Stop: the output switched off with a confirmed write, or kept as it is.
    void stopRun(const QString &why, bool keepOutput = false, std::function<void()> after = {});
    bool running() const;
    const runs::Runner *runner() const { return m_runner.get(); }
    QString runPath() const { return m_runPath; }
    long runRows() const;

    // Recording: starts into `path` (a new file in the records folder when empty).
    QString startRecording(const QString &path = {});
    void stopRecording();

    // The menu's actions.
    QAction *sequenceAction() const { return m_sequenceAction; }
    QAction *recordAction() const { return m_recordAction; }
    QAction *limitsAction() const { return m_limitsAction; }

    // Adds `action` to the context menu after the entries there, and its key to
    // the window.
    void addEntry(QAction *action);

    void showSequenceWindow();
    void showRecordWindow();
    void showLimitsWindow();

signals:
    void runStarted();
    void runMessage(const QString &text);
    void runProgress(const runs::RunProgress &progress);
    // The closing account: why and at which line it ended, and what the output is.
    void runFinished(const runs::RunEnd &end, const QString &account);
    void ceilingsChanged();
    void recordsFolderChanged();

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void onPoll(const Poll &poll);
    // The ceilings held on the window's line and supply as they are now.
    void holdCeilings();
    void onRunRow(const records::Row &row);
    void onRunFinished(const runs::RunEnd &end);
    void updateTitle();
    void inform(const QString &text);

    QWidget *m_window;
    ui::Messenger &m_messenger;
    QString m_baseTitle;
    MonitorLink m_link;
    Recorder m_recorder;
    ui::Ceilings m_ceilings;
    ui::HeldCeilings m_held;
    ui::HeldCeilings m_runHeld; // the running sequence's limit
    std::optional<std::uint8_t> m_heldAddress;
    bool m_tripping = false; // a ceiling's switch-off is on its way

    sequence::Sequence m_sequence; // the run's own copy: the runner keeps a reference
    std::unique_ptr<WindowRunLine> m_runLine;
    std::unique_ptr<runs::Runner> m_runner;
    std::unique_ptr<records::RowWriter> m_runWriter;
    QString m_runPath;
    std::vector<std::function<void()>> m_afterRun;

    QList<QObject *> m_menuWidgets;
    QAction *m_sequenceAction = nullptr;
    QAction *m_recordAction = nullptr;
    QAction *m_limitsAction = nullptr;
    QList<QAction *> m_moreActions;
};

// "A sequence is running. Stop it and switch the output off?"
QString stopRunQuestion();

} // namespace panels
