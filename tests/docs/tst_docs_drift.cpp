// The shell's page (docs/shell.md) and the manual page (packaging/man/vantelctl.1)
// against what the built vantelctl prints: every command and option it prints is
// in both, and neither names an option for a command that does not print it.
#include <QDir>
#include <QFile>
#include <QHash>
#include <QProcess>
#include <QRegularExpression>
#include <QSet>
#include <QtTest>

namespace {

const QString kGlobal = QStringLiteral("(every command)");

QString readFile(const QString &relative)
{
    QFile file(QStringLiteral(SOURCE_ROOT "/") + relative);
    if (!file.open(QIODevice::ReadOnly)) {
        return {};
    }
    return QString::fromUtf8(file.readAll());
}

// The tool's help: with no command the global one, else that command's.
QString helpOf(const QString &command)
{
    QProcess process;
    QStringList arguments;
    if (!command.isEmpty()) {
        arguments << command;
    }
    arguments << QStringLiteral("--help");
    process.start(QStringLiteral(VANTELCTL_PATH), arguments);
    if (!process.waitForFinished(60000)) {
        process.kill();
        process.waitForFinished();
        return {};
    }
    return QString::fromUtf8(process.readAllStandardOutput());
}

// The lines of a help text after the line "TITLE:", up to the next unindented line.
QStringList helpSection(const QString &help, const QString &title)
{
    QStringList lines;
    bool inside = false;
    for (const QString &line : help.split(QLatin1Char('\n'))) {
        if (!line.isEmpty() && !line.front().isSpace()) {
            inside = line == title + QLatin1Char(':');
            continue;
        }
        if (inside && !line.trimmed().isEmpty()) {
            lines << line;
        }
    }
    return lines;
}

// Option names (-a, --address) in a piece of text, not inside a longer word.
QSet<QString> optionNames(const QString &text)
{
    static const QRegularExpression name(
        QStringLiteral("(?<![\\w-])(--?[A-Za-z0-9][A-Za-z0-9-]*)"));
    QSet<QString> names;
    for (auto it = name.globalMatch(text); it.hasNext();) {
        names.insert(it.next().captured(1));
    }
    return names;
}

// Commands: the help's "Commands:" lines that start at column 2 (a synopsis or a
// summary that wraps goes on further in).
QStringList commandsOf(const QString &help)
{
    static const QRegularExpression entry(QStringLiteral("^  ([a-z][a-z-]*)(\\s|$)"));
    QStringList names;
    for (const QString &line : helpSection(help, QStringLiteral("Commands"))) {
        const auto match = entry.match(line);
        if (match.hasMatch()) {
            names << match.captured(1);
        }
    }
    return names;
}

// Options: the names column of the help's "Options:" lines, which start at column 2
// (a description that wraps goes on further in), up to the gap of two or more
// spaces that leads to the description.
QSet<QString> optionsOf(const QString &help)
{
    static const QRegularExpression entry(QStringLiteral("^  (-\\S.*?)(\\s{2,}|$)"));
    QSet<QString> names;
    for (const QString &line : helpSection(help, QStringLiteral("Options"))) {
        const auto match = entry.match(line);
        if (match.hasMatch()) {
            names.unite(optionNames(match.captured(1)));
        }
    }
    return names;
}

// The manual page as text: dashes unescaped, font changes dropped.
QString manualText()
{
    static const QRegularExpression font(QStringLiteral("\\\\f[BIRP]"));
    return readFile(QStringLiteral("packaging/man/vantelctl.1"))
        .replace(QStringLiteral("\\-"), QStringLiteral("-"))
        .remove(font);
}

QString manualSection(const QString &page, const QString &title)
{
    return page.section(QStringLiteral(".SH ") + title + QLatin1Char('\n'), 1)
        .section(QStringLiteral("\n.SH "), 0, 0);
}

// What the shell's page names for whom: the first cell of each table row under a
// "### COMMAND" heading names options of that command; under the heading "Options
// of every command", global ones.
QHash<QString, QSet<QString>> pageTables(const QString &page, const QStringList &commands)
{
    QHash<QString, QSet<QString>> named;
    QString owner;
    bool fenced = false;
    for (const QString &line : page.split(QLatin1Char('\n'))) {
        if (line.startsWith(QStringLiteral("```"))) {
            fenced = !fenced;
            continue;
        }
        if (fenced) {
            continue;
        }
        if (line.startsWith(QStringLiteral("## "))) {
            owner = line.mid(3).trimmed() == QStringLiteral("Options of every command") ? kGlobal
                                                                                        : QString();
        } else if (line.startsWith(QStringLiteral("### "))) {
            const QString word =
                line.mid(4).remove(QLatin1Char('`')).trimmed().section(QLatin1Char(' '), 0, 0);
            owner = commands.contains(word) ? word : QString();
        } else if (!owner.isEmpty() && line.startsWith(QLatin1Char('|'))) {
            named[owner].unite(optionNames(line.section(QLatin1Char('|'), 1, 1)));
        }
    }
    return named;
}

// The command lines of vantelctl that a page shows: in code blocks and code spans,
// from "vantelctl" to the end of that command (a pipe, "&&", ";" or a comment),
// with lines continued by a backslash joined.
QStringList commandLines(const QString &page)
{
    static const QRegularExpression span(QStringLiteral("`([^`\n]+)`"));
    static const QRegularExpression call(
        QStringLiteral("(?<![\\w./-])vantelctl(?:\\.exe)?\\s+([^|;#&]*)"));
    QStringList code;
    bool fenced = false;
    const QString joined = QString(page).replace(QStringLiteral("\\\n"), QStringLiteral(" "));
    for (const QString &line : joined.split(QLatin1Char('\n'))) {
        if (line.trimmed().startsWith(QStringLiteral("```"))) {
            fenced = !fenced;
        } else if (fenced || line.startsWith(QStringLiteral("    "))) {
            code << line;
        } else {
            for (auto it = span.globalMatch(line); it.hasNext();) {
                code << it.next().captured(1);
            }
        }
    }
    QStringList lines;
    for (const QString &text : std::as_const(code)) {
        for (auto it = call.globalMatch(text); it.hasNext();) {
            lines << it.next().captured(1).trimmed();
        }
    }
    return lines;
}

} // namespace

class TestDocsDrift : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void commandIsDocumented_data();
    void commandIsDocumented();
    void optionIsDocumented_data();
    void optionIsDocumented();
    void docsNameNoOptionTheCommandLacks();
    void examplesUseOptionsTheCommandHas_data();
    void examplesUseOptionsTheCommandHas();

private:
    QString m_page;
    QString m_manual;
    QStringList m_commands;
    QSet<QString> m_global;
    QHash<QString, QSet<QString>> m_own; // command -> the options only it prints
};

void TestDocsDrift::initTestCase()
{
    m_page = readFile(QStringLiteral("docs/shell.md"));
    m_manual = manualText();
    QVERIFY2(!m_page.isEmpty(), "docs/shell.md cannot be read");
    QVERIFY2(!m_manual.isEmpty(), "packaging/man/vantelctl.1 cannot be read");

    const QString help = helpOf(QString());
    m_commands = commandsOf(help);
    m_global = optionsOf(help);
    // A help that parses to nothing would pass every check below.
    QVERIFY2(m_commands.size() >= 5, qPrintable("commands found: " + m_commands.join(' ')));
    QVERIFY(m_global.contains(QStringLiteral("--port")));
    QVERIFY(m_global.contains(QStringLiteral("-a")));
    for (const QString &command : std::as_const(m_commands)) {
        const QSet<QString> options = optionsOf(helpOf(command));
        QVERIFY2(options.contains(QStringLiteral("--help")), qPrintable(command));
        m_own.insert(command, options - m_global);
    }
}

void TestDocsDrift::commandIsDocumented_data()
{
    QTest::addColumn<QString>("command");
    for (const QString &command : std::as_const(m_commands)) {
        QTest::newRow(qPrintable(command)) << command;
    }
}

// Each command has its section on the shell's page and its entry on the manual page.
void TestDocsDrift::commandIsDocumented()
{
    QFETCH(QString, command);
    const QRegularExpression heading(
        QStringLiteral("^### `?") + QRegularExpression::escape(command) + QStringLiteral("\\b"),
        QRegularExpression::MultilineOption);
    QVERIFY2(heading.match(m_page).hasMatch(),
             qPrintable("docs/shell.md has no section \"### " + command + "\""));
    const QRegularExpression entry(QStringLiteral("^\\.B[IR]? ") +
                                       QRegularExpression::escape(command) + QStringLiteral("\\b"),
                                   QRegularExpression::MultilineOption);
    QVERIFY2(entry.match(manualSection(m_manual, QStringLiteral("COMMANDS"))).hasMatch(),
             qPrintable("packaging/man/vantelctl.1 has no entry for " + command));
}

void TestDocsDrift::optionIsDocumented_data()
{
    QTest::addColumn<QString>("owner");
    QTest::addColumn<QString>("option");
    QStringList global = m_global.values();
    global.sort();
    for (const QString &option : std::as_const(global)) {
        QTest::newRow(qPrintable(option)) << kGlobal << option;
    }
    for (const QString &command : std::as_const(m_commands)) {
        QStringList own = m_own.value(command).values();
        own.sort();
        for (const QString &option : std::as_const(own)) {
            QTest::newRow(qPrintable(command + QLatin1Char(' ') + option)) << command << option;
        }
    }
}

// Each printed option, long or short, is in its command's table on the shell's page
// (a global one in the table of every command's options) and among the manual
// page's options.
void TestDocsDrift::optionIsDocumented()
{
    QFETCH(QString, owner);
    QFETCH(QString, option);
    const auto tables = pageTables(m_page, m_commands);
    QVERIFY2(tables.value(owner).contains(option),
             qPrintable(QStringLiteral("docs/shell.md: %1 is missing from the table of %2")
                            .arg(option, owner)));
    QVERIFY2(
        optionNames(manualSection(m_manual, QStringLiteral("OPTIONS"))).contains(option),
        qPrintable(
            QStringLiteral("packaging/man/vantelctl.1: %1 (%2) is missing").arg(option, owner)));
}

// Neither document names an option for a command whose help does not print it:
// the shell page's tables, the manual page's command entries ("log [--duration D]")
// and its option entries ("log, run: ...", or none for a global option).
void TestDocsDrift::docsNameNoOptionTheCommandLacks()
{
    QStringList wrong;
    const auto prints = [this](const QString &owner, const QString &option) {
        return m_global.contains(option) ||
               (owner != kGlobal && m_own.value(owner).contains(option));
    };

    const auto tables = pageTables(m_page, m_commands);
    for (auto it = tables.constBegin(); it != tables.constEnd(); ++it) {
        for (const QString &option : it.value()) {
            if (!prints(it.key(), option)) {
                wrong << QStringLiteral("docs/shell.md names %1 for %2").arg(option, it.key());
            }
        }
    }

    static const QRegularExpression commandEntry(QStringLiteral("^\\.B[IR]? ([a-z][a-z-]*)(.*)$"),
                                                 QRegularExpression::MultilineOption);
    const QString commandsPart = manualSection(m_manual, QStringLiteral("COMMANDS"));
    for (auto it = commandEntry.globalMatch(commandsPart); it.hasNext();) {
        const auto match = it.next();
        const QString command = match.captured(1);
        if (!m_commands.contains(command)) {
            continue; // a word in bold in a description, not an entry
        }
        for (const QString &option : optionNames(match.captured(2))) {
            if (!prints(command, option)) {
                wrong << QStringLiteral("vantelctl.1 names %1 for %2").arg(option, command);
            }
        }
    }

    static const QRegularExpression owners(QStringLiteral("^([a-z]+(?:, [a-z]+)*):"));
    const QString optionsPart = manualSection(m_manual, QStringLiteral("OPTIONS"));
    for (const QString &entry : optionsPart.split(QStringLiteral(".TP\n")).mid(1)) {
        const QString tag = entry.section(QLatin1Char('\n'), 0, 0);
        const auto match = owners.match(entry.section(QLatin1Char('\n'), 1).trimmed());
        const QStringList named =
            match.hasMatch() ? match.captured(1).split(QStringLiteral(", ")) : QStringList{kGlobal};
        for (const QString &owner : named) {
            for (const QString &option : optionNames(tag)) {
                if (owner != kGlobal && !m_commands.contains(owner)) {
                    wrong << QStringLiteral("vantelctl.1 names a command %1").arg(owner);
                } else if (!prints(owner, option)) {
                    wrong << QStringLiteral("vantelctl.1 names %1 for %2").arg(option, owner);
                }
            }
        }
    }
    wrong.removeDuplicates();
    QVERIFY2(wrong.isEmpty(), qPrintable(wrong.join(QLatin1Char('\n'))));
}

void TestDocsDrift::examplesUseOptionsTheCommandHas_data()
{
    QTest::addColumn<QString>("page");
    QTest::newRow("README.md") << QStringLiteral("README.md");
    QTest::newRow("vantelctl.1") << QStringLiteral("packaging/man/vantelctl.1");
    const QDir docs(QStringLiteral(SOURCE_ROOT "/docs"));
    for (const QString &name : docs.entryList({QStringLiteral("*.md")}, QDir::Files, QDir::Name)) {
        QTest::newRow(qPrintable(name)) << QStringLiteral("docs/") + name;
    }
}

// Every vantelctl command line a page shows as an example uses only options that its
// command (or every command) has: an example is copied as it stands.
void TestDocsDrift::examplesUseOptionsTheCommandHas()
{
    QFETCH(QString, page);
    QString text = page.endsWith(QStringLiteral(".1")) ? manualText() : readFile(page);
    if (page.endsWith(QStringLiteral(".1"))) {
        // The manual page's examples are its .EX blocks, one command a line.
        text = manualSection(text, QStringLiteral("EXAMPLES"))
                   .replace(QStringLiteral("\n"), QStringLiteral("`\n`"));
        text = QLatin1Char('`') + text + QLatin1Char('`');
    }
    QVERIFY(!text.isEmpty());
    QStringList wrong;
    for (const QString &line : commandLines(text)) {
        const QStringList words =
            line.split(QRegularExpression(QStringLiteral("\\s+")), Qt::SkipEmptyParts);
        QString command;
        for (const QString &word : words) {
            if (word == QStringLiteral("--")) {
                break;
            }
            if (command.isEmpty() && m_commands.contains(word)) {
                command = word;
            }
        }
        for (const QString &word : words) {
            if (word == QStringLiteral("--")) {
                break;
            }
            const QSet<QString> options = optionNames(word);
            if (!word.startsWith(QLatin1Char('-')) || options.isEmpty()) {
                continue;
            }
            const QString option = *options.begin();
            if (!m_global.contains(option) && !m_own.value(command).contains(option)) {
                wrong << QStringLiteral("%1 (vantelctl %2)").arg(option, line);
            }
        }
    }
    QVERIFY2(wrong.isEmpty(), qPrintable(wrong.join(QLatin1Char('\n'))));
}

QTEST_GUILESS_MAIN(TestDocsDrift)
#include "tst_docs_drift.moc"
