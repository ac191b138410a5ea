#include "BridgeSettings.h"

#include "InputChecks.h"
#include "IpAddress.h"

#include "serial/SerialPortHandler.h"

#include <algorithm>

namespace
{
constexpr int kDefaultComBaud = 9600;
constexpr wxUint16 kDefaultTcpPort = 4242;

// The addresses an allow-list admits, in one order.
std::vector<wxString> Admitted(const std::vector<IpFilter>& entries)
{
    std::vector<wxString> admitted;
    for (const IpFilter& entry : entries)
    {
        if (entry.state != IPF_DELETED)
            admitted.push_back(entry.ip_address);
    }
    std::sort(admitted.begin(), admitted.end());
    return admitted;
}
} // namespace

const char BridgeSettings::kRawProtocol[] = "raw";
const char BridgeSettings::kRfc2217Protocol[] = "rfc2217";

BridgeSettings::BridgeSettings(const wxString& comPort, int comBaud, wxUint16 tcpPort, long long id)
    : m_comPort(comPort),
      m_comBaud(comBaud),
      m_tcpPort(tcpPort),
      m_dataBits(SFile::kDefaultDataBits),
      m_parity(SFile::kDefaultParity),
      m_stopBits(SFile::kDefaultStopBits),
      m_protocol(kRawProtocol),
      m_id(id)
{
}

void BridgeSettings::ResetSettings()
{
    m_comPort = SerialPortHandler::DefaultPortName();
    m_comBaud = kDefaultComBaud;
    SetTcpPort(kDefaultTcpPort);
    m_dataBits = SFile::kDefaultDataBits;
    m_parity = SFile::kDefaultParity;
    m_stopBits = SFile::kDefaultStopBits;
    m_listenAddress.clear();
    m_traceFile.clear();
    SetProtocol(kRawProtocol);
    m_id = -1;
}

bool BridgeSettings::HasSettingsOf(const BridgeSettings& other) const
{
    return m_comPort == other.m_comPort && m_comBaud == other.m_comBaud && m_tcpPort == other.m_tcpPort &&
           m_storedTcpPort == other.m_storedTcpPort && m_dataBits == other.m_dataBits &&
           m_parity == other.m_parity && m_stopBits == other.m_stopBits &&
           m_listenAddress == other.m_listenAddress && m_protocol == other.m_protocol &&
           m_allowListUnreadable == other.m_allowListUnreadable && Admitted(m_ipFilters) == Admitted(other.m_ipFilters);
}

SFile::LineSettings BridgeSettings::StoredLine() const
{
    SFile::LineSettings line;
    line.baud = SerialPortHandler::CheckBaud(m_comBaud);
    line.dataBits = static_cast<unsigned>(m_dataBits);
    line.parity = m_parity;
    line.stopBits = static_cast<unsigned>(m_stopBits);
    return line;
}

BridgeProblem BridgeSettings::WhyNotListening() const
{
    if (m_tcpPort == 0)
    {
        const wxString stored = m_storedTcpPort.empty() ? wxString("0") : m_storedTcpPort;
        return {wxString::Format("TCP port %s is not one from 1 to 65535; nothing listens", stored),
                wxString::Format("TCP port %s out of range", stored)};
    }
    if (m_protocol != kRawProtocol && m_protocol != kRfc2217Protocol)
    {
        return {wxString::Format("protocol \"%s\" is not raw or rfc2217; nothing listens", m_protocol),
                "protocol unknown"};
    }
    // Anything else would be taken for a host name, and looking that up can
    // hold the bridge's thread for as long as the network takes.
    wxString canonical, why;
    if (!m_listenAddress.empty() && !CanonicalIpAddress(m_listenAddress, canonical, why))
    {
        return {wxString::Format("listen address \"%s\" is not an IP address; nothing listens", m_listenAddress),
                "listen address invalid"};
    }
    // Bound, it would show as running while no client could connect.
    if (IsBroadcastOrMulticast(canonical))
    {
        return {wxString::Format("listen address %s is a broadcast or multicast address, not a listen address; "
                                 "nothing listens",
                                 m_listenAddress),
                "not a listen address"};
    }
    return {};
}

void BridgeSettings::AddIpFilter(const IpFilter& entry)
{
    m_ipFilters.push_back(entry);
}

IpFilter* BridgeSettings::FindIpFilter(const wxString& address)
{
    for (IpFilter& entry : m_ipFilters)
    {
        if (entry.state != IPF_DELETED && entry.ip_address == address)
            return &entry;
    }
    return nullptr;
}

void BridgeSettings::MarkAllIpFiltersDeleted()
{
    for (IpFilter& entry : m_ipFilters)
        entry.state = IPF_DELETED;
}

void BridgeSettings::PurgeDeletedIpFilters()
{
    m_ipFilters.erase(std::remove_if(m_ipFilters.begin(), m_ipFilters.end(),
                                     [](const IpFilter& entry) { return entry.state == IPF_DELETED; }),
                      m_ipFilters.end());
}

bool BridgeSettings::Admits(const wxString& address) const
{
    const auto live = [](const IpFilter& entry) { return entry.state != IPF_DELETED; };
    if (std::none_of(m_ipFilters.begin(), m_ipFilters.end(), live))
        return true;
    // Entries are compared in canonical text, whoever wrote the file.
    return std::any_of(m_ipFilters.begin(), m_ipFilters.end(), [&](const IpFilter& entry) {
        wxString canonical, why;
        return live(entry) && (entry.ip_address == address ||
                               (CanonicalIpAddress(entry.ip_address, canonical, why) && canonical == address));
    });
}
