// Who holds the HTTP server's connections and for how long, and how often a
// refusal is said, on a clock the test turns.
#include "web/admission.h"
#include "web/refusallog.h"

#include <QTest>

class TestWebAdmission : public QObject {
    Q_OBJECT
private slots:
    void admission_data();
    void admission();
    void refusals_data();
    void refusals();
};

void TestWebAdmission::admission_data()
{
    // Steps: "open ID T", "show ID", "active ID T", "close ID", "hold ID", "room"
    // (says what makeRoom() gives), "expired T" (says the ids, or "none").
    QTest::addColumn<QStringList>("steps");
    QTest::addColumn<QStringList>("said");
    // Three slots, 10 s to show the token, 60 s idle after that.
    QTest::newRow("a free slot") << QStringList{"open 1 0", "open 2 0", "room"} << QStringList{"0"};
    QTest::newRow("full: the oldest without the token gives way")
        << QStringList{"open 1 0", "open 2 5", "open 3 6", "show 1", "room"} << QStringList{"2"};
    QTest::newRow("full of token holders: none gives way")
        << QStringList{"open 1 0", "open 2 0", "open 3 0", "show 1", "show 2", "show 3", "room"}
        << QStringList{"-1"};
    QTest::newRow("a slot freed by a close")
        << QStringList{"open 1 0", "open 2 0", "open 3 0", "close 2", "room"} << QStringList{"0"};
    QTest::newRow("no token within 10 s, however busy")
        << QStringList{"open 1 0",     "active 1 9000", "open 2 5000",
                       "expired 9999", "expired 10000", "expired 15000"}
        << QStringList{"none", "1", "1 2"};
    QTest::newRow("a token holder idles 60 s from its last answer")
        << QStringList{"open 1 0", "show 1", "active 1 30000", "expired 89999", "expired 90000"}
        << QStringList{"none", "1"};
    QTest::newRow("a held one is kept")
        << QStringList{"open 1 0", "show 1", "hold 1", "open 2 0", "hold 2", "expired 100000"}
        << QStringList{"none"};
}

void TestWebAdmission::admission()
{
    QFETCH(QStringList, steps);
    QFETCH(QStringList, said);
    web::Admission admission({3, std::chrono::seconds(10), std::chrono::seconds(60)});
    std::vector<int> held;
    QStringList got;
    for (const QString &step : steps) {
        const QStringList w = step.split(QLatin1Char(' '));
        const int a = w.value(1).toInt();
        const qint64 b = w.value(2).toLongLong();
        if (w[0] == QLatin1String("open")) {
            admission.opened(a, b);
        } else if (w[0] == QLatin1String("show")) {
            admission.shown(a);
        } else if (w[0] == QLatin1String("active")) {
            admission.active(a, b);
        } else if (w[0] == QLatin1String("close")) {
            admission.closed(a);
        } else if (w[0] == QLatin1String("hold")) {
            held.push_back(a);
        } else if (w[0] == QLatin1String("room")) {
            got << QString::number(admission.makeRoom());
        } else if (w[0] == QLatin1String("expired")) {
            QStringList ids;
            for (const int id : admission.expired(a, [&held](int id) {
                     return std::find(held.begin(), held.end(), id) != held.end();
                 })) {
                ids << QString::number(id);
            }
            got << (ids.isEmpty() ? QStringLiteral("none") : ids.join(QLatin1Char(' ')));
        }
    }
    QCOMPARE(got, said);
}

void TestWebAdmission::refusals_data()
{
    // Steps: "T KEY" notes a refusal of KEY (said as KEY) at T ms; "T" flushes.
    QTest::addColumn<QStringList>("steps");
    QTest::addColumn<QStringList>("said");
    QTest::addColumn<int>("perMinute"); // said at once in a minute
    QStringList flood{"0 a"};
    for (int t = 1; t <= 300; ++t) {
        flood << QStringLiteral("%1 a").arg(t * 100);
    }
    QTest::newRow("one: said at once") << QStringList{"0 a"} << QStringList{"a"} << 1;
    QTest::newRow("300 in a minute: two lines")
        << (flood + QStringList{"59999", "60000", "120000"})
        << QStringList{"a", "a (300 more in the last minute)"} << 1;
    QTest::newRow("each address its own")
        << QStringList{"0 a", "1 b", "2 a", "60000"}
        << QStringList{"a", "b", "a (1 more in the last minute)"} << 1;
    QTest::newRow("after a quiet minute, at once again")
        << QStringList{"0 a", "60000", "61000 a"} << QStringList{"a", "a"} << 1;
    QTest::newRow("a flood that goes on: a line a minute")
        << QStringList{"0 a", "10 a", "60000", "70000 a", "80000 a", "119999", "120000", "180000"}
        << QStringList{"a", "a (1 more in the last minute)", "a (2 more in the last minute)"} << 1;
    QTest::newRow("counted where the next one comes, not only by the timer")
        << QStringList{"0 a", "10 a", "60005 a"}
        << QStringList{"a", "a (1 more in the last minute)"} << 1;
    QTest::newRow("allowance: comings and goings said one by one")
        << QStringList{"0 a", "10 a", "20 a", "60000"} << QStringList{"a", "a", "a"} << 3;
    QTest::newRow("allowance: a flood beyond it counted")
        << QStringList{"0 a", "10 a", "20 a", "30 a", "40 a", "60000", "70000 a", "120000"}
        << QStringList{"a", "a", "a", "a (2 more in the last minute)",
                       "a (1 more in the last minute)"}
        << 3;
    QTest::newRow("allowance: after a quiet minute, one by one again")
        << QStringList{"0 a", "10 a", "60000", "61000 a", "61010 a"}
        << QStringList{"a", "a", "a", "a"} << 2;
}

void TestWebAdmission::refusals()
{
    QFETCH(QStringList, steps);
    QFETCH(QStringList, said);
    QFETCH(int, perMinute);
    qint64 now = 0;
    QStringList got;
    web::RefusalLog log([&got](const QString &line) { got << line; }, [&now] { return now; },
                        perMinute);
    for (const QString &step : steps) {
        const QStringList w = step.split(QLatin1Char(' '));
        now = w[0].toLongLong();
        if (w.size() > 1) {
            log.note(w[1], w[1]);
        } else {
            log.flush();
        }
    }
    QCOMPARE(got, said);
}

QTEST_GUILESS_MAIN(TestWebAdmission)
#include "tst_web_admission.moc"
