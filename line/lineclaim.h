#pragma once

#include <QString>

namespace line {

// The right to own a line, held by one program of ours at a time. A serial
// device that refuses a second opener decides by itself who owns it; not every
// one does (Wine's COM ports, some virtual port drivers), and two programs that
// both opened it would each take the other's replies. The claim is taken before
// the device is opened and let go after it is closed; the system lets it go
// when the program ends, however it ends. One file a platform
// (lineclaim_unix.cpp, lineclaim_win.cpp): on Unix the device's own exclusive
// open decides, and a claim is always granted.
class LineClaim {
public:
    LineClaim() = default;
    ~LineClaim();
    LineClaim(const LineClaim &) = delete;
    LineClaim &operator=(const LineClaim &) = delete;

    // Takes the claim on the line whose socket is `socketName` (a claim held on
    // another line is let go first); true when this program holds it, now or
    // already. False while another program of ours holds it.
    bool take(const QString &socketName);
    // Lets it go; nothing when none is held.
    void release();
    bool held() const { return m_handle != nullptr; }

private:
    void *m_handle = nullptr; // the system's object, where there is one
    QString m_name;
};

} // namespace line
