#pragma once

#include <QtGlobal>

#include <atomic>
#include <mutex>
#include <vector>

// The process's descriptors, shared by both doors: every served connection takes what it may
// hold at its most before it is served, so no door can leave the other (or a worker thread's
// wake-up descriptor) without one. Counted, not probed: a worker takes its descriptors only once
// its thread runs, so descriptors that look free now may already be owed.
//
// Each user (a door) takes from a share of its own. A share keeps a floor, a part of the room
// that the other shares cannot take: however many clients crowd one door, the other still has
// room for its floor's worth of connections. Above their floors the shares take from the common
// rest, first come, first served.
//
// The limit is RLIMIT_NOFILE, read at every take(), so a limit changed from outside (prlimit)
// counts at once; floors are parts of the room of that moment.
//
// Threading: any thread; every operation takes m_mutex for a few additions.
class DescriptorBudget
{
public:
    // Kept free beyond what served connections may take: the log, the journal, a refused
    // connection for the moment it is accepted and closed.
    static constexpr int Reserve = 16;
    // The floor each door keeps: a quarter of the room, so the two floors leave half of it
    // common.
    static constexpr int DoorFloorPercent = 25;

    using Share = int;

    // Takes the descriptors open now as the base: call it once everything that serves holds
    // its listeners and threads.
    void measureBase();
    int base() const { return m_base.load(); }

    // A new share that keeps `floorPercent` of the room (0 to 100, all shares together at most
    // 100) for itself.
    Share addShare(int floorPercent);

    // Takes `count` descriptors for the share if they fit within the room, leaving every other
    // share what it still lacks of its floor.
    bool take(Share share, int count);
    void give(Share share, int count);
    int taken() const;
    int taken(Share share) const;
    // Descriptors served connections may take in all: the limit less the base and Reserve.
    int room() const;

    static int openDescriptors();
    static int limit();

private:
    struct Account
    {
        int floorPercent = 0;
        int taken = 0;
    };

    std::atomic<int> m_base = 0;
    mutable std::mutex m_mutex;
    std::vector<Account> m_accounts;
    int m_taken = 0;
};
