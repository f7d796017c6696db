#pragma once

#include "panels/sequencefile.h"
#include "runs/runner.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QFileSystemWatcher>
#include <QString>
#include <QTimer>
#include <QWidget>

#include <functional>

class QCheckBox;
class QDoubleSpinBox;
class QLabel;
class QLineEdit;
class QPlainTextEdit;
class QPushButton;

namespace panels {

class MonitorPanels;
class CodeEditor;

// Asks for a path: parent, caption, suggested path, filter; empty when cancelled.
using PathPrompt =
    std::function<QString(QWidget *, const QString &, const QString &, const QString &)>;

// The records folder, shown and changeable, with a button that opens it.
class FolderRow : public QWidget {
    Q_OBJECT
public:
    FolderRow(MonitorPanels &panels, QWidget *parent);
    QLineEdit *folder;
    QPushButton *openFolder;
    QLabel *refusal; // why a typed folder was not taken
};

// "vantel - sequence": the editor of a sequence file, checked as it is typed,
// its preview, and its run on the monitor's supply.
class SequenceWindow : public QWidget {
    Q_OBJECT
public:
    SequenceWindow(MonitorPanels &panels, QWidget *parent);

    enum class Unsaved { Save, Discard, Cancel };
    void setOpenPrompt(PathPrompt prompt) { m_askOpen = std::move(prompt); }
    void setSavePrompt(PathPrompt prompt) { m_askSave = std::move(prompt); }
    std::function<Unsaved(QWidget *)> askUnsaved;

    QString filePath() const { return m_path; }
    TextEncoding fileEncoding() const { return m_encoding; }
    bool modified() const;
    bool openFile(const QString &path);
    bool save();
    bool saveAs();
    // Asks about unsaved edits (Save, Discard, Cancel); false when they are kept
    // and whatever was about to discard them must not go on.
    bool settleUnsaved();
    // Checks the text now rather than after the typing pause.
    void checkNow();
    void start();

    CodeEditor *editor;
    QPushButton *openButton, *saveButton, *saveAsButton, *examplesButton;
    QLabel *checkLabel;   // the error, as FILE:LINE: what
    QLabel *summaryLabel; // steps and the longest the waits take
    QLabel *previewNote;  // what the preview leaves out
    QWidget *plot;
    QPushButton *startButton, *stopButton, *stopKeepButton;
    QLabel *stepLabel, *waitLabel, *timeLabel, *rowsLabel, *accountLabel, *ceilingLabel;
    QLabel *recordLabel;
    FolderRow *folderRow;
    QPlainTextEdit *log;

protected:
    void closeEvent(QCloseEvent *event) override;
    void showEvent(QShowEvent *event) override;

private:
    // What the open and save dialogs offer.
    static QString fileFilter();
    QString fileName() const;
    void setFile(const QString &path, const std::optional<QByteArray> &bytes, TextEncoding encoding,
                 bool crlf);
    void diskChanged();
    void followRun();
    void check();
    void showProgress(const runs::RunProgress &progress);
    void runEnded(const runs::RunEnd &end, const QString &account);
    void updateButtons();
    void updateTitle();

    MonitorPanels &m_panels;
    QString m_path;
    QTimer m_checkTimer;
    PathPrompt m_askOpen;
    PathPrompt m_askSave;
    bool m_closing = false;
    // The file as last read or written, to tell an outside change from our own
    // save; nullopt when there was no file.
    std::optional<QByteArray> m_diskBytes;
    std::optional<QByteArray> m_declinedBytes; // an outside change not reloaded
    TextEncoding m_encoding = TextEncoding::Utf8;
    bool m_crlf = false;
    QFileSystemWatcher m_watcher;
    QTimer m_diskTimer; // lets an outside write finish before it is looked at
    bool m_askingDisk = false;
    QElapsedTimer m_runClock;
};

// "vantel - recording": the recording's file and rows, and its buttons.
class RecordWindow : public QWidget {
    Q_OBJECT
public:
    RecordWindow(MonitorPanels &panels, QWidget *parent);
    void setSavePrompt(PathPrompt prompt) { m_askSave = std::move(prompt); }

    QLabel *fileLabel, *rowsLabel;
    QPushButton *startStopButton, *chooseButton;
    FolderRow *folderRow;

private:
    void update();

    MonitorPanels &m_panels;
    PathPrompt m_askSave;
};

// "vantel - limits": the software ceilings for voltage, current and power.
class LimitsWindow : public QWidget {
    Q_OBJECT
public:
    LimitsWindow(MonitorPanels &panels, QWidget *parent);

    QCheckBox *voltsOn, *ampsOn, *wattsOn;
    QLineEdit *volts, *amps, *watts;
    QPushButton *applyButton;
    QLabel *stateLabel;

private:
    void load();
    void update();

    MonitorPanels &m_panels;
};

} // namespace panels
