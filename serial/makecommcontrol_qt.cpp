#include "serial/makecommcontrol.h"

#include "serial/qtcommcontrol.h"

namespace serial {

std::unique_ptr<BufferedCommControl> makeCommControl(QObject *parent)
{
    return std::make_unique<QtCommControl>(parent);
}

} // namespace serial
