#include "app/Server/ServerMetrics.h"

#include <cstdio>

namespace pelorin {

namespace {

std::string number(double value)
{
    char text[32];
    std::snprintf(text, sizeof text, "%.6g", value);
    return text;
}

} // namespace

void ServerMetrics::Histogram::add(double value)
{
    for (size_t i = 0; i < bounds.size(); ++i)
        if (value <= bounds[i])
            ++buckets[i];
    ++count;
    sum += value;
}

void ServerMetrics::Histogram::render(std::string& out, const std::string& name, const std::string& help) const
{
    out += "# HELP " + name + " " + help + "\n# TYPE " + name + " histogram\n";
    for (size_t i = 0; i < bounds.size(); ++i)
        out += name + "_bucket{le=\"" + number(bounds[i]) + "\"} " + std::to_string(buckets[i]) + "\n";
    out += name + "_bucket{le=\"+Inf\"} " + std::to_string(count) + "\n";
    out += name + "_sum " + number(sum) + "\n" + name + "_count " + std::to_string(count) + "\n";
}

void ServerMetrics::recordResponse(int status)
{
    std::lock_guard lock(mutex_);
    ++responses_[status];
}

void ServerMetrics::recordCutout(int status, double seconds, Clock::time_point now)
{
    std::lock_guard lock(mutex_);
    latency_.add(seconds);
    if (status == 200) {
        recentImages_.push_back(now);
        prune(now);
    }
}

void ServerMetrics::recordInference(double seconds)
{
    std::lock_guard lock(mutex_);
    inference_.add(seconds);
}

double ServerMetrics::meanCutoutSeconds() const
{
    std::lock_guard lock(mutex_);
    return latency_.count ? latency_.sum / double(latency_.count) : 0;
}

void ServerMetrics::prune(Clock::time_point now) const
{
    while (!recentImages_.empty() && now - recentImages_.front() > std::chrono::minutes(1))
        recentImages_.pop_front();
}

std::string ServerMetrics::render(int queueDepth, int inFlight, size_t bodyBytes, bool ready,
                                  Clock::time_point now) const
{
    std::lock_guard lock(mutex_);
    prune(now);
    std::string out;
    out += "# HELP pelorin_http_requests_total Requests answered, by HTTP status.\n"
           "# TYPE pelorin_http_requests_total counter\n";
    for (const auto& [status, count] : responses_)
        out += "pelorin_http_requests_total{status=\"" + std::to_string(status) + "\"} " + std::to_string(count) + "\n";
    latency_.render(out, "pelorin_cutout_duration_seconds",
                    "Cutout requests from a received body to a ready answer, queueing included.");
    inference_.render(out, "pelorin_inference_duration_seconds", "Time to obtain a mask, inference included.");
    out += "# HELP pelorin_queue_depth Requests waiting for a processing slot.\n# TYPE pelorin_queue_depth gauge\n"
           "pelorin_queue_depth "
        + std::to_string(queueDepth) + "\n";
    out += "# HELP pelorin_jobs_in_flight Images being processed.\n# TYPE pelorin_jobs_in_flight gauge\n"
           "pelorin_jobs_in_flight "
        + std::to_string(inFlight) + "\n";
    out += "# HELP pelorin_request_body_bytes Request bodies held in memory (received or announced).\n"
           "# TYPE pelorin_request_body_bytes gauge\npelorin_request_body_bytes "
        + std::to_string(bodyBytes) + "\n";
    out += "# HELP pelorin_images_per_minute Cutouts answered with 200 in the last minute.\n"
           "# TYPE pelorin_images_per_minute gauge\npelorin_images_per_minute "
        + std::to_string(recentImages_.size()) + "\n";
    out += "# HELP pelorin_ready 1 once the model is loaded and has run.\n# TYPE pelorin_ready gauge\n"
           "pelorin_ready "
        + std::string(ready ? "1" : "0") + "\n";
    return out;
}

} // namespace pelorin
