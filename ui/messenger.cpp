#include "ui/messenger.h"

#include <QMessageBox>

namespace ui {

QString messageTitle()
{
    return QStringLiteral("提示");
}

void BoxMessenger::inform(QWidget *parent, const QString &text)
{
    QMessageBox box(QMessageBox::Information, messageTitle(), text, QMessageBox::Ok, parent);
    box.exec();
}

} // namespace ui
