#pragma once

#include "log/TraceRecord.h"

#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>
#include <vector>

// What a live traffic view shows: the latest records of a bridge, about
// kLimitBytes of them, laid out as the rows of a list. A data record's first
// row holds its time, direction and client, then each row a slice of its
// bytes: 16 as hex and text, or in text only a line of text (up to a line
// end, or kTextRowBytes bytes). An event's first row holds its words, in the
// hex column (the text column in text only).
// Cells are made when asked for, so that only the rows on screen cost text.
// The GUI thread only.
class TrafficLines
{
public:
    static constexpr std::size_t kLimitBytes = 64 * 1024;
    static constexpr std::size_t kHexRowBytes = 16;
    static constexpr std::size_t kTextRowBytes = 64;
    // What a record costs beyond its bytes, so that a flood of events is bounded too.
    static constexpr std::size_t kRecordCost = 64;

    enum class Layout
    {
        HexAndText,
        TextOnly,
    };

    enum Column
    {
        COLUMN_TIME,
        COLUMN_DIRECTION,
        COLUMN_CLIENT,
        COLUMN_HEX,
        COLUMN_TEXT,
    };

    // Adds records, oldest first, and lets the oldest kept ones go past
    // kLimitBytes; those added now all stay, so that a line which leads them
    // stays with them however large a chunk follows. Returns how many rows
    // went from the front.
    std::size_t Add(std::vector<TraceRecord> records);
    void Clear();

    // Lays every kept record out again.
    void SetLayout(Layout layout);
    Layout GetLayout() const { return m_layout; }

    std::size_t GetRowCount() const { return m_rows.size(); }
    // The text of a cell; empty for a row or column out of range.
    std::string GetCell(std::size_t row, Column column) const;
    TraceRecord::Kind GetKind(std::size_t row) const;

    // The kept records in the trace file's format, oldest first.
    std::string TraceText() const;

private:
    struct Row
    {
        std::uint64_t record; // counted from the first record ever added
        std::uint32_t offset; // of the row's bytes within the record's
        std::uint32_t length;
        bool first;           // the row that names the record
    };

    void LayOut(std::uint64_t record);
    const TraceRecord& RecordOf(const Row& row) const;
    std::string BytesCell(const Row& row, Column column) const;
    Column WordsColumn() const;

    Layout m_layout = Layout::HexAndText;
    std::deque<TraceRecord> m_records;
    std::uint64_t m_firstRecord = 0; // the number of m_records.front()
    std::size_t m_bytes = 0;         // what the kept records cost
    std::deque<Row> m_rows;
};
