#include "RunnerCommands.h"

#include "RunnerOs.h"

#include "bridge/Bridge.h"
#include "bridge/SettingsInput.h"
#include "serial/PortDiscovery.h"
#include "serial/SerialPortHandler.h"
#include "store/DatabaseHelper.h"
#include "log/Logger.h"

#include <wx/filename.h>
#include <wx/log.h>

#include <algorithm>
#include <functional>
#include <map>
#include <memory>
#include <ostream>

namespace
{
// list cuts a longer value, so that one odd value cannot stretch the table.
constexpr std::size_t kLongestListed = 100;

std::string Text(const wxString& text)
{
    return text.utf8_string();
}

std::string StorePath()
{
    return Text(wxFileName(DatabaseHelper::kFileName).GetAbsolutePath());
}

std::string Frame(const Bridge& bridge)
{
    return std::to_string(bridge.GetDataBits()) + bridge.GetParity() + std::to_string(bridge.GetStopBits());
}

std::string TcpPort(const Bridge& bridge)
{
    return bridge.GetStoredTcpPort().empty() ? std::to_string(bridge.GetTcpPort())
                                             : "invalid (" + Text(bridge.GetStoredTcpPort()) + ")";
}

std::string ListenAddress(const Bridge& bridge)
{
    return bridge.GetListenAddress().empty() ? std::string("all") : Text(bridge.GetListenAddress());
}

// The addresses a bridge admits, or "any".
std::string AllowList(const Bridge& bridge, const char* separator)
{
    std::string list;
    for (const IpFilter& entry : bridge.GetIpFilters())
    {
        if (entry.state != IPF_DELETED)
            list += (list.empty() ? "" : separator) + Text(entry.ip_address);
    }
    return list.empty() ? "any" : list;
}

// One sentence for a bridge that was just written.
std::string Describe(const Bridge& bridge)
{
    const std::string allowed = AllowList(bridge, ", ");
    return Text(bridge.GetComPort()) + " at " + std::to_string(bridge.GetComBaud()) + " baud " + Frame(bridge) +
           ", TCP port " + TcpPort(bridge) +
           (bridge.GetListenAddress().empty() ? std::string() : " of " + ListenAddress(bridge)) +
           (bridge.SpeaksRfc2217() ? ", RFC 2217" : "") + ", " +
           (allowed == "any" ? std::string("any address may connect") : "admits " + allowed) +
           (bridge.GetTraceFile().empty() ? std::string() : ", traced to " + Text(bridge.GetTraceFile()));
}

// Takes the options through the checks the options dialog uses, in this
// order; the reason for a usage error when one is refused.
std::string CheckSettings(const RunnerCommand& command, Bridge& bridge)
{
    using Setter = wxString (*)(BridgeSettings&, const wxString&);
    const std::pair<const std::optional<std::string>&, Setter> settings[] = {
        {command.serial, settings_input::SetSerialPort},    {command.baud, settings_input::SetBaudRate},
        {command.tcp, settings_input::SetTcpPort},          {command.listen, settings_input::SetListenAddress},
        {command.protocol, settings_input::SetProtocol},    {command.frame, settings_input::SetFrame},
        {command.trace, settings_input::SetTraceFile},
    };
    for (const auto& [value, set] : settings)
    {
        const wxString refused = value ? set(bridge, wxString::FromUTF8(*value)) : wxString();
        if (!refused.empty())
            return Text(refused);
    }
    if (command.noTrace)
        bridge.SetTraceFile(wxString());
    std::vector<wxString> allowed;
    for (const std::string& typed : command.allow)
    {
        wxString address;
        const wxString refused = settings_input::CheckAllowedAddress(wxString::FromUTF8(typed), address);
        if (!refused.empty())
            return Text(refused);
        allowed.push_back(address);
    }
    if (command.allowAll || !command.allow.empty())
        bridge.MarkAllIpFiltersDeleted();
    for (const wxString& address : allowed)
    {
        wxString added;
        if (!bridge.FindIpFilter(address))
            settings_input::AddAllowedAddress(bridge, address, added);
    }
    if (!bridge.GetStoredTcpPort().empty())
        return "bridge " + std::to_string(bridge.GetId()) + " has no valid TCP port; give one with --tcp";
    return std::string();
}

// Whether both bridges would listen on one TCP port of one address.
bool ShareTcpPort(const Bridge& one, const Bridge& other)
{
    return one.GetTcpPort() == other.GetTcpPort() && one.GetStoredTcpPort().empty() &&
           other.GetStoredTcpPort().empty() &&
           (one.GetListenAddress().empty() || other.GetListenAddress().empty() ||
            one.GetListenAddress() == other.GetListenAddress());
}

// A value as list shows it: control characters escaped, so that a stored
// newline cannot break the table, and cut when it is very long.
std::string Listed(const std::string& value)
{
    const wxString shown = Logger::EscapeControls(wxString::FromUTF8(value));
    if (shown.length() <= kLongestListed)
        return Text(shown);
    return Text(shown.Left(kLongestListed - 1)) + "\u2026";
}

// Characters, not bytes: what a terminal gives a value.
std::size_t Width(const std::string& utf8)
{
    return static_cast<std::size_t>(std::count_if(utf8.begin(), utf8.end(), [](char byte) {
        return (static_cast<unsigned char>(byte) & 0xC0) != 0x80; // not a continuation byte
    }));
}

class StoreCommand
{
public:
    StoreCommand(const RunnerCommand& command, std::ostream& out, std::ostream& err)
        : m_command(command), m_out(out), m_err(err)
    {
    }

    int Run()
    {
        // Failures are told on standard error once, by this command; the
        // service's log file is not this command's to write.
        wxLogNull quiet;
        const std::string& name = m_command.name;
        if (name == "ports")
            return Ports();
        if (name == "add")
            return Add();
        if (name == "set")
            return Set();
        if (!StoreIsThere())
            return kExitFailure;
        if (name == "list")
            return List();
        return Remove();
    }

private:
    int Fail(int status, const std::string& message)
    {
        m_err << "serial-tcp-bridged: " << message << "\n";
        return status;
    }

    bool StoreIsThere()
    {
        // Anything else under the name (a directory, say) is the store's to refuse.
        if (DatabaseHelper::storeExists())
            return true;
        Fail(kExitFailure, StorePath() + " does not exist (add makes it)");
        return false;
    }

    Bridge* Find(const std::string& id)
    {
        for (auto& bridge : m_bridges)
        {
            if (std::to_string(bridge->GetId()) == id)
                return bridge.get();
        }
        return nullptr;
    }

    // Says on standard error which other bridge would listen on the same port.
    void WarnOfSharedTcpPort(const Bridge& changed)
    {
        for (const auto& other : m_bridges)
        {
            if (other->GetId() != changed.GetId() && ShareTcpPort(*other, changed))
            {
                m_err << "serial-tcp-bridged: warning: TCP port " << changed.GetTcpPort() << " is bridge "
                      << other->GetId() << "'s too; only the bridge that starts first can listen on it\n";
                return;
            }
        }
    }

    // Runs decide on the stored bridges inside the store's write transaction;
    // decide sets m_status and m_error when it refuses.
    int ChangeStore(StoreFile file, const std::function<DatabaseHelper::Change()>& decide, const char* done)
    {
        DatabaseHelper::Change made;
        const StoreResult saved = DatabaseHelper::changeBridges(m_bridges, file, [&] {
            made = decide();
            return made;
        });
        if (!saved.ok)
            return Fail(kExitFailure, Text(saved.message));
        if (!made.bridge)
            return Fail(m_status, m_error);
        if (made.action != ACTION_DELETE)
            WarnOfSharedTcpPort(*made.bridge);
        m_out << done << " bridge " << made.bridge->GetId() << ": " << Describe(*made.bridge) << "\n"
              << runner_os::ApplyHint(m_command.dir);
        return 0;
    }

    DatabaseHelper::Change Refuse(int status, const std::string& error)
    {
        m_status = status;
        m_error = error;
        return DatabaseHelper::Change{};
    }

    DatabaseHelper::Change NoSuchBridge()
    {
        return Refuse(kExitFailure, "no bridge has the id \"" + m_command.arguments[0] + "\" in " + StorePath());
    }

    int Add()
    {
        RunnerCommand settings = m_command;
        settings.serial = m_command.arguments[0];
        settings.baud = m_command.arguments[1];
        settings.tcp = m_command.arguments[2];
        Bridge bridge;
        const std::string wrong = CheckSettings(settings, bridge);
        if (!wrong.empty())
            return Fail(kExitUsage, wrong);
        return ChangeStore(
            StoreFile::CreateIfMissing, [&] { return DatabaseHelper::Change{&bridge, ACTION_INSERT}; }, "Added");
    }

    int Set()
    {
        const RunnerCommand& c = m_command;
        if (!c.serial && !c.baud && !c.tcp && !c.frame && !c.listen && !c.protocol && c.allow.empty() && !c.allowAll &&
            !c.trace && !c.noTrace)
            return Fail(kExitUsage, "set changes nothing without an option such as --baud 9600");
        if (c.allowAll && !c.allow.empty())
            return Fail(kExitUsage, "--allow-all and --allow exclude each other");
        if (c.noTrace && c.trace)
            return Fail(kExitUsage, "--no-trace and --trace exclude each other");
        if (!StoreIsThere())
            return kExitFailure;
        return ChangeStore(
            StoreFile::MustExist,
            [&] {
                Bridge* bridge = Find(c.arguments[0]);
                if (!bridge)
                    return NoSuchBridge();
                const std::string wrong = CheckSettings(c, *bridge);
                if (!wrong.empty())
                    return Refuse(kExitUsage, wrong);
                return DatabaseHelper::Change{bridge, ACTION_UPDATE};
            },
            "Changed");
    }

    int Remove()
    {
        return ChangeStore(
            StoreFile::MustExist,
            [&] {
                Bridge* bridge = Find(m_command.arguments[0]);
                return bridge ? DatabaseHelper::Change{bridge, ACTION_DELETE} : NoSuchBridge();
            },
            "Removed");
    }

    int List()
    {
        const StoreResult loaded = DatabaseHelper::loadBridges(m_bridges, StoreFile::MustExist);
        if (!loaded.ok)
            return Fail(kExitFailure, Text(loaded.message));
        if (m_bridges.empty())
        {
            m_out << "No bridges in " << StorePath() << "\n";
            return 0;
        }
        const std::vector<DiscoveredPort> ports = SerialPortHandler::GetPorts();
        // "#" is the row the desktop program's window gives the bridge.
        std::vector<std::vector<std::string>> rows = {
            {"ID", "#", "SERIAL PORT", "BAUD", "FRAME", "TCP PORT", "LISTEN", "PROTOCOL", "ALLOW"}};
        // Lines under a bridge's row: what is plugged in under its serial
        // port's name now, and where its traffic is traced.
        std::vector<std::vector<std::string>> notes(1);
        for (const auto& bridge : m_bridges)
        {
            rows.push_back({std::to_string(bridge->GetId()), std::to_string(rows.size() - 1),
                            Listed(Text(bridge->GetComPort())), std::to_string(bridge->GetComBaud()), Frame(*bridge),
                            Listed(TcpPort(*bridge)), Listed(ListenAddress(*bridge)),
                            Listed(Text(bridge->GetProtocol())), Listed(AllowList(*bridge, ","))});
            // What is plugged in under that name now.
            const auto port = std::find_if(ports.begin(), ports.end(), [&](const DiscoveredPort& present) {
                return present.IsNamed(Text(bridge->GetComPort()));
            });
            std::string plugged;
            if (port != ports.end() && !port->description.empty())
                plugged = port->description;
            if (!plugged.empty() && Text(bridge->GetComPort()) != port->device)
                plugged += " (" + port->device + ")";
            notes.emplace_back();
            if (!plugged.empty())
                notes.back().push_back(Listed(plugged));
            if (!bridge->GetTraceFile().empty())
                notes.back().push_back("trace: " + Listed(Text(bridge->GetTraceFile())));
        }
        std::vector<std::size_t> widths(rows[0].size());
        for (const auto& row : rows)
        {
            for (std::size_t column = 0; column < row.size(); ++column)
                widths[column] = std::max(widths[column], Width(row[column]));
        }
        const std::size_t noteIndent = widths[0] + 2 + widths[1] + 2;
        for (std::size_t line = 0; line < rows.size(); ++line)
        {
            std::string text;
            for (std::size_t column = 0; column < rows[line].size(); ++column)
            {
                const std::string& cell = rows[line][column];
                text += cell;
                if (column + 1 < rows[line].size())
                    text += std::string(widths[column] + 2 - Width(cell), ' ');
            }
            m_out << text << "\n";
            for (const std::string& note : notes[line])
                m_out << std::string(noteIndent, ' ') << note << "\n";
        }
        return 0;
    }

    int Ports()
    {
        const std::vector<DiscoveredPort> ports = SerialPortHandler::GetPorts();
        if (ports.empty())
            m_out << "No serial ports found\n";
        for (const DiscoveredPort& port : ports)
        {
            m_out << port.Label() << "\n";
            for (const std::string& link : port.stableNames)
                m_out << "    " << link << "\n";
        }
        return 0;
    }

    const RunnerCommand& m_command;
    std::ostream& m_out;
    std::ostream& m_err;
    std::vector<std::unique_ptr<Bridge>> m_bridges;
    int m_status = 0;    // why decide refused: the exit status
    std::string m_error; // and the message
};
} // namespace

int RunStoreCommand(const RunnerCommand& command, std::ostream& out, std::ostream& err)
{
    return StoreCommand(command, out, err).Run();
}
