#pragma once

// Small helpers for the benchmark programs: percentiles and process CPU time.

#include <sys/resource.h>

#include <algorithm>
#include <vector>

namespace bench {

inline double Percentile(std::vector<double> v, double p) {
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    const size_t at = std::min(v.size() - 1, size_t(p / 100.0 * double(v.size() - 1) + 0.5));
    return v[at];
}

inline double Mean(const std::vector<double>& v) {
    if (v.empty()) return 0;
    double sum = 0;
    for (double x : v) sum += x;
    return sum / double(v.size());
}

// CPU time of the whole process (all threads), in microseconds.
inline double CpuMicros() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return double(u.ru_utime.tv_sec + u.ru_stime.tv_sec) * 1e6 +
           double(u.ru_utime.tv_usec + u.ru_stime.tv_usec);
}

}  // namespace bench
