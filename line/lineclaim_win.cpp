#include "line/lineclaim.h"

#include <windows.h>

namespace line {

// The claim is a named mutex of the session, owned by the thread that took it.
// A program that ends while holding it leaves it abandoned, and the next to
// take it gets it.
LineClaim::~LineClaim()
{
    release();
}

bool LineClaim::take(const QString &socketName)
{
    if (m_handle && m_name == socketName) {
        return true;
    }
    release();
    const QString name = QStringLiteral("Local\\%1-owner").arg(socketName);
    HANDLE mutex = ::CreateMutexW(nullptr, FALSE, reinterpret_cast<LPCWSTR>(name.utf16()));
    if (!mutex) {
        // No claim can be made: the device's own open decides, as on Unix.
        m_name = socketName;
        return true;
    }
    const DWORD waited = ::WaitForSingleObject(mutex, 0);
    if (waited != WAIT_OBJECT_0 && waited != WAIT_ABANDONED) {
        ::CloseHandle(mutex);
        return false;
    }
    m_handle = mutex;
    m_name = socketName;
    return true;
}

void LineClaim::release()
{
    if (m_handle) {
        ::ReleaseMutex(static_cast<HANDLE>(m_handle));
        ::CloseHandle(static_cast<HANDLE>(m_handle));
        m_handle = nullptr;
    }
}

} // namespace line
