#pragma once

#include <cstddef>
#include <vector>

// Latency samples and their percentiles (nearest rank).
class Samples
{
public:
    void add(double value) { m_values.push_back(value); }
    size_t count() const { return m_values.size(); }
    void clear() { m_values.clear(); }
    // The p-th percentile, 0 < p <= 100; -1 without samples.
    double percentile(double p) const;
    // -1 without samples.
    double mean() const;

private:
    std::vector<double> m_values;
};
