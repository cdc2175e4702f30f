#pragma once
// Timing helpers the benchmarks share: a median of samples, the latency of
// one repeated call, several calls measured in turns, and the ratio of two
// sides taken round by round with its spread.
#include <algorithm>
#include <chrono>
#include <cstdio>
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

inline double TimeUs(Side& side) {
    const auto start = Clock::now();
    side.call();
    const double us = std::chrono::duration<double, std::micro>(Clock::now() - start).count();
    side.samplesUs.push_back(us);
    return us;
}

// Runs every side `calls` times per round for `rounds` rounds. The first
// `paired` sides, the ones whose ratios are reported, take their calls in
// turns, call by call, so that each round's means of them come from the same
// stretch of time: a pipe or a loaded machine that changes speed between
// rounds changes it for both sides of a ratio. The other sides (the parts of
// a breakdown) follow, each round starting one side later than the round
// before. A tenth as many calls of each side first warm caches and the
// service manager.
inline void Alternate(std::vector<Side>& sides, int rounds, int calls, size_t paired = 0) {
    paired = std::min(paired, sides.size());
    for (Side& side : sides) {
        for (int i = 0; i < calls / 10; ++i) side.call();
    }
    for (int round = 0; round < rounds; ++round) {
        std::vector<double> totals(paired, 0.0);
        for (int i = 0; i < calls; ++i) {
            for (size_t k = 0; k < paired; ++k) {
                const size_t which = (round + i + k) % paired;
                totals[which] += TimeUs(sides[which]);
            }
        }
        for (size_t k = 0; k < paired; ++k) sides[k].roundMeansUs.push_back(totals[k] / calls);
        const size_t rest = sides.size() - paired;
        for (size_t k = 0; k < rest; ++k) {
            Side& side = sides[paired + (round + k) % rest];
            double total = 0;
            for (int i = 0; i < calls; ++i) total += TimeUs(side);
            side.roundMeansUs.push_back(total / calls);
        }
    }
}

// How the ratio of two sides measured side by side spread over the rounds:
// the median of the per-round ratios, its quartiles and its range. A ratio of
// medians could divide a fast round of one side by a slow round of the other.
struct Ratio {
    double median = 0, lowQuartile = 0, highQuartile = 0, low = 0, high = 0;
    size_t rounds = 0;
};

inline double Quantile(const std::vector<double>& sorted, double q) {
    if (sorted.empty()) return 0;
    return sorted[static_cast<size_t>(q * static_cast<double>(sorted.size() - 1) + 0.5)];
}

inline Ratio RoundRatios(const std::vector<double>& over, const std::vector<double>& under) {
    std::vector<double> ratios;
    for (size_t i = 0; i < over.size() && i < under.size(); ++i) {
        if (under[i] > 0 && over[i] >= 0) ratios.push_back(over[i] / under[i]);
    }
    std::sort(ratios.begin(), ratios.end());
    if (ratios.empty()) return {};
    return {Median(ratios), Quantile(ratios, 0.25), Quantile(ratios, 0.75),
            ratios.front(), ratios.back(),          ratios.size()};
}

inline Ratio RoundRatio(const Side& over, const Side& under) {
    return RoundRatios(over.roundMeansUs, under.roundMeansUs);
}

// "25 rounds: quartiles 1.02-1.06, range 0.99-1.12", for after a ratio.
inline std::string Spread(const Ratio& r) {
    char text[128];
    std::snprintf(text, sizeof text, "%zu rounds: quartiles %.2f-%.2f, range %.2f-%.2f", r.rounds,
                  r.lowQuartile, r.highQuartile, r.low, r.high);
    return text;
}

}  // namespace benchtiming
