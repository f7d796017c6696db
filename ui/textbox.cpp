#include "ui/textbox.h"

namespace ui {

TextBox::TextBox(const QString &text, QWidget *parent) : QLineEdit(text, parent)
{
    setFrame(false);
    // The boxes are small: no padding, so that their digits fit as designed.
    setStyleSheet(QStringLiteral("QLineEdit { border: none; padding: 0px; margin: 0px; }"));
    // Typing: the reaction runs once the key press is done, so that it may rewrite
    // the text without fighting the line edit's own editing.
    connect(this, &QLineEdit::textEdited, this, &TextBox::Change, Qt::QueuedConnection);
}

void TextBox::setText(const QString &text)
{
    if (text == QLineEdit::text()) {
        return;
    }
    QLineEdit::setText(text);
    emit Change();
}

} // namespace ui
