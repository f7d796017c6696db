// End to end: every vantelctl command that talks to a supply, on each kind of line
// a program meets: the simulator keeping 9600 baud's character times, the
// simulator answering at once (a USB CDC-ACM port, a network bridge, Wine, a pty),
// and an independent slave (pymodbus on a socat pty); serve both as SCPI and as a
// Modbus TCP gateway and as the page's API. Then a port that goes away
// under a log and a run, as an unplugged USB adapter does.
#include "support/ctlrig.h"
#include "support/httpclient.h"
#include "support/supplyline.h"

#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QTcpSocket>
#include <QtTest>

#include <algorithm>
#include <csignal>
#include <functional>
#include <memory>

namespace {

using testsupport::waitForErr;

constexpr int kAddress = 5;
constexpr int kWaitMs = 20000;

QStringList fileLines(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        return {};
    }
    return QString::fromUtf8(file.readAll()).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
}

// The error cell of a CSV row of a log or a run: empty for a good reading.
QString errorCell(const QString &row)
{
    return row.split(QLatin1Char(',')).value(12);
}

bool writeFile(const QString &path, const QByteArray &text)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(text) == text.size();
}

} // namespace

class TestE2eLines : public QObject {
    Q_OBJECT
private slots:
    void cleanup();
    void everyCommandOnEveryLine_data();
    void everyCommandOnEveryLine();
    void logRidesOutAnUnpluggedPort();
    void runSwitchesOffWhenThePortComesBack_data();
    void runSwitchesOffWhenThePortComesBack();

private:
    // The supply at kAddress on `line`: "timed", "instant" or "pymodbus".
    bool startLine(const QString &line);
    testsupport::CtlResult
    serveWith(const QStringList &common, const QStringList &serveArgs,
              const QRegularExpression &started,
              const std::function<void(const QRegularExpressionMatch &, QString &)> &exchange);
    testsupport::CtlResult serveOnce(const QStringList &common);
    testsupport::CtlResult serveModbusOnce(const QStringList &common);
    testsupport::CtlResult serveHttpOnce(const QStringList &common);

    std::unique_ptr<testsupport::SupplyLine> m_line;
    testsupport::CtlRig *m_rig = nullptr; // the line's
    bool m_missing = false;               // pymodbus, pyserial-asyncio or socat is missing
};

void TestE2eLines::cleanup()
{
    m_missing = false;
    m_rig = nullptr;
    m_line.reset();
}

bool TestE2eLines::startLine(const QString &line)
{
    m_line = std::make_unique<testsupport::SupplyLine>(QStringLiteral(VANTELCTL_PATH),
                                                       QStringLiteral(VANTEL_PYTHON3),
                                                       QStringLiteral(SLAVE_SCRIPT));
    m_rig = &m_line->rig();
    const bool started = m_line->start(line, QString::number(kAddress),
                                       {QStringLiteral("--voltage"), QStringLiteral("5"),
                                        QStringLiteral("--current"), QStringLiteral("1")});
    m_missing = m_line->missing();
    return started;
}

// Starts vantelctl serve with `serveArgs` on the supply, waits for the line of
// its start message that `started` matches, lets `exchange` talk to it, then
// ends it with Ctrl-C. The result holds what `exchange` wrote, the exit code
// and everything serve said on stderr.
testsupport::CtlResult TestE2eLines::serveWith(
    const QStringList &common, const QStringList &serveArgs, const QRegularExpression &started,
    const std::function<void(const QRegularExpressionMatch &, QString &)> &exchange)
{
    testsupport::CtlResult result;
    QProcess server;
    if (!m_rig->start(server, common +
                                  QStringList{QStringLiteral("--port"), QStringLiteral("COM1"),
                                              QStringLiteral("--address"),
                                              QString::number(kAddress), QStringLiteral("serve")} +
                                  serveArgs)) {
        return result;
    }
    QString err;
    const auto match = waitForErr(server, err, started);
    if (match.hasMatch()) {
        exchange(match, result.out);
    }
    ::kill(static_cast<pid_t>(server.processId()), SIGINT);
    const testsupport::CtlResult ended = testsupport::CtlRig::finish(server);
    result.code = ended.code;
    result.err = err + ended.err;
    return result;
}

// One SCPI exchange over vantelctl serve's socket: a set value written and read
// back, and a measurement.
testsupport::CtlResult TestE2eLines::serveOnce(const QStringList &common)
{
    return serveWith(common, {QStringLiteral("--listen"), QStringLiteral("127.0.0.1:0")},
                     QRegularExpression(QStringLiteral("listening on [\\d.]+:(\\d+)")),
                     [](const QRegularExpressionMatch &listening, QString &out) {
                         QTcpSocket socket;
                         socket.connectToHost(QStringLiteral("127.0.0.1"),
                                              listening.captured(1).toUShort());
                         if (!socket.waitForConnected(5000)) {
                             return;
                         }
                         socket.write("VOLT 8.25;VOLT?\nMEAS:CURR?\n");
                         QDeadlineTimer deadline(kWaitMs);
                         while (out.count(QLatin1Char('\n')) < 2 && !deadline.hasExpired() &&
                                socket.state() == QAbstractSocket::ConnectedState) {
                             socket.waitForReadyRead(100);
                             out += QString::fromUtf8(socket.readAll());
                         }
                     });
}

// Modbus TCP through vantelctl serve --modbus, with pymodbus as the client: a
// read, a write and its read-back, and the supply's exception passed back (the
// register block ends before 0x2000). Exit 77: pymodbus is missing.
testsupport::CtlResult TestE2eLines::serveModbusOnce(const QStringList &common)
{
    return serveWith(
        common,
        {QStringLiteral("--listen"), QStringLiteral("none"), QStringLiteral("--modbus"),
         QStringLiteral("127.0.0.1:0")},
        QRegularExpression(QStringLiteral("Modbus TCP on [\\d.]+:(\\d+)")),
        [this](const QRegularExpressionMatch &listening, QString &out) {
            QProcess client;
            client.start(QStringLiteral(VANTEL_PYTHON3),
                         {QStringLiteral(CLIENT_SCRIPT), listening.captured(1),
                          QStringLiteral("read:5:0x1000:2"), QStringLiteral("write:5:0x1000:725"),
                          QStringLiteral("read:5:0x1000:2"), QStringLiteral("read:5:0x2000:1")});
            if (client.waitForFinished(kWaitMs)) {
                out = QString::fromUtf8(client.readAllStandardOutput());
                m_missing = client.exitCode() == testsupport::SupplyLine::kSkipCode;
            } else {
                client.kill();
                client.waitForFinished();
            }
        });
}

// The page's API through vantelctl serve --http: a set value confirmed by the
// supply's read-back. Prints the status and the reading's set_v.
testsupport::CtlResult TestE2eLines::serveHttpOnce(const QStringList &common)
{
    return serveWith(
        common,
        {QStringLiteral("--listen"), QStringLiteral("none"), QStringLiteral("--http"),
         QStringLiteral("127.0.0.1:0")},
        QRegularExpression(QStringLiteral("open http://127\\.0\\.0\\.1:(\\d+)/\\?token=(\\S+)\\n")),
        [](const QRegularExpressionMatch &open, QString &out) {
            testsupport::HttpConnection http(open.captured(1).toUShort());
            const QByteArray body = R"({"v": 8.25})";
            http.send("POST /api/supplies/" + QByteArray::number(kAddress) +
                      "/set HTTP/1.1\r\nHost: 127.0.0.1\r\nAuthorization: Bearer " +
                      open.captured(2).toLatin1() +
                      "\r\nContent-Type: application/json\r\nContent-Length: " +
                      QByteArray::number(body.size()) + "\r\n\r\n" + body);
            const testsupport::HttpResponse answer = http.next();
            const QJsonObject reading = QJsonDocument::fromJson(answer.body)
                                            .object()
                                            .value(QStringLiteral("reading"))
                                            .toObject();
            out = QStringLiteral("%1 %2\n")
                      .arg(answer.status)
                      .arg(reading.value(QStringLiteral("set_v")).toDouble());
        });
}

void TestE2eLines::everyCommandOnEveryLine_data()
{
    QTest::addColumn<QString>("line");
    QTest::addColumn<QString>("command");
    QTest::addColumn<QString>("says"); // on stdout; a regular expression
    for (const char *line : {"timed", "instant", "pymodbus"}) {
        const auto row = [line](const char *command, const char *says) {
            QTest::addRow("%s %s", line, command)
                << QString::fromUtf8(line) << QString::fromUtf8(command) << QString::fromUtf8(says);
        };
        row("scan", "^\\s+5\\s.*\\(set 5\\.00 V 1\\.000 A\\)");
        row("read", "\"address\":5,\"set_v\":5(\\.0+)?,\"set_a\":1(\\.0+)?,");
        row("set", "sent 7\\.50 V 0\\.500 A");
        row("output", "output on");
        row("log", "");
        row("run", "");
        row("serve", "^8\\.25\\n\\d+\\.\\d+\\n$");
        row("serve --modbus", "^ok 500 1000\\nok 725\\nok 725 1000\\nexception 2\\n$");
        row("serve --http", "^200 8\\.25\\n$");
    }
}

void TestE2eLines::everyCommandOnEveryLine()
{
    QFETCH(QString, line);
    QFETCH(QString, command);
    QFETCH(QString, says);
    QVERIFY(startLine(line));
    if (m_missing) {
        QSKIP("pymodbus, pyserial-asyncio or socat is missing (scripts/install-deps.sh installs "
              "them)");
    }
    const QString a = QString::number(kAddress);
    // Python on a busy machine may answer late: the independent slave is here for
    // its frames, not its speed.
    const QStringList common =
        line == QLatin1String("pymodbus")
            ? QStringList{QStringLiteral("--timeout"), QStringLiteral("1000")}
            : QStringList{};
    const auto run = [this, &common](const QStringList &arguments) {
        return m_rig->run(common + arguments);
    };
    testsupport::CtlResult result;
    if (command == QLatin1String("scan")) {
        result = run(
            {QStringLiteral("--port"), QStringLiteral("COM1"), command, QStringLiteral("--first")});
    } else if (command == QLatin1String("read")) {
        result = run({QStringLiteral("-a"), a, QStringLiteral("--json"), command});
    } else if (command == QLatin1String("set")) {
        result = run({QStringLiteral("-a"), a, command, QStringLiteral("--voltage"),
                      QStringLiteral("7.5"), QStringLiteral("--current"), QStringLiteral("0.5")});
    } else if (command == QLatin1String("output")) {
        result = run({QStringLiteral("-a"), a, command, QStringLiteral("on")});
    } else if (command == QLatin1String("log")) {
        result = run({QStringLiteral("-a"), a, command, QStringLiteral("--interval"),
                      QStringLiteral("100"), QStringLiteral("--duration"), QStringLiteral("1s"),
                      QStringLiteral("--output"), m_rig->path(QStringLiteral("log.csv"))});
    } else if (command == QLatin1String("run")) {
        QVERIFY(writeFile(m_rig->path(QStringLiteral("seq.txt")),
                          "set 6V 0.5A\noutput on\nhold 500ms\noutput off\n"));
        result =
            run({QStringLiteral("-a"), a, command, QStringLiteral("--interval"),
                 QStringLiteral("100"), QStringLiteral("--output"),
                 m_rig->path(QStringLiteral("log.csv")), m_rig->path(QStringLiteral("seq.txt"))});
    } else if (command == QLatin1String("serve")) {
        result = serveOnce(common);
    } else if (command == QLatin1String("serve --http")) {
        result = serveHttpOnce(common);
    } else {
        result = serveModbusOnce(common);
        if (m_missing) {
            QSKIP("pymodbus is missing (scripts/install-deps.sh installs it)");
        }
    }
    const QString account = result.out + QStringLiteral("\n--- stderr:\n") + result.err;
    QVERIFY2(result.code == 0, qPrintable(account));
    QVERIFY2(
        QRegularExpression(says, QRegularExpression::MultilineOption).match(result.out).hasMatch(),
        qPrintable(account));
    if (command == QLatin1String("log") || command == QLatin1String("run")) {
        // A header and good rows only: every reading answered on every line.
        const QStringList rows = fileLines(m_rig->path(QStringLiteral("log.csv")));
        QVERIFY2(rows.size() >= 4, qPrintable(rows.join(QLatin1Char('\n')) + account));
        for (const QString &row : rows.mid(1)) {
            QVERIFY2(errorCell(row).isEmpty(), qPrintable(row));
        }
        QVERIFY2(result.err.contains(QStringLiteral(", 0 timeouts")), qPrintable(account));
    }
    if (command == QLatin1String("run")) {
        QVERIFY2(result.err.contains(QStringLiteral("line 4: output off: confirmed")),
                 qPrintable(account));
    }
}

// The adapter goes for about 3 s and comes back: the log says so, writes a `port`
// row for each reading it missed, takes good readings again, and ends as planned.
void TestE2eLines::logRidesOutAnUnpluggedPort()
{
    QVERIFY(startLine(QStringLiteral("instant")));
    const QString file = m_rig->path(QStringLiteral("log.csv"));
    QProcess log;
    QVERIFY(m_rig->start(log, {QStringLiteral("-a"), QString::number(kAddress),
                               QStringLiteral("log"), QStringLiteral("--interval"),
                               QStringLiteral("200"), QStringLiteral("--duration"),
                               QStringLiteral("7s"), QStringLiteral("--output"), file}));
    QTRY_VERIFY_WITH_TIMEOUT(fileLines(file).size() >= 4, kWaitMs);
    QCOMPARE(m_rig->sim().command(QStringLiteral("unplug")), QStringLiteral("ok"));
    QString err;
    QVERIFY2(waitForErr(log, err, QRegularExpression(QStringLiteral("the port COM1 was lost")))
                 .hasMatch(),
             qPrintable(err));
    QTest::qWait(3000); // the adapter stays away this long
    QCOMPARE(m_rig->sim().command(QStringLiteral("plug")), QStringLiteral("ok"));
    QVERIFY2(waitForErr(log, err, QRegularExpression(QStringLiteral("the port COM1 is back after")))
                 .hasMatch(),
             qPrintable(err));
    QVERIFY(log.waitForFinished(kWaitMs));
    err += QString::fromUtf8(log.readAllStandardError());
    QCOMPARE(log.exitCode(), 0);
    QVERIFY2(err.contains(QStringLiteral("port COM1: lost once, away ")), qPrintable(err));

    // Good rows, then a `port` row for each slot missed (one every 200 ms while the
    // adapter is away, and until the next reopening a second later at most), then
    // good rows again.
    const QStringList rows = fileLines(file).mid(1);
    qsizetype firstLost = -1;
    qsizetype lastLost = -1;
    for (qsizetype i = 0; i < rows.size(); ++i) {
        if (errorCell(rows[i]) == QLatin1String("port")) {
            firstLost = firstLost < 0 ? i : firstLost;
            lastLost = i;
        } else {
            QVERIFY2(errorCell(rows[i]).isEmpty(), qPrintable(rows[i]));
        }
    }
    const QString all = rows.join(QLatin1Char('\n')) + QStringLiteral("\n") + err;
    QVERIFY2(firstLost >= 3, qPrintable(all));
    QVERIFY2(lastLost - firstLost + 1 >= 10 && lastLost - firstLost + 1 <= 30, qPrintable(all));
    QVERIFY2(rows.size() - lastLost - 1 >= 3, qPrintable(all));
    for (qsizetype i = firstLost; i <= lastLost; ++i) {
        QVERIFY2(errorCell(rows[i]) == QLatin1String("port"), qPrintable(all));
    }
}

// A run whose supply cannot be read while the port is away: its until's max ends
// it, and the switch-off waits for the port. When the port comes back in time the
// output is confirmed off; when it does not, the run says it may still be on.
void TestE2eLines::runSwitchesOffWhenThePortComesBack_data()
{
    QTest::addColumn<bool>("comesBack");
    QTest::addRow("port back in time") << true;
    QTest::addRow("port never back") << false;
}

void TestE2eLines::runSwitchesOffWhenThePortComesBack()
{
    QFETCH(bool, comesBack);
    QVERIFY(startLine(QStringLiteral("instant")));
    const QString sequence = m_rig->path(QStringLiteral("seq.txt"));
    // 5 V into the simulator's 10 ohm load: 0.5 A, never below 0.1 A.
    QVERIFY(writeFile(sequence, "set 5V 1A\noutput on\nuntil current < 0.1A max 3s\n"));
    QProcess run;
    QVERIFY(m_rig->start(run, {QStringLiteral("-a"), QString::number(kAddress),
                               QStringLiteral("run"), QStringLiteral("--interval"),
                               QStringLiteral("200"), QStringLiteral("--output"),
                               m_rig->path(QStringLiteral("run.csv")), sequence}));
    QString err;
    QVERIFY2(waitForErr(run, err, QRegularExpression(QStringLiteral("line 2: .*confirmed|line 3")))
                 .hasMatch(),
             qPrintable(err));
    QCOMPARE(m_rig->sim().command(QStringLiteral("unplug")), QStringLiteral("ok"));
    QVERIFY2(waitForErr(run, err, QRegularExpression(QStringLiteral("line 3: aborted: .*max")))
                 .hasMatch(),
             qPrintable(err));
    if (comesBack) {
        QCOMPARE(m_rig->sim().command(QStringLiteral("plug")), QStringLiteral("ok"));
    }
    QVERIFY(run.waitForFinished(kWaitMs));
    err += QString::fromUtf8(run.readAllStandardError());
    QCOMPARE(run.exitCode(), 1);
    QVERIFY2(err.contains(QStringLiteral("the port COM1 was lost")), qPrintable(err));
    if (comesBack) {
        QVERIFY2(err.contains(QStringLiteral("the output is switched off, confirmed")),
                 qPrintable(err));
        QVERIFY(
            m_rig->sim().command(QStringLiteral("status")).contains(QStringLiteral("output=off")));
    } else {
        QVERIFY2(err.contains(QStringLiteral("it may still be on")), qPrintable(err));
    }
    const QStringList rows = fileLines(m_rig->path(QStringLiteral("run.csv")));
    const auto lost = std::count_if(rows.begin(), rows.end(), [](const QString &row) {
        return errorCell(row) == QLatin1String("port");
    });
    QVERIFY2(lost >= 3, qPrintable(rows.join(QLatin1Char('\n'))));
}

QTEST_GUILESS_MAIN(TestE2eLines)
#include "tst_e2e_lines.moc"
