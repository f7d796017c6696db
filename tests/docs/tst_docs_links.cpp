// Every relative link and picture of README.md and docs/*.md leads to a file of the
// tree, and a #fragment to a heading of the page it names, as GitHub makes anchors.
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QSet>
#include <QtTest>

namespace {

const QString kRoot = QStringLiteral(SOURCE_ROOT);

QString readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
}

// The page without its fenced code blocks and code spans, where a bracket is no link.
QString withoutCode(const QString &page)
{
    static const QRegularExpression span(QStringLiteral("`+[^`\\n]*`+"));
    QStringList kept;
    bool fenced = false;
    for (const QString &line : page.split(QLatin1Char('\n'))) {
        if (line.trimmed().startsWith(QStringLiteral("```"))) {
            fenced = !fenced;
            continue;
        }
        if (!fenced && !line.startsWith(QStringLiteral("    "))) {
            kept << QString(line).remove(span);
        }
    }
    return kept.join(QLatin1Char('\n'));
}

// A heading's anchor as GitHub makes it: lower case, punctuation dropped but for
// '-' and '_', each space a '-'; a repeated one gets -1, -2, ...
QString anchorOf(const QString &heading)
{
    QString anchor;
    for (const QChar c : heading.toLower()) {
        if (c.isLetterOrNumber() || c == QLatin1Char('-') || c == QLatin1Char('_')) {
            anchor += c;
        } else if (c == QLatin1Char(' ')) {
            anchor += QLatin1Char('-');
        }
    }
    return anchor;
}

QSet<QString> anchorsOf(const QString &page)
{
    static const QRegularExpression heading(QStringLiteral("^#{1,6} +(.*?) *#* *$"));
    QSet<QString> anchors;
    QHash<QString, int> seen;
    bool fenced = false;
    for (const QString &line : page.split(QLatin1Char('\n'))) {
        if (line.trimmed().startsWith(QStringLiteral("```"))) {
            fenced = !fenced;
            continue;
        }
        const auto match = heading.match(line);
        if (fenced || !match.hasMatch()) {
            continue;
        }
        const QString anchor = anchorOf(match.captured(1));
        const int count = seen.value(anchor);
        anchors.insert(count == 0 ? anchor : anchor + QLatin1Char('-') + QString::number(count));
        seen.insert(anchor, count + 1);
    }
    return anchors;
}

// Inline links and pictures, reference definitions and <img src>.
QStringList targetsOf(const QString &page)
{
    static const QList<QRegularExpression> forms = {
        QRegularExpression(QStringLiteral("\\]\\(\\s*<?([^)\\s>]+)>?(?:\\s+\"[^\"]*\")?\\s*\\)")),
        QRegularExpression(QStringLiteral("^\\s*\\[[^\\]]+\\]:\\s*<?(\\S+?)>?(\\s|$)"),
                           QRegularExpression::MultilineOption),
        QRegularExpression(QStringLiteral("<img[^>]*\\ssrc=\"([^\"]+)\"")),
    };
    const QString text = withoutCode(page);
    QStringList targets;
    for (const QRegularExpression &form : forms) {
        for (auto it = form.globalMatch(text); it.hasNext();) {
            targets << it.next().captured(1);
        }
    }
    return targets;
}

bool isExternal(const QString &target)
{
    static const QRegularExpression scheme(QStringLiteral("^[a-zA-Z][a-zA-Z0-9+.-]*:"));
    return scheme.match(target).hasMatch();
}

// What is wrong with one link of the page at `pagePath`, or nothing.
QString checkLink(const QString &pagePath, const QString &target)
{
    const QString path = target.section(QLatin1Char('#'), 0, 0);
    const QString fragment = target.section(QLatin1Char('#'), 1);
    QString file = pagePath;
    if (!path.isEmpty()) {
        if (path.startsWith(QLatin1Char('/'))) {
            return QStringLiteral("%1 is absolute (it leaves the tree)").arg(target);
        }
        file = QDir::cleanPath(QFileInfo(pagePath).absolutePath() + QLatin1Char('/') +
                               QUrl::fromPercentEncoding(path.toUtf8()));
        if (!file.startsWith(kRoot + QLatin1Char('/'))) {
            return QStringLiteral("%1 leads out of the tree").arg(target);
        }
        if (!QFileInfo::exists(file)) {
            return QStringLiteral("%1: no such file").arg(target);
        }
    }
    if (!fragment.isEmpty() && file.endsWith(QStringLiteral(".md")) &&
        !anchorsOf(readFile(file)).contains(fragment)) {
        return QStringLiteral("%1: no such heading").arg(target);
    }
    return {};
}

QStringList pages()
{
    QStringList list{kRoot + QStringLiteral("/README.md")};
    const QDir docs(kRoot + QStringLiteral("/docs"));
    for (const QString &name : docs.entryList({QStringLiteral("*.md")}, QDir::Files, QDir::Name)) {
        list << docs.filePath(name);
    }
    return list;
}

} // namespace

class TestDocsLinks : public QObject {
    Q_OBJECT

private slots:
    void anchors_data();
    void anchors();
    void linksResolve_data();
    void linksResolve();
    void reachesEveryPage_data();
    void reachesEveryPage();
};

void TestDocsLinks::anchors_data()
{
    QTest::addColumn<QString>("page");
    QTest::addColumn<QStringList>("expected");
    QTest::newRow("words") << "## The trend" << QStringList{"the-trend"};
    QTest::newRow("punctuation") << "## Logging, energy and MQTT: Home Assistant"
                                 << QStringList{"logging-energy-and-mqtt-home-assistant"};
    QTest::newRow("code and dashes") << "### `run --check`" << QStringList{"run---check"};
    QTest::newRow("apostrophe and digits")
        << "## The supply's 9600 baud" << QStringList{"the-supplys-9600-baud"};
    QTest::newRow("repeated") << "## Options\n## Options\n## Options"
                              << QStringList{"options", "options-1", "options-2"};
    QTest::newRow("closing hashes") << "## Windows ##" << QStringList{"windows"};
    QTest::newRow("in a code block")
        << "```\n# not a heading\n```\n# Title" << QStringList{"title"};
}

void TestDocsLinks::anchors()
{
    QFETCH(QString, page);
    QFETCH(QStringList, expected);
    const QSet<QString> anchors = anchorsOf(page);
    QCOMPARE(anchors, QSet<QString>(expected.begin(), expected.end()));
}

void TestDocsLinks::linksResolve_data()
{
    QTest::addColumn<QString>("page");
    for (const QString &page : pages()) {
        QTest::newRow(qPrintable(QDir(kRoot).relativeFilePath(page))) << page;
    }
}

void TestDocsLinks::linksResolve()
{
    QFETCH(QString, page);
    const QString text = readFile(page);
    QVERIFY(!text.isEmpty());
    QStringList broken;
    for (const QString &target : targetsOf(text)) {
        if (isExternal(target)) {
            continue;
        }
        const QString problem = checkLink(page, target);
        if (!problem.isEmpty()) {
            broken << problem;
        }
    }
    QVERIFY2(broken.isEmpty(), qPrintable(broken.join(QLatin1Char('\n'))));
}

// A newcomer finds every page from README, and from the contents page the help
// window opens.
void TestDocsLinks::reachesEveryPage_data()
{
    QTest::addColumn<QString>("from");
    QTest::newRow("README") << QStringLiteral("README.md");
    QTest::newRow("contents") << QStringLiteral("docs/contents.md");
}

void TestDocsLinks::reachesEveryPage()
{
    QFETCH(QString, from);
    const QString path = kRoot + QLatin1Char('/') + from;
    const QString folder = QFileInfo(path).absolutePath();
    QSet<QString> reached{path};
    for (const QString &target : targetsOf(readFile(path))) {
        reached.insert(
            QDir::cleanPath(folder + QLatin1Char('/') + target.section(QLatin1Char('#'), 0, 0)));
    }
    QStringList missing;
    for (const QString &page : pages().mid(1)) {
        if (!reached.contains(page)) {
            missing << QDir(kRoot).relativeFilePath(page);
        }
    }
    QVERIFY2(missing.isEmpty(), qPrintable(from + " links no " + missing.join(", ")));
}

QTEST_GUILESS_MAIN(TestDocsLinks)
#include "tst_docs_links.moc"
