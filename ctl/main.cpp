// vantelctl: the supply from a shell.

#include "ctl/command.h"
#include "ctl/platform.h"

#include <QCoreApplication>

int main(int argc, char **argv)
{
    const bool stdoutClosed = ctl::stdoutWasClosed();
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("vantelctl"));
    QCoreApplication::setApplicationVersion(QStringLiteral(VANTEL_VERSION));
    return ctl::dispatch(QCoreApplication::arguments(), stdoutClosed);
}
