#pragma once

#include <QtGlobal>

#include <atomic>

// The process's descriptors, shared by both doors: every served connection takes what it may
// hold at its most before it is served, so no door can leave the other (or a worker thread's
// wake-up descriptor) without one. Counted, not probed: a worker takes its descriptors only once
// its thread runs, so descriptors that look free now may already be owed.
//
// The limit is RLIMIT_NOFILE, read at every take(), so a limit changed from outside (prlimit)
// counts at once.
//
// Threading: any thread; take() and give() are atomic.
class DescriptorBudget
{
public:
    // Kept free beyond what served connections may take: the log, the journal, a refused
    // connection for the moment it is accepted and closed.
    static constexpr int Reserve = 16;

    // Takes the descriptors open now as the base: call it once everything that serves holds
    // its listeners and threads.
    void measureBase();
    int base() const { return m_base; }

    // Takes `count` descriptors if base + Reserve + taken + count stays within the limit.
    bool take(int count);
    void give(int count);
    int taken() const { return m_taken.load(); }

    static int openDescriptors();
    static int limit();

private:
    std::atomic<int> m_base = 0;
    std::atomic<int> m_taken = 0;
};
