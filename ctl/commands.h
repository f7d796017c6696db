#pragma once

// vantelctl's commands and their options, described once: the parser, `--help`,
// `COMMAND --help` and the manual page (held to it by a test) all follow this table.

#include "ctl/command.h"

#include <QList>
#include <QString>
#include <QStringList>

#include <memory>

class QCommandLineParser;

namespace ctl {

// One option: its names (the short one first, if any), what the help says about
// it and, for an option that takes a value, the value's name and its default.
struct OptionEntry {
    QStringList names;
    QString description;
    QString valueName; // empty: a switch
    QString defaultValue;

    QString longName() const { return names.last(); }
    bool takesValue() const { return !valueName.isEmpty(); }
};

// One command: its name, its arguments as the synopsis writes them, how many it
// takes, what it does (a paragraph for the help) and the options of its own.
struct CommandEntry {
    QString name;
    QString arguments; // "on|off", "NEW"; empty: none
    int minArguments = 0;
    int maxArguments = 0;
    QString summary;
    QList<OptionEntry> options;
    // Reads and checks the command's own options before the port opens, and
    // gives the action that runs it.
    Prepare prepare = nullptr;

    // "scan [--from N] [--to N]"
    QString synopsis() const;
    const OptionEntry *option(const QString &longName) const;
};

// The options every command takes (--port, --address, --timeout, --json, --help...).
const QList<OptionEntry> &globalOptions();

// Every command, in the order the help lists them. To add a command, add its entry
// here with its preparation; the help, the parser, dispatch() and the manual
// page's test pick it up from this table.
const QList<CommandEntry> &commands();

const CommandEntry *findCommand(const QString &name);

// A command line read against the table: the command is found by a first parse
// that knows every option, then the line is parsed again with the global options
// and that command's own, so that a foreign option is refused by name.
class CommandLine {
public:
    enum class Outcome {
        Run,     // command() with its arguments and options
        Help,    // print text() to stdout, exit 0
        Version, // print the version, exit 0
        Refused  // text() says why; exit 2
    };

    explicit CommandLine(const QStringList &arguments); // arguments[0] is the program
    ~CommandLine();
    CommandLine(const CommandLine &) = delete;
    CommandLine &operator=(const CommandLine &) = delete;

    Outcome outcome() const { return m_outcome; }
    QString text() const { return m_text; }
    const CommandEntry *command() const { return m_command; }
    QStringList arguments() const { return m_arguments; }

    // By long name; value() gives the default when the option is not set.
    bool isSet(const QString &longName) const;
    QString value(const QString &longName) const;
    // Every value of an option given more than once, in order.
    QStringList values(const QString &longName) const;

private:
    Outcome m_outcome = Outcome::Refused;
    QString m_text;
    const CommandEntry *m_command = nullptr;
    QStringList m_arguments;
    std::unique_ptr<QCommandLineParser> m_parser;
};

// The help for the whole tool, and for one command.
QString helpText();
QString helpText(const CommandEntry &command);

} // namespace ctl
