#include "TraceFormat.h"

#include <wx/time.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
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
    static const char kHex[] = "0123456789abcdef";
    std::string dump;
    dump.reserve((bytes.size() / kBytesPerLine + 1) * (kHexWidth + 32));
    for (std::size_t start = 0; start < bytes.size(); start += kBytesPerLine)
    {
        char offset[24];
        std::snprintf(offset, sizeof offset, "  %04zx  ", start);
        dump += offset;
        const std::size_t end = std::min(bytes.size(), start + kBytesPerLine);
        std::size_t width = 0;
        for (std::size_t i = start; i < end; ++i)
        {
            const auto byte = static_cast<unsigned char>(bytes[i]);
            if (i > start)
            {
                dump += i - start == kBytesPerLine / 2 ? "  " : " ";
                width += i - start == kBytesPerLine / 2 ? 2 : 1;
            }
            dump += kHex[byte >> 4];
            dump += kHex[byte & 0xf];
            width += 2;
        }
        dump.append(kHexWidth - width + 2, ' ');
        dump += '|';
        for (std::size_t i = start; i < end; ++i)
        {
            const auto byte = static_cast<unsigned char>(bytes[i]);
            dump += byte >= 0x20 && byte < 0x7f ? static_cast<char>(byte) : '.';
        }
        dump += "|\n";
    }
    return dump;
}

std::string FormatTraceRecord(const TraceRecord& record)
{
    return TraceHeader(record) + "\n" + TraceDump(record.bytes);
}
