#include "scpi/status.h"

#include "scpi/parser.h"

namespace scpi {

void ErrorQueue::push(int code, const std::string &detail)
{
    if (m_entries.size() >= kCapacity) {
        m_entries.back() = {err::kQueueOverflow, {}};
        return;
    }
    // A detail quotes what the client sent; a screenful of it helps nobody.
    constexpr std::size_t kLongestDetail = 120;
    m_entries.push_back({code, detail.substr(0, kLongestDetail)});
}

std::string ErrorQueue::pop()
{
    if (m_entries.empty()) {
        return "0,\"No error\"";
    }
    const Entry entry = m_entries.front();
    m_entries.pop_front();
    const std::string head = errorText(entry.code);
    std::string text = std::to_string(entry.code) + ",\"" + head;
    if (!entry.detail.empty()) {
        if (!head.empty()) {
            text += ';';
        }
        // A quote inside a string response is doubled; control bytes would break
        // the client's reading of the line.
        for (char c : entry.detail) {
            const unsigned char u = static_cast<unsigned char>(c);
            if (c == '"') {
                text += "\"\"";
            } else if (u < 0x20 || u == 0x7f) {
                text += '?';
            } else {
                text += c;
            }
        }
    }
    return text + '"';
}

void Status::error(int code, const std::string &detail)
{
    errors.push(code, detail);
    if (code <= -100 && code > -200) {
        esr |= esr::kCommandError;
    } else if (code <= -200 && code > -300) {
        esr |= esr::kExecutionError;
    } else if (code <= -400 && code > -500) {
        esr |= esr::kQueryError;
    } else if (code != 0) {
        esr |= esr::kDeviceError;
    }
}

std::uint8_t Status::statusByte() const
{
    std::uint8_t byte = 0;
    if (errors.size() > 0) {
        byte |= stb::kErrorAvailable;
    }
    if (questionable.summary()) {
        byte |= stb::kQuestionable;
    }
    if ((esr & ese) != 0) {
        byte |= stb::kEventStatus;
    }
    if (operation.summary()) {
        byte |= stb::kOperation;
    }
    if ((byte & sre & ~stb::kMasterSummary) != 0) {
        byte |= stb::kMasterSummary;
    }
    return byte;
}

void Status::clear()
{
    errors.clear();
    esr = 0;
    questionable.event = 0;
    operation.event = 0;
}

void Status::preset()
{
    questionable.enable = 0;
    operation.enable = 0;
}

} // namespace scpi
