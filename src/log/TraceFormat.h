#pragma once

#include "TraceRecord.h"

#include <cstdint>
#include <string>

// The trace's text, read by people with a pager and by scripts that rebuild
// both streams. A record is a header line, the local time with microseconds
// then what happened:
//
//     2026-12-08 21:44:00.123456 serial -> clients, 20 bytes
//     2026-12-08 21:44:00.125012 client 10.0.0.5:51234 -> serial, 3 bytes
//     2026-12-08 21:44:01.000000 client 10.0.0.5:51234 connected, writer
//
// followed by its bytes, 16 to a line: a hex offset, the bytes in hex (a
// wider gap after the eighth) and the printable ones between bars:
//
//       0000  41 54 0d                                          |AT.|
//
// Only data headers hold an arrow ("->").

// Now, in microseconds since the epoch.
std::int64_t TraceNow();

// "2026-12-08 21:44:00.123456", in local time.
std::string TraceTime(std::int64_t microseconds);

// The header line of record, without its line end.
std::string TraceHeader(const TraceRecord& record);

// The data lines of bytes, each ending in "\n"; nothing for no bytes.
std::string TraceDump(const std::string& bytes);
void AppendTraceDump(std::string& text, const std::string& bytes);

// The whole record: header line and data lines.
std::string FormatTraceRecord(const TraceRecord& record);
void AppendTraceRecord(std::string& text, const TraceRecord& record);

// "1 byte", "20 bytes".
std::string ByteCount(std::size_t count);
