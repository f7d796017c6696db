#pragma once

#include <QString>
#include <QTextBrowser>
#include <QUrl>
#include <QWidget>

class QAction;
class QToolButton;

namespace help {

// The manual's page `name` ("window.md") in the program's resources.
QUrl pageUrl(const QString &name);

// The anchor a heading gets on the project's web pages: lower case, letters,
// digits, '-' and '_' kept, spaces as '-', everything else dropped
// ("The trend" -> "the-trend"). Links between pages name headings this way.
QString headingSlug(const QString &heading);

// A text browser over the manual: follows relative links between pages, shows
// their pictures, and goes to the heading a link's fragment names (Qt's Markdown
// reader gives headings no anchors of their own).
class HelpBrowser : public QTextBrowser {
    Q_OBJECT
public:
    explicit HelpBrowser(QWidget *parent = nullptr);

    // Puts the heading whose text or slug is `heading` at the top of the view;
    // false when the page has no such heading (the view stays where it is).
    bool goToHeading(const QString &heading);
    // The heading of the section the text cursor is in; empty before the first.
    QString currentHeading() const;

protected:
    void doSetSource(const QUrl &name, QTextDocument::ResourceType type) override;
    void showEvent(QShowEvent *event) override;

private:
    void scrollToBlock(int position);

    int m_pendingPosition = -1; // a heading to scroll to once the view has its size
};

// "vantel - help": one page of the manual, with back, forward and contents.
class HelpWindow : public QWidget {
    Q_OBJECT
public:
    explicit HelpWindow(QWidget *parent = nullptr);

    // Shows `page` ("bus.md") at `heading` (its text), or at its top.
    void showTopic(const QString &page, const QString &heading = {});
    // Shows the manual's contents page, which leads to every page.
    void showContents();

    HelpBrowser *browser;
    QToolButton *backButton, *forwardButton, *contentsButton;

private:
    void updateTitle();
};

// The action "Help…" (F1) of `window`: opens `page` of the manual at `heading`
// in a help window of its own, made at first use. The caller gives it its key
// (a window whose context menu lists it adds the key with the entry).
QAction *helpAction(QWidget *window, const QString &page, const QString &heading = {});

// Gives `window` F1 for its help: helpAction() with its key in the window.
QAction *addHelp(QWidget *window, const QString &page, const QString &heading = {});

// The help window `window` opened, or nullptr.
HelpWindow *helpWindowOf(QWidget *window);

} // namespace help
