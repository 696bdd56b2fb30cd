#pragma once

#include <QHash>
#include <QMultiHash>
#include <QMutex>
#include <QSet>

#include <functional>

// The ports held by running tests, process-wide and regardless of protocol: a port is tested by
// at most one test at a time, whichever connection or door asked for it. The application owns
// the one reservation and hands it to the control server and the web front door.
//
// Threading: any thread; every member function takes m_mutex. Wake-ups run under it, so they
// must only post (an event, a queued call), never call back in.
class PortReservation
{
public:
    // Reserves the port unless a test holds it.
    bool reserve(int port);
    // Reserves the port, or, when a test holds it, has release() call `wake` once (from the
    // releasing thread): one atomic step, so no release between the two goes unseen. `waiter`
    // names the caller for stopWaiting(); one waiter is registered once per port.
    bool reserveOrWait(int port, const void *waiter, std::function<void()> wake);
    // Forgets every wait of the waiter; a waiter calls it before it is destroyed.
    void stopWaiting(const void *waiter);
    void release(int port);
    bool isReserved(int port) const;
    // Ports held now: the tests under way, on both doors.
    qsizetype count() const;

private:
    struct Waiter
    {
        const void *who;
        std::function<void()> wake;
    };

    mutable QMutex m_mutex;
    QSet<int> m_ports;
    QMultiHash<int, Waiter> m_waiters;
};
