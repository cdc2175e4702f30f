#pragma once
// Timing helpers the benchmarks share: a median of samples, the latency of
// one repeated call, and several calls measured in turns.
#include <algorithm>
#include <chrono>
#include <functional>
#include <string>
#include <utility>
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

// One side of a comparison measured in turns with the others.
struct Side {
    Side(std::string sideName, std::function<void()> sideCall)
        : name(std::move(sideName)), call(std::move(sideCall)) {}
    std::string name;
    std::function<void()> call;
    std::vector<double> roundMeansUs;  // mean per call of each round
    std::vector<double> samplesUs;     // every call of every round
    double MedianUs() const { return Median(roundMeansUs); }
    double P99Us() const {
        std::vector<double> sorted = samplesUs;
        std::sort(sorted.begin(), sorted.end());
        return sorted.empty() ? 0 : sorted[sorted.size() * 99 / 100];
    }
};

// Runs every side `calls` times per round for `rounds` rounds; each round
// starts one side later than the round before, so that a slow moment of a
// loaded machine falls on every side alike. A tenth as many calls of each
// side first warm caches and the service manager.
inline void Alternate(std::vector<Side>& sides, int rounds, int calls) {
    for (Side& side : sides) {
        for (int i = 0; i < calls / 10; ++i) side.call();
    }
    for (int round = 0; round < rounds; ++round) {
        for (size_t k = 0; k < sides.size(); ++k) {
            Side& side = sides[(round + k) % sides.size()];
            double total = 0;
            for (int i = 0; i < calls; ++i) {
                const auto start = Clock::now();
                side.call();
                const double us =
                    std::chrono::duration<double, std::micro>(Clock::now() - start).count();
                side.samplesUs.push_back(us);
                total += us;
            }
            side.roundMeansUs.push_back(total / calls);
        }
    }
}

// The ratio of two sides' round means, round by round: its median and range.
struct Ratio {
    double median = 0, low = 0, high = 0;
};
inline Ratio RoundRatio(const Side& over, const Side& under) {
    std::vector<double> ratios;
    for (size_t i = 0; i < over.roundMeansUs.size() && i < under.roundMeansUs.size(); ++i) {
        ratios.push_back(over.roundMeansUs[i] / under.roundMeansUs[i]);
    }
    if (ratios.empty()) return {};
    const auto range = std::minmax_element(ratios.begin(), ratios.end());
    return {Median(ratios), *range.first, *range.second};
}

}  // namespace benchtiming
