#include "BridgeListener.h"

#include "IpAddress.h"

#include "log/Logger.h"

#include <wx/app.h>

#include <algorithm>

namespace
{
// How often a taken TCP port is tried, and how seldom at the most while it
// keeps refusing.
constexpr int kRetryIntervalMs = 1000;
constexpr int kRetryBackOffLimitMs = 60000;
// How long accepting pauses when it fails (no descriptor left, say): the
// waiting connection keeps the server readable, which would otherwise spin.
constexpr int kAcceptPauseMs = 500;

// The port of every local address of one family.
template <typename Address>
Address EveryAddress(unsigned port)
{
    Address address;
    address.AnyAddress();
    address.Service(static_cast<unsigned short>(port));
    return address;
}
} // namespace

BridgeListener::BridgeListener(const BridgeSettings& settings, std::function<void(wxSocketBase*)> accepted,
                               std::function<void()> problemChanged)
    : m_settings(settings), m_accepted(std::move(accepted)), m_problemChanged(std::move(problemChanged)), m_listenTimer(this),
      m_acceptTimer(this)
{
    Bind(wxEVT_SOCKET, &BridgeListener::OnConnection, this);
    Bind(wxEVT_TIMER, &BridgeListener::OnListenTimer, this, m_listenTimer.GetId());
    Bind(wxEVT_TIMER, &BridgeListener::OnAcceptTimer, this, m_acceptTimer.GetId());
}

BridgeListener::~BridgeListener()
{
    Stop();
}

bool BridgeListener::Start()
{
    if (Listen())
        return true;
    Logger::message("BridgeListener::Start - cannot listen on %s; it is tried again", m_problem.full);
    m_listenTimer.StartOnce(kRetryIntervalMs);
    return false;
}

void BridgeListener::Stop()
{
    for (wxSocketServer* server : m_servers)
        server->Destroy();
    m_servers.clear();
    m_listenTimer.Stop();
    m_acceptTimer.Stop();
    m_acceptPaused = false;
    m_problem = {};
    // Nothing the stopped servers queued may reach the next ones; the
    // application's list of handlers with events queued is left too.
    if (wxTheApp)
        wxTheApp->RemovePendingEventHandler(this);
    DeletePendingEvents();
}

bool BridgeListener::Listen()
{
    const wxString& address = m_settings.GetListenAddress();
    const unsigned port = m_settings.GetTcpPort();
    std::vector<wxSocketServer*> servers;
    client_io::ListenFailure failure;
    if (address.empty())
        failure = ListenEverywhere(port, servers);
    else
    {
        wxIPV4address ipv4;
        wxIPV6address ipv6;
        wxIPaddress& where = IsIpv6Text(address) ? static_cast<wxIPaddress&>(ipv6) : ipv4;
        // A numeric address: nothing is looked up.
        where.Hostname(address);
        where.Service(static_cast<unsigned short>(port));
        if (wxSocketServer* server = client_io::Listen(where))
            servers.push_back(server);
        else
            failure = client_io::WhyNotListening(where);
    }
    if (servers.empty())
    {
        if (failure.notLocal)
            m_problem = {wxString::Format("TCP port %u: %s is not an address of this machine", port, address),
                         wxString::Format("%s not on this machine", address)};
        else
            m_problem = {wxString::Format("TCP port %u: %s", port, failure.cause),
                         failure.inUse ? wxString::Format("TCP port %u in use", port)
                                       : wxString::Format("TCP port %u: %s", port, failure.cause)};
        return false;
    }
    m_servers = servers;
    for (wxSocketServer* server : m_servers)
    {
        server->SetEventHandler(*this);
        server->SetNotify(wxSOCKET_CONNECTION_FLAG);
        server->Notify(true);
    }
    m_problem = {};
    return true;
}

client_io::ListenFailure BridgeListener::ListenEverywhere(unsigned port, std::vector<wxSocketServer*>& servers)
{
    const auto everyIpv6 = EveryAddress<wxIPV6address>(port);
    wxSocketServer* ipv6 = client_io::Listen(everyIpv6);
    if (!ipv6)
    {
        // A machine without IPv6 listens on IPv4 alone, and that is no problem.
        const client_io::ListenFailure failure = client_io::WhyNotListening(everyIpv6);
        if (!failure.noFamily && !failure.notLocal)
            return failure;
    }
    else if (client_io::TakesIpv4Too(ipv6))
    {
        servers.push_back(ipv6);
        return {};
    }
    const auto everyIpv4 = EveryAddress<wxIPV4address>(port);
    wxSocketServer* ipv4 = client_io::Listen(everyIpv4);
    if (!ipv4)
    {
        const client_io::ListenFailure failure = client_io::WhyNotListening(everyIpv4);
        if (ipv6)
            ipv6->Destroy(); // half a bridge would look like a whole one
        return failure;
    }
    if (ipv6)
        servers.push_back(ipv6);
    servers.push_back(ipv4);
    return {};
}

void BridgeListener::OnListenTimer(wxTimerEvent&)
{
    const wxString before = m_problem.full;
    if (Listen())
    {
        const wxString& address = m_settings.GetListenAddress();
        const wxString on = address.empty() ? wxString() : " of " + address;
        Logger::message("BridgeListener::OnListenTimer listening on TCP port %u%s at last",
                        static_cast<unsigned>(m_settings.GetTcpPort()), on);
        m_problemChanged();
        return;
    }
    if (m_problem.full != before)
        m_problemChanged();
    m_listenTimer.StartOnce(std::min(m_listenTimer.GetInterval() * 2, kRetryBackOffLimitMs));
}

void BridgeListener::OnConnection(wxSocketEvent& event)
{
    auto* server = dynamic_cast<wxSocketServer*>(event.GetSocket());
    if (server && !m_acceptPaused && std::find(m_servers.begin(), m_servers.end(), server) != m_servers.end())
        Accept(server);
}

void BridgeListener::Accept(wxSocketServer* server)
{
    wxSocketBase* socket = server->Accept(false);
    if (!socket)
    {
        const int error = wxSysErrorCode();
        if (server->LastError() != wxSOCKET_WOULDBLOCK)
            PauseAccepting(error);
        else if (m_acceptPaused)
            ResumeAccepting(); // nobody waits any more
        return;
    }
    if (m_acceptPaused)
        ResumeAccepting();
    m_accepted(socket);
}

// The connection that could not be taken keeps the server readable: wait a
// moment, or for a client to leave, instead of failing again at once.
void BridgeListener::PauseAccepting(int error)
{
    if (!m_acceptPaused && m_logThrottle.Allow("failures to accept a connection"))
        Logger::message("Error: couldn't accept a new connection: %s", client_io::ErrorText(error));
    m_acceptPaused = true;
    for (wxSocketServer* server : m_servers)
        server->Notify(false);
    m_acceptTimer.StartOnce(kAcceptPauseMs);
}

void BridgeListener::ResumeAccepting()
{
    m_acceptPaused = false;
    m_acceptTimer.Stop();
    for (wxSocketServer* server : m_servers)
        server->Notify(true);
}

void BridgeListener::OnAcceptTimer(wxTimerEvent&)
{
    // Each server in turn, until accepting pauses again.
    for (std::size_t i = 0; i < m_servers.size() && m_acceptPaused; ++i)
        Accept(m_servers[i]);
}

void BridgeListener::ClientLeft()
{
    if (m_acceptPaused)
        m_acceptTimer.StartOnce(1);
}
