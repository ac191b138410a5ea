#include "RunnerGrammar.h"

#include "RunnerOs.h"
#include "bridge/BridgeSettings.h"

#include <CLI/CLI.hpp>
#include <wx/string.h>

#include <algorithm>
#include <map>

namespace
{
constexpr std::size_t kHelpWidth = 79; // a line of 80 wraps in some terminals
constexpr std::size_t kCommandColumn = 13;
constexpr std::size_t kOptionColumn = 26;
constexpr std::size_t kListIndent = 2;
constexpr std::size_t kUsageIndent = 6; // a command's usage that goes on to another line

// What each argument of a command is, for every command that takes it.
const std::map<std::string, const char*> kArguments = {
    {"SERIAL", "the serial port, as ports shows it"},
    {"BAUD", "the baud rate, such as 9600"},
    {"TCPPORT", "the TCP port the bridge listens on, from 1 to 65535"},
    {"ID", "the bridge's id, as list shows it"},
};

// CLI11 takes "++" for the end of a command's words; the runner has always
// taken it for an argument like any other. It is handed to CLI11 as text no
// argument can be, as it is not UTF-8, and taken back.
const std::string kEndOfCommandWords = "++";
const std::string kStandIn = "\xff++";

std::string Restored(const std::string& word)
{
    return word == kStandIn ? kEndOfCommandWords : word;
}

// Thrown by --help, -h and --version: they end the reading where they stand.
struct Asked
{
    std::string command;
};

bool IsUtf8(const std::string& text)
{
    return text.empty() || !wxString::FromUTF8(text.data(), text.size()).empty();
}

// A word that names an option, or tries to.
bool IsOptionWord(const std::string& word)
{
    return word.size() > 1 && word[0] == '-';
}

bool TakesValue(const CLI::Option& option)
{
    return option.get_items_expected_max() > 0;
}

// Each unit after the other, on lines of at most kHelpWidth columns; the
// first line goes on from column, the others begin at indent.
std::string Flow(const std::vector<std::string>& units, std::size_t column, std::size_t indent)
{
    std::string text;
    for (const std::string& unit : units)
    {
        if (!text.empty() && column + 1 + unit.size() > kHelpWidth)
        {
            text += "\n" + std::string(indent, ' ');
            column = indent;
        }
        else if (!text.empty())
        {
            text += ' ';
            ++column;
        }
        text += unit;
        column += unit.size();
    }
    return text;
}

std::vector<std::string> SplitWords(const std::string& text)
{
    std::vector<std::string> words;
    std::string word;
    for (const char c : text + ' ')
    {
        if (c != ' ' && c != '\n')
            word += c;
        else if (!word.empty())
            words.push_back(std::move(word)), word.clear();
    }
    return words;
}

// One entry of a list: what it is (already laid out, maybe over several
// lines) and, from column on, what it does.
std::string Entry(const std::string& head, const std::string& description, std::size_t column)
{
    const std::size_t lastLine = head.size() - (head.rfind('\n') == std::string::npos ? 0 : head.rfind('\n') + 1);
    const bool besideIt = head.find('\n') == std::string::npos && lastLine + 2 <= column;
    return head + (besideIt ? std::string(column - lastLine, ' ') : "\n" + std::string(column, ' ')) +
           Flow(SplitWords(description), column, column) + "\n";
}

// The runner's commands and options, declared with CLI11. Options are the
// program's, not a command's, because they have always been taken before the
// command as well as after it; each command says which of them it takes.
class Grammar
{
public:
    Grammar()
        : m_app("serve the bridges in DIR/bridges.db, each joining a serial port to a TCP port", "serial-tcp-bridged")
    {
        m_app.set_help_flag();
        m_app.allow_extras(); // told in the runner's own words below
        m_app.require_subcommand(0, 1);
        // CLI11 would take /dev/ttyS0 for an option on Windows, where the
        // runner has never had options that begin with a slash.
        m_app.allow_windows_style_options(false);
        // Counted and told below, in the order given.
        m_app.option_defaults()->take_last();
        m_app.footer("Exit status: 0 done, 1 the store or the system failed, 2 a wrong command line.");

        m_dir = Option("--dir", "DIR",
                       "the directory of bridges.db and filelog.txt (default: the working directory); before or "
                       "after the command");
        m_serial = Option("--serial", "SERIAL", "another serial port, as SERIAL");
        m_baud = Option("--baud", "BAUD", "another baud rate, as BAUD");
        m_tcp = Option("--tcp", "TCPPORT", "another TCP port, as TCPPORT");
        m_frame = Option("--frame", "FRAME",
                         "the character frame: 7 or 8 data bits, parity N, E or O, 1 or 2 stop bits (8N1 unless "
                         "given)");
        m_listen = Option("--listen", "ADDRESS",
                          "listen on that local address only, IPv4 or IPv6 (127.0.0.1 or ::1: reached through an "
                          "SSH tunnel); 0.0.0.0 or :: listens on all of both, as a bridge does without it");
        m_protocol = Option("--protocol", std::string(BridgeSettings::kRawProtocol) + "|" +
                                              BridgeSettings::kRfc2217Protocol,
                            "rfc2217 makes the clients Telnet peers that may set the serial port remotely (RFC "
                            "2217); raw, the default, passes the bytes as they are");
        m_allow = Option("--allow", "ADDRESS",
                         "admit clients from this IPv4 or IPv6 address only; repeat it for more; set replaces the "
                         "addresses admitted so far");
        m_allow->take_all();
        m_allowAll = m_app.add_flag("--allow-all", "admit clients from every address again");
        m_trace = Option("--trace", "PATH",
                         "trace the bridge's traffic both ways, with the time, to this file (relative to the "
                         "directory of bridges.db); an empty PATH traces nothing, as --no-trace");
        m_noTrace = m_app.add_flag("--no-trace", "trace the bridge's traffic to no file again");
        m_help = m_app.add_flag("-h,--help", "show this help");
        m_version = m_app.add_flag("--version", "show the version");
        for (CLI::Option* asks : {m_help, m_version})
        {
            const std::string command = asks == m_help ? "help" : "version";
            asks->trigger_on_parse()->each([command](const std::string&) { throw Asked{command}; });
        }

        Command("list",
                "show every bridge: id, serial port (and what is plugged in there now), baud rate, frame, TCP port, "
                "listen address, protocol, allowed addresses, trace file",
                {}, {});
        Command("ports", "show the serial ports present, with their stable names and descriptions", {}, {});
        Command("add", "add a bridge (makes bridges.db if there is none)", {"SERIAL", "BAUD", "TCPPORT"},
                {m_frame, m_listen, m_protocol, m_allow, m_trace});
        Command("set", "change a bridge; what is not given stays as it was", {"ID"},
                {m_serial, m_baud, m_tcp, m_frame, m_listen, m_protocol, m_allow, m_allowAll, m_trace, m_noTrace});
        Command("remove", "remove a bridge", {"ID"}, {});
        // Where reload only says what to use instead, --help leaves it out.
        Command("reload", runner_os::ReloadSummary(), {}, {})->group(*runner_os::ReloadSummary() ? "Commands" : "");
    }

    bool Read(const std::vector<std::string>& arguments, RunnerCommand& command, std::string& error)
    {
        if (!AllUtf8(arguments, error))
            return false;

        // CLI11 would read some words otherwise than the runner always has
        // ("--" ends its options, "-5" is an argument to it, an empty value
        // after "=" takes the next word): it is given the words before the
        // first that names no option, each option apart from its value.
        std::vector<std::string> words;
        std::string stop;
        for (std::size_t i = 0; i < arguments.size() && stop.empty(); ++i)
        {
            const std::string& word = arguments[i];
            if (!IsOptionWord(word))
            {
                words.push_back(word == kEndOfCommandWords ? kStandIn : word);
                continue;
            }
            const auto equals = word.find('=');
            const std::string name = word.substr(0, equals);
            const CLI::Option* option = Named(name);
            const bool asks = option == m_help || option == m_version;
            if (!option || (asks && equals != std::string::npos))
                stop = "unknown option " + name;
            else if (!TakesValue(*option) && equals != std::string::npos)
                stop = name + " takes no value";
            else if (!TakesValue(*option))
                words.push_back(word);
            else
            {
                words.push_back(name);
                if (equals != std::string::npos)
                    words.push_back(word.substr(equals + 1));
                else if (i + 1 < arguments.size())
                    words.push_back(arguments[++i]);
            }
        }

        std::reverse(words.begin(), words.end()); // as CLI11 takes them
        try
        {
            m_app.parse(words);
        }
        catch (const Asked& asked)
        {
            command.name = asked.command;
        }
        catch (const CLI::ArgumentMismatch&)
        {
            stop = arguments.back() + " needs a value"; // only the last word can lack its value
        }
        catch (const CLI::ParseError& unforeseen)
        {
            // Nothing else is refused by CLI11 once the words above are
            // sorted out; should that change, it is said rather than crashed on.
            stop = unforeseen.what();
        }

        // Words that are neither options nor their values: before the
        // command, a command that does not exist; after it, its arguments.
        const std::vector<std::string> extras = m_app.remaining();
        const std::vector<CLI::App*> chosen = m_app.get_subcommands();
        const std::size_t beforeCommand = chosen.empty() ? extras.size() : m_wordsBeforeCommand;
        if (beforeCommand > 0)
            error = "unknown command \"" + Restored(extras.front()) + "\"";
        else if (command.name == "help" || command.name == "version")
            return true;
        else if (!stop.empty())
            error = stop;
        else if (!chosen.empty())
            error = TakeArguments(*chosen.front(), extras.size() - beforeCommand, command);
        if (error.empty())
            error = TakeOptions(chosen.empty() ? nullptr : chosen.front(), command);
        return error.empty();
    }

    std::string Help() const
    {
        const std::string name = m_app.get_name();
        std::string help = "Usage: " + name + " [" + Usage(*m_dir) + "] [COMMAND]\n" + "       " + name + " " +
                           m_help->get_name() + " | " + m_version->get_name() + "\n\nCommands:\n";
        help += Entry("  (none)", m_app.get_description(), kCommandColumn);
        std::vector<std::pair<std::string, std::string>> arguments;
        for (const CommandDeclaration& declared : m_commands)
        {
            if (declared.command->get_group().empty())
                continue;
            std::vector<std::string> usage = {declared.command->get_name()};
            for (const CLI::Option* argument : declared.command->get_options())
            {
                usage.push_back(argument->get_name());
                if (std::find(arguments.begin(), arguments.end(),
                              std::make_pair(argument->get_name(), argument->get_description())) == arguments.end())
                    arguments.emplace_back(argument->get_name(), argument->get_description());
            }
            for (const CLI::Option* option : declared.options)
                usage.push_back("[" + Usage(*option) + "]" + (Repeats(*option) ? "..." : ""));
            help += Entry("  " + Flow(usage, kListIndent, kUsageIndent), declared.command->get_description(),
                          kCommandColumn);
        }
        help += "\nArguments:\n";
        for (const auto& [argument, description] : arguments)
            help += Entry("  " + argument, description, kOptionColumn);
        help += "\nOptions:\n";
        for (const CLI::Option* option : m_app.get_options())
            help += Entry("  " + Usage(*option), option->get_description(), kOptionColumn);
        for (const std::string& paragraph : {m_app.get_footer(), std::string(runner_os::ServingHelp())})
            help += "\n" + Flow(SplitWords(paragraph), 0, 0) + "\n";
        return help;
    }

    std::vector<std::string> AllWords() const
    {
        std::vector<std::string> words;
        for (const CommandDeclaration& declared : m_commands)
            words.push_back(declared.command->get_name());
        for (const CLI::Option* option : m_app.get_options())
        {
            for (const std::string& name : option->get_snames())
                words.push_back("-" + name);
            for (const std::string& name : option->get_lnames())
                words.push_back("--" + name);
        }
        return words;
    }

private:
    struct CommandDeclaration
    {
        CLI::App* command;
        std::vector<const CLI::Option*> options; // that it takes, besides --dir
    };

    CLI::Option* Option(const std::string& name, const std::string& value, const std::string& description)
    {
        return m_app.add_option(name, description)->type_name(value);
    }

    CLI::App* Command(const std::string& name, const std::string& description, const std::vector<std::string>& arguments,
                      const std::vector<const CLI::Option*>& options)
    {
        CLI::App* command = m_app.add_subcommand(name, description)->fallthrough();
        for (const std::string& argument : arguments)
            command->add_option(argument, kArguments.at(argument));
        // The words before it that CLI11 set aside are there, and no more.
        command->preparse_callback([this](std::size_t) { m_wordsBeforeCommand = m_app.remaining().size(); });
        m_commands.push_back({command, options});
        return command;
    }

    // The option this word names; null for any other word.
    const CLI::Option* Named(const std::string& word) const
    {
        return IsOptionWord(word) ? m_app.get_option_no_throw(word) : nullptr;
    }

    // "--allow ADDRESS", "-h, --help"
    static std::string Usage(const CLI::Option& option)
    {
        std::string names;
        for (const std::string& name : option.get_snames())
            names += "-" + name + ", ";
        for (const std::string& name : option.get_lnames())
            names += "--" + name + ", ";
        names.resize(names.size() - 2);
        return TakesValue(option) ? names + " " + option.get_type_name() : names;
    }

    static bool Repeats(const CLI::Option& option)
    {
        return option.get_multi_option_policy() == CLI::MultiOptionPolicy::TakeAll;
    }

    // Text that is not UTF-8 would be stored as nothing, which for an
    // address means every one.
    bool AllUtf8(const std::vector<std::string>& arguments, std::string& error) const
    {
        for (std::size_t i = 0; i < arguments.size(); ++i)
        {
            if (IsUtf8(arguments[i]))
                continue;
            const std::string& argument = arguments[i];
            const CLI::Option* previous = i > 0 ? Named(arguments[i - 1]) : nullptr;
            const std::string option = argument.rfind("--", 0) == 0          ? argument.substr(0, argument.find('='))
                                       : previous && TakesValue(*previous) ? arguments[i - 1]
                                                                           : std::string();
            error = (IsUtf8(option) && !option.empty() ? "the value of " + option : "argument " + std::to_string(i + 1)) +
                    " is not UTF-8 text";
            return false;
        }
        return true;
    }

    // The command's arguments, or why they are not what it takes.
    std::string TakeArguments(const CLI::App& chosen, std::size_t more, RunnerCommand& command) const
    {
        command.name = chosen.get_name();
        std::string names;
        bool complete = more == 0;
        for (const CLI::Option* argument : chosen.get_options())
        {
            names += (names.empty() ? "" : " ") + argument->get_name();
            complete = complete && argument->count() == 1;
            if (argument->count() == 1)
                command.arguments.push_back(Restored(argument->results().front()));
        }
        return complete ? std::string() : command.name + " takes " + (names.empty() ? "no arguments" : names);
    }

    // The options in the order given, or the first that the command cannot take.
    std::string TakeOptions(const CLI::App* chosen, RunnerCommand& command) const
    {
        const auto declared = std::find_if(m_commands.begin(), m_commands.end(),
                                           [&](const CommandDeclaration& each) { return each.command == chosen; });
        const std::map<const CLI::Option*, std::optional<std::string> RunnerCommand::*> fields = {
            {m_serial, &RunnerCommand::serial}, {m_baud, &RunnerCommand::baud},
            {m_tcp, &RunnerCommand::tcp},       {m_frame, &RunnerCommand::frame},
            {m_listen, &RunnerCommand::listen}, {m_protocol, &RunnerCommand::protocol},
            {m_trace, &RunnerCommand::trace},
        };
        std::map<const CLI::Option*, std::size_t> given;
        for (const CLI::Option* option : m_app.parse_order())
        {
            const std::size_t before = given[option]++;
            const std::string value = TakesValue(*option) ? option->results().at(before) : std::string();
            const std::string name = option->get_name();
            if (option == m_dir)
            {
                if (value.empty() || before > 0)
                    return value.empty() ? "--dir needs a directory" : "--dir is given twice";
                command.dir = value;
                continue;
            }
            if (declared == m_commands.end() ||
                std::find(declared->options.begin(), declared->options.end(), option) == declared->options.end())
                return command.name + " takes no " + name;
            if (option == m_allowAll)
                command.allowAll = true;
            else if (option == m_noTrace)
                command.noTrace = true;
            else if (option == m_allow)
                command.allow.push_back(value);
            else if (before > 0)
                return name + " is given twice";
            else
                command.*fields.at(option) = value;
        }
        return std::string();
    }

    CLI::App m_app;
    std::vector<CommandDeclaration> m_commands;
    CLI::Option* m_dir;
    CLI::Option* m_serial;
    CLI::Option* m_baud;
    CLI::Option* m_tcp;
    CLI::Option* m_frame;
    CLI::Option* m_listen;
    CLI::Option* m_protocol;
    CLI::Option* m_allow;
    CLI::Option* m_allowAll;
    CLI::Option* m_trace;
    CLI::Option* m_noTrace;
    CLI::Option* m_help;
    CLI::Option* m_version;
    std::size_t m_wordsBeforeCommand = 0; // set aside by CLI11 before the command
};
} // namespace

bool ParseRunnerCommand(const std::vector<std::string>& arguments, RunnerCommand& command, std::string& error)
{
    return Grammar().Read(arguments, command, error);
}

std::string RunnerHelpText()
{
    return Grammar().Help();
}

std::vector<std::string> RunnerGrammarWords()
{
    return Grammar().AllWords();
}
