#pragma once

#include "trend/history.h"
#include "trend/reduce.h"

#include <QStandardPaths>
#include <QWidget>
#include <qcustomplot.h>

#include <cstdint>
#include <functional>
#include <vector>

class QCheckBox;
class QComboBox;
class QLabel;
class QPushButton;

namespace ui {
class Messenger;
}

namespace trend {

// The plot: a horizontal drag zooms into the time dragged over, a double-click
// asks for the view to be reset. A right click does nothing.
class PlotView : public QCustomPlot {
    Q_OBJECT
public:
    explicit PlotView(QWidget *parent = nullptr);

signals:
    void resetRequested();

protected:
    void mouseDoubleClickEvent(QMouseEvent *event) override;
    void mousePressEvent(QMouseEvent *event) override;
    void mouseReleaseEvent(QMouseEvent *event) override;
};

// "vantel - trend": voltage, current and, on demand, power over time, drawn from a
// History, with the charge and energy counters and CSV and PNG export.
class TrendWindow : public QWidget {
    Q_OBJECT
public:
    // How the window asks where to save: (caption, file name filter, suggested
    // name) -> chosen path, empty when the user cancelled.
    using PathPrompt = std::function<QString(const QString &, const QString &, const QString &)>;

    // Messages go to `messenger`; neither it nor `history` is owned.
    TrendWindow(History &history, ui::Messenger &messenger, QWidget *parent = nullptr);

    // Replaces the file dialog (tests answer it themselves).
    void setPathPrompt(PathPrompt prompt) { m_askPath = std::move(prompt); }

    // Write the file; false, after a message that says why, when it could not be written.
    bool saveCsv(const QString &path);
    bool savePng(const QString &path);

    // The time shown, on the history's clock.
    std::int64_t viewFrom() const { return m_viewFrom; }
    std::int64_t viewTo() const { return m_viewTo; }

    QComboBox *timeWindow;
    QPushButton *pause;
    QCheckBox *power;
    QPushButton *saveCsvButton;
    QPushButton *savePngButton;
    QPushButton *resetCounters;
    QLabel *counters;
    PlotView *view;

public slots:
    // Draws the time in view again from the history.
    void refresh();

protected:
    void showEvent(QShowEvent *event) override;
    void resizeEvent(QResizeEvent *event) override;
    void changeEvent(QEvent *event) override;

private:
    // One quantity: its line (cut where a segment starts) and its value axis.
    struct Plot {
        Quantity quantity = Quantity::Volts;
        QCPAxis *axis = nullptr;
        QCPGraph *graph = nullptr;
    };
    // What a refresh drew from: the same again draws nothing new.
    struct Drawn {
        std::int64_t from = 0, to = 0, newest = -1;
        std::size_t samples = 0;
        int columns = 0;
        bool power = false;
        bool operator==(const Drawn &o) const
        {
            return from == o.from && to == o.to && newest == o.newest && samples == o.samples &&
                   columns == o.columns && power == o.power;
        }
    };

    void buildPlot();
    void draw(Plot &plot, bool shown);
    void showCounters();
    void zoomed(const QCPRange &range);
    void resetView();
    // The path the user chose (empty when cancelled), with `suffix` added when it has none.
    QString askPath(const QString &caption, const QString &filter,
                    QStandardPaths::StandardLocation folder, const QString &suffix);
    bool cannotWrite(const QString &path, const QString &why);

    History &m_history;
    ui::Messenger &m_messenger;
    PathPrompt m_askPath;
    std::vector<Plot> m_plots;
    Drawn m_drawn;
    bool m_zoomed = false;
    bool m_settingRange = false;
    std::int64_t m_pausedAt = 0;
    std::int64_t m_viewFrom = 0;
    std::int64_t m_viewTo = 0;
    int m_columns = 800;        // pixel columns of the plot at the last refresh
    std::int64_t m_drawnAt = 0; // history time of the last refresh
};

} // namespace trend
