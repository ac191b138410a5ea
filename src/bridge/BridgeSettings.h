#pragma once

#include "BridgeProblem.h"
#include "IpFilter.h"

#include "serial/SFile.h"

#include <wx/string.h>

#include <vector>

// What a bridge is told to do, as the store keeps it: the serial port and its
// line, the TCP port and the address to listen on, the protocol, the store's
// id and the allow-list; and what the store held that could not be used. A
// plain record: nothing here runs. Changed on the GUI thread, read by the
// relay too, under its bridge's lock.
class BridgeSettings
{
public:
    // How clients speak: kRawProtocol, bytes as they are (the default), or
    // kRfc2217Protocol, Telnet with remote control of the serial port. Any
    // other stored text keeps the bridge from starting, and says so.
    static const char kRawProtocol[];
    static const char kRfc2217Protocol[];

    // tcpPort keeps only its low 16 bits: 70000 becomes 4464.
    BridgeSettings(const wxString& comPort, int comBaud, wxUint16 tcpPort, long long id);
    // Back to a new bridge's settings (the machine's first serial port at
    // 9600 baud 8N1, TCP port 4242, no id); the allow-list and its marks stay.
    void ResetSettings();

    // Whether other holds the same settings and allow-list, so that a running
    // bridge need not restart to take them.
    bool HasSettingsOf(const BridgeSettings& other) const;

    // The store's id, -1 while not stored; a row id, which may pass 32 bits.
    long long GetId() const { return m_id; }
    void SetId(long long id) { m_id = id; }
    const wxString& GetComPort() const { return m_comPort; }
    void SetComPort(const wxString& port) { m_comPort = port; }
    int GetComBaud() const { return m_comBaud; }
    void SetComBaud(int baud) { m_comBaud = baud; }
    wxUint16 GetTcpPort() const { return m_tcpPort; }
    void SetTcpPort(wxUint16 port)
    {
        m_tcpPort = port;
        m_storedTcpPort.clear();
    }
    // The store held no TCP port from 1 to 65535, but this text ("0",
    // "NULL", "70000"): the bridge will not listen, and says why, until a
    // port is set.
    void SetInvalidTcpPort(const wxString& stored)
    {
        m_tcpPort = 0;
        m_storedTcpPort = stored;
    }
    // What the store held instead of a TCP port; empty when it held one.
    const wxString& GetStoredTcpPort() const { return m_storedTcpPort; }
    // The store could not read this bridge's IP filters: started, it would
    // admit every address, so it opens nothing.
    void SetAllowListUnreadable() { m_allowListUnreadable = true; }
    bool IsAllowListUnreadable() const { return m_allowListUnreadable; }
    // The serial character frame: 7 or 8 data bits, parity 'N', 'E' or 'O',
    // 1 or 2 stop bits; 8N1 by default.
    int GetDataBits() const { return m_dataBits; }
    void SetDataBits(int bits) { m_dataBits = bits; }
    char GetParity() const { return m_parity; }
    void SetParity(char parity) { m_parity = parity; }
    int GetStopBits() const { return m_stopBits; }
    void SetStopBits(int bits) { m_stopBits = bits; }
    // The local address the TCP server listens on, such as 127.0.0.1 for a
    // bridge reached only through a tunnel; empty for every local address.
    const wxString& GetListenAddress() const { return m_listenAddress; }
    void SetListenAddress(const wxString& address) { m_listenAddress = address; }
    const wxString& GetProtocol() const { return m_protocol; }
    void SetProtocol(const wxString& protocol)
    {
        m_protocol = protocol;
        m_speaksRfc2217 = protocol == kRfc2217Protocol;
    }
    // Asked for every relayed chunk, so it is not a text comparison.
    bool SpeaksRfc2217() const { return m_speaksRfc2217; }
    // The file the bridge's traffic is traced to, as stored: relative to the
    // directory of bridges.db, or absolute; empty for none. Not a setting
    // that HasSettingsOf compares: a running bridge takes it as it runs.
    const wxString& GetTraceFile() const { return m_traceFile; }
    void SetTraceFile(const wxString& path) { m_traceFile = path; }

    // The speed and frame the serial port is opened with; a baud rate that
    // is not offered is 9600.
    SFile::LineSettings StoredLine() const;
    // Why these settings allow no listening at all (a TCP port out of range,
    // an unknown protocol, a listen address that is none); empty when they
    // allow it.
    BridgeProblem WhyNotListening() const;

    std::vector<IpFilter>& GetIpFilters() { return m_ipFilters; }
    const std::vector<IpFilter>& GetIpFilters() const { return m_ipFilters; }
    void AddIpFilter(const IpFilter& entry);
    // The first entry with this exact address that is not marked deleted;
    // null when there is none. Valid until the list changes.
    IpFilter* FindIpFilter(const wxString& address);
    void MarkAllIpFiltersDeleted();
    void PurgeDeletedIpFilters();
    // Whether a client from address may connect: with no live entry, every
    // address may; entries marked deleted admit nobody.
    bool Admits(const wxString& address) const;

private:
    wxString m_comPort;
    int m_comBaud;
    wxUint16 m_tcpPort;
    wxString m_storedTcpPort; // what the store held instead of a TCP port
    int m_dataBits;
    char m_parity;
    int m_stopBits;
    wxString m_listenAddress;
    wxString m_protocol;
    bool m_speaksRfc2217 = false;
    wxString m_traceFile;
    long long m_id;
    std::vector<IpFilter> m_ipFilters;
    bool m_allowListUnreadable = false;
};
