#pragma once

#include <QList>
#include <QString>

namespace serial {

// A COM name made for an adapter that had none.
struct AdapterName {
    int port = 0;   // n of COMn
    QString link;   // the link made in the folder of COM names
    QString device; // what it points to: the adapter's stable device name
};

// The devices behind the names COM1, COM2, ... On Windows they are the system's
// own names. On Linux, COMn is, first match winning:
//  1. the entry COMn of $VANTEL_PORT_DIR when that variable is set, and nothing else;
//  2. the link COMn in ~/.config/vantel/ports, the user's own or one made here;
//  3. /dev/ttyS(n-1), when the kernel reports a UART behind it.
class PortNames {
public:
    // The machine's devices; the environment and the home folder are read at each call.
    PortNames() = default;
    // A device tree under `root` (its dev/ and sys/ folders) with the COM links in
    // `linkDir`; $VANTEL_PORT_DIR plays no part.
    PortNames(const QString &root, const QString &linkDir);

    // The device behind COMn; empty when there is none.
    QString devicePath(int port) const;

    // The network line COMn names, "tcp://HOST[:PORT]", or empty when it names
    // none. On Linux a link COMn whose target is that text (a link may point to
    // a text that is no file); on Windows a file COMn, without extension, in the
    // folder of COM names, holding that text on its first line.
    QString networkTarget(int port) const;

    // Gives every USB or ACM serial adapter that no link points to the lowest
    // number in 1..16 held by neither a UART nor a link, as a link to its stable
    // name: by serial number when the adapter has one, else by the jack it is
    // plugged into. Links are only ever added. Returns what it made.
    QList<AdapterName> assignAdapterNames() const;

    // The folder of COM links (on Windows, of the files naming network lines:
    // %LOCALAPPDATA%\\vantel\\ports).
    QString linkDirectory() const;

private:
    QString m_root;
    QString m_linkDir;
};

// The same for the machine's devices.
QString devicePath(int port);
QString networkTarget(int port);
QList<AdapterName> assignAdapterNames();

// Why this user may not open `device`, the device behind `portName`: a message
// that names the port, the device and its group and says what to do. Empty when
// the user may read and write it, so that a refusal must have another cause.
QString noAccessMessage(const QString &portName, const QString &device);

} // namespace serial
