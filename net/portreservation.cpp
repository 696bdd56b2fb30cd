#include "net/portreservation.h"

#include <QMutexLocker>

bool PortReservation::reserve(int port)
{
    QMutexLocker locker(&m_mutex);
    if (m_ports.contains(port))
        return false;
    m_ports.insert(port);
    return true;
}

bool PortReservation::reserveOrWait(int port, const void *waiter, std::function<void()> wake)
{
    QMutexLocker locker(&m_mutex);
    if (!m_ports.contains(port)) {
        m_ports.insert(port);
        return true;
    }
    for (auto it = m_waiters.constFind(port); it != m_waiters.cend() && it.key() == port; ++it)
        if (it->who == waiter)
            return false;
    m_waiters.insert(port, Waiter{waiter, std::move(wake)});
    return false;
}

void PortReservation::stopWaiting(const void *waiter)
{
    QMutexLocker locker(&m_mutex);
    m_waiters.removeIf([waiter](auto entry) { return entry.value().who == waiter; });
}

void PortReservation::release(int port)
{
    QMutexLocker locker(&m_mutex);
    if (!m_ports.remove(port))
        return;
    for (auto it = m_waiters.find(port); it != m_waiters.end() && it.key() == port;
         it = m_waiters.erase(it))
        it->wake();
}

qsizetype PortReservation::count() const
{
    QMutexLocker locker(&m_mutex);
    return m_ports.size();
}

bool PortReservation::isReserved(int port) const
{
    QMutexLocker locker(&m_mutex);
    return m_ports.contains(port);
}
