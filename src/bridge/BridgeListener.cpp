#include "BridgeListener.h"

#include "ClientIo.h"

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
    if (m_server)
    {
        m_server->Destroy();
        m_server = nullptr;
    }
    m_listenTimer.Stop();
    m_acceptTimer.Stop();
    m_acceptPaused = false;
    m_problem = {};
    // Nothing the stopped server queued may reach the next one; the
    // application's list of handlers with events queued is left too.
    if (wxTheApp)
        wxTheApp->RemovePendingEventHandler(this);
    DeletePendingEvents();
}

bool BridgeListener::Listen()
{
    const wxString& address = m_settings.GetListenAddress();
    const unsigned port = m_settings.GetTcpPort();
    wxIPV4address where;
    if (address.empty())
        where.AnyAddress();
    else
        where.Hostname(address);
    where.Service(static_cast<unsigned short>(port));
    wxSocketServer* server = client_io::Listen(where);
    if (!server)
    {
        const client_io::ListenFailure failure = client_io::WhyNotListening(where);
        if (failure.notLocal)
            m_problem = {wxString::Format("TCP port %u: %s is not an address of this machine", port, address),
                         wxString::Format("%s not on this machine", address)};
        else
            m_problem = {wxString::Format("TCP port %u: %s", port, failure.cause),
                         failure.inUse ? wxString::Format("TCP port %u in use", port)
                                       : wxString::Format("TCP port %u: %s", port, failure.cause)};
        return false;
    }
    m_server = server;
    m_server->SetEventHandler(*this);
    m_server->SetNotify(wxSOCKET_CONNECTION_FLAG);
    m_server->Notify(true);
    m_problem = {};
    return true;
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

void BridgeListener::OnConnection(wxSocketEvent&)
{
    if (m_server && !m_acceptPaused)
        Accept();
}

void BridgeListener::Accept()
{
    wxSocketBase* socket = m_server->Accept(false);
    if (!socket)
    {
        const int error = wxSysErrorCode();
        if (m_server->LastError() != wxSOCKET_WOULDBLOCK)
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
    m_server->Notify(false);
    m_acceptTimer.StartOnce(kAcceptPauseMs);
}

void BridgeListener::ResumeAccepting()
{
    m_acceptPaused = false;
    m_acceptTimer.Stop();
    m_server->Notify(true);
}

void BridgeListener::OnAcceptTimer(wxTimerEvent&)
{
    if (m_server && m_acceptPaused)
        Accept();
}

void BridgeListener::ClientLeft()
{
    if (m_acceptPaused)
        m_acceptTimer.StartOnce(1);
}
