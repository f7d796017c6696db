#include "ui/widgets.h"

#include <QPainter>

#include <algorithm>

namespace ui {

void placeTwips(QWidget *w, int left, int top, int width, int height)
{
    w->setGeometry(px(left), px(top), px(width), px(height));
}

void installFontSubstitutes()
{
    QFont::insertSubstitutions(
        QStringLiteral("SimSun"),
        {QStringLiteral("宋体"), QStringLiteral("NSimSun"),
         QStringLiteral("WenQuanYi Zen Hei Mono"), QStringLiteral("WenQuanYi Zen Hei"),
         QStringLiteral("WenQuanYi Zen Hei Sharp"), QStringLiteral("Noto Sans CJK SC")});
    QFont::insertSubstitutions(QStringLiteral("Times New Roman"),
                               {QStringLiteral("Liberation Serif"), QStringLiteral("Tinos"),
                                QStringLiteral("DejaVu Serif")});
}

namespace {

QFont pointFont(const QString &family, double points)
{
    QFont font(family);
    font.setPointSizeF(points);
    return font;
}

} // namespace

QFont simSun(double points)
{
    return pointFont(QStringLiteral("SimSun"), points);
}

QFont timesNewRoman(double points)
{
    return pointFont(QStringLiteral("Times New Roman"), points);
}

ColorButton::ColorButton(const QString &caption, const QColor &back, QWidget *parent)
    : QPushButton(caption, parent)
{
    setBackColor(back);
}

void ColorButton::setBackColor(const QColor &color)
{
    m_back = color;
    // A style sheet is the one way every Qt style honours a button's own colour.
    setStyleSheet(QStringLiteral("QPushButton { background-color: %1; color: black;"
                                 " border: 1px solid #808080; border-radius: 2px; }"
                                 "QPushButton:pressed { border: 2px inset #606060; }")
                      .arg(color.name()));
}

Shape::Shape(Kind kind, const QColor &border, QWidget *parent)
    : QWidget(parent), m_kind(kind), m_border(border)
{
    setAttribute(Qt::WA_TransparentForMouseEvents);
}

void Shape::setFillColor(const QColor &color)
{
    m_fill = color;
    update();
}

void Shape::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing, m_kind == Kind::Circle);
    painter.setPen(QPen(m_border, 1));
    painter.setBrush(m_fill.isValid() ? QBrush(m_fill) : QBrush(Qt::NoBrush));
    const QRectF area = QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5);
    if (m_kind == Kind::Circle) {
        // A circle as wide as the shape is high, centred in it.
        const double d = std::min(area.width(), area.height());
        painter.drawEllipse(QRectF(area.center().x() - d / 2, area.center().y() - d / 2, d, d));
    } else {
        painter.drawRect(area);
    }
}

VLine::VLine(const QColor &color, QWidget *parent) : QWidget(parent), m_color(color)
{
    setAttribute(Qt::WA_TransparentForMouseEvents);
}

void VLine::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    painter.setPen(QPen(m_color, 1));
    painter.drawLine(0, 0, 0, height());
}

QLabel *makeLabel(QWidget *parent, const QString &name, const QString &text, const QFont &font,
                  const QColor &textColor, const QColor &background)
{
    auto *label = new QLabel(text, parent);
    label->setObjectName(name);
    label->setFont(font);
    QPalette palette = label->palette();
    palette.setColor(QPalette::WindowText, textColor);
    if (background.isValid()) {
        palette.setColor(QPalette::Window, background);
        label->setAutoFillBackground(true);
    }
    label->setPalette(palette);
    label->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    return label;
}

} // namespace ui

namespace ui {

QIcon makeIcon(const QColor &color, const QString &letter)
{
    QIcon icon;
    for (int size : {16, 32, 64}) {
        QPixmap pixmap(size, size);
        pixmap.fill(Qt::transparent);
        QPainter painter(&pixmap);
        painter.setRenderHint(QPainter::Antialiasing);
        painter.setPen(QPen(color.darker(160), size / 16.0 + 0.5));
        painter.setBrush(color);
        painter.drawRoundedRect(QRectF(1, 1, size - 2, size - 2), size / 6.0, size / 6.0);
        QFont font(QStringLiteral("DejaVu Sans"));
        font.setPixelSize(size * 2 / 3);
        font.setBold(true);
        painter.setFont(font);
        painter.setPen(Qt::white);
        painter.drawText(QRect(0, 0, size, size), Qt::AlignCenter, letter);
        icon.addPixmap(pixmap);
    }
    return icon;
}

} // namespace ui
