// What the runner's grammar gives besides reading: --help, and the words
// the manual page has to describe.
#include "app/RunnerGrammar.h"
#include "app/RunnerOs.h"

#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

TEST(RunnerHelp, HelpListsEveryCommandAndOptionInLinesThatFitATerminal)
{
    const std::string help = RunnerHelpText();
    const auto has = [&](const std::string& text) { return help.find(text) != std::string::npos; };
    for (const std::string& word : RunnerGrammarWords())
    {
        // Left out where it only says what to use instead.
        if (word == "reload" && !*runner_os::ReloadSummary())
            continue;
        EXPECT_TRUE(has("\n  " + word + " ") || has("\n  " + word + "\n") || has("\n  " + word + ", ") ||
                    has(", " + word + " ") || has(", " + word + "\n"))
            << word << " does not begin an entry of\n"
            << help;
    }
    std::istringstream lines(help);
    for (std::string line; std::getline(lines, line);)
        EXPECT_LT(line.size(), 80u) << line;
}

TEST(RunnerHelp, TheManualPageDescribesEveryCommandAndOption)
{
    std::ifstream page(SERIAL_TCP_BRIDGED_MANUAL);
    ASSERT_TRUE(page) << SERIAL_TCP_BRIDGED_MANUAL;
    std::map<std::string, std::vector<std::string>> sections;
    std::string section;
    for (std::string line; std::getline(page, line);)
    {
        if (line.rfind(".SH ", 0) == 0)
            section = line.substr(4);
        else
            sections[section].push_back(line);
    }
    // A word that a bold font macro sets on its line, as roff writes it
    // ("\-\-allow\-all"), in one of these sections; first on it, or anywhere.
    const auto described = [&](const std::string& word, std::initializer_list<const char*> in, bool first) {
        std::string roff;
        for (const char c : word)
            roff += c == '-' ? std::string("\\-") : std::string(1, c);
        for (const char* name : in)
        {
            for (const std::string& line : sections[name])
            {
                std::istringstream words(line);
                std::string macro;
                words >> macro;
                if (macro != ".B" && macro != ".BI" && macro != ".BR")
                    continue;
                for (std::string set; words >> set;)
                {
                    if (set == roff)
                        return true;
                    if (first)
                        break;
                }
            }
        }
        return false;
    };
    for (const std::string& word : RunnerGrammarWords())
    {
        // "-h, --help"; an entry per command.
        if (word[0] == '-')
            EXPECT_TRUE(described(word, {"OPTIONS", "COMMANDS"}, false)) << word << " is not described";
        else
            EXPECT_TRUE(described(word, {"COMMANDS"}, true)) << "the command " << word << " is not described";
    }
}
