#include "log/TraceFile.h"
#include "log/TraceFormat.h"
#include "support/TempDir.h"
#include "support/TraceParse.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <future>
#include <memory>

namespace
{
TraceRecord Chunk(std::size_t size, char fill)
{
    TraceRecord record;
    record.microseconds = TraceNow();
    record.kind = TraceRecord::Kind::ToClients;
    record.bytes.assign(size, fill);
    return record;
}

std::vector<ParsedRecord> Parsed(const std::string& text)
{
    std::vector<ParsedRecord> records;
    std::string why;
    EXPECT_TRUE(ParseTrace(text, records, why)) << why;
    return records;
}

// "trace: 4096 bytes not traced" lines, summed.
std::uint64_t NotTracedIn(const std::vector<ParsedRecord>& records, std::size_t& lines)
{
    std::uint64_t lost = 0;
    lines = 0;
    for (const ParsedRecord& record : records)
    {
        if (record.words.rfind("trace: ", 0) != 0)
            continue;
        ++lines;
        lost += std::stoull(record.words.substr(7));
    }
    return lost;
}
} // namespace

TEST(TraceFormatTest, ChunksReadAsAHexDumpWithTheirText)
{
    TraceRecord record;
    record.kind = TraceRecord::Kind::ToClients;
    record.bytes = std::string("Hello, world\r\n\0\xff\x01\x02\x03\x04", 20);
    EXPECT_EQ(TraceDump(record.bytes), "  0000  48 65 6c 6c 6f 2c 20 77  6f 72 6c 64 0d 0a 00 ff  |Hello, world....|\n"
                                       "  0010  01 02 03 04                                       |....|\n");
    EXPECT_EQ(TraceHeader(record).substr(27), "serial -> clients, 20 bytes");
    record.kind = TraceRecord::Kind::ToSerial;
    record.peer = "[2001:db8::5]:51234";
    record.bytes = "A";
    EXPECT_EQ(TraceHeader(record).substr(27), "client [2001:db8::5]:51234 -> serial, 1 byte");
    EXPECT_EQ(TraceTime(0).size(), 26u); // "1970-01-01 00:00:00.000000" in any zone

    // Past 64 KiB the offset takes a fifth digit, and the lines still read back.
    record.kind = TraceRecord::Kind::ToClients;
    for (std::size_t i = 0; i < 70001; ++i)
        record.bytes += static_cast<char>(i * 7);
    const auto records = Parsed(FormatTraceRecord(record));
    ASSERT_EQ(records.size(), 1u);
    EXPECT_TRUE(records[0].bytes == record.bytes);
}

// The writer blocks on a pipe nobody reads yet, as on a disk that has
// fallen behind: whoever adds records goes on, and what did not fit is
// counted, once, where it was lost.
TEST(TraceFileTest, WhatTheDiskCannotTakeIsDroppedAndSaidWhereItWasLost)
{
    TempDir dir;
    const auto fifo = dir / "trace.fifo";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    constexpr std::size_t kChunk = 1000, kChunks = 50;
    auto trace = std::make_unique<TraceFile>(fifo.string(), [](const wxString&) {}, TraceFile::kRotateBytes,
                                             4 * kChunk);
    for (std::size_t i = 0; i < kChunks; ++i)
        trace->Add(Chunk(kChunk, static_cast<char>('a' + i % 26)));
    EXPECT_GT(trace->NotTraced(), 0u);
    // Then the reader comes, and everything still queued is written.
    auto reader = std::async(std::launch::async, [&] {
        std::string all;
        const int fd = ::open(fifo.c_str(), O_RDONLY);
        char buffer[4096];
        for (ssize_t got; (got = ::read(fd, buffer, sizeof buffer)) > 0;)
            all.append(buffer, static_cast<std::size_t>(got));
        ::close(fd);
        return all;
    });
    trace->Flush();
    trace->Add(Chunk(kChunk, 'z'));
    trace->Flush();
    EXPECT_EQ(trace->NotTraced(), 0u);
    trace.reset(); // the reader's end of file
    const std::string text = reader.get();
    const auto records = Parsed(text);
    std::size_t lostLines = 0;
    const std::uint64_t lost = NotTracedIn(records, lostLines);
    EXPECT_EQ(lostLines, 1u);
    EXPECT_EQ(DeviceStream(records).size() + lost, (kChunks + 1) * kChunk);
    // The loss is told between the records it fell between.
    ASSERT_GE(records.size(), 3u);
    EXPECT_EQ(records.back().bytes, std::string(kChunk, 'z'));
    EXPECT_EQ(records[records.size() - 2].words.rfind("trace: ", 0), 0u);
}

TEST(TraceFileTest, ItRotatesBetweenRecordsAndKeepsTheOlderPart)
{
    TempDir dir;
    const auto path = dir / "t.trace";
    constexpr std::size_t kRotate = 4096;
    std::string written;
    {
        TraceFile trace(path.string(), [](const wxString&) {}, kRotate);
        // Enough for three files: the oldest is gone, the two newest stay.
        for (int i = 0; i < 30; ++i)
        {
            trace.Add(Chunk(100 + static_cast<std::size_t>(i), static_cast<char>('A' + i)));
            trace.Flush();
        }
    }
    const std::string older = FileBytes(dir / "t.trace.1");
    const std::string newer = FileBytes(path);
    EXPECT_LE(older.size(), kRotate);
    EXPECT_LE(newer.size(), kRotate);
    // Each part is whole on its own, and together they end with the last record.
    const auto olderRecords = Parsed(older);
    const auto newerRecords = Parsed(newer);
    ASSERT_FALSE(olderRecords.empty());
    ASSERT_FALSE(newerRecords.empty());
    EXPECT_EQ(olderRecords.back().bytes.back() + 1, newerRecords.front().bytes.front());
    EXPECT_EQ(newerRecords.back().bytes, std::string(129, 'A' + 29));
}

// A disk that fills in the middle of a batch, made by a file size limit: the
// half-written batch is cut off, and once there is room again the trace goes
// on, saying what it lost.
TEST(TraceFileTest, ADiskThatFillsLeavesNoHalfRecordAndTheTraceGoesOnWhenThereIsRoom)
{
    TempDir dir;
    const auto path = dir / "full.trace";
    rlimit saved{};
    ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &saved), 0);
    const auto previous = std::signal(SIGXFSZ, SIG_IGN); // EFBIG instead
    std::vector<wxString> problems;
    std::mutex mutex;
    TraceFile trace(path.string(), [&](const wxString& why) {
        std::lock_guard<std::mutex> lock(mutex);
        problems.push_back(why);
    });
    trace.Add(Chunk(100, 'a'));
    trace.Flush();
    const auto whole = std::filesystem::file_size(path);
    rlimit limited = saved;
    limited.rlim_cur = whole + 300; // the next record fits only in part
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &limited), 0);
    trace.Add(Chunk(100, 'b'));
    trace.Flush();
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &saved), 0);
    std::signal(SIGXFSZ, previous);
    EXPECT_EQ(std::filesystem::file_size(path), whole) << "the half-written record stayed";

    trace.Add(Chunk(100, 'c'));
    trace.Flush();
    const auto records = Parsed(FileBytes(path));
    ASSERT_EQ(records.size(), 3u);
    EXPECT_EQ(records[0].bytes, std::string(100, 'a'));
    EXPECT_EQ(records[1].words, "trace: 100 bytes not traced");
    EXPECT_EQ(records[2].bytes, std::string(100, 'c'));
    std::lock_guard<std::mutex> lock(mutex);
    ASSERT_EQ(problems.size(), 2u);
    EXPECT_FALSE(problems[0].empty());
    EXPECT_TRUE(problems[1].empty()) << "written again";
}

TEST(TraceFileTest, AFileThatCannotBeWrittenIsReportedAndCountsWhatItLost)
{
    std::mutex mutex;
    std::vector<wxString> problems;
    TraceFile trace("/dev/full", [&](const wxString& why) {
        std::lock_guard<std::mutex> lock(mutex);
        problems.push_back(why);
    });
    for (int i = 0; i < 10; ++i)
        trace.Add(Chunk(100, 'x'));
    trace.Flush();
    EXPECT_EQ(trace.NotTraced(), 1000u);
    std::lock_guard<std::mutex> lock(mutex);
    ASSERT_EQ(problems.size(), 1u); // once, not per record
    EXPECT_FALSE(problems[0].empty());
}
