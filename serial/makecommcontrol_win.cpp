#include "serial/makecommcontrol.h"

#include "serial/win32commcontrol.h"

namespace serial {

std::unique_ptr<BufferedCommControl> makeCommControl(QObject *parent)
{
    return std::make_unique<Win32CommControl>(parent);
}

} // namespace serial
