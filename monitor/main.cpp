#include "monitor/form1.h"
#include "serial/makecommcontrol.h"
#include "ui/messenger.h"
#include "ui/widgets.h"

#include <QApplication>

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("vantel"));
    ui::installFontSubstitutes();
    const auto comm = serial::makeCommControl();
    ui::BoxMessenger messenger;
    vantel::Form1 window(*comm, messenger);
    window.show();
    return QApplication::exec();
}
