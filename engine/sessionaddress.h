#pragma once

#include "engine/session.h"

#include <QByteArray>

namespace engine {

// How an address change ended. It takes these steps, each a request of its own:
//   Check: the new address is read; a supply that answers there keeps it, and
//     nothing is written (failure Refused, naming the address);
//   Write: the address register is written at the old address; its echo is the
//     request's, or an echo from the old address of the address register;
//   NewAddress: the status is read at the new address, up to the settings'
//     readings per attempt; a written address that stays silent there is
//     NotConfirmed;
//   OldAddress: the old address is read once and must be silent; a supply that
//     still answers there is NotConfirmed.
// An attempt is a write and its readings at the new address; the write goes out
// again only while none was echoed, and up to the settings' attempts are made.
// A write that timed out may have taken with its echo lost: the new address is
// read after it too, and a supply that answers there has moved.
struct AddressOutcome {
    enum class Step { Check, Write, NewAddress, OldAddress };
    Step step = Step::Check; // the last step it took
    // None when the supply answers at the new address and not at the old one;
    // Interrupted on a stop, a cancel or an all-off.
    WriteOutcome write;
    Failure heard;    // how the step's last request fared, or the stop
    QByteArray bytes; // what came back to it
    bool confirmed() const { return write.confirmed(); }
};

} // namespace engine
