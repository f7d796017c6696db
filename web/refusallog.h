#pragma once

#include <QString>
#include <QTimer>

#include <functional>
#include <map>

namespace web {

// Says a repeated refusal (a connection turned away, or from an address not
// allowed) once per address and kind a minute: the first at once, then, when its
// minute ends, the ones that followed it as one line with their count. A flood of
// connections makes a line a minute, not a line each. With an allowance of N,
// the first N of a minute are each said at once (a client's comings and goings,
// which a script that reconnects now and then should still see line by line),
// and only those beyond them are counted.
class RefusalLog {
public:
    using Say = std::function<void(const QString &)>;
    using Clock = std::function<qint64()>; // milliseconds on a steady clock
    static constexpr qint64 kWindowMs = 60 * 1000;

    // Without a clock, the process's steady clock.
    explicit RefusalLog(Say say, Clock clock = {}, long perMinute = 1);

    // One refusal: `key` names the address and the kind, `line` is what is said
    // (the latest of a minute is the one said with its count).
    void note(const QString &key, const QString &line);
    // Says the counts of the minutes that have ended; a timer calls it while
    // any count waits.
    void flush();

private:
    struct Entry {
        qint64 since = 0; // when its minute started
        long said = 0;    // said at once in this minute
        long more = 0;    // refusals since, not yet said
        QString line;
    };
    Say m_say;
    Clock m_clock;
    long m_perMinute = 1;
    std::map<QString, Entry> m_entries;
    QTimer m_timer;
};

} // namespace web
