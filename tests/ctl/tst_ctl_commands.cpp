// vantelctl's command table: the parser, the help and the manual page follow it.
#include "ctl/commands.h"

#include <QFile>
#include <QHash>
#include <QRegularExpression>
#include <QSet>
#include <QTest>

using namespace ctl;

class TestCtlCommands : public QObject {
    Q_OBJECT
private slots:
    void parse_data();
    void parse();
    void commandHelpShowsItsOwnOptions();
    void optionsAreOneShapeAcrossCommands();
    void manualPageFollowsTable();
};

Q_DECLARE_METATYPE(CommandLine::Outcome)

void TestCtlCommands::parse_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<CommandLine::Outcome>("outcome");
    QTest::addColumn<QString>("command");
    QTest::addColumn<QString>("text"); // part of the help or the refusal

    using O = CommandLine::Outcome;
    QTest::newRow("plain") << QStringList{"read"} << O::Run << "read"
                           << "";
    QTest::newRow("own option before the command")
        << QStringList{"--from", "3", "scan"} << O::Run << "scan"
        << "";
    QTest::newRow("global option after the argument")
        << QStringList{"output", "on", "-a", "4"} << O::Run << "output"
        << "";
    QTest::newRow("foreign option")
        << QStringList{"read", "--duration", "2h"} << O::Refused << "read"
        << "--duration is not an option of read";
    QTest::newRow("foreign option before the command")
        << QStringList{"--voltage", "5", "read"} << O::Refused << "read"
        << "--voltage is not an option of read";
    QTest::newRow("foreign option of a command with an argument")
        << QStringList{"output", "on", "--output", "x.csv"} << O::Refused << "output"
        << "--output is not an option of output";
    QTest::newRow("foreign switch") << QStringList{"scan", "--off-at-end"} << O::Refused << "scan"
                                    << "--off-at-end is not an option of scan";
    QTest::newRow("unknown option") << QStringList{"read", "--bogus"} << O::Refused << ""
                                    << "Unknown option 'bogus'";
    QTest::newRow("missing value") << QStringList{"scan", "--from"} << O::Refused << ""
                                   << "Missing value after '--from'";
    QTest::newRow("missing argument") << QStringList{"output"} << O::Refused << "output"
                                      << "usage: vantelctl [options] output";
    QTest::newRow("extra argument") << QStringList{"read", "now"} << O::Refused << "read"
                                    << "usage: vantelctl [options] read";
    QTest::newRow("unknown command") << QStringList{"reboot"} << O::Refused << ""
                                     << "unknown command 'reboot'";
    QTest::newRow("no command") << QStringList{} << O::Refused << ""
                                << "no command given";
    QTest::newRow("help") << QStringList{"--help"} << O::Help << ""
                          << "Commands:";
    QTest::newRow("command help") << QStringList{"log", "-h"} << O::Help << "log"
                                  << "Usage: vantelctl [options] log [--addresses LIST]";
    QTest::newRow("help before the command") << QStringList{"--help", "scan"} << O::Help << "scan"
                                             << "--from <N>";
    QTest::newRow("version") << QStringList{"read", "--version"} << O::Version << ""
                             << "";
}

void TestCtlCommands::parse()
{
    QFETCH(QStringList, arguments);
    QFETCH(CommandLine::Outcome, outcome);
    QFETCH(QString, command);
    QFETCH(QString, text);

    const CommandLine line(QStringList{"vantelctl"} + arguments);
    QCOMPARE(line.outcome(), outcome);
    if (!command.isEmpty()) {
        QVERIFY(line.command());
        QCOMPARE(line.command()->name, command);
    }
    QVERIFY2(line.text().contains(text), qPrintable(line.text()));
}

void TestCtlCommands::commandHelpShowsItsOwnOptions()
{
    for (const CommandEntry &command : commands()) {
        const QString help = helpText(command);
        for (const CommandEntry &other : commands()) {
            for (const OptionEntry &option : other.options) {
                const QString shown = QStringLiteral("  --") + option.longName();
                QVERIFY2(help.contains(shown) == (command.option(option.longName()) != nullptr),
                         qPrintable(command.name + QStringLiteral(": ") + shown));
            }
        }
        for (const OptionEntry &option : globalOptions()) {
            QVERIFY(help.contains(QStringLiteral("--") + option.longName()));
        }
    }
}

// The first parse knows every command's options at once; one name must mean one
// shape (switch or value) everywhere, and no command may reuse a global name.
void TestCtlCommands::optionsAreOneShapeAcrossCommands()
{
    QHash<QString, bool> takesValue;
    for (const OptionEntry &option : globalOptions()) {
        takesValue.insert(option.longName(), option.takesValue());
    }
    QSet<QString> globals(takesValue.keyBegin(), takesValue.keyEnd());
    for (const CommandEntry &command : commands()) {
        QVERIFY2(!command.summary.isEmpty(), qPrintable(command.name));
        for (const OptionEntry &option : command.options) {
            QVERIFY2(!globals.contains(option.longName()), qPrintable(option.longName()));
            QVERIFY2(option.names.size() == 1, qPrintable(option.longName())); // long only
            const auto known = takesValue.constFind(option.longName());
            if (known != takesValue.constEnd()) {
                QCOMPARE(*known, option.takesValue());
            }
            takesValue.insert(option.longName(), option.takesValue());
        }
    }
}

// Every option of the table appears in --help and in the manual page, and the
// manual page's entry for it says which command takes it ("log: ..."), or none
// for a global option; the manual page describes no option the tool lacks.
void TestCtlCommands::manualPageFollowsTable()
{
    QFile file(QStringLiteral(VANTELCTL_MANUAL));
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QString page = QString::fromUtf8(file.readAll()).replace(QStringLiteral("\\-"), "-");
    const QString options = page.section(QStringLiteral(".SH OPTIONS"), 1).section(".SH ", 0, 0);
    QVERIFY(!options.isEmpty());

    static const QRegularExpression name(QStringLiteral("--([a-z][a-z-]*)"));
    static const QRegularExpression owner(QStringLiteral("^([a-z]+(?:, [a-z]+)*):"));
    QHash<QString, QString> described; // option -> the command its entry names
    for (const QString &entry : options.split(QStringLiteral(".TP\n"), Qt::SkipEmptyParts)) {
        const QString tag = entry.section(QLatin1Char('\n'), 0, 0);
        const QString body = entry.section(QLatin1Char('\n'), 1).trimmed();
        const auto match = owner.match(body);
        for (auto it = name.globalMatch(tag); it.hasNext();) {
            described.insert(it.next().captured(1),
                             match.hasMatch() ? match.captured(1).remove(QLatin1Char(' ')) : "");
        }
    }

    QHash<QString, QString> table;
    for (const OptionEntry &option : globalOptions()) {
        table.insert(option.longName(), QString());
    }
    for (const CommandEntry &command : commands()) {
        for (const OptionEntry &option : command.options) {
            const QString owners = table.value(option.longName());
            table.insert(option.longName(), owners.isEmpty()
                                                ? command.name
                                                : owners + QLatin1Char(',') + command.name);
        }
    }
    const QString help = helpText();
    for (auto it = table.constBegin(); it != table.constEnd(); ++it) {
        QVERIFY2(help.contains(QStringLiteral("--") + it.key()), qPrintable(it.key()));
        QVERIFY2(described.contains(it.key()), qPrintable("not in the manual page: " + it.key()));
        QCOMPARE(described.value(it.key()), it.value());
    }
    for (auto it = described.constBegin(); it != described.constEnd(); ++it) {
        QVERIFY2(table.contains(it.key()), qPrintable("not in the tool: " + it.key()));
    }
    for (auto it = name.globalMatch(page); it.hasNext();) {
        const QString mentioned = it.next().captured(1);
        QVERIFY2(table.contains(mentioned), qPrintable("the manual page names --" + mentioned));
    }
    for (const CommandEntry &command : commands()) {
        QVERIFY2(page.contains(QStringLiteral(".B ") + command.name) ||
                     page.contains(QStringLiteral(".BR ") + command.name) ||
                     page.contains(QStringLiteral(".BI ") + command.name),
                 qPrintable("no entry for the command " + command.name));
    }
}

QTEST_GUILESS_MAIN(TestCtlCommands)
#include "tst_ctl_commands.moc"
