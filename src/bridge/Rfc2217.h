#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// The serial port as one client's Telnet COM Port Control session (RFC 2217)
// sees it. The bridge implements it over its device; a session calls it
// synchronously, on the thread that calls the session, and never keeps a
// result. One object may serve every session of a bridge: only the writer's
// session writes or changes anything (see Rfc2217Session::SetWriter).
class Rfc2217Port
{
public:
    // What Get and Set are about, with the values they carry.
    enum Setting
    {
        BaudRate,     // bits per second
        DataSize,     // 5 to 8
        Parity,       // kParity...
        StopSize,     // kStop...
        OutboundFlow, // kFlow...: of the data the device sends, or of both ways
        InboundFlow,  // kInFlow...
        Break,        // 1 while the line is held in BREAK, else 0
        Dtr,          // 1 on, 0 off
        Rts           // 1 on, 0 off
    };
    // The values are the protocol's own, so that answers need no table.
    static constexpr std::uint32_t kParityNone = 1, kParityOdd = 2, kParityEven = 3, kParityMark = 4, kParitySpace = 5;
    static constexpr std::uint32_t kStopOne = 1, kStopTwo = 2, kStopOneAndHalf = 3;
    static constexpr std::uint32_t kFlowNone = 1, kFlowXonXoff = 2, kFlowHardware = 3, kFlowDcd = 17, kFlowDsr = 19;
    static constexpr std::uint32_t kInFlowNone = 14, kInFlowXonXoff = 15, kInFlowHardware = 16, kInFlowDtr = 18;
    // Bits of ModemLines, as NOTIFY-MODEMSTATE carries them.
    static constexpr std::uint8_t kCts = 0x10, kDsr = 0x20, kRi = 0x40, kDcd = 0x80;

    virtual ~Rfc2217Port() = default;

    // Bytes the writer sent for the device, in the order in which they and the
    // changes below arrived: data sent before a new baud rate is handed over
    // before the Set that brings it. The bytes are valid during the call only.
    virtual void Write(const unsigned char* bytes, std::size_t count) = 0;
    // Bytes a reader sent for the device, which it does not get.
    virtual void Dropped(const unsigned char* /*bytes*/, std::size_t /*count*/) {}
    // The value in force.
    virtual std::uint32_t Get(Setting setting) = 0;
    // Tries value, always one of those listed for setting, and returns the
    // value in force afterwards: the old one when the device refuses. A port
    // that applies changes behind earlier writes may return the value that
    // will be in force.
    virtual std::uint32_t Set(Setting setting, std::uint32_t value) = 0;
    // Discards what the device has received and not yet delivered, what it
    // has still to send, or both.
    virtual void Purge(bool received, bool toSend) = 0;
    // CTS, DSR, RI and DCD now, as kCts | kDsr | kRi | kDcd.
    virtual std::uint8_t ModemLines() = 0;
};

// One client connection's Telnet and COM Port Control protocol, without I/O:
// bytes from the client go in, bytes for the client come out in a string, and
// everything meant for the serial port goes to an Rfc2217Port, in order.
//
// Negotiation: the session offers BINARY, SUPPRESS-GO-AHEAD and
// COM-PORT-OPTION both ways, agrees to them, refuses every other option, and
// answers a request only when it changes something, so two parties never
// answer each other forever. Once COM-PORT-OPTION is agreed the client gets
// the modem lines, and from then on every masked change.
//
// Data: each direction is binary once agreed for it; until then it is the
// Telnet network virtual terminal, in which a CR stands for itself only when
// followed by NUL. Both ways every byte value passes; 0xFF travels doubled.
// Telnet commands other than negotiation are swallowed; a command or
// sub-negotiation split across calls is put back together.
//
// The writer rule: only a session told that its client is the writer passes
// data, setting changes and purges to the port. A reader's requests are
// answered with the values in force, and its data is dropped.
//
// Not thread safe: one thread calls a session, and the port, at a time.
class Rfc2217Session
{
public:
    // A sub-negotiation longer than this, after IAC IAC became one byte, is
    // not a real client's: FromClient reports that it must be dropped.
    static constexpr std::size_t kMaxSubnegotiation = 4096;

    // port must outlive the session. signature is what the client is told when
    // it asks who we are (the program and port, say).
    Rfc2217Session(Rfc2217Port& port, std::string signature);

    // The negotiation to send the client before anything else; once.
    std::string Start();

    // Takes count bytes that the client sent, in any pieces: data go to the
    // port (the writer's only), requests to the port or not as the writer
    // rule says, and answers are appended to toClient. False when the client
    // must be dropped (an unbounded sub-negotiation); after that the session
    // takes nothing more and keeps returning false.
    bool FromClient(const unsigned char* bytes, std::size_t count, std::string& toClient);

    // Appends count bytes from the device to toClient, as this client must get
    // them. While the session sends binary (after Start, once the client
    // agreed, as all real clients do) this is Escape.
    void FromDevice(const unsigned char* bytes, std::size_t count, std::string& toClient) const;
    // Appends bytes to out with every 0xFF doubled: the binary form, the same
    // for every binary client, so a bridge can escape once for all of them.
    static void Escape(const unsigned char* bytes, std::size_t count, std::string& out);
    // Whether the session sends binary, so FromDevice is Escape.
    bool SendsBinary() const;
    // Whether the client has answered both offers of binary, so that the form
    // FromDevice gives is the one it keeps. Until then a bridge holds the
    // device's bytes: some clients keep the NUL of the terminal form's CR NUL.
    bool IsBinarySettled() const;

    // The bridge's current CTS, DSR, RI and DCD, as Rfc2217Port::ModemLines
    // gives them, whenever they may have changed: appends a NOTIFY-MODEMSTATE
    // with the delta bits when a bit that the client's mask selects changed.
    void UpdateModemLines(std::uint8_t lines, std::string& toClient);
    // The line state bits of NOTIFY-LINESTATE: errors and BREAK are sent each
    // time they are given, the other bits when they change; both under the
    // client's mask, which selects nothing until the client sets it.
    void UpdateLineState(std::uint8_t state, std::string& toClient);

    // Whether the client's requests and data reach the port. False at first;
    // the bridge may change it at any time.
    void SetWriter(bool writer) { m_writer = writer; }
    bool IsWriter() const { return m_writer; }
    // The client asked the bridge to hold back data from the device
    // (FLOWCONTROL-SUSPEND) and has not resumed yet.
    bool IsSuspended() const { return m_suspended; }
    // True once per session, after a reader first asked for a setting other
    // than the one in force, so that the bridge can say so once per client.
    // A reader's purge is acknowledged without purging and is not counted:
    // clients purge whenever they open the port.
    bool TakeRefusedChangeNote();

private:
    enum class State : std::uint8_t
    {
        Data,
        Command,   // after IAC
        Option,    // after IAC WILL, WONT, DO or DONT
        Sub,       // inside IAC SB ... IAC SE
        SubCommand // after IAC inside a sub-negotiation
    };
    // One side of an agreed option: us sending it (WILL) or them (DO).
    enum class Side : std::uint8_t
    {
        Off,
        Asked,
        On
    };
    struct Option
    {
        std::uint8_t code;
        Side ours;
        Side theirs;
    };

    const unsigned char* Data(const unsigned char* p, const unsigned char* end);
    void WriteData(const unsigned char* bytes, std::size_t count);
    void Command(std::uint8_t command);
    void Negotiate(std::uint8_t command, std::uint8_t code, std::string& toClient);
    void Subnegotiation(std::string& toClient);
    void SetControl(std::uint8_t code, std::string& toClient);
    // Set for the writer, Get for a reader (noting a refused change), unless
    // valid says value is not one that Set takes.
    std::uint32_t Change(Rfc2217Port::Setting setting, std::uint32_t value, bool valid);
    // The same, where 0 is the protocol's query for the value in force.
    std::uint32_t QueryOrChange(Rfc2217Port::Setting setting, std::uint32_t value, bool valid);
    void Answer(std::uint8_t code, const std::string& value, std::string& toClient) const;
    void AnswerByte(std::uint8_t code, std::uint32_t value, std::string& toClient) const;
    void SendModemState(std::uint8_t value, std::string& toClient) const;
    bool ComPortAgreed() const;
    bool ReceivesBinary() const;

    Rfc2217Port& m_port;
    const std::string m_signature;
    Option m_options[3];
    State m_state = State::Data;
    std::uint8_t m_command = 0;
    std::string m_sub;
    bool m_dropped = false;
    bool m_writer = false;
    bool m_suspended = false;
    bool m_crSeen = false;
    bool m_agreedOnce = false;
    enum class Note : std::uint8_t
    {
        None,
        Pending,
        Taken
    } m_note = Note::None;
    std::uint8_t m_modemMask = 0xFF;
    std::uint8_t m_lineMask = 0;
    std::uint8_t m_modemLines = 0;
    std::uint8_t m_lineState = 0;
};
