#include "ui/formbuilder.h"

namespace ui {

QLabel *FormBuilder::label(const char *name, const QString &text, int l, int t, int w, int h,
                           const QFont &font, const QColor &textColor, const QColor &background)
{
    QLabel *label =
        ui::makeLabel(m_window, QString::fromLatin1(name), text, font, textColor, background);
    ui::placeTwips(label, l, t, w, h);
    return label;
}

ui::Shape *FormBuilder::shape(const char *name, int l, int t, int w, int h, const QColor &border,
                              ui::Shape::Kind kind)
{
    auto *shape = new ui::Shape(kind, border, m_window);
    shape->setObjectName(QString::fromLatin1(name));
    ui::placeTwips(shape, l, t, w, h);
    return shape;
}

ui::TextBox *FormBuilder::textBox(const char *name, const QString &text, int l, int t, int w, int h,
                                  const QFont &font, const QColor &textColor)
{
    auto *box = new ui::TextBox(text, m_window);
    box->setObjectName(QString::fromLatin1(name));
    box->setFont(font);
    box->setTextMargins(0, 0, 0, 0);
    QPalette palette = box->palette();
    palette.setColor(QPalette::Base, Qt::white);
    palette.setColor(QPalette::Text, textColor);
    box->setPalette(palette);
    ui::placeTwips(box, l, t, w, h);
    return box;
}

QPushButton *FormBuilder::button(const char *name, const QString &caption, int l, int t, int w,
                                 int h, const QFont &font)
{
    auto *button = new QPushButton(caption, m_window);
    button->setObjectName(QString::fromLatin1(name));
    button->setFont(font);
    button->setFocusPolicy(Qt::TabFocus);
    ui::placeTwips(button, l, t, w, h);
    return button;
}

ui::ColorButton *FormBuilder::colorButton(const char *name, const QString &caption, int l, int t,
                                          int w, int h, const QColor &back, const QFont &font)
{
    auto *button = new ui::ColorButton(caption, back, m_window);
    button->setObjectName(QString::fromLatin1(name));
    button->setFont(font);
    ui::placeTwips(button, l, t, w, h);
    return button;
}

} // namespace ui
