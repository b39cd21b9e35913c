// Wall-clock helpers shared by the benchmark programs.
#pragma once

#include <algorithm>
#include <chrono>
#include <vector>

namespace bench {

using Clock = std::chrono::steady_clock;

inline double ms_since(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

template <typename F>
double time_ms(F&& work) {
    const auto start = Clock::now();
    work();
    return ms_since(start);
}

/// The value at fraction p of the sorted values (0.5: the median).
inline double percentile(std::vector<double> values, double p) {
    std::sort(values.begin(), values.end());
    return values[static_cast<std::size_t>(p * static_cast<double>(values.size() - 1))];
}

template <typename F>
double median_ms(int repeats, F&& work) {
    std::vector<double> times;
    for (int i = 0; i < repeats; ++i) times.push_back(time_ms(work));
    return percentile(times, 0.5);
}

}  // namespace bench
