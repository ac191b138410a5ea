#include "TrafficLines.h"

#include "log/TraceFormat.h"

#include <algorithm>
#include <cstdio>

namespace
{
// TraceTime's "2026-12-08 " before the time of day: the view has no room for the date.
constexpr std::size_t kDateLength = 11;

std::size_t Cost(const TraceRecord& record)
{
    return record.bytes.size() + TrafficLines::kRecordCost;
}

bool IsPrintable(unsigned char byte)
{
    return byte >= 0x20 && byte < 0x7f;
}

std::string Hex(const std::string& bytes, std::size_t offset, std::size_t length)
{
    static const char kDigits[] = "0123456789abcdef";
    std::string hex;
    for (std::size_t i = 0; i < length; ++i)
    {
        const auto byte = static_cast<unsigned char>(bytes[offset + i]);
        if (i > 0)
            hex += i == TrafficLines::kHexRowBytes / 2 ? "  " : " ";
        hex += kDigits[byte >> 4];
        hex += kDigits[byte & 0xf];
    }
    return hex;
}

// As the trace's dump shows them: the printable ones, a dot for the rest.
std::string Dotted(const std::string& bytes, std::size_t offset, std::size_t length)
{
    std::string text = bytes.substr(offset, length);
    for (char& c : text)
        if (!IsPrintable(static_cast<unsigned char>(c)))
            c = '.';
    return text;
}

// Every byte told apart: line ends and other controls escaped, as a C string would.
std::string Escaped(const std::string& bytes, std::size_t offset, std::size_t length)
{
    std::string text;
    for (std::size_t i = offset; i < offset + length; ++i)
    {
        const auto byte = static_cast<unsigned char>(bytes[i]);
        switch (byte)
        {
        case '\r': text += "\\r"; break;
        case '\n': text += "\\n"; break;
        case '\t': text += "\\t"; break;
        case '\\': text += "\\\\"; break;
        default:
            if (IsPrintable(byte))
            {
                text += static_cast<char>(byte);
            }
            else
            {
                char escape[8];
                std::snprintf(escape, sizeof escape, "\\x%02x", byte);
                text += escape;
            }
        }
    }
    return text;
}
} // namespace

std::size_t TrafficLines::Add(std::vector<TraceRecord> records)
{
    const std::uint64_t added = m_firstRecord + m_records.size();
    for (TraceRecord& record : records)
    {
        m_bytes += Cost(record);
        m_records.push_back(std::move(record));
        LayOut(m_firstRecord + m_records.size() - 1);
    }
    std::size_t removed = 0;
    while (m_bytes > kLimitBytes && m_firstRecord < added)
    {
        m_bytes -= Cost(m_records.front());
        m_records.pop_front();
        while (!m_rows.empty() && m_rows.front().record == m_firstRecord)
        {
            m_rows.pop_front();
            ++removed;
        }
        ++m_firstRecord;
    }
    return removed;
}

void TrafficLines::Clear()
{
    m_firstRecord += m_records.size();
    m_records.clear();
    m_rows.clear();
    m_bytes = 0;
}

void TrafficLines::SetLayout(Layout layout)
{
    m_layout = layout;
    m_rows.clear();
    for (std::size_t i = 0; i < m_records.size(); ++i)
        LayOut(m_firstRecord + i);
}

void TrafficLines::LayOut(std::uint64_t number)
{
    const TraceRecord& record = m_records[number - m_firstRecord];
    const std::string& bytes = record.bytes;
    std::size_t offset = 0;
    // An event's words have a row of their own, its bytes (if any) follow.
    if (record.kind == TraceRecord::Kind::Event || bytes.empty())
        m_rows.push_back({number, 0, 0, true});
    while (offset < bytes.size())
    {
        std::size_t length = std::min(bytes.size() - offset,
                                      m_layout == Layout::HexAndText ? kHexRowBytes : kTextRowBytes);
        if (m_layout == Layout::TextOnly)
        {
            const std::size_t lineEnd = bytes.find('\n', offset);
            if (lineEnd != std::string::npos && lineEnd < offset + length)
                length = lineEnd - offset + 1;
        }
        m_rows.push_back({number, static_cast<std::uint32_t>(offset), static_cast<std::uint32_t>(length),
                          m_rows.empty() || m_rows.back().record != number});
        offset += length;
    }
}

const TraceRecord& TrafficLines::RecordOf(const Row& row) const
{
    return m_records[row.record - m_firstRecord];
}

std::string TrafficLines::GetCell(std::size_t index, Column column) const
{
    if (index >= m_rows.size())
        return std::string();
    const Row& row = m_rows[index];
    const TraceRecord& record = RecordOf(row);
    if (column == COLUMN_HEX || column == COLUMN_TEXT)
    {
        // An event's words go where there is room: the hex column, or the text in text only.
        if (record.kind == TraceRecord::Kind::Event && row.first)
            return column == WordsColumn() ? record.event : std::string();
        return BytesCell(row, column);
    }
    if (!row.first)
        return std::string();
    switch (column)
    {
    case COLUMN_TIME: return TraceTime(record.microseconds).substr(kDateLength);
    case COLUMN_DIRECTION:
        switch (record.kind)
        {
        case TraceRecord::Kind::ToClients: return "serial -> clients";
        case TraceRecord::Kind::ToSerial: return "client -> serial";
        case TraceRecord::Kind::Event: return "event";
        }
        break;
    case COLUMN_CLIENT: return record.peer;
    default: break;
    }
    return std::string();
}

TrafficLines::Column TrafficLines::WordsColumn() const
{
    return m_layout == Layout::HexAndText ? COLUMN_HEX : COLUMN_TEXT;
}

std::string TrafficLines::BytesCell(const Row& row, Column column) const
{
    const std::string& bytes = RecordOf(row).bytes;
    if (column == COLUMN_HEX)
        return m_layout == Layout::HexAndText ? Hex(bytes, row.offset, row.length) : std::string();
    return m_layout == Layout::HexAndText ? Dotted(bytes, row.offset, row.length)
                                          : Escaped(bytes, row.offset, row.length);
}

TraceRecord::Kind TrafficLines::GetKind(std::size_t row) const
{
    return row < m_rows.size() ? RecordOf(m_rows[row]).kind : TraceRecord::Kind::Event;
}

std::string TrafficLines::TraceText() const
{
    std::string text;
    for (const TraceRecord& record : m_records)
        text += FormatTraceRecord(record);
    return text;
}
