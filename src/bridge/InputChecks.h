#pragma once

#include <wx/string.h>

// Checks of what a user types for a bridge; shared by the options dialog and
// anything else that takes such text from outside.

// "192.168.0.10": four decimal numbers up to 255 without leading zeros, the
// form in which a connecting client's address is compared.
bool IsIpv4Address(const wxString& text);

// Whether an address, in canonical text, is one that reaches many machines:
// an IPv4 multicast group (224.0.0.0 to 239.255.255.255), the broadcast
// address 255.255.255.255 or an IPv6 multicast group (ff00::/8). A server
// may bind such an address, but no client can connect to it.
bool IsBroadcastOrMulticast(const wxString& address);

// A TCP port from 1 to 65535, in decimal digits only.
bool ParseTcpPort(const wxString& text, unsigned& port);

// A character frame such as "8N1" (or "7e2"): 7 or 8 data bits, parity N, E
// or O, 1 or 2 stop bits; the values a bridge can be given.
bool ParseFrame(const wxString& text, int& dataBits, char& parity, int& stopBits);
