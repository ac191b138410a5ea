#include "TraceParse.h"

#include <sstream>

namespace
{
// "2026-12-08 21:44:00.123456 ": digits where the pattern has 9.
bool IsTimePrefix(const std::string& line)
{
    static const std::string kPattern = "9999-99-99 99:99:99.999999 ";
    if (line.size() <= kPattern.size())
        return false;
    for (std::size_t i = 0; i < kPattern.size(); ++i)
    {
        const bool digit = line[i] >= '0' && line[i] <= '9';
        if (kPattern[i] == '9' ? !digit : line[i] != kPattern[i])
            return false;
    }
    return true;
}

// Reads "N bytes" or "1 byte" as all of text.
bool ReadCount(const std::string& text, std::size_t& count)
{
    const std::size_t space = text.find(' ');
    if (space == 0 || space == std::string::npos ||
        text.substr(0, space).find_first_not_of("0123456789") != std::string::npos)
        return false;
    count = std::stoul(text.substr(0, space));
    return text.substr(space) == (count == 1 ? " byte" : " bytes");
}

// Whether words head data: "serial -> clients, 20 bytes" or "client PEER ->
// serial, 3 bytes"; its peer and count if so.
bool ReadDataHeader(const std::string& words, bool& toSerial, std::string& peer, std::size_t& count)
{
    static const std::string kToClients = "serial -> clients, ";
    static const std::string kClient = "client ", kToSerial = " -> serial, ";
    if (words.compare(0, kToClients.size(), kToClients) == 0)
    {
        toSerial = false;
        return ReadCount(words.substr(kToClients.size()), count);
    }
    const std::size_t arrow = words.find(kToSerial);
    if (words.compare(0, kClient.size(), kClient) != 0 || arrow == std::string::npos)
        return false;
    toSerial = true;
    peer = words.substr(kClient.size(), arrow - kClient.size());
    return peer.find(' ') == std::string::npos && ReadCount(words.substr(arrow + kToSerial.size()), count);
}

std::string HexColumn(const std::string& bytes)
{
    static const char kHex[] = "0123456789abcdef";
    std::string hex;
    for (std::size_t i = 0; i < bytes.size(); ++i)
    {
        if (i > 0)
            hex += i == 8 ? "  " : " ";
        hex += kHex[static_cast<unsigned char>(bytes[i]) >> 4];
        hex += kHex[static_cast<unsigned char>(bytes[i]) & 0xf];
    }
    return hex + std::string(48 - hex.size(), ' ');
}

// "  0010  01 02 03 04 <padding to 48>  |....|": read by position, then
// written again from the bytes read, which must give the same line.
bool ReadDataLine(const std::string& line, ParsedRecord& record, std::string& why)
{
    why = "not a data line: " + line;
    const std::size_t offsetEnd = line.find(' ', 2);
    if (line.compare(0, 2, "  ") != 0 || offsetEnd == std::string::npos || offsetEnd < 6 ||
        line.size() < offsetEnd + 2 + 48 + 4 || line.back() != '|')
        return false;
    const std::string offset = line.substr(2, offsetEnd - 2);
    if (offset.find_first_not_of("0123456789abcdef") != std::string::npos)
        return false;
    const std::size_t hexAt = offsetEnd + 2;
    const std::string text = line.substr(hexAt + 48 + 3, line.size() - (hexAt + 48 + 3) - 1);
    if (text.empty() || text.size() > 16)
        return false;
    std::string bytes;
    for (std::size_t i = 0; i < text.size(); ++i)
    {
        const std::size_t at = hexAt + i * 3 + (i >= 8 ? 1 : 0);
        const std::string digits = line.substr(at, 2);
        if (digits.find_first_not_of("0123456789abcdef") != std::string::npos)
            return false;
        bytes += static_cast<char>(std::stoul(digits, nullptr, 16));
    }
    std::string shown;
    for (const char byte : bytes)
        shown += static_cast<unsigned char>(byte) >= 0x20 && static_cast<unsigned char>(byte) < 0x7f ? byte : '.';
    if (std::stoul(offset, nullptr, 16) != record.bytes.size() ||
        line != "  " + offset + "  " + HexColumn(bytes) + "  |" + shown + "|")
        return false;
    why.clear();
    record.bytes += bytes;
    return true;
}

bool CheckCount(const ParsedRecord& record, std::string& why)
{
    bool toSerial = false;
    std::string peer;
    std::size_t count = 0;
    if (!ReadDataHeader(record.words, toSerial, peer, count) || count != record.bytes.size())
    {
        why = "count disagrees with the bytes: " + record.words;
        return false;
    }
    return true;
}
} // namespace

bool ParseTrace(const std::string& text, std::vector<ParsedRecord>& records, std::string& why)
{
    std::istringstream in(text);
    if (!text.empty() && text.back() != '\n')
    {
        why = "the last line has no end";
        return false;
    }
    for (std::string line; std::getline(in, line);)
    {
        if (IsTimePrefix(line))
        {
            if (!records.empty() && (records.back().toClients || records.back().toSerial) &&
                !CheckCount(records.back(), why))
                return false;
            ParsedRecord record;
            record.words = line.substr(27);
            bool toSerial = false;
            std::size_t count = 0;
            if (ReadDataHeader(record.words, toSerial, record.peer, count))
            {
                record.toSerial = toSerial;
                record.toClients = !toSerial;
            }
            else if (record.words.find("->") != std::string::npos)
            {
                why = "an event with an arrow: " + line;
                return false;
            }
            records.push_back(record);
        }
        else if (records.empty() || !ReadDataLine(line, records.back(), why))
        {
            if (why.empty())
                why = "data before any header: " + line;
            return false;
        }
    }
    return records.empty() || !(records.back().toClients || records.back().toSerial) ||
           CheckCount(records.back(), why);
}

std::string DeviceStream(const std::vector<ParsedRecord>& records)
{
    std::string stream;
    for (const ParsedRecord& record : records)
        if (record.toClients)
            stream += record.bytes;
    return stream;
}

std::string ClientStream(const std::vector<ParsedRecord>& records)
{
    std::string stream;
    for (const ParsedRecord& record : records)
        if (record.toSerial)
            stream += record.bytes;
    return stream;
}
