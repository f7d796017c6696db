#pragma once

#include <QColor>
#include <QFont>
#include <QIcon>
#include <QLabel>
#include <QPushButton>
#include <QWidget>

namespace ui {

// Layouts are given in twips; the windows are drawn at 15 twips per pixel.
constexpr int kTwipsPerPixel = 15;
constexpr int px(int twips)
{
    return twips / kTwipsPerPixel;
}
// Places `w` at a rectangle given in twips (left, top, width, height).
void placeTwips(QWidget *w, int left, int top, int width, int height);

// The window fonts. Where SimSun or Times New Roman are missing, fontconfig
// substitutes are named as fallbacks (a CJK font that covers "提示" for SimSun, a
// metric-compatible serif for Times New Roman).
QFont simSun(double points);
QFont timesNewRoman(double points);
// Registers the substitutes once per application.
void installFontSubstitutes();

// A push button drawn in its own background colour.
class ColorButton : public QPushButton {
    Q_OBJECT
public:
    ColorButton(const QString &caption, const QColor &back, QWidget *parent = nullptr);
    QString Caption() const { return text(); }
    void setCaption(const QString &caption) { setText(caption); }
    QColor BackColor() const { return m_back; }
    void setBackColor(const QColor &color);

private:
    QColor m_back;
};

// A rectangle or circle: a border colour, and for a filled shape a fill colour.
class Shape : public QWidget {
    Q_OBJECT
public:
    enum class Kind { Rectangle, Circle };
    Shape(Kind kind, const QColor &border, QWidget *parent = nullptr);

    QColor FillColor() const { return m_fill; }
    void setFillColor(const QColor &color);
    QColor BorderColor() const { return m_border; }

protected:
    void paintEvent(QPaintEvent *event) override;

private:
    Kind m_kind;
    QColor m_border;
    QColor m_fill; // invalid: transparent
};

// A straight vertical line.
class VLine : public QWidget {
    Q_OBJECT
public:
    VLine(const QColor &color, QWidget *parent = nullptr);

protected:
    void paintEvent(QPaintEvent *event) override;

private:
    QColor m_color;
};

// A label with its own text colour and, unless transparent, background.
QLabel *makeLabel(QWidget *parent, const QString &name, const QString &text, const QFont &font,
                  const QColor &textColor, const QColor &background = QColor());

} // namespace ui

namespace ui {
// A small window icon drawn at run time: a rounded square in `color` with `letter`.
QIcon makeIcon(const QColor &color, const QString &letter);
} // namespace ui
