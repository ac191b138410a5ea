#pragma once

#include <vector>

class ObserverBase;

// The subject side of change notification: a list of observers, not owned,
// called in the order they were added. GUI thread only.
class Observable
{
public:
    virtual ~Observable() = default;

    // No check for duplicates: an observer added twice is called twice.
    void AddObserver(ObserverBase* observer);
    void RemoveObserver(ObserverBase* observer);
    void NotifyObservers(long long value, int row, int kind);

private:
    std::vector<ObserverBase*> m_observers;
};
