// Preloaded (LD_PRELOAD) into an installed window program by the package check:
// once the event loop runs, it presses the shown window's Quit button, so that
// the program ends the way a user ends it and its exit status tells whether it
// quit cleanly.
#include <QApplication>
#include <QPushButton>
#include <QTimer>

#include <cstdio>

namespace {

void pressQuit()
{
    for (QWidget *window : QApplication::topLevelWidgets()) {
        auto *quit = window->findChild<QPushButton *>(QStringLiteral("C28"));
        if (window->isVisible() && quit != nullptr) {
            std::fprintf(stderr, "quit_preload: \"%s\" shown, pressing %s\n",
                         qPrintable(window->windowTitle()), qPrintable(quit->text()));
            quit->click();
            return;
        }
    }
    std::fprintf(stderr, "quit_preload: no shown window with a Quit button\n");
    QCoreApplication::exit(3);
}

void pressQuitOnceRunning()
{
    QTimer::singleShot(0, &pressQuit);
}

} // namespace

Q_COREAPP_STARTUP_FUNCTION(pressQuitOnceRunning)
