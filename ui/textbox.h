#pragma once

#include <QLineEdit>

namespace ui {

// A single-line text box that keeps a free-text Tag and raises Change whenever
// its text really changes: at once and nested inside whoever wrote it, or after
// the user typed. Writing the text it already holds raises nothing.
class TextBox : public QLineEdit {
    Q_OBJECT
public:
    explicit TextBox(const QString &text, QWidget *parent = nullptr);

    QString Text() const { return QLineEdit::text(); }
    void setText(const QString &text);
    QString Tag() const { return m_tag; }
    void setTag(const QString &tag) { m_tag = tag; }

signals:
    void Change();

private:
    QString m_tag;
};

} // namespace ui
