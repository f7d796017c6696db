#pragma once

#include "trend/history.h"
#include "trend/reduce.h"

#include <QChartView>
#include <QStandardPaths>
#include <QWidget>

#include <cstdint>
#include <functional>
#include <vector>

class QCheckBox;
class QComboBox;
class QDateTimeAxis;
class QLabel;
class QLineSeries;
class QPushButton;
class QValueAxis;

namespace ui {
class Messenger;
}

namespace trend {

// The chart: a horizontal drag zooms into the time dragged over, a double-click
// asks for the view to be reset. A right click does nothing.
class ChartView : public QChartView {
    Q_OBJECT
public:
    using QChartView::QChartView;

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
    ChartView *view;

public slots:
    // Draws the time in view again from the history.
    void refresh();

protected:
    void showEvent(QShowEvent *event) override;
    void resizeEvent(QResizeEvent *event) override;

private:
    // One quantity: its polylines (one series each, reused) and its axis.
    struct Plot {
        Quantity quantity = Quantity::Volts;
        QString name;
        QColor colour;
        QValueAxis *axis = nullptr;
        std::vector<QLineSeries *> series;
    };

    void buildChart();
    void addSeries(Plot &plot);
    void draw(Plot &plot, bool shown);
    void showCounters();
    void zoomed(const QDateTime &from, const QDateTime &to);
    void resetView();
    // The path the user chose (empty when cancelled), with `suffix` added when it has none.
    QString askPath(const QString &caption, const QString &filter,
                    QStandardPaths::StandardLocation folder, const QString &suffix);
    bool cannotWrite(const QString &path, const QString &why);

    History &m_history;
    ui::Messenger &m_messenger;
    PathPrompt m_askPath;
    QDateTimeAxis *m_timeAxis = nullptr;
    std::vector<Plot> m_plots;
    bool m_zoomed = false;
    bool m_settingRange = false;
    std::int64_t m_pausedAt = 0;
    std::int64_t m_viewFrom = 0;
    std::int64_t m_viewTo = 0;
    int m_columns = 800;        // pixel columns of the plot at the last refresh
    std::int64_t m_drawnAt = 0; // history time of the last refresh
};

} // namespace trend
