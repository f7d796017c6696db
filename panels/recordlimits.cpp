// The recording and limits windows of vantel's context menu.
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

// The highest ceilings the limits window takes: a little above the supply's range.
constexpr double kCeilingTopVolts = 62;
constexpr double kCeilingTopAmps = 3.2;
constexpr double kCeilingTopWatts = 200;

} // namespace

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
            std::optional<double> ui::Ceilings::*value;
        };
        const Entry entries[] = {
            {voltsOn, volts, kCeilingTopVolts, QStringLiteral("V"), &ui::Ceilings::volts},
            {ampsOn, amps, kCeilingTopAmps, QStringLiteral("A"), &ui::Ceilings::amps},
            {wattsOn, watts, kCeilingTopWatts, QStringLiteral("W"), &ui::Ceilings::watts},
        };
        ui::Ceilings c;
        for (const Entry &e : entries) {
            if (!e.on->isChecked()) {
                continue;
            }
            const ui::TypedCeiling typed = ui::readCeiling(e.box->text(), e.top, e.unit);
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
    const ui::Ceilings &c = m_panels.ceilings();
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
