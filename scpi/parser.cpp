#include "scpi/parser.h"

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <stdexcept>

namespace scpi {

const char *errorText(int code)
{
    switch (code) {
    case err::kNone:
        return "No error";
    case err::kCommand:
        return "Command error";
    case err::kInvalidCharacter:
        return "Invalid character";
    case err::kSyntax:
        return "Syntax error";
    case err::kInvalidSeparator:
        return "Invalid separator";
    case err::kDataType:
        return "Data type error";
    case err::kParameterNotAllowed:
        return "Parameter not allowed";
    case err::kMissingParameter:
        return "Missing parameter";
    case err::kMnemonicTooLong:
        return "Program mnemonic too long";
    case err::kUndefinedHeader:
        return "Undefined header";
    case err::kSuffixOutOfRange:
        return "Header suffix out of range";
    case err::kNumericData:
        return "Numeric data error";
    case err::kInvalidSuffix:
        return "Invalid suffix";
    case err::kSuffixTooLong:
        return "Suffix too long";
    case err::kInvalidCharacterData:
        return "Invalid character data";
    case err::kInvalidStringData:
        return "Invalid string data";
    case err::kExecution:
        return "Execution error";
    case err::kSettingsConflict:
        return "Settings conflict";
    case err::kDataOutOfRange:
        return "Data out of range";
    case err::kTooMuchData:
        return "Too much data";
    case err::kIllegalParameterValue:
        return "Illegal parameter value";
    case err::kHardware:
        return "Hardware error";
    case err::kInputBufferOverrun:
        return "Input buffer overrun";
    case err::kQueueOverflow:
        return "Queue overflow";
    case err::kQueryInterrupted:
        return "Query INTERRUPTED";
    case err::kQueryUnterminated:
        return "Query UNTERMINATED";
    default:
        break;
    }
    if (code <= -100 && code > -200) {
        return "Command error";
    }
    if (code <= -200 && code > -300) {
        return "Execution error";
    }
    if (code <= -400 && code > -500) {
        return "Query error";
    }
    // A device-specific error (a positive number) brings its own text.
    return "";
}

namespace {

char upper(char c)
{
    return static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
}

bool isAlpha(char c)
{
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}

bool isDigit(char c)
{
    return c >= '0' && c <= '9';
}

bool equalsUpper(std::string_view text, const std::string &upperForm)
{
    if (text.size() != upperForm.size()) {
        return false;
    }
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (upper(text[i]) != upperForm[i]) {
            return false;
        }
    }
    return true;
}

} // namespace

Pattern::Pattern(std::string_view text)
{
    if (!text.empty() && text.back() == '?') {
        m_query = true;
        text.remove_suffix(1);
    }
    if (!text.empty() && text.front() == '*') {
        m_common = true;
    }
    bool optional = false;
    std::string word;
    auto flush = [&] {
        if (word.empty()) {
            return;
        }
        Node node;
        node.optional = optional;
        if (word.back() == '#') {
            node.suffix = true;
            ++m_suffixCount;
            word.pop_back();
        }
        for (char c : word) {
            if (!std::islower(static_cast<unsigned char>(c))) {
                node.shortForm += c;
            }
            node.longForm += upper(c);
        }
        m_nodes.push_back(node);
        word.clear();
    };
    for (char c : text) {
        if (c == '[') {
            flush();
            optional = true;
        } else if (c == ']') {
            flush();
            optional = false;
        } else if (c == ':') {
            flush();
        } else {
            word += c;
        }
    }
    flush();
}

namespace {

// Splits a mnemonic into its letters and its numeric suffix ("SOUR2" -> "SOUR", 2).
struct Mnemonic {
    std::string_view name;
    std::string_view digits;
};

Mnemonic splitMnemonic(std::string_view text)
{
    std::size_t end = text.size();
    while (end > 0 && isDigit(text[end - 1])) {
        --end;
    }
    return {text.substr(0, end), text.substr(end)};
}

struct Matcher {
    const Pattern &pattern;
    const Header &header;
    std::vector<std::optional<unsigned>> suffixes;
    int error = err::kNone;

    bool run(std::size_t node, std::size_t word, std::size_t suffixIndex)
    {
        const auto &nodes = pattern.nodes();
        if (node == nodes.size()) {
            return word == header.mnemonics.size();
        }
        const Pattern::Node &p = nodes[node];
        const std::size_t nextSuffix = suffixIndex + (p.suffix ? 1 : 0);
        if (word < header.mnemonics.size()) {
            const Mnemonic m = splitMnemonic(header.mnemonics[word]);
            const bool named = equalsUpper(m.name, p.shortForm) || equalsUpper(m.name, p.longForm);
            // "*IDN" has no digits to split off; a long form may end in digits only
            // through a suffix.
            if (named && (m.digits.empty() || p.suffix)) {
                std::optional<unsigned> value;
                if (!m.digits.empty()) {
                    // A suffix is 1 or more, without leading zeros, and small.
                    if (m.digits.size() > 4 || m.digits.front() == '0') {
                        error = err::kSuffixOutOfRange;
                        return false;
                    }
                    value = static_cast<unsigned>(std::stoul(std::string(m.digits)));
                }
                if (p.suffix) {
                    suffixes[suffixIndex] = value;
                }
                if (run(node + 1, word + 1, nextSuffix)) {
                    return true;
                }
                if (p.suffix) {
                    suffixes[suffixIndex].reset();
                }
            }
        }
        return p.optional && run(node + 1, word, nextSuffix);
    }
};

} // namespace

MatchResult matchHeader(const Pattern &pattern, const Header &header)
{
    if (pattern.query() != header.query || pattern.common() != header.common) {
        return {};
    }
    Matcher matcher{pattern, header, std::vector<std::optional<unsigned>>(pattern.suffixCount()),
                    err::kNone};
    if (matcher.run(0, 0, 0)) {
        return {Match{std::move(matcher.suffixes)}, err::kNone};
    }
    return {std::nullopt, matcher.error};
}

CommandTable::CommandTable(const std::vector<CommandEntry> &entries)
{
    m_entries.reserve(entries.size());
    for (const CommandEntry &entry : entries) {
        m_entries.emplace_back(Pattern(entry.pattern), entry);
    }
}

CommandTable::Found CommandTable::find(const Header &header) const
{
    Found found;
    found.error = err::kUndefinedHeader;
    for (const auto &[pattern, entry] : m_entries) {
        MatchResult result = matchHeader(pattern, header);
        if (result.match) {
            return {&entry, std::move(*result.match), err::kNone};
        }
        if (result.error != err::kNone) {
            found.error = result.error;
        }
    }
    return found;
}

namespace {

// IEEE 488.2's whitespace within a message: blanks and tabs (and a CR before the
// terminator). Other control characters and NUL are refused as invalid.
bool isBlank(char c)
{
    return c == ' ' || c == '\t' || c == '\r';
}

class MessageParser {
public:
    MessageParser(const CommandTable &table, std::string_view text) : m_table(table), m_text(text)
    {
    }

    std::vector<Item> run()
    {
        std::vector<Item> items;
        std::vector<std::string> path; // the compound path: the last header but its leaf
        skipBlanks();
        if (atEnd()) {
            return items;
        }
        while (true) {
            Item item = parseUnit(path);
            const bool failed = item.error != err::kNone;
            items.push_back(std::move(item));
            if (failed) {
                return items;
            }
            skipBlanks();
            if (atEnd()) {
                return items;
            }
            if (peek() != ';') {
                items.push_back(fail(err::kSyntax, "expected ';' or the end of the line"));
                return items;
            }
            ++m_pos;
            skipBlanks();
            if (atEnd()) {
                return items; // a trailing ';' is harmless
            }
        }
    }

private:
    bool atEnd() const { return m_pos >= m_text.size(); }
    char peek() const { return m_text[m_pos]; }
    void skipBlanks()
    {
        while (!atEnd() && isBlank(peek())) {
            ++m_pos;
        }
    }

    static Item fail(int error, std::string detail)
    {
        Item item;
        item.error = error;
        item.detail = std::move(detail);
        return item;
    }

    // A byte that cannot stand where it is: a control character, NUL or a byte of
    // 0x80 or more is an invalid character, anything else a syntax error.
    Item unexpected(const char *where)
    {
        const unsigned char c = static_cast<unsigned char>(peek());
        if (c < 0x20 || c >= 0x7f) {
            return fail(err::kInvalidCharacter, std::string("byte ") + hexByte(c) + " " + where);
        }
        return fail(err::kSyntax, std::string("'") + char(c) + "' " + where);
    }

    static std::string hexByte(unsigned char c)
    {
        static const char digits[] = "0123456789ABCDEF";
        return std::string("0x") + digits[c >> 4] + digits[c & 15];
    }

    Item parseUnit(std::vector<std::string> &path)
    {
        Header header;
        if (peek() == '*') {
            header.common = true;
            ++m_pos;
            std::string word = "*";
            while (!atEnd() && isAlpha(peek())) {
                word += peek();
                ++m_pos;
            }
            if (word.size() == 1) {
                return atEnd() ? fail(err::kSyntax, "'*' without a name") : unexpected("after '*'");
            }
            header.mnemonics.push_back(word);
        } else {
            if (peek() == ':') {
                header.absolute = true;
                ++m_pos;
            }
            while (true) {
                if (atEnd() || !isAlpha(peek())) {
                    return atEnd() ? fail(err::kSyntax, "a header ends in ':'")
                                   : unexpected("where a header begins");
                }
                std::string word;
                while (!atEnd() && (isAlpha(peek()) || isDigit(peek()) || peek() == '_')) {
                    word += peek();
                    ++m_pos;
                }
                if (splitMnemonic(word).name.size() > kLongestMnemonic) {
                    return fail(err::kMnemonicTooLong, word);
                }
                header.mnemonics.push_back(word);
                if (atEnd() || peek() != ':') {
                    break;
                }
                ++m_pos;
            }
        }
        if (!atEnd() && peek() == '?') {
            header.query = true;
            ++m_pos;
        }
        if (!atEnd() && !isBlank(peek()) && peek() != ';') {
            return unexpected("after the header");
        }

        CommandTable::Found found;
        if (header.common || header.absolute || path.empty()) {
            found = m_table.find(header);
        } else {
            Header compound = header;
            compound.mnemonics.insert(compound.mnemonics.begin(), path.begin(), path.end());
            found = m_table.find(compound);
            if (!found.entry) {
                CommandTable::Found root = m_table.find(header);
                if (root.entry || found.error == err::kUndefinedHeader) {
                    found = std::move(root);
                }
            } else {
                header = std::move(compound);
            }
        }
        std::string written = header.common ? "" : ":";
        for (std::size_t i = 0; i < header.mnemonics.size(); ++i) {
            written += (i ? ":" : "") + header.mnemonics[i];
        }
        written += header.query ? "?" : "";
        if (!found.entry) {
            return fail(found.error, written);
        }
        if (!header.common) {
            path.assign(header.mnemonics.begin(), header.mnemonics.end() - 1);
        }

        Item item;
        item.command.entry = found.entry;
        item.command.match = std::move(found.match);
        item.command.query = header.query;
        item.command.header = written;
        skipBlanks();
        if (atEnd() || peek() == ';') {
            return item;
        }
        while (true) {
            Parameter parameter;
            if (Item bad = parseParameter(parameter); bad.error != err::kNone) {
                return bad;
            }
            item.command.parameters.push_back(std::move(parameter));
            skipBlanks();
            if (atEnd() || peek() == ';') {
                return item;
            }
            if (peek() != ',') {
                return unexpected("after a parameter");
            }
            ++m_pos;
            skipBlanks();
            if (atEnd() || peek() == ';' || peek() == ',') {
                return fail(err::kSyntax, "an empty parameter");
            }
        }
    }

    Item parseParameter(Parameter &out)
    {
        const char c = peek();
        if (c == '"' || c == '\'') {
            out.kind = Parameter::Kind::String;
            ++m_pos;
            while (true) {
                if (atEnd()) {
                    return fail(err::kInvalidStringData, "a string without its closing quote");
                }
                if (peek() == c) {
                    ++m_pos;
                    if (!atEnd() && peek() == c) { // a doubled quote stands for one
                        out.text += c;
                        ++m_pos;
                        continue;
                    }
                    return {};
                }
                out.text += peek();
                ++m_pos;
            }
        }
        if (isAlpha(c)) {
            out.kind = Parameter::Kind::Keyword;
            while (!atEnd() && (isAlpha(peek()) || isDigit(peek()) || peek() == '_')) {
                out.text += upper(peek());
                ++m_pos;
            }
            if (out.text.size() > kLongestMnemonic) {
                return fail(err::kInvalidCharacterData, "a word longer than 12 characters");
            }
            return {};
        }
        if (isDigit(c) || c == '+' || c == '-' || c == '.') {
            return parseNumber(out);
        }
        return unexpected("where a parameter begins");
    }

    Item parseNumber(Parameter &out)
    {
        out.kind = Parameter::Kind::Number;
        const std::size_t start = m_pos;
        if (peek() == '+' || peek() == '-') {
            ++m_pos;
        }
        std::size_t digits = 0;
        while (!atEnd() && isDigit(peek())) {
            ++m_pos;
            ++digits;
        }
        if (!atEnd() && peek() == '.') {
            ++m_pos;
            while (!atEnd() && isDigit(peek())) {
                ++m_pos;
                ++digits;
            }
        }
        if (digits == 0) {
            return fail(err::kNumericData, "a sign or point without digits");
        }
        // An exponent: E, an optional sign, digits; blanks may stand around the E.
        std::size_t save = m_pos;
        skipBlanks();
        if (!atEnd() && (peek() == 'e' || peek() == 'E')) {
            std::size_t afterE = m_pos + 1;
            while (afterE < m_text.size() && isBlank(m_text[afterE])) {
                ++afterE;
            }
            std::size_t p = afterE;
            if (p < m_text.size() && (m_text[p] == '+' || m_text[p] == '-')) {
                ++p;
            }
            if (p < m_text.size() && isDigit(m_text[p])) {
                while (p < m_text.size() && isDigit(m_text[p])) {
                    ++p;
                }
                save = p;
            }
        }
        m_pos = save;
        std::string number;
        for (std::size_t i = start; i < m_pos; ++i) {
            if (!isBlank(m_text[i])) {
                number += m_text[i];
            }
        }
        errno = 0;
        out.number = std::strtod(number.c_str(), nullptr);
        // A number too large for a double stays a number, out of every range.
        skipBlanks();
        if (!atEnd() && isAlpha(peek())) {
            while (!atEnd() && isAlpha(peek())) {
                out.text += upper(peek());
                ++m_pos;
            }
            if (out.text.size() > kLongestMnemonic) {
                return fail(err::kSuffixTooLong, out.text);
            }
        }
        return {};
    }

    const CommandTable &m_table;
    std::string_view m_text;
    std::size_t m_pos = 0;
};

} // namespace

std::vector<Item> parseMessage(const CommandTable &table, std::string_view message)
{
    return MessageParser(table, message).run();
}

} // namespace scpi
