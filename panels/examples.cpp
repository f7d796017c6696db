#include "panels/examples.h"

#include <QObject>

namespace panels {

QList<Example> examples()
{
    return {
        {QObject::tr("CC-CV charge"),
         QStringLiteral("# CC-CV charge of a 3-cell pack: constant current until the voltage\n"
                        "# reaches 12.6 V, then constant voltage until the current tapers.\n"
                        "limit 12.8V 2.1A\n"
                        "set 12.6V 2A\n"
                        "output on\n"
                        "until current < 0.1A for 3 max 4h\n"
                        "output off\n")},
        {QObject::tr("Burn-in cycle"),
         QStringLiteral("# Burn-in: ten cycles of 30 minutes on, 5 minutes off.\n"
                        "limit 13V 1.2A\n"
                        "set 12V 1A\n"
                        "repeat 10\n"
                        "  output on\n"
                        "  hold 30m\n"
                        "  output off\n"
                        "  hold 5m\n"
                        "end\n")},
        {QObject::tr("I-V sweep"),
         QStringLiteral("# I-V curve: the voltage stepped from 0 to 12 V, one marked row\n"
                        "# at the end of each point's dwell.\n"
                        "set 0V 1A\n"
                        "output on\n"
                        "sweep voltage 0V 12V 0.5V dwell 1s\n"
                        "output off\n")},
    };
}

} // namespace panels
