#include "line/lineclaim.h"

namespace line {

namespace {

// A claim is only marked held: the device's exclusive open decides.
char granted;

} // namespace

LineClaim::~LineClaim()
{
    release();
}

bool LineClaim::take(const QString &socketName)
{
    m_name = socketName;
    m_handle = &granted;
    return true;
}

void LineClaim::release()
{
    m_handle = nullptr;
}

} // namespace line
