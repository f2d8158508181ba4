// The benchmarks' one statistic: a percentile of a sample, by the nearest rank.
#pragma once

#include <algorithm>
#include <vector>

inline double Percentile(std::vector<double> v, double p) {
    if (v.empty())
        return 0;
    std::sort(v.begin(), v.end());
    return v[std::min(v.size() - 1, size_t(p * double(v.size() - 1) + 0.5))];
}
