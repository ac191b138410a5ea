#include "Observable.h"

#include "ObserverBase.h"

#include <algorithm>

void Observable::AddObserver(ObserverBase* observer)
{
    m_observers.push_back(observer);
}

void Observable::RemoveObserver(ObserverBase* observer)
{
    m_observers.erase(std::remove(m_observers.begin(), m_observers.end(), observer), m_observers.end());
}

void Observable::NotifyObservers(long long value, int row, int kind)
{
    // A copy: an observer may remove itself while being told.
    const std::vector<ObserverBase*> observers = m_observers;
    for (ObserverBase* observer : observers)
        observer->Update(value, row, kind);
}
