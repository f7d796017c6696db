#pragma once

#include <windows.h>

namespace serial {

// The Win32 calls the Windows serial control makes, one virtual per call with the
// call's own arguments, so that tests can stand in for a port that is refused, that
// fails a write or that goes away in the middle of a read.
class Win32Api {
public:
    virtual ~Win32Api() = default;

    // CreateFileW for reading and writing, exclusive (no sharing), overlapped.
    virtual HANDLE openPort(const wchar_t *path) = 0;
    virtual BOOL getCommState(HANDLE port, DCB *dcb) = 0;
    virtual BOOL setCommState(HANDLE port, DCB *dcb) = 0;
    virtual BOOL setCommTimeouts(HANDLE port, COMMTIMEOUTS *timeouts) = 0;
    virtual BOOL readFile(HANDLE port, void *buffer, DWORD size, OVERLAPPED *overlapped) = 0;
    virtual BOOL writeFile(HANDLE port, const void *bytes, DWORD size, OVERLAPPED *overlapped) = 0;
    virtual BOOL getOverlappedResult(HANDLE port, OVERLAPPED *overlapped, DWORD *transferred,
                                     BOOL wait) = 0;
    virtual BOOL cancelIo(HANDLE port) = 0;
    virtual BOOL clearCommError(HANDLE port, DWORD *errors, COMSTAT *status) = 0;
    virtual BOOL purgeComm(HANDLE port, DWORD flags) = 0;
    virtual BOOL closeHandle(HANDLE port) = 0;
    virtual DWORD lastError() = 0;
};

// The real calls into kernel32.
Win32Api &systemWin32Api();

} // namespace serial
