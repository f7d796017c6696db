#include "help/helpwindow.h"

#include <QAbstractTextDocumentLayout>
#include <QAction>
#include <QFile>
#include <QHBoxLayout>
#include <QScrollBar>
#include <QShortcut>
#include <QTextBlock>
#include <QTimer>
#include <QToolButton>
#include <QVBoxLayout>

namespace help {

namespace {

const QUrl kContents(QStringLiteral("qrc:/docs/contents.md"));
const QSize kPreferredSize(760, 680);

bool isHeading(const QTextBlock &block)
{
    return block.blockFormat().headingLevel() > 0;
}

} // namespace

QUrl pageUrl(const QString &name)
{
    return QUrl(QStringLiteral("qrc:/docs/") + name);
}

QString headingSlug(const QString &heading)
{
    QString slug;
    for (const QChar c : heading.trimmed().toLower()) {
        if (c.isLetterOrNumber() || c == QLatin1Char('-') || c == QLatin1Char('_')) {
            slug += c;
        } else if (c.isSpace()) {
            slug += QLatin1Char('-');
        }
    }
    return slug;
}

HelpBrowser::HelpBrowser(QWidget *parent) : QTextBrowser(parent)
{
    setObjectName(QStringLiteral("helpBrowser"));
    // Pages of the manual open here; a web address opens in the user's browser.
    setOpenLinks(true);
    setOpenExternalLinks(true);
}

void HelpBrowser::doSetSource(const QUrl &name, QTextDocument::ResourceType type)
{
    // A link to a file of the tree that is not part of the manual (a script, the
    // licence) leaves the page as it is rather than showing an empty one.
    if (name.scheme() == QLatin1String("qrc") && !QFile::exists(QLatin1Char(':') + name.path())) {
        return;
    }
    m_pendingPosition = -1;
    QTextBrowser::doSetSource(name, type);
    if (name.hasFragment()) {
        goToHeading(name.fragment());
    }
}

bool HelpBrowser::goToHeading(const QString &heading)
{
    const QString wanted = heading.trimmed();
    for (QTextBlock block = document()->begin(); block.isValid(); block = block.next()) {
        const QString text = block.text().trimmed();
        if (isHeading(block) &&
            (text.compare(wanted, Qt::CaseInsensitive) == 0 || headingSlug(text) == wanted)) {
            QTextCursor cursor(block);
            setTextCursor(cursor);
            scrollToBlock(block.position());
            return true;
        }
    }
    return false;
}

QString HelpBrowser::currentHeading() const
{
    for (QTextBlock block = textCursor().block(); block.isValid(); block = block.previous()) {
        if (isHeading(block)) {
            return block.text().trimmed();
        }
    }
    return {};
}

void HelpBrowser::scrollToBlock(int position)
{
    const QTextBlock block = document()->findBlock(position);
    // Laying the page out to its end first gives the scroll bar its whole range.
    QAbstractTextDocumentLayout *layout = document()->documentLayout();
    layout->blockBoundingRect(document()->lastBlock());
    verticalScrollBar()->setValue(static_cast<int>(layout->blockBoundingRect(block).top()));
    // A view not shown yet has no size: it scrolls again when it is shown.
    m_pendingPosition = isVisible() ? -1 : position;
}

void HelpBrowser::showEvent(QShowEvent *event)
{
    QTextBrowser::showEvent(event);
    if (m_pendingPosition >= 0) {
        const int position = m_pendingPosition;
        // After the layouts have given the view its size.
        QTimer::singleShot(0, this, [this, position] {
            if (textCursor().position() == position) {
                scrollToBlock(position);
            }
        });
    }
}

HelpWindow::HelpWindow(QWidget *parent) : QWidget(parent, Qt::Window)
{
    setObjectName(QStringLiteral("helpWindow"));
    browser = new HelpBrowser(this);
    const auto button = [this](const QString &name, const QString &text, const QString &tip) {
        auto *b = new QToolButton(this);
        b->setObjectName(name);
        b->setText(text);
        b->setToolTip(tip);
        return b;
    };
    backButton = button(QStringLiteral("back"), tr("◀ Back"), tr("Alt+Left"));
    forwardButton = button(QStringLiteral("forward"), tr("Forward ▶"), tr("Alt+Right"));
    contentsButton =
        button(QStringLiteral("contents"), tr("Contents"), tr("Every page of the manual"));
    backButton->setEnabled(false);
    forwardButton->setEnabled(false);
    auto *buttons = new QHBoxLayout;
    buttons->addWidget(backButton);
    buttons->addWidget(forwardButton);
    buttons->addWidget(contentsButton);
    buttons->addStretch(1);
    auto *layout = new QVBoxLayout(this);
    layout->addLayout(buttons);
    layout->addWidget(browser, 1);
    resize(kPreferredSize);

    connect(backButton, &QToolButton::clicked, browser, &QTextBrowser::backward);
    connect(forwardButton, &QToolButton::clicked, browser, &QTextBrowser::forward);
    connect(contentsButton, &QToolButton::clicked, this, &HelpWindow::showContents);
    connect(browser, &QTextBrowser::backwardAvailable, backButton, &QToolButton::setEnabled);
    connect(browser, &QTextBrowser::forwardAvailable, forwardButton, &QToolButton::setEnabled);
    connect(browser, &QTextBrowser::sourceChanged, this, &HelpWindow::updateTitle);
    for (const auto &[key, slot] : {std::pair{QKeySequence::Back, &QTextBrowser::backward},
                                    std::pair{QKeySequence::Forward, &QTextBrowser::forward}}) {
        auto *shortcut = new QShortcut(key, this);
        connect(shortcut, &QShortcut::activated, browser, slot);
    }
}

void HelpWindow::showTopic(const QString &page, const QString &heading)
{
    QUrl url = pageUrl(page);
    if (!heading.isEmpty()) {
        url.setFragment(headingSlug(heading));
    }
    if (browser->source() == url) {
        // The same topic again (F1 pressed twice): back to its heading.
        if (heading.isEmpty()) {
            browser->moveCursor(QTextCursor::Start);
            browser->verticalScrollBar()->setValue(0);
        } else {
            browser->goToHeading(heading);
        }
    } else {
        browser->setSource(url);
    }
}

void HelpWindow::showContents()
{
    browser->setSource(kContents);
}

void HelpWindow::updateTitle()
{
    QString title;
    for (QTextBlock block = browser->document()->begin(); block.isValid(); block = block.next()) {
        if (isHeading(block)) {
            title = block.text().trimmed();
            break;
        }
    }
    setWindowTitle(title.isEmpty() ? tr("Help") : tr("Help - %1").arg(title));
}

QAction *helpAction(QWidget *window, const QString &page, const QString &heading)
{
    auto *action = new QAction(QObject::tr("Help…"), window);
    action->setObjectName(QStringLiteral("helpAction"));
    action->setShortcut(QKeySequence(Qt::Key_F1));
    QObject::connect(action, &QAction::triggered, window, [window, page, heading] {
        // One help window per window, made at first use; closing it only hides it.
        HelpWindow *help = helpWindowOf(window);
        if (help == nullptr) {
            help = new HelpWindow(window);
        }
        help->showTopic(page, heading);
        help->show();
        help->raise();
        help->activateWindow();
    });
    return action;
}

QAction *addHelp(QWidget *window, const QString &page, const QString &heading)
{
    QAction *action = helpAction(window, page, heading);
    auto *key = new QShortcut(action->shortcut(), window);
    QObject::connect(key, &QShortcut::activated, action, &QAction::trigger);
    return action;
}

HelpWindow *helpWindowOf(QWidget *window)
{
    return window->findChild<HelpWindow *>(QString(), Qt::FindDirectChildrenOnly);
}

} // namespace help
