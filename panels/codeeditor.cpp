#include "panels/codeeditor.h"

#include <QKeyEvent>
#include <QPainter>
#include <QTextBlock>

namespace panels {

namespace {

class Margin : public QWidget {
public:
    explicit Margin(CodeEditor *editor) : QWidget(editor), m_editor(editor) {}
    QSize sizeHint() const override { return {m_editor->marginWidth(), 0}; }

protected:
    void paintEvent(QPaintEvent *event) override { m_editor->paintMargin(event); }

private:
    CodeEditor *m_editor;
};

} // namespace

CodeEditor::CodeEditor(QWidget *parent) : QPlainTextEdit(parent), m_margin(new Margin(this))
{
    setLineWrapMode(QPlainTextEdit::NoWrap);
    // Tab moves on to the window's buttons; a new line keeps the indentation of
    // the one before it, which is all the indenting a repeat's body needs.
    setTabChangesFocus(true);
    QFont mono(QStringLiteral("Monospace"));
    mono.setStyleHint(QFont::TypeWriter);
    setFont(mono);
    connect(this, &QPlainTextEdit::blockCountChanged, this,
            [this] { setViewportMargins(marginWidth(), 0, 0, 0); });
    connect(this, &QPlainTextEdit::updateRequest, this, [this](const QRect &rect, int dy) {
        if (dy != 0) {
            m_margin->scroll(0, dy);
        } else {
            m_margin->update(0, rect.y(), m_margin->width(), rect.height());
        }
    });
    setViewportMargins(marginWidth(), 0, 0, 0);
}

int CodeEditor::marginWidth() const
{
    int digits = 1;
    for (int n = std::max(1, blockCount()); n >= 10; n /= 10) {
        ++digits;
    }
    return 8 + fontMetrics().horizontalAdvance(QLatin1Char('9')) * std::max(digits, 3);
}

void CodeEditor::keyPressEvent(QKeyEvent *event)
{
    const bool newLine = (event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) &&
                         !(event->modifiers() & ~Qt::KeypadModifier) && !isReadOnly();
    if (!newLine) {
        QPlainTextEdit::keyPressEvent(event);
        return;
    }
    const QString line = textCursor().block().text();
    qsizetype blanks = 0;
    while (blanks < line.size() &&
           (line[blanks] == QLatin1Char(' ') || line[blanks] == QLatin1Char('\t'))) {
        ++blanks;
    }
    QTextCursor cursor = textCursor();
    cursor.beginEditBlock();
    cursor.removeSelectedText();
    const qsizetype column = cursor.positionInBlock();
    cursor.insertBlock();
    cursor.insertText(line.left(std::min(blanks, column)));
    cursor.endEditBlock();
    setTextCursor(cursor);
}

void CodeEditor::resizeEvent(QResizeEvent *event)
{
    QPlainTextEdit::resizeEvent(event);
    const QRect area = contentsRect();
    m_margin->setGeometry(area.left(), area.top(), marginWidth(), area.height());
}

void CodeEditor::setErrorLines(const std::set<int> &lines)
{
    if (lines != m_errors) {
        m_errors = lines;
        updateMarks();
    }
}

void CodeEditor::setRunningLine(int line)
{
    if (line != m_running) {
        m_running = line;
        updateMarks();
        if (line > 0) {
            const QTextBlock block = document()->findBlockByNumber(line - 1);
            if (block.isValid()) {
                QTextCursor cursor(block);
                setTextCursor(cursor);
                ensureCursorVisible();
            }
        }
    }
}

void CodeEditor::updateMarks()
{
    QList<QTextEdit::ExtraSelection> marks;
    const auto mark = [&](int line, const QColor &color) {
        const QTextBlock block = document()->findBlockByNumber(line - 1);
        if (!block.isValid()) {
            return;
        }
        QTextEdit::ExtraSelection selection;
        selection.format.setBackground(color);
        selection.format.setProperty(QTextFormat::FullWidthSelection, true);
        selection.cursor = QTextCursor(block);
        marks << selection;
    };
    for (int line : m_errors) {
        mark(line, QColor(255, 210, 210));
    }
    if (m_running > 0) {
        mark(m_running, QColor(255, 240, 160));
    }
    setExtraSelections(marks);
    m_margin->update();
}

void CodeEditor::paintMargin(QPaintEvent *event)
{
    QPainter painter(m_margin);
    painter.fillRect(event->rect(), QColor(240, 240, 240));
    QTextBlock block = firstVisibleBlock();
    int top = qRound(blockBoundingGeometry(block).translated(contentOffset()).top());
    while (block.isValid() && top <= event->rect().bottom()) {
        const int height = qRound(blockBoundingRect(block).height());
        if (block.isVisible() && top + height >= event->rect().top()) {
            const int line = block.blockNumber() + 1;
            painter.setPen(m_errors.count(line) ? QColor(200, 0, 0) : QColor(120, 120, 120));
            painter.drawText(0, top, m_margin->width() - 4, fontMetrics().height(), Qt::AlignRight,
                             QString::number(line));
        }
        top += height;
        block = block.next();
    }
}

} // namespace panels
