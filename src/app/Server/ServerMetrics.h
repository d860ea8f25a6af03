// ServerMetrics: what /metrics reports, in Prometheus' text format: requests by status, cutout
// latency and inference time as histograms, images per minute over the last minute. The gauges
// (queue depth, images in flight, body bytes held) are read from the service when rendered. Thread-safe.
#pragma once

#include <array>
#include <chrono>
#include <deque>
#include <map>
#include <mutex>
#include <string>

namespace pelorin {

class ServerMetrics {
public:
    using Clock = std::chrono::steady_clock;

    // Every answered request, whatever its route.
    void recordResponse(int status);
    // A cutout request from its body being received to its answer being ready.
    void recordCutout(int status, double seconds, Clock::time_point now = Clock::now());
    void recordInference(double seconds);

    // Mean latency of the cutouts answered so far (0 before the first), for Retry-After.
    double meanCutoutSeconds() const;
    std::string render(int queueDepth, int inFlight, size_t bodyBytes, bool ready,
                       Clock::time_point now = Clock::now()) const;

private:
    static constexpr std::array<double, 12> bounds = {0.1, 0.25, 0.5, 1, 2, 3, 5, 8, 13, 21, 34, 60};
    struct Histogram {
        std::array<uint64_t, bounds.size()> buckets{};
        uint64_t count = 0;
        double sum = 0;
        void add(double value);
        void render(std::string& out, const std::string& name, const std::string& help) const;
    };
    void prune(Clock::time_point now) const;

    mutable std::mutex mutex_;
    std::map<int, uint64_t> responses_;
    Histogram latency_;
    Histogram inference_;
    mutable std::deque<Clock::time_point> recentImages_; // successful cutouts in the last minute
};

} // namespace pelorin
