#pragma once

#include <wx/string.h>

class BridgeSettings;

// What a user types for a bridge's settings, checked in one place for every
// program that takes it: the options dialog and the runner's commands. Each
// Set function puts the value into settings and returns an empty text, or
// leaves settings as they were and returns why the text is refused: a phrase
// in lower case without a full stop, which names the text given ("\"65536\"
// is ..."), for the caller to make a sentence of or to put on a line of its
// own. GUI thread, or any thread that owns settings.
namespace settings_input
{
// A serial port that can be one on this platform, blanks around it ignored;
// stored as SerialPortHandler::StoredPortName names it.
wxString SetSerialPort(BridgeSettings& settings, const wxString& typed);
// One of the rates of SerialPortHandler::GetBaudList, as it lists them.
wxString SetBaudRate(BridgeSettings& settings, const wxString& typed);
// A TCP port from 1 to 65535 (ParseTcpPort).
wxString SetTcpPort(BridgeSettings& settings, const wxString& typed);
// The IPv4 or IPv6 address to listen on, stored in its canonical text;
// empty, 0.0.0.0 or :: for all of the machine's addresses of both families,
// stored as empty. A broadcast or multicast address, which no client can
// reach, is refused.
wxString SetListenAddress(BridgeSettings& settings, const wxString& typed);
// A character frame such as 8N1 (ParseFrame), in either case.
wxString SetFrame(BridgeSettings& settings, const wxString& typed);
// BridgeSettings::kRawProtocol or kRfc2217Protocol.
wxString SetProtocol(BridgeSettings& settings, const wxString& typed);
// The file to trace the traffic to, blanks around it ignored, stored as
// typed (a relative path is taken from the directory of bridges.db); empty
// for none. Never refused: whether it can be written shows when it is.
wxString SetTraceFile(BridgeSettings& settings, const wxString& typed);
// Why an address cannot be allowed to connect; empty when it can, with
// address its canonical text, as a client's is compared (2001:DB8:0::1 is
// 2001:db8::1, ::ffff:10.0.0.5 is 10.0.0.5).
wxString CheckAllowedAddress(const wxString& typed, wxString& address);
// Adds typed to the addresses allowed to connect, in its canonical text
// (given in address), as a new entry even when it is there already.
wxString AddAllowedAddress(BridgeSettings& settings, const wxString& typed, wxString& address);
} // namespace settings_input
