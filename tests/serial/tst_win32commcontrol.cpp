// The Win32 serial control against a scripted Win32 API: ports refused or missing,
// a device that goes away in the middle of a read, writes the driver refuses.
#include "serial/win32commcontrol.h"

#include <QSignalSpy>
#include <QtTest>

#include <cstring>

using serial::CommError;
using serial::Win32CommControl;

namespace {

// A port that exists unless told otherwise. Reads stay pending until the test
// completes them; the completion sets the caller's event as a driver would.
class FakeWin32Api : public serial::Win32Api {
public:
    DWORD openError = ERROR_SUCCESS; // CreateFileW fails with this
    DWORD writeError = ERROR_SUCCESS;
    DWORD shortWrite = 0; // bytes a write leaves unsent when its time runs out
    DWORD inQueue = 0;    // bytes the driver holds
    std::wstring openedPath;
    DCB dcb{};
    COMMTIMEOUTS timeouts{};
    QList<QByteArray> written;
    QList<DWORD> purges;
    int openHandles = 0;
    int cancels = 0;

    bool readPending() const { return m_read != nullptr && m_readPending; }
    // Bytes arrive: the pending read completes with them.
    void arrive(const QByteArray &bytes)
    {
        QVERIFY(readPending());
        QVERIFY(bytes.size() <= static_cast<qsizetype>(m_readSize));
        std::memcpy(m_readBuffer, bytes.constData(), static_cast<size_t>(bytes.size()));
        complete(static_cast<DWORD>(bytes.size()), ERROR_SUCCESS);
    }
    // The device goes away: the pending read fails.
    void fail(DWORD error) { complete(0, error); }

    HANDLE openPort(const wchar_t *path) override
    {
        openedPath = path;
        if (openError != ERROR_SUCCESS) {
            m_lastError = openError;
            return INVALID_HANDLE_VALUE;
        }
        ++openHandles;
        return m_handle;
    }
    BOOL getCommState(HANDLE, DCB *out) override
    {
        *out = dcb;
        return TRUE;
    }
    BOOL setCommState(HANDLE, DCB *in) override
    {
        dcb = *in;
        return TRUE;
    }
    BOOL setCommTimeouts(HANDLE, COMMTIMEOUTS *in) override
    {
        timeouts = *in;
        return TRUE;
    }
    BOOL readFile(HANDLE, void *buffer, DWORD size, OVERLAPPED *overlapped) override
    {
        m_readBuffer = buffer;
        m_readSize = size;
        m_read = overlapped;
        m_readPending = true;
        m_lastError = ERROR_IO_PENDING;
        return FALSE;
    }
    BOOL writeFile(HANDLE, const void *bytes, DWORD size, OVERLAPPED *) override
    {
        if (writeError != ERROR_SUCCESS) {
            m_lastError = writeError;
            return FALSE;
        }
        written << QByteArray(static_cast<const char *>(bytes), static_cast<qsizetype>(size));
        m_written = size - shortWrite;
        m_lastError = ERROR_IO_PENDING;
        return FALSE;
    }
    BOOL getOverlappedResult(HANDLE, OVERLAPPED *overlapped, DWORD *transferred, BOOL wait) override
    {
        if (overlapped != m_read) {
            *transferred = m_written;
            return TRUE;
        }
        if (m_readPending && !wait) {
            m_lastError = ERROR_IO_INCOMPLETE;
            return FALSE;
        }
        if (m_readPending) { // waited for after CancelIo
            m_readPending = false;
            m_readError = ERROR_OPERATION_ABORTED;
        }
        *transferred = m_readCount;
        m_lastError = m_readError;
        return m_readError == ERROR_SUCCESS;
    }
    BOOL cancelIo(HANDLE) override
    {
        ++cancels;
        return TRUE;
    }
    BOOL clearCommError(HANDLE, DWORD *errors, COMSTAT *status) override
    {
        *errors = 0;
        *status = COMSTAT{};
        status->cbInQue = inQueue;
        return TRUE;
    }
    BOOL purgeComm(HANDLE, DWORD flags) override
    {
        purges << flags;
        return TRUE;
    }
    BOOL closeHandle(HANDLE handle) override
    {
        openHandles -= handle == m_handle ? 1 : 1000;
        return TRUE;
    }
    DWORD lastError() override { return m_lastError; }

private:
    void complete(DWORD count, DWORD error)
    {
        QVERIFY(readPending());
        m_readPending = false;
        m_readCount = count;
        m_readError = error;
        SetEvent(m_read->hEvent);
    }

    HANDLE m_handle = reinterpret_cast<HANDLE>(0x5e71a1); // made up, never a real handle
    DWORD m_lastError = ERROR_SUCCESS;
    OVERLAPPED *m_read = nullptr;
    void *m_readBuffer = nullptr;
    DWORD m_readSize = 0;
    bool m_readPending = false;
    DWORD m_readCount = 0;
    DWORD m_readError = ERROR_SUCCESS;
    DWORD m_written = 0;
};

constexpr int kWaitMs = 2000;

} // namespace

class TestWin32CommControl : public QObject {
    Q_OBJECT
private slots:
    void refusedOpen_data();
    void refusedOpen();
    void opensExclusivelyWithLineSettings_data();
    void opensExclusivelyWithLineSettings();
    void bytesArriveAsReceiveEvents();
    void deviceGoneMidRead();
    void refusedWrite_data();
    void refusedWrite();
    void countsAndClearing();
    void closeEndsThePendingRead();
};

void TestWin32CommControl::refusedOpen_data()
{
    QTest::addColumn<DWORD>("error");
    QTest::addColumn<int>("number");
    QTest::newRow("held by another program") << DWORD(ERROR_ACCESS_DENIED) << serial::kErrPortInUse;
    QTest::newRow("sharing violation") << DWORD(ERROR_SHARING_VIOLATION) << serial::kErrPortInUse;
    QTest::newRow("no such port") << DWORD(ERROR_FILE_NOT_FOUND) << serial::kErrPortNotFound;
    QTest::newRow("no such path") << DWORD(ERROR_PATH_NOT_FOUND) << serial::kErrPortNotFound;
    QTest::newRow("device fails") << DWORD(ERROR_GEN_FAILURE) << serial::kErrOpenFailed;
}

void TestWin32CommControl::refusedOpen()
{
    QFETCH(DWORD, error);
    QFETCH(int, number);
    FakeWin32Api api;
    api.openError = error;
    Win32CommControl comm(nullptr, api);
    comm.setCommPort(3);
    try {
        comm.setPortOpen(true);
        QFAIL("opened a refused port");
    } catch (const CommError &e) {
        QCOMPARE(e.number(), number);
    }
    QVERIFY(!comm.PortOpen());
    QCOMPARE(comm.probePort(3), number);
    QCOMPARE(api.openHandles, 0);
}

void TestWin32CommControl::opensExclusivelyWithLineSettings_data()
{
    QTest::addColumn<int>("port");
    QTest::addColumn<QString>("settings");
    QTest::addColumn<QString>("path");
    QTest::addColumn<QList<int>>("dcb"); // baud, data bits, parity, stop bits, fParity
    QTest::newRow("COM3 9600 8N1") << 3 << "9600,n,8,1"
                                   << "\\\\.\\COM3" << QList<int>{9600, 8, NOPARITY, ONESTOPBIT, 0};
    QTest::newRow("COM12 19200 7E2")
        << 12 << "19200,e,7,2"
        << "\\\\.\\COM12" << QList<int>{19200, 7, EVENPARITY, TWOSTOPBITS, 1};
}

void TestWin32CommControl::opensExclusivelyWithLineSettings()
{
    QFETCH(int, port);
    QFETCH(QString, settings);
    QFETCH(QString, path);
    QFETCH(QList<int>, dcb);
    FakeWin32Api api;
    api.dcb.fOutxCtsFlow = TRUE; // left over from the last program: must go
    api.dcb.fOutX = TRUE;
    api.dcb.fAbortOnError = TRUE;
    Win32CommControl comm(nullptr, api);
    comm.setSettings(settings);
    comm.setCommPort(port);
    comm.setPortOpen(true);
    QVERIFY(comm.PortOpen());
    QCOMPARE(QString::fromStdWString(api.openedPath), path);
    const QList<int> actual{static_cast<int>(api.dcb.BaudRate), api.dcb.ByteSize, api.dcb.Parity,
                            api.dcb.StopBits, static_cast<int>(api.dcb.fParity)};
    QCOMPARE(actual, dcb);
    QVERIFY(api.dcb.fBinary && !api.dcb.fOutxCtsFlow && !api.dcb.fOutX && !api.dcb.fInX);
    QVERIFY(!api.dcb.fAbortOnError);
    // Reads wait for the first byte and end at a gap: never a timed-out empty read.
    QVERIFY(api.timeouts.ReadIntervalTimeout > 0);
    QCOMPARE(api.timeouts.ReadTotalTimeoutConstant, DWORD(0));
    QVERIFY(api.readPending());
}

void TestWin32CommControl::bytesArriveAsReceiveEvents()
{
    FakeWin32Api api;
    Win32CommControl comm(nullptr, api);
    comm.setRThreshold(17);
    comm.setPortOpen(true);
    QSignalSpy events(&comm, &serial::CommControl::OnComm);
    const QByteArray reply = QByteArray::fromHex("01030C04D205DC04D001F400010001E92B");
    api.arrive(reply.left(10));
    QTRY_COMPARE_WITH_TIMEOUT(comm.InBufferCount(), 10, kWaitMs);
    QCOMPARE(events.size(), 0);
    QVERIFY(api.readPending()); // the next read is under way
    api.arrive(reply.mid(10));
    QTRY_COMPARE_WITH_TIMEOUT(events.size(), 1, kWaitMs);
    QCOMPARE(comm.Input(), reply);
}

void TestWin32CommControl::deviceGoneMidRead()
{
    FakeWin32Api api;
    Win32CommControl comm(nullptr, api);
    comm.setPortOpen(true);
    api.arrive("\x01\x03");
    QTRY_COMPARE_WITH_TIMEOUT(comm.InBufferCount(), 2, kWaitMs);
    api.fail(ERROR_BAD_COMMAND); // what a pulled USB adapter gives
    QTRY_VERIFY_WITH_TIMEOUT(!comm.PortOpen(), kWaitMs);
    QCOMPARE(api.openHandles, 0);
    QCOMPARE(comm.InBufferCount(), 0);
    // Plugged in again, the port opens as before.
    comm.setPortOpen(true);
    QVERIFY(comm.PortOpen());
    QVERIFY(api.readPending());
}

void TestWin32CommControl::refusedWrite_data()
{
    QTest::addColumn<DWORD>("error");
    QTest::addColumn<DWORD>("unsent");
    QTest::newRow("refused") << DWORD(ERROR_GEN_FAILURE) << DWORD(0);
    QTest::newRow("timed out") << DWORD(ERROR_SUCCESS) << DWORD(3);
}

void TestWin32CommControl::refusedWrite()
{
    QFETCH(DWORD, error);
    QFETCH(DWORD, unsent);
    FakeWin32Api api;
    Win32CommControl comm(nullptr, api);
    comm.setPortOpen(true);
    const QByteArray request = QByteArray::fromHex("010310000006C108");
    comm.setOutput(request);
    QCOMPARE(api.written, QList<QByteArray>{request});
    api.writeError = error;
    api.shortWrite = unsent;
    try {
        comm.setOutput(request);
        QFAIL("a refused write passed as sent");
    } catch (const CommError &e) {
        QCOMPARE(e.number(), serial::kErrDeviceIo);
    }
    QVERIFY(comm.PortOpen());
}

void TestWin32CommControl::countsAndClearing()
{
    FakeWin32Api api;
    Win32CommControl comm(nullptr, api);
    comm.setPortOpen(true);
    api.arrive("\x01\x03\x0c");
    QTRY_COMPARE_WITH_TIMEOUT(comm.InBufferCount(), 3, kWaitMs);
    api.inQueue = 5;
    QCOMPARE(comm.InBufferCount(), 8);
    comm.setInBufferCount(0);
    QCOMPARE(api.purges, QList<DWORD>{PURGE_RXCLEAR});
    api.inQueue = 0;
    QCOMPARE(comm.InBufferCount(), 0);
    // Every frame was whole in the driver's hands when Output returned: nothing to cut.
    comm.setOutBufferCount(0);
    QCOMPARE(api.purges.size(), 1);
}

void TestWin32CommControl::closeEndsThePendingRead()
{
    FakeWin32Api api;
    {
        Win32CommControl comm(nullptr, api);
        comm.setPortOpen(true);
        comm.setPortOpen(false);
        QCOMPARE(api.cancels, 1);
        QCOMPARE(api.openHandles, 0);
        QVERIFY(!api.readPending());
        comm.setPortOpen(true);
    }
    // Destroyed while open: the read is cancelled and the handle closed.
    QCOMPARE(api.cancels, 2);
    QCOMPARE(api.openHandles, 0);
}

QTEST_GUILESS_MAIN(TestWin32CommControl)
#include "tst_win32commcontrol.moc"
