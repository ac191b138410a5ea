#pragma once

#include <cstdint>
#include <string>

// One entry of a bridge's traffic trace: a chunk of bytes that went one way,
// or an event (a client came or went, the serial port was lost). Plain data,
// copied between threads.
struct TraceRecord
{
    enum class Kind
    {
        ToClients, // the device's bytes, for every client
        ToSerial,  // a client's bytes, for the device
        Event,
    };

    std::int64_t microseconds = 0; // since the epoch
    Kind kind = Kind::Event;
    // The client that sent ToSerial bytes, as "10.0.0.5:51234" or
    // "[::1]:51234"; empty otherwise.
    std::string peer;
    // An event's words, such as "client 10.0.0.5:51234 connected, writer";
    // never an arrow, so that a script never takes it for data.
    std::string event;
    // The chunk; for an event, bytes that belong to neither stream (a
    // reader's input that was dropped).
    std::string bytes;
};
