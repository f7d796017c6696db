#include "help/helpwindow.h"
#include "support/fakecommcontrol.h"
#include "support/recordingmessenger.h"

#include "addrtool/form1.h"
#include "bus/buswindow.h"
#include "monitor/form1.h"
#include "panels/monitorpanels.h"

#include <QAction>
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

#include <functional>

namespace {

constexpr int kWaitMs = 5000;

// The windows of both programs, made on demand; each opener returns the window
// F1 is pressed in.
struct Programs {
    testsupport::FakeCommControl vantelComm, pellowComm;
    testsupport::RecordingMessenger messenger;
    vantel::Form1 vantel{vantelComm, messenger};
    pellow::Form1 pellow{pellowComm, messenger};
};

using Opener = std::function<QWidget *(Programs &)>;

// Every heading of a page, as text.
QStringList headingsOf(const QTextDocument &document)
{
    QStringList headings;
    for (QTextBlock b = document.begin(); b.isValid(); b = b.next()) {
        if (b.blockFormat().headingLevel() > 0) {
            headings << b.text().trimmed();
        }
    }
    return headings;
}

// The anchors (href) or picture names of a page, in order.
QStringList namesIn(const QTextDocument &document, bool pictures)
{
    QStringList names;
    for (QTextBlock b = document.begin(); b.isValid(); b = b.next()) {
        for (auto it = b.begin(); !it.atEnd(); ++it) {
            const QTextCharFormat format = it.fragment().charFormat();
            if (pictures && format.isImageFormat()) {
                names << format.toImageFormat().name();
            } else if (!pictures && format.isAnchor() && !format.anchorHref().isEmpty() &&
                       !names.contains(format.anchorHref())) {
                names << format.anchorHref();
            }
        }
    }
    return names;
}

// What does not resolve in the page at `url`: a picture that does not load, a
// link to a page that is not in the resources or to a heading the page lacks.
QStringList problemsOf(const QUrl &url)
{
    help::HelpBrowser browser;
    browser.setSource(url);
    if (browser.toPlainText().isEmpty()) {
        return {QStringLiteral("empty")};
    }
    QStringList problems;
    for (const QString &picture : namesIn(*browser.document(), true)) {
        const QVariant image = browser.loadResource(QTextDocument::ImageResource, QUrl(picture));
        if (!image.isValid() || image.toByteArray().isEmpty()) {
            problems << QStringLiteral("no picture ") + picture;
        }
    }
    for (const QString &href : namesIn(*browser.document(), false)) {
        const QUrl target = url.resolved(QUrl(href));
        if (target.scheme() != QLatin1String("qrc") || !target.path().endsWith(".md")) {
            continue; // a web address, or a file outside the manual
        }
        QFile file(QLatin1Char(':') + target.path());
        if (!file.open(QIODevice::ReadOnly)) {
            problems << QStringLiteral("no page ") + href;
        } else if (target.hasFragment()) {
            QTextDocument document;
            document.setMarkdown(QString::fromUtf8(file.readAll()));
            QStringList slugs;
            for (const QString &heading : headingsOf(document)) {
                slugs << help::headingSlug(heading);
            }
            if (!slugs.contains(target.fragment())) {
                problems << QStringLiteral("no heading ") + href;
            }
        }
    }
    return problems;
}

// Clicks the link to `href` in what the browser shows.
bool clickLink(help::HelpBrowser *browser, const QString &href)
{
    QTextDocument *document = browser->document();
    for (QTextBlock b = document->begin(); b.isValid(); b = b.next()) {
        for (auto it = b.begin(); !it.atEnd(); ++it) {
            const QTextFragment fragment = it.fragment();
            if (fragment.charFormat().anchorHref() != href) {
                continue;
            }
            QTextCursor cursor(document);
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
    void headingSlugs_data();
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
    QTest::addColumn<Opener>("open");
    QTest::addColumn<QString>("page");
    QTest::addColumn<QString>("heading"); // empty: the page's top

    const auto panelsWindow = [](const char *name, void (panels::MonitorPanels::*show)()) {
        return Opener([name, show](Programs &p) {
            (p.vantel.panels().*show)();
            return p.vantel.findChild<QWidget *>(QLatin1String(name));
        });
    };
    QTest::newRow("vantel") << Opener([](Programs &p) { return &p.vantel; }) << "window.md"
                            << "";
    QTest::newRow("trend") << Opener([](Programs &p) -> QWidget * {
        auto *action = p.vantel.findChild<QAction *>(QStringLiteral("trendAction"));
        if (action == nullptr) {
            return nullptr; // built without the trend window
        }
        action->trigger();
        return p.vantel.findChild<QWidget *>(QStringLiteral("TrendWindow"));
    }) << "window.md"
                           << "The trend";
    QTest::newRow("sequence") << panelsWindow("SequenceWindow",
                                              &panels::MonitorPanels::showSequenceWindow)
                              << "window.md"
                              << "Sequences";
    QTest::newRow("recording") << panelsWindow("RecordWindow",
                                               &panels::MonitorPanels::showRecordWindow)
                               << "window.md"
                               << "Recording";
    QTest::newRow("limits") << panelsWindow("LimitsWindow",
                                            &panels::MonitorPanels::showLimitsWindow)
                            << "window.md"
                            << "Limits";
    QTest::newRow("bus") << Opener([](Programs &p) -> QWidget * {
        return new bus::BusWindow(bus::BusAccess{}, p.messenger, &p.vantel);
    }) << "bus.md"
                         << "";
    QTest::newRow("pellow") << Opener([](Programs &p) { return &p.pellow; }) << "pellow.md"
                            << "";
}

void TestHelp::f1OpensTheWindowsPage()
{
    QFETCH(Opener, open);
    QFETCH(QString, page);
    QFETCH(QString, heading);
    Programs programs;
    QWidget *window = open(programs);
    if (window == nullptr && QTest::currentDataTag() == QLatin1String("trend")) {
        QSKIP("built without the trend window");
    }
    QVERIFY(window);
    window->show();
    window->activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(window));

    // Twice: the second F1, after a link was followed, comes back to the topic.
    for (int round = 0; round < 2; ++round) {
        QTest::keyClick(window, Qt::Key_F1);
        help::HelpWindow *help = help::helpWindowOf(window);
        QVERIFY(help);
        QVERIFY(help->isVisible());
        QTRY_VERIFY_WITH_TIMEOUT(help->browser->source().path() == "/docs/" + page, kWaitMs);
        if (heading.isEmpty()) {
            QCOMPARE(help->browser->textCursor().position(), 0);
            QCOMPARE(help->browser->verticalScrollBar()->value(), 0);
        } else {
            QCOMPARE(help->browser->currentHeading(), heading);
            // The heading is in view once the window has its size.
            QTRY_VERIFY_WITH_TIMEOUT(
                help->browser->viewport()->rect().contains(help->browser->cursorRect()), kWaitMs);
        }
        QVERIFY(help->windowTitle().startsWith("Help - "));
        help->browser->setSource(help::pageUrl(QStringLiteral("simulator.md")));
        window->activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(window));
    }
    // One help window per window.
    QCOMPARE(window->findChildren<help::HelpWindow *>().size(), 1);
}

void TestHelp::linksOpenOtherPages()
{
    help::HelpWindow help;
    help.show();
    QVERIFY(QTest::qWaitForWindowExposed(&help));
    help::HelpBrowser *browser = help.browser;
    help.showTopic(QStringLiteral("links.md"));
    QCOMPARE(namesIn(*browser->document(), false),
             QStringList({"bus.md", "window.md#limits", "./pellow.md", "../scripts/demo.sh"}));

    struct Hop {
        QString href, path, heading;
    };
    const QString links = QStringLiteral("/docs/links.md");
    const QList<Hop> hops{{"bus.md", "/docs/bus.md", {}},
                          {"window.md#limits", "/docs/window.md", "Limits"},
                          {"./pellow.md", "/docs/pellow.md", {}},
                          // Outside the manual: the page stays.
                          {"../scripts/demo.sh", links, {}}};
    for (const Hop &hop : hops) {
        QVERIFY2(clickLink(browser, hop.href), qPrintable(hop.href));
        QTRY_COMPARE_WITH_TIMEOUT(browser->source().path(), hop.path, kWaitMs);
        QVERIFY2(!browser->toPlainText().isEmpty(), qPrintable(hop.path));
        if (!hop.heading.isEmpty()) {
            QCOMPARE(browser->currentHeading(), hop.heading);
        }
        if (hop.path != links) {
            // Back returns to the page of links.
            QVERIFY(help.backButton->isEnabled());
            help.backButton->click();
            QCOMPARE(browser->source().path(), links);
        }
    }
    QVERIFY(help.forwardButton->isEnabled());
    help.contentsButton->click();
    QCOMPARE(browser->source(), QUrl(QStringLiteral("qrc:/README.md")));
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

void TestHelp::headingSlugs_data()
{
    QTest::addColumn<QString>("heading");
    QTest::addColumn<QString>("slug");
    QTest::newRow("words") << "The trend"
                           << "the-trend";
    QTest::newRow("punctuation") << "SCPI (PyVISA): a how-to, step 1!"
                                 << "scpi-pyvisa-a-how-to-step-1";
    QTest::newRow("code and underscore") << "`vantelctl log --json`"
                                         << "vantelctl-log---json";
    QTest::newRow("letters beyond ASCII") << "Überblick über Geräte"
                                          << "überblick-über-geräte";
    QTest::newRow("outer spaces") << "  Limits  "
                                  << "limits";
}

void TestHelp::headingSlugs()
{
    QFETCH(QString, heading);
    QFETCH(QString, slug);
    QCOMPARE(help::headingSlug(heading), slug);
}

QTEST_MAIN(TestHelp)
#include "tst_help.moc"
