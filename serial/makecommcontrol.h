#pragma once

#include "serial/bufferedcommcontrol.h"

#include <memory>

namespace serial {

// The platform's serial control, for code that does not care which one it gets.
std::unique_ptr<BufferedCommControl> makeCommControl(QObject *parent = nullptr);

} // namespace serial
