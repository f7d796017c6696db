#include "addrtool/form1.h"
#include "line/enginecommcontrol.h"
#include "ui/messenger.h"
#include "ui/widgets.h"

#include <QApplication>

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("pellow"));
    ui::installFontSubstitutes();
    const auto comm = line::makeEngineCommControl();
    ui::BoxMessenger messenger;
    addrtool::Form1 window(*comm, messenger);
    window.show();
    // A window closed as the program quits answers what it took from the programs
    // that joined its line before it hands the line over: the event loop ends
    // once the line is released.
    return QApplication::exec();
}
