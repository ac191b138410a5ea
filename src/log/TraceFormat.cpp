#include "TraceFormat.h"

#include <wx/time.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>

namespace
{
constexpr std::size_t kBytesPerLine = 16;
// Two hex digits a byte, a space between bytes and another after the eighth.
constexpr std::size_t kHexWidth = kBytesPerLine * 3;
} // namespace

std::int64_t TraceNow()
{
    using namespace std::chrono;
    return duration_cast<microseconds>(system_clock::now().time_since_epoch()).count();
}

std::string TraceTime(std::int64_t microseconds)
{
    const std::time_t seconds = static_cast<std::time_t>(microseconds / 1000000);
    std::tm local{};
    wxLocaltime_r(&seconds, &local);
    char text[64];
    const int written = std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d.%06d", local.tm_year + 1900,
                                      local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec,
                                      static_cast<int>(microseconds % 1000000));
    return std::string(text, written > 0 ? static_cast<std::size_t>(written) : 0);
}

std::string ByteCount(std::size_t count)
{
    return std::to_string(count) + (count == 1 ? " byte" : " bytes");
}

std::string TraceHeader(const TraceRecord& record)
{
    std::string header = TraceTime(record.microseconds) + " ";
    switch (record.kind)
    {
    case TraceRecord::Kind::ToClients:
        return header + "serial -> clients, " + ByteCount(record.bytes.size());
    case TraceRecord::Kind::ToSerial:
        return header + "client " + record.peer + " -> serial, " + ByteCount(record.bytes.size());
    case TraceRecord::Kind::Event:
        break;
    }
    return header + record.event;
}

std::string TraceDump(const std::string& bytes)
{
    std::string dump;
    AppendTraceDump(dump, bytes);
    return dump;
}

void AppendTraceDump(std::string& dump, const std::string& bytes)
{
    static const char kHex[] = "0123456789abcdef";
    // "  0000  " + hex + "  |" + text + "|\n", made in place a line at a time:
    // the trace may see tens of megabytes a second.
    constexpr std::size_t kLine = 8 + kHexWidth + 3 + kBytesPerLine + 2;
    dump.reserve(dump.size() + (bytes.size() / kBytesPerLine + 1) * kLine);
    char line[kLine + 16]; // an offset may pass four digits
    for (std::size_t start = 0; start < bytes.size(); start += kBytesPerLine)
    {
        const std::size_t count = std::min(kBytesPerLine, bytes.size() - start);
        std::memset(line, ' ', sizeof line);
        // At least four digits of offset, more past 64 KiB.
        std::size_t digits = 4;
        while (digits < 16 && (start >> (digits * 4)) != 0)
            ++digits;
        for (std::size_t i = 0; i < digits; ++i)
            line[2 + i] = kHex[(start >> ((digits - 1 - i) * 4)) & 0xf];
        const std::size_t hexAt = 2 + digits + 2;
        std::size_t textAt = hexAt + kHexWidth + 2;
        line[textAt++] = '|';
        for (std::size_t i = 0; i < count; ++i)
        {
            const auto byte = static_cast<unsigned char>(bytes[start + i]);
            const std::size_t cell = hexAt + i * 3 + (i >= kBytesPerLine / 2 ? 1 : 0);
            line[cell] = kHex[byte >> 4];
            line[cell + 1] = kHex[byte & 0xf];
            line[textAt++] = byte >= 0x20 && byte < 0x7f ? static_cast<char>(byte) : '.';
        }
        line[textAt++] = '|';
        line[textAt++] = '\n';
        dump.append(line, textAt);
    }
}

std::string FormatTraceRecord(const TraceRecord& record)
{
    std::string text;
    AppendTraceRecord(text, record);
    return text;
}

void AppendTraceRecord(std::string& text, const TraceRecord& record)
{
    text += TraceHeader(record);
    text += '\n';
    AppendTraceDump(text, record.bytes);
}
