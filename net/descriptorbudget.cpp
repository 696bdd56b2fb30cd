#include "net/descriptorbudget.h"

#include <QDir>

#include <sys/resource.h>

#include <climits>

using namespace Qt::StringLiterals;

void DescriptorBudget::measureBase()
{
    m_base = openDescriptors();
}

bool DescriptorBudget::take(int count)
{
    const qint64 room = qint64(limit()) - m_base.load() - Reserve;
    int taken = m_taken.load();
    do {
        if (qint64(taken) + count > room)
            return false;
    } while (!m_taken.compare_exchange_weak(taken, taken + count));
    return true;
}

void DescriptorBudget::give(int count)
{
    m_taken.fetch_sub(count);
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
