#pragma once

#include <QString>

class QWidget;

namespace ui {

// How a window tells the user something: a modal information box with one OK
// button and the title "提示". Tests put a recorder in its place.
class Messenger {
public:
    virtual ~Messenger() = default;
    virtual void inform(QWidget *parent, const QString &text) = 0;
};

class BoxMessenger : public Messenger {
public:
    void inform(QWidget *parent, const QString &text) override;
};

// The title every message box carries.
QString messageTitle();

} // namespace ui
