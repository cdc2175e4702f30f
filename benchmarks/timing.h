#pragma once
// Timing helpers the benchmarks share: a median of samples and the latency of
// one repeated call.
#include <algorithm>
#include <chrono>
#include <functional>
#include <vector>

namespace benchtiming {

using Clock = std::chrono::steady_clock;

inline double Median(std::vector<double> samples) {
    std::sort(samples.begin(), samples.end());
    return samples.empty() ? 0 : samples[samples.size() / 2];
}

struct Stats {
    double meanUs = 0;
    double p99Us = 0;
};

// Mean and 99th percentile of `count` calls, after a tenth as many to warm
// caches and the service manager.
inline Stats Measure(int count, const std::function<void()>& call) {
    for (int i = 0; i < count / 10; ++i) call();
    std::vector<double> samples;
    samples.reserve(count);
    for (int i = 0; i < count; ++i) {
        const auto start = Clock::now();
        call();
        samples.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
    }
    Stats stats;
    for (double s : samples) stats.meanUs += s;
    stats.meanUs /= samples.size();
    std::sort(samples.begin(), samples.end());
    stats.p99Us = samples[samples.size() * 99 / 100];
    return stats;
}

}  // namespace benchtiming
