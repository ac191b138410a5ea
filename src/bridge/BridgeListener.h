#pragma once

#include "BridgeProblem.h"
#include "BridgeSettings.h"
#include "ClientIo.h"

#include "log/LogThrottle.h"

#include <wx/event.h>
#include <wx/socket.h>
#include <wx/timer.h>

#include <functional>
#include <vector>

// The TCP server of a bridge: listens on one port of one local address, IPv4
// or IPv6, or of all of them (one socket for both families where the system
// lets it, else one per family; IPv4 alone on a machine without IPv6),
// hands every connection it accepts to its owner, and keeps trying
// a port that another program holds or an address that is not this
// machine's, every second at first and less often the longer they refuse.
// When the process runs out of descriptors, accepting pauses for a moment,
// or until a client leaves, instead of failing again at once.
//
// GUI thread only.
class BridgeListener : public wxEvtHandler
{
public:
    // Listens where settings say, read at every try, so that an address
    // mended meanwhile is taken. accepted is given each accepted socket, to
    // keep or to Destroy(); problemChanged hears of every change of Problem().
    BridgeListener(const BridgeSettings& settings, std::function<void(wxSocketBase*)> accepted,
                   std::function<void()> problemChanged);
    ~BridgeListener() override;

    // Listens on the TCP port of the listen address, or of every local
    // address. One that cannot listen yet is logged, shown by Problem() and
    // tried again; false then.
    bool Start();
    // Stops listening and trying; nothing more is accepted.
    void Stop();

    bool IsListening() const { return !m_servers.empty(); }
    // Why it does not listen; empty while it does, or before Start.
    const BridgeProblem& Problem() const { return m_problem; }

    // A client has gone: its descriptor may be the one accepting lacked.
    void ClientLeft();

private:
    bool Listen();
    // Listens on the port of every address, into servers; what failed, if
    // nothing listens.
    client_io::ListenFailure ListenEverywhere(unsigned port, std::vector<wxSocketServer*>& servers);
    void OnListenTimer(wxTimerEvent& event);
    void OnConnection(wxSocketEvent& event);
    void Accept(wxSocketServer* server);
    void PauseAccepting(int error);
    void ResumeAccepting();
    void OnAcceptTimer(wxTimerEvent& event);

    const BridgeSettings& m_settings;
    const std::function<void(wxSocketBase*)> m_accepted;
    const std::function<void()> m_problemChanged;
    std::vector<wxSocketServer*> m_servers; // owned; released with Destroy()
    BridgeProblem m_problem;
    wxTimer m_listenTimer;              // runs while the TCP port is waited for
    wxTimer m_acceptTimer;              // runs while accepting pauses
    bool m_acceptPaused = false;        // accept failed; the server is not listened to
    LogThrottle m_logThrottle;
};
