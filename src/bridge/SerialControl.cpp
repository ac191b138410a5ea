#include "SerialControl.h"

#include "BridgeSettings.h"
#include "BridgeTrace.h"
#include "SerialLink.h"

#include "log/Logger.h"

namespace
{
const char* SettingName(Rfc2217Port::Setting setting)
{
    switch (setting)
    {
    case Rfc2217Port::BaudRate: return "baud rate";
    case Rfc2217Port::DataSize: return "data bits";
    case Rfc2217Port::Parity: return "parity";
    case Rfc2217Port::StopSize: return "stop bits";
    case Rfc2217Port::OutboundFlow: return "flow control";
    case Rfc2217Port::InboundFlow: return "inbound flow control";
    case Rfc2217Port::Break: return "break";
    case Rfc2217Port::Dtr: return "DTR";
    case Rfc2217Port::Rts: return "RTS";
    }
    return "setting";
}
} // namespace

SerialControl::SerialControl(SerialLink& link, const BridgeSettings& settings, BridgeTrace& trace)
    : m_link(link), m_settings(settings), m_trace(trace)
{
}

void SerialControl::Write(const unsigned char* bytes, std::size_t count)
{
    // Without a port the writer's bytes are dropped, as a raw writer's are.
    // The room was there for the undecoded input, which is never shorter.
    if (m_trace.IsOn())
        m_written.append(reinterpret_cast<const char*>(bytes), count);
    m_link.Write(m_clientId, bytes, static_cast<unsigned>(count));
}

std::uint32_t SerialControl::Get(Setting setting)
{
    SFile::LineSettings line = m_settings.StoredLine();
    SFile::FlowControl flow;
    SFile::ControlLines lines;
    if (m_link.IsStarted())
    {
        line = m_link.GetLine();
        flow = m_link.GetFlowControl();
        lines = m_link.GetControlLines();
    }
    switch (setting)
    {
    case BaudRate: return static_cast<std::uint32_t>(line.baud);
    case DataSize: return line.dataBits;
    case Parity: return ParityCode(line.parity);
    case StopSize: return line.stopBits;
    case OutboundFlow: return flow.hardware ? kFlowHardware : flow.software ? kFlowXonXoff : kFlowNone;
    case InboundFlow: return flow.hardware ? kInFlowHardware : flow.software ? kInFlowXonXoff : kInFlowNone;
    case Break: return lines.brk == SFile::Signal::On ? 1 : 0;
    // A device without modem lines (a pseudo-terminal) contradicts nothing:
    // the client is told what it asked for last.
    case Dtr: return lines.dtr == SFile::Signal::Unknown ? m_dtr : lines.dtr == SFile::Signal::On ? 1 : 0;
    case Rts: return lines.rts == SFile::Signal::Unknown ? m_rts : lines.rts == SFile::Signal::On ? 1 : 0;
    }
    return 0;
}

std::uint32_t SerialControl::Set(Setting setting, std::uint32_t value)
{
    if (!m_link.IsStarted())
        return Get(setting);
    m_changed = true;
    switch (setting)
    {
    case BaudRate:
    case DataSize:
    case Parity:
    case StopSize:
    {
        SFile::LineSettings line = m_link.GetLine();
        if (setting == BaudRate)
            line.baud = static_cast<int>(value);
        else if (setting == DataSize)
            line.dataBits = value;
        else if (setting == Parity)
            line.parity = "?NOEMS"[value < 6 ? value : 0];
        else
            line.stopBits = value;
        m_link.SetLine(line);
        break;
    }
    case OutboundFlow:
    case InboundFlow:
    {
        SFile::FlowControl flow;
        flow.hardware = value == kFlowHardware || value == kInFlowHardware;
        flow.software = value == kFlowXonXoff || value == kInFlowXonXoff;
        if (flow.hardware || flow.software || value == kFlowNone || value == kInFlowNone)
            m_link.SetFlowControl(flow);
        break;
    }
    case Break: m_link.SetBreak(value != 0); break;
    case Dtr:
        m_dtr = value;
        m_link.SetDtr(value != 0);
        break;
    case Rts:
        m_rts = value;
        m_link.SetRts(value != 0);
        break;
    }
    const std::uint32_t now = Get(setting);
    TraceWritten(); // what came before the request, first
    // Protocol codes, as the client sent them: RFC 2217 says what they mean.
    m_trace.ClientEvent(m_peer, std::string("sets ") + SettingName(setting) + " " + std::to_string(value) +
                                    ", the port has " + std::to_string(now));
    return now;
}

void SerialControl::Purge(bool received, bool toSend)
{
    if (!m_link.IsStarted() || (!received && !toSend))
        return;
    m_link.Purge(received && toSend ? SFile::Queues::Both : received ? SFile::Queues::Input : SFile::Queues::Output);
    TraceWritten();
    m_trace.ClientEvent(m_peer, std::string("purges the serial port's ") +
                                    (received && toSend ? "input and output" : received ? "input" : "output"));
}

void SerialControl::Dropped(const unsigned char* bytes, std::size_t count)
{
    if (m_trace.IsOn())
        m_dropped.append(reinterpret_cast<const char*>(bytes), count);
}

void SerialControl::EndOfInput()
{
    TraceWritten();
    if (m_dropped.empty())
        return;
    m_trace.Dropped(m_peer, "a reader", m_dropped.data(), m_dropped.size());
    m_dropped.clear();
}

void SerialControl::TraceWritten()
{
    m_trace.Data(TraceRecord::Kind::ToSerial, m_peer, m_written.data(), m_written.size());
    m_written.clear();
}

std::uint8_t SerialControl::ModemLines()
{
    SFile::ModemLines lines;
    if (!m_link.GetModemLines(lines))
        return 0;
    return static_cast<std::uint8_t>((lines.cts ? kCts : 0) | (lines.dsr ? kDsr : 0) | (lines.ri ? kRi : 0) |
                                     (lines.dcd ? kDcd : 0));
}

void SerialControl::Restore()
{
    if (!m_changed || !m_link.IsStarted())
        return;
    m_link.SetLine(m_settings.StoredLine());
    m_link.SetFlowControl(SFile::FlowControl());
    // As the port was opened: DTR and RTS off, no break.
    m_link.SetBreak(false);
    m_link.SetDtr(false);
    m_link.SetRts(false);
    Reset();
    m_trace.Event("serial port back at its stored settings, the last client has gone");
    Logger::message("SerialControl::Restore the last client has gone: serial port %s is back at its stored settings",
                    m_settings.GetComPort());
}

void SerialControl::Reset()
{
    m_changed = false;
    m_dtr = m_rts = 0;
}

std::uint32_t SerialControl::ParityCode(char parity)
{
    switch (parity)
    {
    case 'O': return kParityOdd;
    case 'E': return kParityEven;
    case 'M': return kParityMark;
    case 'S': return kParitySpace;
    default: return kParityNone;
    }
}
