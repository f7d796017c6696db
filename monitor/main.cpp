#include "line/enginecommcontrol.h"
#include "monitor/form1.h"
#include "ui/messenger.h"
#include "ui/widgets.h"

#include <QApplication>

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("vantel"));
    ui::installFontSubstitutes();
    const auto comm = supply::makeEngineCommControl();
    ui::BoxMessenger messenger;
    vantel::Form1 window(*comm, messenger);
    window.show();
    return QApplication::exec();
}
