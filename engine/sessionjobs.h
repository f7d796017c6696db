#pragma once

// The session's own pieces, shared by its two source files.

#include "engine/session.h"

namespace engine {

// One request waiting for the line, with every caller its answer goes to.
struct Session::Step {
    Rank rank = Rank::Read;
    std::uint8_t address = 0;
    std::optional<protocol::Frame> write; // a register write; else a status read
    const WriteJob *owner = nullptr;      // the confirmed write it is a step of
    bool poll = false;                    // it is the round's poll of `address` too
    std::shared_ptr<RelayJob> relay;      // the relay it sends
    struct Waiter {
        Caller caller = 0;
        Listener done;
    };
    std::vector<Waiter> waiters;
};

// A confirmed write: its attempts, each its writes and then its read-backs.
struct Session::WriteJob {
    Caller caller = 0;
    Rank rank = Rank::Write;
    std::vector<protocol::Frame> requests;
    Confirms confirms;
    WriteWatch watch;
    int attempt = 0;
    std::size_t next = 0; // the request of this attempt to send next
    int readingsLeft = 0;
    bool ended = false;
    WriteOutcome result;
    // An address change takes its own steps in place of the attempts.
    std::shared_ptr<AddressJob> change;
    std::uint8_t address() const { return requests.front()[0]; }
};

// An all-off: the supplies it switches off in turn and what each did.
struct Session::AllOffJob {
    Caller caller = 0;
    std::vector<std::uint8_t> addresses;
    std::size_t next = 0;
    AllOffOutcome outcome;
    std::function<void(const AllOffOutcome &)> done;
    Listener readBack;
};

// A relayed request: waiting, then on the line.
struct Session::RelayJob {
    int id = 0;
    Caller caller = 0;
    RelayRequest request;
    std::function<void()> sent;
    Listener done;
    bool onLine = false;  // the line said it went out
    bool aborted = false; // withdrawn: nothing more is told of it
};

} // namespace engine
