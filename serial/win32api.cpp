#include "serial/win32api.h"

namespace serial {

namespace {

class SystemWin32Api final : public Win32Api {
public:
    HANDLE openPort(const wchar_t *path) override
    {
        return CreateFileW(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                           FILE_FLAG_OVERLAPPED, nullptr);
    }
    BOOL getCommState(HANDLE port, DCB *dcb) override { return GetCommState(port, dcb); }
    BOOL setCommState(HANDLE port, DCB *dcb) override { return SetCommState(port, dcb); }
    BOOL setCommTimeouts(HANDLE port, COMMTIMEOUTS *timeouts) override
    {
        return SetCommTimeouts(port, timeouts);
    }
    BOOL readFile(HANDLE port, void *buffer, DWORD size, OVERLAPPED *overlapped) override
    {
        return ReadFile(port, buffer, size, nullptr, overlapped);
    }
    BOOL writeFile(HANDLE port, const void *bytes, DWORD size, OVERLAPPED *overlapped) override
    {
        return WriteFile(port, bytes, size, nullptr, overlapped);
    }
    BOOL getOverlappedResult(HANDLE port, OVERLAPPED *overlapped, DWORD *transferred,
                             BOOL wait) override
    {
        return GetOverlappedResult(port, overlapped, transferred, wait);
    }
    BOOL cancelIo(HANDLE port) override { return CancelIo(port); }
    BOOL clearCommError(HANDLE port, DWORD *errors, COMSTAT *status) override
    {
        return ClearCommError(port, errors, status);
    }
    BOOL purgeComm(HANDLE port, DWORD flags) override { return PurgeComm(port, flags); }
    BOOL closeHandle(HANDLE port) override { return CloseHandle(port); }
    DWORD lastError() override { return GetLastError(); }
};

} // namespace

Win32Api &systemWin32Api()
{
    static SystemWin32Api api;
    return api;
}

} // namespace serial
