#include "samples.h"

#include <algorithm>
#include <cmath>
#include <numeric>

double Samples::percentile(double p) const
{
    if (m_values.empty())
        return -1;
    std::vector<double> sorted = m_values;
    const double rank = std::ceil(p / 100.0 * static_cast<double>(sorted.size()));
    const size_t index = static_cast<size_t>(std::max(rank, 1.0)) - 1;
    std::nth_element(sorted.begin(), sorted.begin() + static_cast<long>(index), sorted.end());
    return sorted[index];
}

double Samples::mean() const
{
    if (m_values.empty())
        return -1;
    return std::accumulate(m_values.begin(), m_values.end(), 0.0) /
           static_cast<double>(m_values.size());
}
