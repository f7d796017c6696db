// Holds COMn (argument) open like another program would, until stdin closes.
#include "serial/qtcommcontrol.h"

#include <QCoreApplication>
#include <QSocketNotifier>

#include <cstdio>
#include <unistd.h>

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    if (argc < 2) {
        return 2;
    }
    serial::QtCommControl comm;
    try {
        comm.setCommPort(QString::fromLocal8Bit(argv[1]).toInt());
        comm.setPortOpen(true);
    } catch (const serial::CommError &error) {
        std::printf("failed %d %s\n", error.number(), error.what());
        return 1;
    }
    std::printf("held\n");
    std::fflush(stdout);
    QSocketNotifier input(STDIN_FILENO, QSocketNotifier::Read);
    QObject::connect(&input, &QSocketNotifier::activated, &app, [&app] {
        char c;
        if (::read(STDIN_FILENO, &c, 1) <= 0) {
            app.quit();
        }
    });
    return QCoreApplication::exec();
}
