#pragma once

#include "bus/busline.h"
#include "bus/bussettings.h"
#include "bus/poller.h"

#include <QElapsedTimer>
#include <QPointer>
#include <QTimer>
#include <QWidget>

#include <functional>
#include <map>
#include <memory>
#include <optional>

class QGridLayout;
class QLabel;
class QLineEdit;
class QProgressBar;
class QPushButton;
class QScrollArea;

namespace engine {
class Client;
class Reply;
} // namespace engine

namespace records {
class RowMaker;
class RowWriter;
} // namespace records

namespace ui {
class Messenger;
}

namespace bus {

class SupplyCard;

// What the bus window needs of the main window.
struct BusAccess {
    // The engine client of the line the main window has open; nullptr when no port is open.
    std::function<engine::Client *()> client;
    // The name of that port ("COM3", "tcp://10.0.0.5:502"), which the settings go by.
    std::function<QString()> portName;
    // A new file in the records folder for `prefix` ("bus-20261209-141500.csv"),
    // or why there is none.
    std::function<QString(const QString &prefix, QString *problem)> newRecordPath;
};

// "vantel - bus": every supply of the bus on the main window's line as a card,
// read round-robin beside the main window's own poll.
class BusWindow : public QWidget {
    Q_OBJECT
public:
    static constexpr int kMostSupplies = 32;
    static constexpr std::chrono::milliseconds kScanWait{200};
    static constexpr int kTickMs = 250;

    BusWindow(BusAccess access, ui::Messenger &messenger, QWidget *parent = nullptr);
    ~BusWindow() override;

    // Takes the addresses typed into the field; false (and a message) when they are refused.
    bool applyAddresses();
    void startScan();
    void cancelScan();
    bool scanning() const { return m_scanNext > 0; }
    // Closed: its readings have stopped and it is deleted soon.
    bool closed() const { return m_closed; }
    void allOutputsOff();
    // Starts a recording, or ends the one going; the reason it could not start.
    QString toggleRecording();
    bool recording() const { return m_writer != nullptr; }
    QString recordPath() const { return m_recordPath; }
    long recordedRows() const;

    SupplyCard *card(std::uint8_t address) const;
    std::vector<SupplyCard *> cards() const;
    Poller *poller() const { return m_poller.get(); }
    QLineEdit *addressField() const { return m_addresses; }
    QLabel *statusLine() const { return m_statusLine; }
    QLabel *hint() const { return m_hint; }
    QProgressBar *scanProgress() const { return m_progress; }
    // Shows the ceilings of one card in a dialog and keeps what is typed.
    void editLimits(SupplyCard *card);
    void setCeilings(std::uint8_t address, const ui::Ceilings &ceilings);

signals:
    void scanFinished(const std::vector<std::uint8_t> &found);
    void allOffFinished(const Poller::OffResults &results);

protected:
    void closeEvent(QCloseEvent *event) override;
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    std::int64_t nowMs() const { return m_clock.elapsed(); }
    // Takes the addresses in the field, typed by the user or put there by a scan.
    bool takeAddresses(bool typed);
    void tick();
    // Follows the main window's line: a line opened, closed or changed.
    void followLine();
    void rebuildCards();
    void reflow();
    void onReading(const records::Reading &reading);
    void requestSet(SupplyCard *card, records::Target target, const QString &text);
    void requestOutput(SupplyCard *card, bool on);
    void allOffEnded(const Poller::OffResults &results);
    void checkCeilings(SupplyCard *card, const protocol::StatusReading &reading);
    void scanStep();
    void finishScan(const QString &why);
    void updateTitle();
    // The port in the window, and what to do while no supply is listed.
    void showHint();
    // A refusal of what the user typed or asked for: in the status line and a box.
    void inform(const QString &text);
    // What the line did: in the status line only, so that nothing waits on the user.
    void report(const QString &text);
    // The next good entry takes a refusal out of the status line.
    void clearRefusal();
    QString droppedText() const;

    BusAccess m_access;
    ui::Messenger &m_messenger;
    QString m_port;
    std::unique_ptr<BusSettings> m_settings;
    QElapsedTimer m_clock;
    QTimer m_tick;
    QPointer<engine::Client> m_client;
    ui::HeldCeilings m_held; // the cards' ceilings, on the line for every program
    std::unique_ptr<ClientLine> m_line;
    std::unique_ptr<Poller> m_poller;
    std::vector<std::uint8_t> m_list;
    std::map<std::uint8_t, SupplyCard *> m_cards;
    int m_columns = 0;
    bool m_closed = false;

    QLineEdit *m_addresses;
    QPushButton *m_scan, *m_cancel, *m_allOff, *m_record;
    QProgressBar *m_progress;
    QScrollArea *m_scroll;
    QWidget *m_grid;
    QGridLayout *m_gridLayout;
    QLabel *m_statusLine;
    QLabel *m_portLabel;
    QLabel *m_hint;
    QString m_refusal;      // the refusal the status line shows, if any
    int m_droppedByOff = 0; // writes the last "All outputs off" dropped

    int m_scanNext = 0; // the next address to scan; 0 when no scan runs
    std::vector<std::uint8_t> m_found;
    QPointer<engine::Reply> m_scanReply;

    std::unique_ptr<records::RowWriter> m_writer;
    std::unique_ptr<records::RowMaker> m_recordRows; // the recording's clock and counters
    QString m_recordPath;
};

} // namespace bus
