#pragma once

#include <QByteArray>
#include <QString>

namespace ctl {

// A message on stderr, "vantelctl: " first, written out at once.
void printErr(const QString &line);
// The bytes as "01 03 0C ...".
QString hexBytes(const QByteArray &bytes);

// stdout, for data lines: each line written out at once. Once a line cannot be
// written, none is written after it, and outError() says why.
class Console {
public:
    // `closed`: the process started with stdout closed; every data line fails.
    explicit Console(bool closed);

    // Writes a data line; false when stdout takes no more.
    bool out(const QString &line);
    // Why stdout took no more; empty while it takes lines.
    const QString &outError() const { return m_error; }

private:
    QString m_error;
};

} // namespace ctl

namespace protocol {
struct StatusReading;
}

namespace ctl {

// "12.32 V  0.500 A  6.16 W  (set 12.34 V 1.500 A)  output on  CV"
QString statusText(const protocol::StatusReading &r);

} // namespace ctl
