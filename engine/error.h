#pragma once

// The failure vocabulary, apart from Qt: the line tracker (plain C++) speaks it
// as well as the engines and every face above them.
namespace engine {

// How a request fared: one vocabulary for every row, key, message and count.
enum class Error {
    None,
    Timeout,      // nothing came back (frames of other addresses are no answer)
    Crc,          // a reply of the right shape whose CRC does not match
    Foreign,      // bytes that are no reply to this request, or a write echo that differs
    Short,        // the start of a reply, cut off when the wait ended
    Exception,    // an exception reply with a good CRC; exceptionCode() holds its code
    Port,         // the port went away or refused the write; the reason is kept apart
    Interrupted,  // a stop was asked for; nothing more was sent
    Refused,      // a ceiling held on the line refused the write; nothing was sent,
                  // and the text names the ceiling and who holds it
    NotConfirmed, // a write went out, but its read-back showed another value
    Undecoded,    // a whole, well-formed reply held values no supply reports
};

} // namespace engine
