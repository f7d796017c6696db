#pragma once

#include "panels/monitorlink.h"
#include "records/operations.h"
#include "records/rowwriter.h"

#include <QObject>
#include <QString>

#include <memory>

namespace panels {

// Records every poll of the monitor to a CSV file with the log's columns: a row
// for each reading the moment it is decoded, and a `timeout` row for each poll
// that got no reply. Each row is written whole and flushed.
class Recorder : public QObject {
    Q_OBJECT
public:
    explicit Recorder(MonitorLink &link, QObject *parent = nullptr);
    ~Recorder() override;

    // Starts recording into `path`; the reason it cannot, empty when it started.
    QString start(const QString &path);
    // Ends it, keeping the file.
    void stop();
    bool recording() const { return m_writer != nullptr; }
    QString path() const { return m_path; }
    long rows() const { return m_writer ? m_writer->rowsWritten() : m_lastRows; }

signals:
    void rowWritten(long rows);
    // The recording ended by itself (port closed or lost, file not writable).
    void ended(const QString &why);
    void stateChanged();

private:
    void onPoll(const Poll &poll);
    void endWith(const QString &why);

    MonitorLink &m_link;
    std::unique_ptr<records::RowWriter> m_writer;
    std::unique_ptr<records::RowMaker> m_rows;
    QString m_path;
    long m_lastRows = 0;
};

} // namespace panels
