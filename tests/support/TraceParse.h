#pragma once

#include <string>
#include <vector>

// A trace file read back as a user's script would read it, strictly: every
// line is a header (a time, then words) or a data line of the record above;
// a data line's offset, hex and text columns must agree, and a data
// header's count must be the bytes that follow.
struct ParsedRecord
{
    std::string words;  // the header after its time
    bool toClients = false;
    bool toSerial = false; // from the client named in peer
    std::string peer;
    std::string bytes;
};

// false, with the line that is wrong in why, when text is not a trace.
bool ParseTrace(const std::string& text, std::vector<ParsedRecord>& records, std::string& why);

// Both streams rebuilt: the device's bytes, and what clients sent it.
std::string DeviceStream(const std::vector<ParsedRecord>& records);
std::string ClientStream(const std::vector<ParsedRecord>& records);
