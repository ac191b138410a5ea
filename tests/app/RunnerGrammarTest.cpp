// The runner's command line read in-process: every command with its
// arguments and options, and every refusal with its one line.
#include "app/RunnerCommands.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

namespace
{
using Arguments = std::vector<std::string>;

// What the parser made of a command line, as one line: the command, its
// arguments, then every option it holds in a fixed order; or the refusal.
std::string Read(const Arguments& arguments)
{
    RunnerCommand command;
    std::string error;
    if (!ParseRunnerCommand(arguments, command, error))
        return "refused: " + error;
    // Nothing else counts then.
    if (command.name == "help" || command.name == "version")
        return command.name;
    std::string read = command.name;
    for (const std::string& argument : command.arguments)
        read += " " + argument;
    if (!command.dir.empty())
        read += " --dir=" + command.dir;
    const std::pair<const char*, const std::optional<std::string>*> values[] = {
        {"--serial", &command.serial}, {"--baud", &command.baud},     {"--tcp", &command.tcp},
        {"--frame", &command.frame},   {"--listen", &command.listen}, {"--protocol", &command.protocol},
    };
    for (const auto& [option, value] : values)
    {
        if (*value)
            read += std::string(" ") + option + "=" + **value;
    }
    for (const std::string& address : command.allow)
        read += " --allow=" + address;
    if (command.allowAll)
        read += " --allow-all";
    return read;
}

struct Case
{
    Arguments arguments;
    std::string read;
};

void ExpectAll(const std::vector<Case>& cases)
{
    for (const Case& expected : cases)
    {
        std::string line;
        for (const std::string& argument : expected.arguments)
            line += " [" + argument + "]";
        EXPECT_EQ(Read(expected.arguments), expected.read) << "serial-tcp-bridged" << line;
    }
}
} // namespace

TEST(RunnerGrammar, ReadsEveryCommandWithItsArgumentsAndOptions)
{
    ExpectAll({
        {{}, "serve"},
        {{"--dir", "/srv/bridges"}, "serve --dir=/srv/bridges"},
        {{"--dir=/srv/bridges"}, "serve --dir=/srv/bridges"},
        {{"list"}, "list"},
        {{"--dir", "d", "list"}, "list --dir=d"},
        {{"list", "--dir", "d"}, "list --dir=d"},
        {{"ports"}, "ports"},
        {{"ports", "--dir=d"}, "ports --dir=d"},
        {{"reload"}, "reload"},
        {{"--dir", "C:\\Donn\u00e9es\\", "reload"}, "reload --dir=C:\\Donn\u00e9es\\"},
        {{"remove", "3"}, "remove 3"},
        {{"remove", "--dir", "d", "3"}, "remove 3 --dir=d"},
        {{"add", "/dev/ttyS0", "9600", "4001"}, "add /dev/ttyS0 9600 4001"},
        {{"add", "/dev/ttyS0", "9600", "4001", "--frame", "7E1", "--listen", "127.0.0.1", "--protocol", "rfc2217",
          "--allow", "10.0.0.1", "--allow=10.0.0.2", "--dir", "d"},
         "add /dev/ttyS0 9600 4001 --dir=d --frame=7E1 --listen=127.0.0.1 --protocol=rfc2217 --allow=10.0.0.1 "
         "--allow=10.0.0.2"},
        // Options may come anywhere, before the command too.
        {{"--frame=8O2", "add", "--allow", "10.0.0.1", "/dev/ttyS0", "--protocol=raw", "9600", "4001"},
         "add /dev/ttyS0 9600 4001 --frame=8O2 --protocol=raw --allow=10.0.0.1"},
        {{"set", "1", "--serial", "/dev/ttyUSB0", "--baud", "19200", "--tcp", "4002", "--frame", "8o2", "--listen",
          "0.0.0.0", "--protocol", "raw", "--allow", "10.0.0.1", "--allow", "10.0.0.2"},
         "set 1 --serial=/dev/ttyUSB0 --baud=19200 --tcp=4002 --frame=8o2 --listen=0.0.0.0 --protocol=raw "
         "--allow=10.0.0.1 --allow=10.0.0.2"},
        {{"set", "--serial=/dev/ttyUSB0", "--baud=19200", "--tcp=4002", "--frame=8N1", "--listen=127.0.0.1",
          "--protocol=rfc2217", "--allow=10.0.0.1", "1"},
         "set 1 --serial=/dev/ttyUSB0 --baud=19200 --tcp=4002 --frame=8N1 --listen=127.0.0.1 --protocol=rfc2217 "
         "--allow=10.0.0.1"},
        {{"set", "1", "--allow-all"}, "set 1 --allow-all"},
        {{"set", "1", "--allow-all", "--allow-all"}, "set 1 --allow-all"},
        // That the two exclude each other is the command's to say.
        {{"set", "1", "--allow-all", "--allow", "10.0.0.1"}, "set 1 --allow=10.0.0.1 --allow-all"},
        // An empty value is a value; what it means is the command's to say.
        {{"set", "1", "--listen="}, "set 1 --listen="},
        {{"set", "1", "--listen", ""}, "set 1 --listen="},
        {{"set", "1", "--allow="}, "set 1 --allow="},
        // A value is the next argument, whatever it looks like.
        {{"set", "1", "--tcp", "-1"}, "set 1 --tcp=-1"},
        {{"set", "1", "--serial", "--baud"}, "set 1 --serial=--baud"},
        {{"--dir", "list"}, "serve --dir=list"},
        {{"--dir", "--help"}, "serve --dir=--help"},
        {{"set", "1", "--frame=a=b"}, "set 1 --frame=a=b"},
        {{"add", "-", "9600", "4001"}, "add - 9600 4001"},
        {{"set", "++", "--dir", "++"}, "set ++ --dir=++"},
    });
}

TEST(RunnerGrammar, TakesHelpAndVersionAnywhereUnlessSomethingBeforeThemIsUnknown)
{
    ExpectAll({
        {{"--help"}, "help"},
        {{"-h"}, "help"},
        {{"--version"}, "version"},
        {{"list", "--help"}, "help"},
        {{"--dir", "d", "-h"}, "help"},
        {{"--help", "--dir"}, "help"},
        {{"--help", "--bogus"}, "help"},
        {{"--help", "serve"}, "help"},
        {{"--version", "--help"}, "version"},
        {{"-h", "--version"}, "help"},
        // A command line wrong in what it holds, not in its words.
        {{"add", "--help"}, "help"},
        {{"list", "extra", "--help"}, "help"},
        {{"remove", "1", "--frame", "8N1", "-h"}, "help"},
        {{"set", "1", "--baud", "1", "--baud", "2", "--version"}, "version"},
        {{"--dir=", "--help"}, "help"},
        // A word it does not know, before them.
        {{"--bogus", "--help"}, "refused: unknown option --bogus"},
        {{"start", "--version"}, "refused: unknown command \"start\""},
        {{"set", "1", "--allow-all=x", "--help"}, "refused: --allow-all takes no value"},
    });
}

TEST(RunnerGrammar, RefusesWithOneLineThatSaysWhy)
{
    ExpectAll({
        {{"--port", "4242"}, "refused: unknown option --port"},
        {{"--port=4242"}, "refused: unknown option --port"},
        {{"-x"}, "refused: unknown option -x"},
        {{"list", "--bogus=1"}, "refused: unknown option --bogus"},
        {{"add", "a", "b", "c", "-p", "1"}, "refused: unknown option -p"},
        {{"serve"}, "refused: unknown command \"serve\""},
        {{"start"}, "refused: unknown command \"start\""},
        {{"--dir", "d", "start", "list"}, "refused: unknown command \"start\""},
        {{"LIST"}, "refused: unknown command \"LIST\""},
        {{""}, "refused: unknown command \"\""},
        // Arguments per command.
        {{"list", "extra"}, "refused: list takes no arguments"},
        {{"list", "list"}, "refused: list takes no arguments"},
        {{"ports", "x"}, "refused: ports takes no arguments"},
        {{"reload", "x"}, "refused: reload takes no arguments"},
        {{"add", "/dev/ttyS0", "9600"}, "refused: add takes SERIAL BAUD TCPPORT"},
        {{"add", "/dev/ttyS0", "9600", "4001", "4002"}, "refused: add takes SERIAL BAUD TCPPORT"},
        {{"set"}, "refused: set takes ID"},
        {{"set", "1", "2", "--baud", "9600"}, "refused: set takes ID"},
        {{"remove"}, "refused: remove takes ID"},
        {{"remove", "1", "2"}, "refused: remove takes ID"},
        // An option's value is not an argument.
        {{"remove", "--baud", "1"}, "refused: remove takes ID"},
        // Options per command.
        {{"remove", "1", "--baud", "9600"}, "refused: remove takes no --baud"},
        {{"list", "--allow-all"}, "refused: list takes no --allow-all"},
        {{"ports", "--listen=127.0.0.1"}, "refused: ports takes no --listen"},
        {{"reload", "--protocol", "raw"}, "refused: reload takes no --protocol"},
        {{"add", "a", "b", "c", "--serial", "x"}, "refused: add takes no --serial"},
        {{"add", "a", "b", "c", "--baud", "x"}, "refused: add takes no --baud"},
        {{"add", "a", "b", "c", "--tcp", "x"}, "refused: add takes no --tcp"},
        {{"add", "a", "b", "c", "--allow-all"}, "refused: add takes no --allow-all"},
        {{"--frame", "8N1"}, "refused: serve takes no --frame"},
        {{"--allow", "10.0.0.1"}, "refused: serve takes no --allow"},
        // Each option once, but --allow and --allow-all.
        {{"set", "1", "--serial", "a", "--serial", "b"}, "refused: --serial is given twice"},
        {{"set", "1", "--baud", "9600", "--baud", "300"}, "refused: --baud is given twice"},
        {{"set", "1", "--tcp=1", "--tcp=1"}, "refused: --tcp is given twice"},
        {{"set", "1", "--frame", "8N1", "--frame", "8N1"}, "refused: --frame is given twice"},
        {{"add", "a", "b", "c", "--listen", "", "--listen", ""}, "refused: --listen is given twice"},
        {{"add", "a", "b", "c", "--protocol", "raw", "--protocol=rfc2217"}, "refused: --protocol is given twice"},
        {{"--dir", "a", "--dir", "b"}, "refused: --dir is given twice"},
        {{"--dir", "a", "list", "--dir=a"}, "refused: --dir is given twice"},
        // A value missing, or none wanted.
        {{"list", "--dir"}, "refused: --dir needs a value"},
        {{"set", "1", "--serial"}, "refused: --serial needs a value"},
        {{"set", "1", "--baud"}, "refused: --baud needs a value"},
        {{"set", "1", "--tcp"}, "refused: --tcp needs a value"},
        {{"set", "1", "--frame"}, "refused: --frame needs a value"},
        {{"set", "1", "--listen"}, "refused: --listen needs a value"},
        {{"set", "1", "--protocol"}, "refused: --protocol needs a value"},
        {{"add", "a", "b", "c", "--allow"}, "refused: --allow needs a value"},
        {{"--dir="}, "refused: --dir needs a directory"},
        {{"--dir", ""}, "refused: --dir needs a directory"},
        {{"--dir", "a", "list", "--dir", ""}, "refused: --dir needs a directory"},
        {{"set", "1", "--allow-all=x"}, "refused: --allow-all takes no value"},
        {{"set", "1", "--allow-all="}, "refused: --allow-all takes no value"},
        // Words that some parsers read otherwise.
        {{"list", "--"}, "refused: unknown option --"},
        {{"add", "--", "a", "b", "c"}, "refused: unknown option --"},
        {{"set", "1", "--baud", "9600", "-5"}, "refused: unknown option -5"},
        {{"-hx"}, "refused: unknown option -hx"},
        {{"--help=x"}, "refused: unknown option --help"},
        {{"--version="}, "refused: unknown option --version"},
        {{"++"}, "refused: unknown command \"++\""},
        {{"list", "++"}, "refused: list takes no arguments"},
        {{"add", "a", "b", "c", "++"}, "refused: add takes SERIAL BAUD TCPPORT"},
        // Text that is not UTF-8 would be stored as nothing.
        {{"set", "2", "--listen", "127.0.0.1\xff"}, "refused: the value of --listen is not UTF-8 text"},
        {{"set", "2", "--allow=10.0.0.1\xc3"}, "refused: the value of --allow is not UTF-8 text"},
        {{"--dir", "/tmp/\xff", "list"}, "refused: the value of --dir is not UTF-8 text"},
        {{"add", "/dev/tty\xff", "9600", "4003"}, "refused: argument 2 is not UTF-8 text"},
        {{"li\xffst"}, "refused: argument 1 is not UTF-8 text"},
        {{"--bogus", "\xff"}, "refused: argument 2 is not UTF-8 text"},
        {{"--\xff"}, "refused: argument 1 is not UTF-8 text"},
        {{"--help", "\xff"}, "refused: argument 2 is not UTF-8 text"},
    });
}

TEST(RunnerGrammar, SaysTheFirstWrongThingInTheOrderItReadsThem)
{
    ExpectAll({
        // Unknown words first, in the order given,
        {{"--bogus", "start"}, "refused: unknown option --bogus"},
        {{"start", "--bogus"}, "refused: unknown command \"start\""},
        {{"list", "extra", "--bogus"}, "refused: unknown option --bogus"},
        {{"remove", "1", "--frame", "x", "--bogus"}, "refused: unknown option --bogus"},
        {{"set", "1", "--allow-all=x", "--bogus"}, "refused: --allow-all takes no value"},
        {{"list", "--bogus", "--dir"}, "refused: unknown option --bogus"},
        // then the arguments,
        {{"remove", "x", "--baud", "1", "extra"}, "refused: remove takes ID"},
        {{"list", "x", "--dir="}, "refused: list takes no arguments"},
        // then the options, in the order given.
        {{"set", "1", "--baud", "1", "--baud", "2", "--dir", ""}, "refused: --baud is given twice"},
        {{"set", "1", "--dir", "", "--baud", "1", "--baud", "2"}, "refused: --dir needs a directory"},
        {{"remove", "1", "--frame", "x", "--frame", "y"}, "refused: remove takes no --frame"},
        {{"set", "1", "--frame", "x", "--frame", "y", "--dir", "a", "--dir", "b"}, "refused: --frame is given twice"},
    });
}
