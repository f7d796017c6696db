#pragma once

#include "ui/textbox.h"
#include "ui/widgets.h"

#include <QColor>
#include <QFont>
#include <QLabel>
#include <QPushButton>
#include <QString>
#include <QWidget>

namespace ui {

// Builds controls of one window at positions given in twips.
class FormBuilder {
public:
    explicit FormBuilder(QWidget *window) : m_window(window) {}

    QLabel *label(const char *name, const QString &text, int l, int t, int w, int h,
                  const QFont &font, const QColor &textColor = Qt::black,
                  const QColor &background = Qt::white);
    ui::Shape *shape(const char *name, int l, int t, int w, int h, const QColor &border,
                     ui::Shape::Kind kind = ui::Shape::Kind::Rectangle);
    ui::TextBox *textBox(const char *name, const QString &text, int l, int t, int w, int h,
                         const QFont &font, const QColor &textColor = Qt::black);
    QPushButton *button(const char *name, const QString &caption, int l, int t, int w, int h,
                        const QFont &font);
    ui::ColorButton *colorButton(const char *name, const QString &caption, int l, int t, int w,
                                 int h, const QColor &back, const QFont &font);

private:
    QWidget *m_window;
};

} // namespace ui
