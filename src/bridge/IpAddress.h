#pragma once

#include <wx/string.h>

#include <cstddef>

// IP addresses as a user types them and as a bridge keeps and compares them:
// IPv4 in dotted decimal, IPv6 in the canonical text of RFC 5952 (lower case,
// the longest run of zero groups as "::"), so that one address has one text.
// Only numbers are read: nothing here looks a name up, so nothing blocks.

// Reads text as an IPv4 or IPv6 address and gives its canonical text; false
// with the reason (a clause such as "is not an IP address") when it is none.
// An IPv4 address written as IPv6 (::ffff:10.0.0.5) is the IPv4 address. A
// zone ("fe80::1%eth0") is taken on a link-local address only, where it says
// which interface is meant; it is kept as typed.
bool CanonicalIpAddress(const wxString& text, wxString& canonical, wxString& why);

// The canonical text of an address as the system gives it: 4 bytes of IPv4
// or 16 of IPv6, in network order; IPv4 written as IPv6 comes out as IPv4.
wxString IpAddressText(const unsigned char* bytes, std::size_t size);

// Whether a canonical address is an IPv6 one.
bool IsIpv6Text(const wxString& canonical);

// How an address and port are written in the log and the summary:
// "10.0.0.5:51234", or "[2001:db8::5]:51234" for IPv6.
wxString AddressAndPort(const wxString& canonical, unsigned port);
