// The manual pages (packaging/man) against the pages of docs/ and what vantelctl
// --help prints: the facts a user looks up in either place are stated in every
// one of them, in the same words, and a list (the states of `ports`, the exit
// statuses) is the same list everywhere.
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QtTest>

namespace {

QString readFile(const QString &relative)
{
    QFile file(QStringLiteral(SOURCE_ROOT "/") + relative);
    if (!file.open(QIODevice::ReadOnly)) {
        return {};
    }
    return QString::fromUtf8(file.readAll());
}

QString collapsed(QString text)
{
    static const QRegularExpression space(QStringLiteral("\\s+"));
    return text.replace(space, QStringLiteral(" ")).trimmed();
}

// The arguments of a roff request line: words, or "quoted words".
QStringList roffArguments(const QString &rest)
{
    static const QRegularExpression argument(QStringLiteral("\"([^\"]*)\"|(\\S+)"));
    QStringList out;
    for (auto it = argument.globalMatch(rest); it.hasNext();) {
        const auto m = it.next();
        out << (m.hasCaptured(1) ? m.captured(1) : m.captured(2));
    }
    return out;
}

// A manual page as the reader sees its words: font requests give their text (the
// alternating ones, .BR and the like, without spaces between their arguments),
// other requests give their arguments' text only for headings, and escapes go.
QString roffText(const QString &source)
{
    static const QRegularExpression alternating(QStringLiteral("^\\.(BR|RB|BI|IB|IR|RI)$"));
    QStringList words;
    for (const QString &line : source.split(QLatin1Char('\n'))) {
        if (!line.startsWith(QLatin1Char('.'))) {
            words << line;
            continue;
        }
        const QString request = line.section(QLatin1Char(' '), 0, 0);
        const QString rest = line.section(QLatin1Char(' '), 1);
        if (alternating.match(request).hasMatch()) {
            words << roffArguments(rest).join(QString());
        } else if (request == QLatin1String(".B") || request == QLatin1String(".I") ||
                   request == QLatin1String(".SH") || request == QLatin1String(".SS")) {
            words << roffArguments(rest).join(QLatin1Char(' '));
        }
    }
    QString text = words.join(QLatin1Char(' '));
    static const QRegularExpression font(QStringLiteral("\\\\f[BIRP]"));
    text.replace(font, QString());
    text.replace(QStringLiteral("\\-"), QStringLiteral("-"));
    text.replace(QStringLiteral("\\ "), QStringLiteral(" "));
    text.replace(QStringLiteral("\\&"), QString());
    return collapsed(text);
}

// A Markdown page as read: links as their text, no code or emphasis marks.
QString markdownText(QString source)
{
    static const QRegularExpression link(QStringLiteral("\\[([^\\]]*)\\]\\([^)]*\\)"));
    source.replace(link, QStringLiteral("\\1"));
    source.remove(QLatin1Char('`'));
    source.remove(QStringLiteral("**"));
    return collapsed(source);
}

QString helpText(const QStringList &arguments)
{
    QProcess process;
    process.start(QStringLiteral(VANTELCTL_PATH), arguments);
    if (!process.waitForFinished(60000)) {
        process.kill();
        process.waitForFinished();
        return {};
    }
    return collapsed(QString::fromUtf8(process.readAllStandardOutput()));
}

// A source by name: "man:vantel" is packaging/man/vantel.1, "help" and "help:ports"
// vantelctl's help and that of one command, anything else a page of the tree.
QString textOf(const QString &source)
{
    if (source.startsWith(QLatin1String("man:"))) {
        return roffText(readFile(QStringLiteral("packaging/man/%1.1").arg(source.mid(4))));
    }
    if (source == QLatin1String("help")) {
        return helpText({QStringLiteral("--help")});
    }
    if (source.startsWith(QLatin1String("help:"))) {
        return helpText({source.mid(5), QStringLiteral("--help")});
    }
    return markdownText(readFile(source));
}

// The part of `text` from `from` up to `to` (to the end when `to` is empty or not
// found after it); empty when `from` is not found.
QString between(const QString &text, const QString &from, const QString &to)
{
    const qsizetype start = text.indexOf(from);
    if (start < 0) {
        return {};
    }
    const qsizetype end = to.isEmpty() ? -1 : text.indexOf(to, start + from.size());
    return end < 0 ? text.mid(start) : text.mid(start, end - start);
}

const QString kWatchdog = QStringLiteral(
    "Communication failed,Please check whether the communication address is correct！");

} // namespace

class TestDocsManpages : public QObject {
    Q_OBJECT

private slots:
    void saidEverywhere_data();
    void saidEverywhere();
    void portStatesAreOneList_data();
    void portStatesAreOneList();
    void exitStatusesAreOneList_data();
    void exitStatusesAreOneList();
    void nothingSaysTheWindowKeepsNoSettings();
};

void TestDocsManpages::saidEverywhere_data()
{
    QTest::addColumn<QString>("phrase");
    QTest::addColumn<QString>("source");
    const auto row = [](const char *name, const QString &phrase, const QStringList &sources) {
        for (const QString &source : sources) {
            QTest::newRow(qPrintable(QStringLiteral("%1 in %2").arg(name, source)))
                << phrase << source;
        }
    };
    row("the network port form", QStringLiteral("tcp://HOST[:PORT]"),
        {"docs/shell.md", "man:vantelctl", "help", "man:vantel"});
    row("the gateway's wait", QStringLiteral("may take --timeout plus 1 s"),
        {"docs/shell.md", "man:vantelctl", "help"});
    row("a COMn link", QStringLiteral("~/.config/vantel/ports/COMn"),
        {"docs/serial-linux.md", "man:vantel", "docs/uninstall.md"});
    row("the settings file", QStringLiteral("~/.config/vantel/vantel.conf"),
        {"man:vantel", "docs/uninstall.md", "docs/window.md"});
    row("the ceilings kept for the next session", QStringLiteral("act at the next"),
        {"man:vantel", "docs/uninstall.md", "docs/window.md"});
    row("the watchdog's message", kWatchdog,
        {"docs/window.md", "docs/troubleshooting.md", "man:vantel"});
    row("a lost port in the window", QStringLiteral("lost: close it and open it again"),
        {"docs/window.md", "docs/sharing.md", "docs/troubleshooting.md", "man:vantel"});
    row("a log that ends without its port", QStringLiteral("still away when it ends"),
        {"docs/shell.md", "man:vantelctl", "help"});
    row("the simulator's manual page", QStringLiteral("man vantel-sim"), {"docs/simulator.md"});
}

void TestDocsManpages::saidEverywhere()
{
    QFETCH(QString, phrase);
    QFETCH(QString, source);
    const QString text = textOf(source);
    QVERIFY2(!text.isEmpty(), qPrintable(source + " is empty or missing"));
    QVERIFY2(text.contains(phrase), qPrintable(source + " does not say: " + phrase));
}

// Every list of the states `ports` prints, in parentheses after "state".
void TestDocsManpages::portStatesAreOneList_data()
{
    QTest::addColumn<QString>("source");
    for (const char *source : {"docs/shell.md", "man:vantelctl", "help", "help:ports"}) {
        QTest::newRow(source) << QString::fromUtf8(source);
    }
}

void TestDocsManpages::portStatesAreOneList()
{
    QFETCH(QString, source);
    static const QRegularExpression list(QStringLiteral("states? \\(([a-z ,]+)\\)"));
    const QString text = textOf(source);
    int lists = 0;
    for (auto it = list.globalMatch(text); it.hasNext(); ++lists) {
        QCOMPARE(it.next().captured(1), QStringLiteral("free, shared, in use, no access, absent"));
    }
    QVERIFY2(lists > 0, qPrintable(source + " lists no states"));
}

// The statuses named in each place's account of them: every one, and no other.
void TestDocsManpages::exitStatusesAreOneList_data()
{
    QTest::addColumn<QString>("section");
    const QString shell = textOf(QStringLiteral("docs/shell.md"));
    const QString man = textOf(QStringLiteral("man:vantelctl"));
    const QString help = textOf(QStringLiteral("help"));
    QTest::newRow("shell.md") << between(shell, QStringLiteral("## Exit status"),
                                         QStringLiteral("## Every command"));
    QTest::newRow("vantelctl.1") << between(man, QStringLiteral("EXIT STATUS"),
                                            QStringLiteral("SEQUENCE FILES"));
    QTest::newRow("--help") << between(help, QStringLiteral("Exit status:"),
                                       QStringLiteral("Examples:"));
}

void TestDocsManpages::exitStatusesAreOneList()
{
    QFETCH(QString, section);
    QVERIFY(!section.isEmpty());
    static const QRegularExpression number(QStringLiteral("(?<![\\w.])(\\d+)(?![\\w.])"));
    QSet<int> named;
    for (auto it = number.globalMatch(section); it.hasNext();) {
        named.insert(it.next().captured(1).toInt());
    }
    QCOMPARE(named, (QSet<int>{0, 1, 2, 3, 130, 143}));
}

void TestDocsManpages::nothingSaysTheWindowKeepsNoSettings()
{
    for (const char *page : {"vantel", "vantelctl", "vantel-demo"}) {
        const QString text = textOf(QStringLiteral("man:") + QString::fromUtf8(page));
        QVERIFY2(!text.contains(QStringLiteral("vantel writes no settings")), page);
    }
}

QTEST_GUILESS_MAIN(TestDocsManpages)
#include "tst_docs_manpages.moc"
