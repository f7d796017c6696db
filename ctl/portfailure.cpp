#include "ctl/tool.h"

#include "serial/commcontrol.h"

namespace ctl {

QString openFailureText(const QString &portName, int error, const QString &description,
                        const line::DeviceHolder &holder)
{
    const QString who = QStringLiteral("%1 (pid %2)").arg(holder.program).arg(holder.pid);
    switch (error) {
    case serial::kErrPortNotFound:
        return QStringLiteral("%1 is not found (see `vantelctl ports`)").arg(portName);
    case serial::kErrPortInUse:
        if (holder.pid > 0 && holder.ours && !holder.sameUser) {
            return QStringLiteral("%1 is held by %2, a program of ours run by user %3; programs "
                                  "share a port only with those of their own user: run this one "
                                  "as that user, or end that one")
                .arg(portName, who, holder.user);
        }
        if (holder.pid > 0 && holder.ours) {
            return QStringLiteral("%1 is held by %2, a program of ours whose shared line is not "
                                  "found (another version, or its socket was removed); end it "
                                  "and try again")
                .arg(portName, who);
        }
        if (holder.pid > 0 && !holder.program.isEmpty()) {
            return QStringLiteral("%1 is in use by another program (%2); close it and try again")
                .arg(portName, who);
        }
        return QStringLiteral("%1 is in use by another program (%2); close it and try again")
            .arg(portName, description);
    case serial::kErrNoAccess:
        return description; // names the port, the device, its group and what to do
    default:
        return QStringLiteral("%1 cannot be opened: %2").arg(portName, description);
    }
}

} // namespace ctl
