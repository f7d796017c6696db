#include "ctl/commands.h"

#include "ctl/logcommand.h"
#include "ctl/run.h"
#include "ctl/serve.h"
#include "ctl/tool.h"

#include <QCommandLineOption>
#include <QCommandLineParser>
#include <QHash>

namespace ctl {

namespace {

const char *const kIntroduction =
    "Reads and sets a 60 V / 3 A bench supply on a Modbus RTU line (9600 8N1).";

const char *const kClosing = R"(Data goes to stdout, messages to stderr.
Exit status: 0 done and confirmed; 1 no answer, an exception reply or a
read-back that differs; 2 bad usage or a refused value (nothing sent);
3 the port cannot be opened; 130 interrupted (143 on SIGTERM or SIGHUP). Data
that cannot be written to stdout gives 1. A log exits 0
when it ends by its duration, a signal or the cut-off, 1 when the port fails
during it or is still away when it ends. A run exits 0 completed, 1 aborted by a fault, a limit or a max (or
an output not confirmed off), 2 for a bad file, 130 / 143 after a signal.

Examples:
  vantelctl ports
  vantelctl --port /dev/ttyUSB0 scan
  vantelctl --address 3 set --voltage 12.6 --current 1.5
  vantelctl --json read
  vantelctl log --addresses 1-3 --duration 2h --output run.csv
  vantelctl -a 3 run charge.txt --output charge.csv
  vantelctl log --help)";

constexpr int kWidth = 79;
constexpr int kSummaryColumn = 30; // where a command's summary starts in the help

OptionEntry option(QStringList names, const char *description, const char *valueName = "",
                   const char *defaultValue = "")
{
    return {std::move(names), QString::fromUtf8(description), QString::fromUtf8(valueName),
            QString::fromUtf8(defaultValue)};
}

QStringList names(const char *longName)
{
    return {QString::fromUtf8(longName)};
}

QStringList names(const char *shortName, const char *longName)
{
    return {QString::fromUtf8(shortName), QString::fromUtf8(longName)};
}

// The --mqtt-... options that follow --mqtt wherever it is taken; `control`:
// with those of the commands from the broker.
QList<OptionEntry> mqttOptions(bool control)
{
    QList<OptionEntry> options{
        option(names("mqtt-topic"), "Topic prefix. Default vantel/<host name>/<port name>.",
               "PREFIX"),
        option(names("mqtt-discovery"), "Also publish Home Assistant discovery configs."),
        option(names("mqtt-cafile"), "Trust this CA file for mqtts:// instead of the system's.",
               "FILE"),
        option(names("mqtt-queue"),
               "Readings kept while the broker is away; the oldest go first. Default 10000.", "N")};
    if (control) {
        options += QList<OptionEntry>{
            option(names("mqtt-control"),
                   "Also carry out commands from the broker, each confirmed, with a result on "
                   "PREFIX/<address>/result: PREFIX/<address>/set/v and set/a (a number), "
                   "PREFIX/<address>/output/set (ON or OFF), PREFIX/all-off and vantel/all-off. "
                   "Retained messages are never carried out."),
            option(names("mqtt-command-age"),
                   "With --mqtt-control: how old a command the broker kept while the bench was "
                   "away may be and still be carried out (1s to 1h). Default 5s.",
                   "D")};
    }
    return options;
}

// Fills `text` into lines of at most kWidth characters, the first starting at
// column `first` (the caller has written that much), the rest at `indent`.
QString wrap(const QString &text, int first, int indent)
{
    QString out;
    int column = first;
    bool lineEmpty = true;
    for (const QString &word : text.split(QLatin1Char(' '), Qt::SkipEmptyParts)) {
        if (!lineEmpty && column + 1 + word.size() > kWidth) {
            out += QLatin1Char('\n') + QString(indent, QLatin1Char(' '));
            column = indent;
            lineEmpty = true;
        }
        if (!lineEmpty) {
            out += QLatin1Char(' ');
            ++column;
        }
        out += word;
        column += int(word.size());
        lineEmpty = false;
    }
    return out;
}

QCommandLineOption toQt(const OptionEntry &opt)
{
    // Qt's help does not show defaults; the description says it.
    QString description = opt.description;
    if (!opt.defaultValue.isEmpty()) {
        description += QStringLiteral(" Default %1.").arg(opt.defaultValue);
    }
    return QCommandLineOption(opt.names, description, opt.valueName, opt.defaultValue);
}

void configure(QCommandLineParser &parser)
{
    parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
    parser.setOptionsAfterPositionalArgumentsMode(QCommandLineParser::ParseAsOptions);
}

// Long name of an option as the parser reports it (a short name or a long one).
QString longNameOf(const QString &name)
{
    for (const OptionEntry &opt : globalOptions()) {
        if (opt.names.contains(name)) {
            return opt.longName();
        }
    }
    return name; // command options have long names only
}

bool isGlobal(const QString &longName)
{
    for (const OptionEntry &opt : globalOptions()) {
        if (opt.longName() == longName) {
            return true;
        }
    }
    return false;
}

} // namespace

QString CommandEntry::synopsis() const
{
    QString text = name;
    if (!arguments.isEmpty()) {
        text += QLatin1Char(' ') + arguments;
    }
    for (const OptionEntry &opt : options) {
        text += QStringLiteral(" [--") + opt.longName();
        if (opt.takesValue()) {
            text += QLatin1Char(' ') + opt.valueName;
        }
        text += QLatin1Char(']');
    }
    return text;
}

const OptionEntry *CommandEntry::option(const QString &longName) const
{
    for (const OptionEntry &opt : options) {
        if (opt.longName() == longName) {
            return &opt;
        }
    }
    return nullptr;
}

const QList<OptionEntry> &globalOptions()
{
    static const QList<OptionEntry> table{
        option(names("h", "help"), "Show this help; COMMAND --help shows the options of COMMAND."),
        option(names("version"), "Show the version."),
        option(names("p", "port"),
               "COMn (named as the windows name ports), a device path, or tcp://HOST[:PORT] for a "
               "Modbus TCP gateway (port 502 when left out; an IPv6 address in brackets). Over a "
               "gateway a reply may take --timeout plus 1 s.",
               "P", "COM1"),
        option(names("a", "address"), "Slave address 1..247.", "N", "1"),
        option(names("t", "timeout"),
               "Wait for one reply, in milliseconds, for every command (a supply may start its "
               "reply 300 ms after the request). scan waits this long at each address (default "
               "200, for a reply that starts within 150 ms). In log a silent address costs one "
               "timeout per round, so an interval shorter than the timeouts of a round runs "
               "rounds back to back.",
               "MS", "500"),
        option(names("echo"), "The adapter sends back every request (two-wire RS-485 with its "
                              "receiver on): drop that copy. A write is confirmed only by the "
                              "supply's own reply after it. Without this option an echo is "
                              "recognised on the first read."),
        option(names("json"), "Print data as JSON, one object a line (log and run write JSON "
                              "lines, as --format jsonl)."),
        option(names("v", "verbose"), "Show every frame on the line on stderr: its time since "
                                      "the start, direction, bytes and verdict."),
    };
    return table;
}

const QList<CommandEntry> &commands()
{
    static const QList<CommandEntry> table{
        {QStringLiteral("ports"),
         {},
         0,
         0,
         QStringLiteral("list the COM ports (COM1..COM16 on Linux, every one Windows knows on "
                        "Windows): device, state (free, shared, in use, no access, absent) "
                        "and description"),
         {},
         preparePorts},
        {QStringLiteral("scan"),
         {},
         0,
         0,
         QStringLiteral("find the addresses that answer (default 1..247), waiting 200 ms at each "
                        "(--timeout sets the wait); a reply that comes later is named with its "
                        "delay; --first stops at the first address that answers"),
         {option(names("from"), "First address.", "N", "1"),
          option(names("to"), "Last address.", "N", "247"),
          option(names("first"), "Stop at the first address that answers.")},
         prepareScan},
        {QStringLiteral("read"), {}, 0, 0, QStringLiteral("one status reading"), {}, prepareRead},
        {QStringLiteral("set"),
         {},
         0,
         0,
         QStringLiteral("write set values (0..62.00 V, 0..3.200 A, rounded to 10 mV and 1 mA), "
                        "confirmed by echo and read-back"),
         {option(names("voltage"), "Voltage set value in volts.", "V"),
          option(names("current"), "Current set value in amperes.", "A")},
         prepareSet},
        {QStringLiteral("output"),
         QStringLiteral("on|off"),
         1,
         1,
         QStringLiteral("switch the output, confirmed by echo and read-back"),
         {},
         prepareOutput},
        {QStringLiteral("address"),
         QStringLiteral("NEW"),
         1,
         1,
         QStringLiteral("give the supply at --address the address NEW (1..247), proven by reads "
                        "at both addresses"),
         {},
         prepareAddress},
        {QStringLiteral("log"),
         {},
         0,
         0,
         QStringLiteral(
             "one row per reading, written as it is read, with Ah and Wh per address; ends "
             "after D (90s, 10m, 2h), on Ctrl-C, SIGTERM or SIGHUP, or once --stop-below has "
             "switched every output off; a link summary at the end. With --mqtt every row is "
             "also published to an MQTT broker (mqtt://[USER@]HOST[:PORT] or mqtts://...; the "
             "password from VANTEL_MQTT_PASSWORD) under PREFIX/<address>/reading, PREFIX/status "
             "online or offline; a broker problem never stops the log"),
         QList<OptionEntry>{
             option(names("addresses"),
                    "Addresses to read each round, such as 1,3,5-7. Default "
                    "--address.",
                    "LIST"),
             option(names("interval"), "Period of one round over all addresses.", "MS", "350"),
             option(names("duration"), "How long to log (90s, 10m, 2h). Default until stopped.",
                    "D"),
             option(names("format"), "csv or jsonl.", "F", "csv"),
             option(names("output"),
                    "Write rows to FILE (- is stdout), not stdout. An existing file that is not "
                    "empty is "
                    "refused unless --append or --overwrite is given.",
                    "FILE"),
             option(names("append"), "With --output: add rows after those already in FILE, "
                                     "whose header must match."),
             option(names("overwrite"), "With --output: replace what FILE holds."),
             option(names("stop-below"),
                    "Switch an output off after three readings in a row with the output on and "
                    "less than A amperes; end once every output is off. A log ending otherwise "
                    "first switches every output off.",
                    "A"),
             option(names("off-at-end"), "Switch every output off, confirmed, when the log ends."),
             option(names("mqtt"),
                    "Also publish every row to the MQTT broker at URL (mqtt://[USER@]HOST[:PORT] "
                    "or mqtts://...; password from VANTEL_MQTT_PASSWORD).",
                    "URL")} +
             mqttOptions(true),
         prepareLog},
        {QStringLiteral("run"), QStringLiteral("FILE"), 1, 1,
         QStringLiteral(
             "run the sequence in FILE (- for stdin), read and checked whole before the port "
             "opens (see the manual page for its lines); every reading is a row as log writes "
             "it, plus step (the line) and point (a sweep point's number); on any abort the "
             "output is switched off, confirmed; stderr reports each step and ends with the "
             "link summary"),
         QList<OptionEntry>{
             option(names("check"), "Only check FILE and print the plan and its longest duration; "
                                    "nothing is sent."),
             option(names("on-abort"),
                    "off: switch the output off, confirmed, when the run aborts; keep: leave it.",
                    "WHAT", "off"),
             option(names("interval"), "Period of the readings.", "MS", "350"),
             option(names("format"), "csv or jsonl.", "F", "csv"),
             option(names("output"), "Write rows to FILE, not stdout (- is stdout).", "FILE"),
             option(names("mqtt"),
                    "Also publish every row to the MQTT broker at URL, as log does (step and "
                    "point in the JSON).",
                    "URL")} +
             mqttOptions(false),
         prepareRun},
        {QStringLiteral("serve"),
         {},
         0,
         0,
         QStringLiteral(
             "the supply as a SCPI instrument on a raw TCP socket, for PyVISA, LabVIEW and "
             "test scripts (*IDN?, VOLT, CURR, OUTP, MEAS:VOLT? and the rest: see the manual "
             "page); commands end in \\n, and each client's go to the line in turn; writes "
             "are confirmed by echo and read-back; with --modbus also a Modbus TCP gateway "
             "for mbpoll, pymodbus, Node-RED and Telegraf, on the same line in turn; ends on "
             "Ctrl-C, SIGTERM or SIGHUP, leaving the outputs as they are; with --http also the "
             "bench as a live page in a browser, with a JSON API; with --mqtt every reading "
             "on an MQTT broker, and with --mqtt-control the broker's commands"),
         QList<OptionEntry>{
             option(names("addresses"),
                    "Supplies on the bus, such as 1,3,5-7, chosen with INSTrument:NSELect. "
                    "Default --address.",
                    "LIST"),
             option(names("listen"),
                    "Listen for SCPI on ADDRESS:PORT; none: no SCPI (with --modbus, --http or "
                    "--mqtt). An address other than loopback needs --allow.",
                    "ADDR:PORT", "127.0.0.1:5025"),
             option(names("modbus"),
                    "Also serve Modbus TCP on [ADDRESS:]PORT (address 127.0.0.1 when left out): "
                    "the unit id is the slave address; functions 3 and 6 reach the supply, writes "
                    "checked as SCPI's. An address other than loopback needs --allow.",
                    "[ADDR:]PORT"),
             option(names("allow-address-change"),
                    "Let Modbus TCP write the slave address register (0x1008)."),
             option(names("allow"),
                    "Only these addresses and subnets may connect, such as "
                    "127.0.0.1,192.168.1.0/24. Default loopback only.",
                    "CIDR,..."),
             option(names("max-clients"),
                    "Clients at a time on each listener; one more is told why and closed (a Modbus "
                    "TCP one by exception 6 to its first request).",
                    "N", "4"),
             option(names("idle-timeout"), "Close a client idle for S seconds; 0 never.", "S", "0"),
             option(names("off-at-end"),
                    "Switch every output off, confirmed, when the server ends."),
             option(names("http"),
                    "Also serve the bench as a page and a JSON API on [ADDRESS:]PORT (address "
                    "127.0.0.1 when left out; 0 takes a free port). The address to open, with its "
                    "token, is printed at start; VANTEL_HTTP_TOKEN gives the token. An address "
                    "other than loopback needs --allow.",
                    "[ADDR:]PORT"),
             option(names("http-host"),
                    "A host name the page may also be reached by (its Host header), such as "
                    "bench.lab.example; may be given more than once.",
                    "NAME"),
             option(names("bench"),
                    "The bench label of every sample of /metrics (with --http), such as bench-3. "
                    "Default the host name.",
                    "NAME"),
             option(names("mqtt"),
                    "Also publish every served supply's readings to the MQTT broker at URL, as "
                    "log does (each reading the bench takes; password from VANTEL_MQTT_PASSWORD).",
                    "URL")} +
             mqttOptions(true),
         prepareServe},
    };
    return table;
}

const CommandEntry *findCommand(const QString &name)
{
    for (const CommandEntry &command : commands()) {
        if (command.name == name) {
            return &command;
        }
    }
    return nullptr;
}

QString helpText()
{
    QString description = QString::fromUtf8(kIntroduction) + QStringLiteral("\n\nCommands:\n");
    for (const CommandEntry &command : commands()) {
        const QString synopsis = QStringLiteral("  ") + wrap(command.synopsis(), 2, 6);
        const int lastLine = int(synopsis.size() - synopsis.lastIndexOf(QLatin1Char('\n')) - 1);
        description += synopsis;
        if (!synopsis.contains(QLatin1Char('\n')) && lastLine + 2 <= kSummaryColumn) {
            description += QString(kSummaryColumn - lastLine, QLatin1Char(' '));
        } else {
            description += QLatin1Char('\n') + QString(kSummaryColumn, QLatin1Char(' '));
        }
        description += wrap(command.summary, kSummaryColumn, kSummaryColumn) + QLatin1Char('\n');
    }
    description += QLatin1Char('\n') + QString::fromUtf8(kClosing);

    QCommandLineParser parser;
    parser.setApplicationDescription(description);
    for (const OptionEntry &opt : globalOptions()) {
        parser.addOption(toQt(opt));
    }
    parser.addPositionalArgument(QStringLiteral("command"),
                                 QStringLiteral("One of the commands above."),
                                 QStringLiteral("COMMAND [ARGS]"));
    return parser.helpText();
}

QString helpText(const CommandEntry &command)
{
    QCommandLineParser parser;
    QString description = command.summary;
    description[0] = description[0].toUpper();
    parser.setApplicationDescription(wrap(description + QLatin1Char('.'), 0, 0));
    for (const OptionEntry &opt : command.options) {
        parser.addOption(toQt(opt));
    }
    for (const OptionEntry &opt : globalOptions()) {
        parser.addOption(toQt(opt));
    }
    // Qt's first line says "Usage: vantelctl [options]"; this one names the command.
    QString text = parser.helpText();
    text = text.mid(text.indexOf(QLatin1Char('\n')));
    const QString usage = QStringLiteral("Usage: vantelctl [options] ");
    return usage + wrap(command.synopsis(), int(usage.size()), 6) + text;
}

CommandLine::CommandLine(const QStringList &arguments)
{
    // First parse: every option of every command, so that an option's value is not
    // taken for the command, wherever on the line the command stands.
    QCommandLineParser all;
    configure(all);
    QHash<QString, bool> seen; // long name -> takes a value
    for (const OptionEntry &opt : globalOptions()) {
        all.addOption(toQt(opt));
    }
    for (const CommandEntry &command : commands()) {
        for (const OptionEntry &opt : command.options) {
            if (!seen.contains(opt.longName())) {
                seen.insert(opt.longName(), opt.takesValue());
                all.addOption(toQt(opt));
            }
        }
    }
    const QString seeHelp = QStringLiteral(" (see vantelctl --help)");
    if (!all.parse(arguments)) {
        m_text = all.errorText() + seeHelp;
        return;
    }
    if (all.isSet(QStringLiteral("version"))) {
        m_outcome = Outcome::Version;
        return;
    }
    QStringList positional = all.positionalArguments();
    if (positional.isEmpty()) {
        if (all.isSet(QStringLiteral("help"))) {
            m_outcome = Outcome::Help;
            m_text = helpText();
        } else {
            m_text = QStringLiteral("no command given") + seeHelp;
        }
        return;
    }
    const QString name = positional.takeFirst();
    m_command = findCommand(name);
    if (m_command == nullptr) {
        m_text = QStringLiteral("unknown command '%1'").arg(name) + seeHelp;
        return;
    }
    for (const QString &given : all.optionNames()) {
        const QString longName = longNameOf(given);
        if (!isGlobal(longName) && m_command->option(longName) == nullptr) {
            m_text = QStringLiteral("--%1 is not an option of %2 (see vantelctl %2 --help)")
                         .arg(longName, name);
            return;
        }
    }

    // Second parse: the global options and this command's own.
    m_parser = std::make_unique<QCommandLineParser>();
    configure(*m_parser);
    for (const OptionEntry &opt : m_command->options) {
        m_parser->addOption(toQt(opt));
    }
    for (const OptionEntry &opt : globalOptions()) {
        m_parser->addOption(toQt(opt));
    }
    if (!m_parser->parse(arguments)) {
        m_text = m_parser->errorText() + seeHelp;
        return;
    }
    if (m_parser->isSet(QStringLiteral("help"))) {
        m_outcome = Outcome::Help;
        m_text = helpText(*m_command);
        return;
    }
    m_arguments = m_parser->positionalArguments().mid(1);
    if (m_arguments.size() < m_command->minArguments ||
        m_arguments.size() > m_command->maxArguments) {
        m_text = QStringLiteral("usage: vantelctl [options] %1 (see vantelctl %2 --help)")
                     .arg(m_command->synopsis(), name);
        return;
    }
    m_outcome = Outcome::Run;
}

CommandLine::~CommandLine() = default;

bool CommandLine::isSet(const QString &longName) const
{
    if (!m_parser || (!isGlobal(longName) && (!m_command || !m_command->option(longName)))) {
        return false;
    }
    return m_parser->isSet(longName);
}

QString CommandLine::value(const QString &longName) const
{
    if (!m_parser || (!isGlobal(longName) && (!m_command || !m_command->option(longName)))) {
        return {};
    }
    return m_parser->value(longName);
}

QStringList CommandLine::values(const QString &longName) const
{
    if (!m_parser || (!isGlobal(longName) && (!m_command || !m_command->option(longName)))) {
        return {};
    }
    return m_parser->values(longName);
}

} // namespace ctl
