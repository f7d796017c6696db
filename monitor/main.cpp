#include "help/helpwindow.h"
#include "line/enginecommcontrol.h"
#include "monitor/form1.h"
#include "ui/messenger.h"
#include "ui/widgets.h"

#include <QApplication>
#include <QCommandLineParser>

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("vantel"));
    ui::installFontSubstitutes();
    // --manual shows the manual alone (the Windows Start menu's entry for it);
    // other arguments are left to Qt as before.
    QCommandLineParser parser;
    const QCommandLineOption manual(QStringLiteral("manual"),
                                    QStringLiteral("Show the manual instead of the window."));
    parser.addOption(manual);
    parser.parse(QApplication::arguments());
    if (parser.isSet(manual)) {
        help::HelpWindow help;
        help.showContents();
        help.show();
        return QApplication::exec();
    }
    const auto comm = line::makeEngineCommControl();
    ui::BoxMessenger messenger;
    monitor::Form1 window(*comm, messenger);
    window.show();
    // A window closed as the program quits answers what it took from the programs
    // that joined its line before it hands the line over: the event loop ends
    // once the line is released.
    return QApplication::exec();
}
