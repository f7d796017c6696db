#include "faults.h"

namespace sim {

// Idle-line noise: all ones, all zeros, alternating bits.
const Bytes kJunk{0xFF, 0x00, 0x55};

bool Faults::any() const
{
    return silence || delay.count() > 0 || badCrc || foreign || trickle.count() > 0 || junkBefore ||
           junkAfter || echoBefore;
}

std::string Faults::describe() const
{
    if (!any()) {
        return "none";
    }
    std::string text;
    auto add = [&text](const std::string &item) { text += (text.empty() ? "" : ",") + item; };
    if (silence) {
        add("silence");
    }
    if (delay.count() > 0) {
        add("delay=" + std::to_string(delay.count()));
    }
    if (badCrc) {
        add("badcrc");
    }
    if (foreign) {
        add("foreign=" + std::to_string(*foreign));
    }
    if (trickle.count() > 0) {
        add("trickle=" + std::to_string(trickle.count()));
    }
    if (junkBefore) {
        add("junk-before");
    }
    if (junkAfter) {
        add("junk-after");
    }
    if (echoBefore) {
        add("echo-before");
    }
    return text;
}

void ReplyShaper::clear()
{
    m_faults = Faults{};
    m_heldEcho.clear();
}

ReplyShaper::Outcome ReplyShaper::shape(const Bytes &reply, std::uint8_t function,
                                        std::vector<Chunk> &chunks)
{
    if (!m_faults.echoBefore) {
        m_heldEcho.clear();
    }
    Bytes frame = reply;
    if (m_faults.foreign) {
        frame[0] = *m_faults.foreign;
        rewriteCrc(frame);
    }
    if (m_faults.badCrc) {
        frame.back() ^= 0xFF;
    }
    if (m_faults.echoBefore && function == kWriteSingleRegister) {
        m_heldEcho = frame;
        return Outcome::Held;
    }
    if (m_faults.silence) {
        return Outcome::Muted;
    }

    Bytes line;
    if (function == kReadHoldingRegisters) {
        line = std::move(m_heldEcho);
        m_heldEcho.clear();
    }
    if (m_faults.junkBefore) {
        line.insert(line.end(), kJunk.begin(), kJunk.end());
    }
    line.insert(line.end(), frame.begin(), frame.end());
    if (m_faults.junkAfter) {
        line.insert(line.end(), kJunk.begin(), kJunk.end());
    }

    if (m_faults.trickle.count() > 0) {
        for (std::size_t i = 0; i < line.size(); ++i) {
            chunks.push_back({m_faults.delay + m_faults.trickle * static_cast<int>(i), {line[i]}});
        }
    } else {
        chunks.push_back({m_faults.delay, std::move(line)});
    }
    return Outcome::Sent;
}

} // namespace sim
