#pragma once

// What changed, in a notification.
enum UpdateKind : int
{
    UPDATE_READ = 0,   // bytes read from the serial port since the bridge started
    UPDATE_WRITE = 1,  // bytes written to the serial port, summed over the connected clients
    UPDATE_CLIENTS = 2, // connected clients
    UPDATE_PROBLEM = 3  // the bridge's problem text changed (value 1 with one, 0 without)
};

// Follows the counters of the bridges it was added to. Update is called on
// the GUI thread, synchronously, after the bridge's own state has changed.
class ObserverBase
{
public:
    virtual ~ObserverBase() = default;

    // value: the new value of the quantity that kind names; row: the
    // notifying bridge's row number.
    virtual void Update(long long value, int row, int kind) = 0;
};
