#pragma once

#include "serial/bufferedcommcontrol.h"

#include <QString>

#include <chrono>

namespace engine {

using std::chrono::milliseconds;

// A port whose bytes are Modbus TCP frames (MBAP header and PDU) rather than RTU
// frames: a connection to a gateway, or to the program of ours that owns a
// shared line. It opens, closes and reports its loss as a serial port does, so
// PortKeeper keeps it; a Client over such a port speaks Modbus TCP through it.
class MbapPort : public serial::BufferedCommControl {
    Q_OBJECT
public:
    using serial::BufferedCommControl::BufferedCommControl;

    // How much longer than the supply's own reply time a request may take: the
    // gateway's own wait for the supply, its queue and the network.
    virtual milliseconds extraWait() const = 0;
    // What the port leads to, for messages: "tcp://bench-pc:502".
    virtual QString name() const = 0;
    // Whether its bytes are Modbus TCP frames now; a port that owns a serial line
    // itself carries RTU frames.
    virtual bool carriesMbap() const { return true; }
    // Whether the far end is an engine of ours that names a failed request's
    // verdict after its 0x0B exception (see linehost.h).
    virtual bool namesVerdicts() const { return false; }

signals:
    // What the port leads to changed (it became the owner of the line, or joined
    // another): what was in flight is lost, and the framing may be another.
    void lineChanged();
};

} // namespace engine
