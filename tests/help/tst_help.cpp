#include "help/helpwindow.h"
#include "support/fakecommcontrol.h"
#include "support/recordingmessenger.h"

#include "addrtool/form1.h"
#include "bus/buswindow.h"
#include "monitor/form1.h"
#include "panels/monitorpanels.h"

#include <QAction>
#include <QApplication>
#include <QContextMenuEvent>
#include <QDirIterator>
#include <QMenu>
#include <QScrollBar>
#include <QSettings>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTextBlock>
#include <QToolButton>
#include <QtTest>

namespace {

constexpr int kWaitMs = 5000;

// The windows of both programs, made on demand; each opener returns the window
// F1 is pressed in.
struct Programs {
    testsupport::FakeCommControl vantelComm, pellowComm;
    testsupport::RecordingMessenger messenger;
    monitor::Form1 vantel{vantelComm, messenger};
    addrtool::Form1 pellow{pellowComm, messenger};
};

using help::HelpBrowser;

// Every piece of text of a page with its format, in order.
QList<QTextFragment> fragmentsOf(const QTextDocument &document)
{
    QList<QTextFragment> fragments;
    for (QTextBlock b = document.begin(); b.isValid(); b = b.next()) {
        for (auto it = b.begin(); !it.atEnd(); ++it) {
            fragments << it.fragment();
        }
    }
    return fragments;
}

// The links (href) or picture names of a page, in order.
QStringList namesIn(const QTextDocument &document, bool pictures)
{
    QStringList names;
    for (const QTextFragment &fragment : fragmentsOf(document)) {
        const QTextCharFormat format = fragment.charFormat();
        const QString name = pictures ? format.toImageFormat().name() : format.anchorHref();
        if (!name.isEmpty() && !names.contains(name)) {
            names << name;
        }
    }
    return names;
}

// What does not resolve in the page at `url`: a picture that does not load, a
// link to a page that is not in the resources or to a heading the page lacks.
QStringList problemsOf(const QUrl &url)
{
    HelpBrowser browser;
    browser.setSource(url);
    QStringList problems;
    for (const QString &picture : namesIn(*browser.document(), true)) {
        if (browser.loadResource(QTextDocument::ImageResource, QUrl(picture)).isNull()) {
            problems << QStringLiteral("no picture ") + picture;
        }
    }
    for (const QString &href : namesIn(*browser.document(), false)) {
        const QUrl target = url.resolved(QUrl(href));
        const bool manual = target.path().startsWith(QLatin1String("/docs/")) ||
                            target.path() == QLatin1String("/README.md");
        if (target.scheme() != QLatin1String("qrc") || !target.path().endsWith(".md") || !manual) {
            continue; // a web address, or a file of the tree outside the manual
        }
        HelpBrowser there;
        there.setSource(target.adjusted(QUrl::RemoveFragment));
        if (there.source().isEmpty()) {
            problems << QStringLiteral("no page ") + href;
        } else if (target.hasFragment() && !there.goToHeading(target.fragment())) {
            problems << QStringLiteral("no heading ") + href;
        }
    }
    return problems;
}

// Clicks the link to `href` in what the browser shows.
bool clickLink(HelpBrowser *browser, const QString &href)
{
    for (const QTextFragment &fragment : fragmentsOf(*browser->document())) {
        if (fragment.charFormat().anchorHref() == href) {
            QTextCursor cursor(browser->document());
            cursor.setPosition(fragment.position() + fragment.length() / 2);
            const QPoint at = browser->cursorRect(cursor).center();
            QTest::mousePress(browser->viewport(), Qt::LeftButton, {}, at);
            QTest::mouseRelease(browser->viewport(), Qt::LeftButton, {}, at);
            return true;
        }
    }
    return false;
}

// The entries of the context menu `widget` shows, read while it is open.
QStringList contextMenuOf(QWidget *widget)
{
    QStringList entries;
    QTimer::singleShot(0, widget, [&entries] {
        QWidget *popup = QApplication::activePopupWidget();
        if (auto *menu = qobject_cast<QMenu *>(popup)) {
            for (QAction *action : menu->actions()) {
                entries << action->text();
            }
            menu->close();
        }
    });
    QContextMenuEvent event(QContextMenuEvent::Mouse, QPoint(5, 5),
                            widget->mapToGlobal(QPoint(5, 5)));
    QApplication::sendEvent(widget, &event);
    return entries;
}

} // namespace

class TestHelp : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void f1OpensTheWindowsPage_data();
    void f1OpensTheWindowsPage();
    void linksOpenOtherPages();
    void contextMenuEndsWithHelp();
    void pagesResolveInTheResources_data();
    void pagesResolveInTheResources();
    void faultsOfAPageAreFound();
    void headingSlugs();

private:
    QTemporaryDir m_dir;
};

void TestHelp::initTestCase()
{
    QVERIFY(m_dir.isValid());
    QStandardPaths::setTestModeEnabled(true);
    QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, m_dir.filePath("settings"));
}

void TestHelp::f1OpensTheWindowsPage_data()
{
    // How the window opens: the vantel action that shows it (empty: vantel itself),
    // or "bus" or "pellow"; then its object name, page and heading (empty: the top).
    QTest::addColumn<QString>("opener");
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("page");
    QTest::addColumn<QString>("heading");
    const QList<QStringList> rows{{"", "Form1", "window.md", ""},
                                  {"trendAction", "TrendWindow", "window.md", "The trend"},
                                  {"sequenceAction", "SequenceWindow", "window.md", "Sequences"},
                                  {"recordAction", "RecordWindow", "window.md", "Recording"},
                                  {"limitsAction", "LimitsWindow", "window.md", "Limits"},
                                  {"bus", "busWindow", "bus.md", ""},
                                  {"pellow", "Form1", "pellow.md", ""}};
    for (const QStringList &row : rows) {
        QTest::newRow(qPrintable(row[1] + " " + row[0])) << row[0] << row[1] << row[2] << row[3];
    }
}

void TestHelp::f1OpensTheWindowsPage()
{
    QFETCH(QString, opener);
    QFETCH(QString, name);
    QFETCH(QString, page);
    QFETCH(QString, heading);
    Programs p;
    QWidget *window = &p.vantel;
    if (opener == QLatin1String("pellow")) {
        window = &p.pellow;
    } else if (opener == QLatin1String("bus")) {
        window = new bus::BusWindow(bus::BusAccess{}, p.messenger, &p.vantel);
    } else if (!opener.isEmpty()) {
        auto *action = p.vantel.findChild<QAction *>(opener);
        if (action == nullptr && opener == QLatin1String("trendAction")) {
            QSKIP("built without the trend window");
        }
        QVERIFY(action);
        action->trigger();
        window = p.vantel.findChild<QWidget *>(name, Qt::FindDirectChildrenOnly);
    }
    QVERIFY(window && window->objectName() == name);
    window->show();
    window->activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(window));

    // Twice: the second F1, after a link was followed, comes back to the topic.
    for (int round = 0; round < 2; ++round) {
        QTest::keyClick(window, Qt::Key_F1);
        help::HelpWindow *help = help::helpWindowOf(window);
        QVERIFY(help && help->isVisible());
        HelpBrowser *browser = help->browser;
        QCOMPARE(browser->source().path(), "/docs/" + page);
        if (heading.isEmpty()) {
            QCOMPARE(browser->textCursor().position(), 0);
            QCOMPARE(browser->verticalScrollBar()->value(), 0);
        } else {
            QCOMPARE(browser->currentHeading(), heading);
            // In view once the window has its size.
            QTRY_VERIFY_WITH_TIMEOUT(browser->viewport()->rect().contains(browser->cursorRect()),
                                     kWaitMs);
        }
        browser->setSource(help::pageUrl(QStringLiteral("simulator.md")));
        window->activateWindow();
        // The help window is the window's child: the window counts itself active
        // while its help is, so wait for the application's own word.
        QTRY_COMPARE_WITH_TIMEOUT(QApplication::activeWindow(), window, kWaitMs);
    }
    QCOMPARE(window->findChildren<help::HelpWindow *>().size(), 1);
}

void TestHelp::linksOpenOtherPages()
{
    help::HelpWindow help;
    help.show();
    QVERIFY(QTest::qWaitForWindowExposed(&help));
    HelpBrowser *browser = help.browser;
    help.showTopic(QStringLiteral("links.md"));

    struct Hop {
        QString href, path, heading;
    };
    const QString links = QStringLiteral("/docs/links.md");
    const QList<Hop> hops{{"bus.md", "/docs/bus.md", {}},
                          {"window.md#limits", "/docs/window.md", "Limits"},
                          {"./pellow.md", "/docs/pellow.md", {}},
                          // Outside the manual: the page stays.
                          {"../scripts/demo.sh", links, {}},
                          {"#far-down", links, "Far down"}};
    for (const Hop &hop : hops) {
        QVERIFY2(clickLink(browser, hop.href), qPrintable(hop.href));
        QTRY_COMPARE_WITH_TIMEOUT(browser->source().path(), hop.path, kWaitMs);
        QVERIFY2(!browser->toPlainText().isEmpty(), qPrintable(hop.path));
        if (!hop.heading.isEmpty()) {
            QCOMPARE(browser->currentHeading(), hop.heading);
        }
        if (hop.path == links && !hop.heading.isEmpty()) {
            // A long page scrolls its heading to the top of the view.
            QTRY_VERIFY_WITH_TIMEOUT(browser->verticalScrollBar()->value() > 0, kWaitMs);
            QVERIFY(qAbs(browser->cursorRect().top()) < 20);
        }
        if (hop.path != links) {
            // Back returns to the page of links.
            QVERIFY(help.backButton->isEnabled());
            help.backButton->click();
            QCOMPARE(browser->source().path(), links);
        }
    }
    help.backButton->click();
    QVERIFY(help.forwardButton->isEnabled());
    help.contentsButton->click();
    QCOMPARE(browser->source(), QUrl(QStringLiteral("qrc:/docs/contents.md")));
    QVERIFY(!browser->toPlainText().isEmpty());
}

void TestHelp::contextMenuEndsWithHelp()
{
    Programs programs;
    programs.vantel.show();
    QVERIFY(QTest::qWaitForWindowExposed(&programs.vantel));
    for (QWidget *widget :
         QList<QWidget *>{&programs.vantel, programs.vantel.T1, programs.vantel.Text4}) {
        const QStringList entries = contextMenuOf(widget);
        QVERIFY2(entries.size() > 1, qPrintable(entries.join('|')));
        QCOMPARE(entries.last(), QStringLiteral("Help…"));
        QCOMPARE(entries.count(QStringLiteral("Help…")), 1);
    }
    auto *action = programs.vantel.findChild<QAction *>(QStringLiteral("helpAction"));
    QVERIFY(action);
    QCOMPARE(action->shortcut(), QKeySequence(Qt::Key_F1));
}

void TestHelp::pagesResolveInTheResources_data()
{
    QTest::addColumn<QString>("page");
    QStringList pages{QStringLiteral(":/README.md")};
    QDirIterator it(QStringLiteral(":/docs"), {QStringLiteral("*.md")}, QDir::Files);
    while (it.hasNext()) {
        pages << it.next();
    }
    // The window's pages are there (the test's own page besides).
    for (const char *name : {"window.md", "bus.md", "pellow.md"}) {
        QVERIFY2(pages.contains(QStringLiteral(":/docs/") + name), name);
    }
    for (const QString &page : pages) {
        QTest::newRow(qPrintable(page)) << page;
    }
}

void TestHelp::pagesResolveInTheResources()
{
    QFETCH(QString, page);
    QCOMPARE(problemsOf(QUrl(QStringLiteral("qrc") + page)), QStringList());
}

void TestHelp::faultsOfAPageAreFound()
{
    QCOMPARE(problemsOf(QUrl(QStringLiteral("qrc:/docs/broken/page.md"))),
             QStringList({"no picture ../images/missing.png", "no page ../nowhere.md",
                          "no heading ../window.md#no-such-heading"}));
}

void TestHelp::headingSlugs()
{
    // As the project's web pages name headings, so that links between pages hold.
    const QList<QStringList> cases{{"The trend", "the-trend"},
                                   {" SCPI (PyVISA): step 1! ", "scpi-pyvisa-step-1"},
                                   {"vantelctl log --json", "vantelctl-log---json"},
                                   {"Überblick über_Geräte", "überblick-über_geräte"}};
    for (const QStringList &c : cases) {
        QCOMPARE(help::headingSlug(c[0]), c[1]);
    }
}

QTEST_MAIN(TestHelp)
#include "tst_help.moc"
