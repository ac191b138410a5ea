#include "log/Logger.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>
#include <wx/log.h>

#include <fcntl.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>

namespace fs = std::filesystem;

namespace
{
std::vector<std::string> Lines(const fs::path& file)
{
    std::ifstream in(file);
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

bool EndsWith(const std::string& text, const std::string& end)
{
    return text.size() >= end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
}

// Runs each test in a directory of its own with standard error captured.
// The logger installs itself for the whole process, so the test undoes that.
class LoggerTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        std::fflush(stderr);
        savedStderr = ::dup(STDERR_FILENO);
        const int capture = ::open((dir / "stderr.txt").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        ASSERT_GE(capture, 0);
        ::dup2(capture, STDERR_FILENO);
        ::close(capture);
    }

    void TearDown() override
    {
        delete wxLog::SetActiveTarget(nullptr);
        std::fflush(stderr);
        ::dup2(savedStderr, STDERR_FILENO);
        ::close(savedStderr);
    }

    std::vector<std::string> StandardError()
    {
        std::fflush(stderr);
        return Lines(dir / "stderr.txt");
    }

    TempDir dir;
    int savedStderr = -1;
};
} // namespace

TEST_F(LoggerTest, StartKeepsThePreviousRunAsideForMegabytesAndWritesBothTargetsAlike)
{
    std::ofstream(dir / "filelog.txt.1") << "a line from the run before\n";
    std::ofstream(dir / "filelog.txt") << "a line from the previous run\n";

    Logger::initLog();
    Logger::message("initlog");
    Logger::message("port %s, baud %d, parity %c", wxString("/dev/ttyS0"), 9600, 'N');
    // A stored value neither splits its line nor talks to a terminal.
    Logger::message("port %s", wxString("/dev/tty\nS0\x1b[2J\t\x7f"));

    const std::vector<std::string> file = Lines(dir / "filelog.txt");
    ASSERT_EQ(file.size(), 4u);
    EXPECT_TRUE(EndsWith(file[0], "Logger::initLog() Finished!")) << file[0];
    EXPECT_TRUE(EndsWith(file[1], "initlog")) << file[1];
    EXPECT_TRUE(EndsWith(file[2], "port /dev/ttyS0, baud 9600, parity N")) << file[2];
    EXPECT_TRUE(EndsWith(file[3], "port /dev/tty\\nS0\\x1b[2J\\t\\x7f")) << file[3];
    EXPECT_EQ(StandardError(), file);
    EXPECT_EQ(FileBytes(dir / "filelog.txt.1"), "a line from the previous run\n");

    // The default size is ten megabytes: after one, the file has every line
    // and the previous run is still aside.
    const std::string kilobyte(1024, 'x');
    for (int n = 0; n < 1024; ++n)
        Logger::message(kilobyte);
    EXPECT_GT(fs::file_size(dir / "filelog.txt"), 1024u * 1024u);
    EXPECT_EQ(Lines(dir / "filelog.txt").size(), 4u + 1024u);
    EXPECT_TRUE(FileBytes(dir / "filelog.txt.1") == "a line from the previous run\n") << "the file was moved aside";
}

TEST_F(LoggerTest, TheFileMovesAsideWhenItPassesItsSizeAndNoLineIsLost)
{
    constexpr std::uint64_t kRotateBytes = 4096;
    Logger::initLog(kRotateBytes);
    const std::string first = FileBytes(dir / "filelog.txt");
    int logged = 0;
    while (fs::file_size(dir / "filelog.txt") >= first.size() && logged < 1000)
        Logger::message("line %d", ++logged);

    const std::string previous = FileBytes(dir / "filelog.txt.1");
    EXPECT_GT(previous.size(), kRotateBytes);
    EXPECT_LT(previous.size(), kRotateBytes + 100) << "moved aside as soon as it passed the size";
    Logger::message("line %d", ++logged);
    std::vector<std::string> lines = Lines(dir / "filelog.txt.1");
    for (const std::string& line : Lines(dir / "filelog.txt"))
        lines.push_back(line);
    ASSERT_EQ(lines.size(), static_cast<size_t>(logged) + 1);
    for (int n = 1; n <= logged; ++n)
        EXPECT_TRUE(EndsWith(lines[n], ": line " + std::to_string(n))) << lines[n];
    EXPECT_EQ(StandardError(), lines);
}

TEST_F(LoggerTest, AFailingTargetIsDroppedQuietlyAndTheOtherKeepsEveryLine)
{
    // A full disk under the file.
    fs::create_symlink("/dev/full", dir / "filelog.txt");
    Logger::initLog();
    Logger::message("initlog");
    const std::vector<std::string> lines = StandardError();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_TRUE(EndsWith(lines[1], "initlog")) << lines[1];
    delete wxLog::SetActiveTarget(nullptr);

    // Standard error a pipe whose reader went away.
    fs::remove(dir / "filelog.txt");
    int pipeEnds[2];
    ASSERT_EQ(::pipe(pipeEnds), 0);
    ::close(pipeEnds[0]);
    ::dup2(pipeEnds[1], STDERR_FILENO);
    ::close(pipeEnds[1]);
    Logger::initLog();
    for (int n = 0; n < 3; ++n)
        Logger::message("line %d", n);
    const std::vector<std::string> file = Lines(dir / "filelog.txt");
    ASSERT_EQ(file.size(), 4u);
    EXPECT_TRUE(EndsWith(file[3], "line 2")) << file[3];
}

TEST_F(LoggerTest, WithoutAFileEveryLineReachesStandardErrorOnce)
{
    fs::create_directory(dir / "filelog.txt"); // a directory cannot be opened for writing

    Logger::initLog();
    Logger::message("initlog");

    const std::vector<std::string> lines = StandardError();
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_TRUE(EndsWith(lines[0], "Logger::initLog() cannot open filelog.txt: Is a directory")) << lines[0];
    EXPECT_TRUE(EndsWith(lines[1], "Logger::initLog() Finished!")) << lines[1];
    EXPECT_TRUE(EndsWith(lines[2], "initlog")) << lines[2];
}
