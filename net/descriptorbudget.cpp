#include "net/descriptorbudget.h"

#include <QDir>

#include <sys/resource.h>

#include <algorithm>
#include <climits>

using namespace Qt::StringLiterals;

void DescriptorBudget::measureBase()
{
    m_base = openDescriptors();
}

DescriptorBudget::Share DescriptorBudget::addShare(int floorPercent)
{
    const std::lock_guard lock(m_mutex);
    m_accounts.push_back(Account{std::clamp(floorPercent, 0, 100), 0});
    return Share(m_accounts.size() - 1);
}

int DescriptorBudget::room() const
{
    const qint64 room = qint64(limit()) - m_base.load() - Reserve;
    return int(std::clamp<qint64>(room, 0, INT_MAX));
}

bool DescriptorBudget::take(Share share, int count)
{
    const qint64 room = this->room();
    const std::lock_guard lock(m_mutex);
    Q_ASSERT(share >= 0 && share < int(m_accounts.size()));
    // What the other shares still lack of their floors is not for this one to take.
    qint64 owed = 0;
    for (int i = 0; i < int(m_accounts.size()); ++i) {
        if (i != share)
            owed +=
                std::max<qint64>(0, room * m_accounts[i].floorPercent / 100 - m_accounts[i].taken);
    }
    if (qint64(m_taken) + count + owed > room)
        return false;
    m_taken += count;
    m_accounts[share].taken += count;
    return true;
}

void DescriptorBudget::give(Share share, int count)
{
    const std::lock_guard lock(m_mutex);
    Q_ASSERT(share >= 0 && share < int(m_accounts.size()));
    m_taken -= count;
    m_accounts[share].taken -= count;
}

int DescriptorBudget::taken() const
{
    const std::lock_guard lock(m_mutex);
    return m_taken;
}

int DescriptorBudget::taken(Share share) const
{
    const std::lock_guard lock(m_mutex);
    return m_accounts.at(share).taken;
}

int DescriptorBudget::openDescriptors()
{
    return int(QDir(u"/proc/self/fd"_s)
                   .entryList(QDir::NoDotAndDotDot | QDir::AllEntries | QDir::System)
                   .size());
}

int DescriptorBudget::limit()
{
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur > rlim_t(INT_MAX))
        return INT_MAX;
    return int(limit.rlim_cur);
}
