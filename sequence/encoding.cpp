#include "sequence/sequence.h"

// A file's bytes as the reader's text: byte order marks and UTF-16.
namespace sequence {

namespace {

void appendUtf8(std::string &out, std::uint32_t code)
{
    if (code < 0x80) {
        out += static_cast<char>(code);
    } else if (code < 0x800) {
        out += static_cast<char>(0xC0 | (code >> 6));
        out += static_cast<char>(0x80 | (code & 0x3F));
    } else if (code < 0x10000) {
        out += static_cast<char>(0xE0 | (code >> 12));
        out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (code & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (code >> 18));
        out += static_cast<char>(0x80 | ((code >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (code & 0x3F));
    }
}

// UTF-16 after its byte order mark, to UTF-8. A refusal names the line it is on.
SequenceText fromUtf16(std::string_view bytes, bool bigEndian)
{
    SequenceText out;
    out.text.reserve(bytes.size() / 2);
    int line = 1;
    const auto unitAt = [&](std::size_t i) {
        const auto first = static_cast<unsigned char>(bytes[i]);
        const auto second = static_cast<unsigned char>(bytes[i + 1]);
        return static_cast<std::uint32_t>(bigEndian ? first << 8 | second : second << 8 | first);
    };
    const auto refuse = [&](const char *why) {
        out.text.clear();
        out.error =
            SequenceError{line, std::string("UTF-16 text ") + why + ": this is not a text file"};
        return out;
    };
    std::size_t i = 0;
    for (; i + 1 < bytes.size(); i += 2) {
        std::uint32_t code = unitAt(i);
        if (code >= 0xDC00 && code <= 0xDFFF) {
            return refuse("with half a character");
        }
        if (code >= 0xD800 && code <= 0xDBFF) {
            const std::uint32_t low = i + 3 < bytes.size() ? unitAt(i + 2) : 0;
            if (low < 0xDC00 || low > 0xDFFF) {
                return refuse("with half a character");
            }
            code = 0x10000 + ((code - 0xD800) << 10) + (low - 0xDC00);
            i += 2;
        }
        if (code == '\n') {
            ++line;
        }
        appendUtf8(out.text, code);
    }
    if (i != bytes.size()) {
        return refuse("cut off inside a character");
    }
    return out;
}

} // namespace

SequenceText decodeSequenceText(std::string_view bytes)
{
    const auto startsWith = [&](std::string_view mark) {
        return bytes.substr(0, mark.size()) == mark;
    };
    if (startsWith("\xEF\xBB\xBF")) {
        return SequenceText{std::string(bytes.substr(3)), std::nullopt};
    }
    if (startsWith("\xFF\xFE")) {
        return fromUtf16(bytes.substr(2), false);
    }
    if (startsWith("\xFE\xFF")) {
        return fromUtf16(bytes.substr(2), true);
    }
    return SequenceText{std::string(bytes), std::nullopt};
}

ParsedSequence parseSequenceFile(std::string_view bytes)
{
    SequenceText text = decodeSequenceText(bytes);
    if (text.error) {
        ParsedSequence refused;
        refused.error = std::move(text.error);
        return refused;
    }
    return parseSequence(text.text);
}

} // namespace sequence
