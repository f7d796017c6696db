#pragma once

#include <QPlainTextEdit>

#include <set>

namespace panels {

// A plain-text editor with line numbers in a margin, lines with an error marked
// red, and the running line highlighted.
class CodeEditor : public QPlainTextEdit {
    Q_OBJECT
public:
    explicit CodeEditor(QWidget *parent = nullptr);

    void setErrorLines(const std::set<int> &lines);
    // 0: no line runs.
    void setRunningLine(int line);
    int runningLine() const { return m_running; }

    int marginWidth() const;
    void paintMargin(QPaintEvent *event);

protected:
    void keyPressEvent(QKeyEvent *event) override;
    void resizeEvent(QResizeEvent *event) override;

private:
    void updateMarks();

    QWidget *m_margin;
    std::set<int> m_errors;
    int m_running = 0;
};

} // namespace panels
