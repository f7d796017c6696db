#pragma once

#include "records/row.h"

#include <QByteArray>
#include <QFile>
#include <QString>

namespace records {

// Writes rows as CSV or JSON lines to a file or stdout. Every row is built whole
// and goes out in one unbuffered write call, so a killed process leaves only whole
// rows behind; a write that fails cuts the file back to its last whole row and
// names the cause with the file ("log.csv: No space left on device").
//
// The columns, in this order, as the CSV header and as every JSON object's keys:
// time,elapsed_s,address,set_v,set_a,v,a,w,output,mode,ah,wh,error[,step,point].
// JSON lines carry every key on every row: numbers as numbers, output as a
// boolean, a missing value as null. CSV leaves such cells empty.
class RowWriter {
public:
    enum class Format { Csv, Jsonl };
    // What to do with a file that holds something already.
    enum class Existing { Refuse, Append, Overwrite };

    // `withStep`: rows of a run, with the step and point columns.
    explicit RowWriter(Format format, bool withStep = false);
    ~RowWriter();
    RowWriter(const RowWriter &) = delete;
    RowWriter &operator=(const RowWriter &) = delete;

    // Whether `path` names stdout ("" or "-").
    static bool isStdout(const QString &path);

    // Why `path` may not be written as `existing` says: it is a folder; it is not
    // empty and neither append nor overwrite was asked for; or its first line is
    // not the header (CSV) or the keys (JSON lines) of these rows. Empty when it may.
    QString refusal(const QString &path, Existing existing) const;

    // Opens `path` (stdout for "" or "-") and writes the CSV header, unless
    // appending to a file that has one. Empty on success, else why, with the file.
    QString open(const QString &path, Existing existing);
    // Writes one row whole and flushes it. Empty on success, else why, naming the
    // file and the cause; after a failure the writer takes no more rows.
    QString write(const Row &row);
    // "stdout" or the file's path, for messages.
    QString target() const;
    long rowsWritten() const { return m_rows; }

    // The texts, for publishers and tests. The CSV header and line carry no line end.
    static QString csvHeader(bool withStep);
    static QString csvLine(const Row &row, bool withStep);
    // One JSON object, keys in the columns' order, compact.
    static QByteArray jsonLine(const Row &row, bool withStep);
    // The same texts appended to `out` (UTF-8), with no line end.
    static void appendCsv(QByteArray &out, const Row &row, bool withStep);
    static void appendJson(QByteArray &out, const Row &row, bool withStep);

private:
    QString writeBytes(const QByteArray &bytes);

    Format m_format;
    bool m_withStep = false;
    QString m_path;
    QFile m_file;
    QByteArray m_line; // the row being written, reused
    qint64 m_size = 0; // the file's size after its last whole row
    bool m_failed = false;
    long m_rows = 0;
};

} // namespace records
