#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// A SCPI program-message parser: headers matched against a table of patterns,
// parameters read into typed values. Plain C++17, nothing about any instrument.
namespace scpi {

// SCPI's error numbers (SCPI-99, volume 2, chapter 21) used by this parser and
// the instruments built on it.
namespace err {
constexpr int kNone = 0;
constexpr int kCommand = -100;
constexpr int kInvalidCharacter = -101;
constexpr int kSyntax = -102;
constexpr int kInvalidSeparator = -103;
constexpr int kDataType = -104;
constexpr int kParameterNotAllowed = -108;
constexpr int kMissingParameter = -109;
constexpr int kMnemonicTooLong = -112;
constexpr int kUndefinedHeader = -113;
constexpr int kSuffixOutOfRange = -114;
constexpr int kNumericData = -120;
constexpr int kInvalidSuffix = -131;
constexpr int kSuffixTooLong = -134;
constexpr int kInvalidCharacterData = -141;
constexpr int kInvalidStringData = -151;
constexpr int kExecution = -200;
constexpr int kSettingsConflict = -221;
constexpr int kDataOutOfRange = -222;
constexpr int kTooMuchData = -223;
constexpr int kIllegalParameterValue = -224;
constexpr int kHardware = -240;
constexpr int kQueueOverflow = -350;
constexpr int kInputBufferOverrun = -363;
constexpr int kQueryInterrupted = -410;
constexpr int kQueryUnterminated = -420;
} // namespace err

// SCPI's text for an error number ("Undefined header"); "No error" for 0, the
// class's text for a negative number this table does not know, and "" for a
// device-specific (positive) number, whose detail is its whole text.
const char *errorText(int code);

// The longest mnemonic a header may hold, as IEEE 488.2 has it.
constexpr std::size_t kLongestMnemonic = 12;

// A parameter as it was written: a decimal number with an optional unit suffix,
// character data (a keyword such as ON or MAX, upper-cased), or a quoted string.
struct Parameter {
    enum class Kind { Number, Keyword, String };
    Kind kind = Kind::Number;
    double number = 0;
    std::string text; // the unit (upper-cased), the keyword or the string's contents
};

// A compiled header pattern such as "[SOURce#]:VOLTage[:LEVel]?": nodes separated
// by colons, each optional inside brackets; the capitals are the short form, the
// whole word the long one; '#' after a node takes a numeric suffix; a final '?'
// makes it a query. A common command is written "*IDN?".
class Pattern {
public:
    explicit Pattern(std::string_view text);

    struct Node {
        std::string shortForm; // upper case
        std::string longForm;  // upper case
        bool optional = false;
        bool suffix = false; // takes a numeric suffix
    };
    const std::vector<Node> &nodes() const { return m_nodes; }
    bool query() const { return m_query; }
    bool common() const { return m_common; }
    // How many nodes take a suffix.
    std::size_t suffixCount() const { return m_suffixCount; }

private:
    std::vector<Node> m_nodes;
    bool m_query = false;
    bool m_common = false;
    std::size_t m_suffixCount = 0;
};

// One header of a program message, split into its mnemonics.
struct Header {
    std::vector<std::string> mnemonics; // as written
    bool query = false;
    bool common = false;   // "*IDN?"
    bool absolute = false; // began with ':'
};

// What a pattern took from a header: the numeric suffix of each '#' node, in order,
// or nullopt where the header left it out.
struct Match {
    std::vector<std::optional<unsigned>> suffixes;
};

// Matches `header` against `pattern`: each mnemonic is the node's short or long form
// in any case, optional nodes may be left out, a suffix only where the pattern has
// '#'. An error number when a suffix is malformed (-114), else nullopt for no match.
struct MatchResult {
    std::optional<Match> match;
    int error = err::kNone;
};
MatchResult matchHeader(const Pattern &pattern, const Header &header);

// What a command's handler is given: the instrument built on this parser defines
// it (its session, the command, how to answer and go on).
struct Call;
using Handler = void (*)(Call &);

// A row of an instrument's command table: a pattern and the function that carries
// out the commands it matches.
struct CommandEntry {
    const char *pattern;
    Handler handler;
};

class CommandTable {
public:
    explicit CommandTable(const std::vector<CommandEntry> &entries);

    struct Found {
        const CommandEntry *entry = nullptr; // the row that matched
        Match match;
        int error = err::kNone; // -113 when nothing matches, -114 for a bad suffix
    };
    // The first pattern in table order that matches.
    Found find(const Header &header) const;

private:
    std::vector<std::pair<Pattern, CommandEntry>> m_entries;
};

// One command of a program message, its header matched.
struct Command {
    const CommandEntry *entry = nullptr; // the table row that matched
    Match match;
    bool query = false;
    std::string header; // as it was understood, for messages (":SOUR:VOLT")
    std::vector<Parameter> parameters;
};

// A command, or the error that ended the message there: a message stops at its
// first error, as nothing after a malformed command can be trusted.
struct Item {
    Command command;
    int error = err::kNone;
    std::string detail; // what was wrong, for the error queue
};

// Parses one program message (a line without its terminator; a trailing CR is
// taken as whitespace). Commands are separated by ';'; a header without a leading
// ':' continues the path of the command before it, as SCPI compounds them, and is
// taken from the root when that finds nothing. The last item is an error item
// when the message has one. An empty message gives no items.
std::vector<Item> parseMessage(const CommandTable &table, std::string_view message);

} // namespace scpi
