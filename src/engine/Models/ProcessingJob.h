// ProcessingJob: one unit of work for the batch processor, built by run control from a queue row.
// Immutable and identified by `id` (the row's id, so every event routes back to its row).
#pragma once

#include "engine/Models/OutputFormat.h"
#include "engine/Common/Uuid.h"

#include <filesystem>
#include <optional>

namespace pelorin {

class ProcessingJob {
public:
    ProcessingJob(Uuid id, std::filesystem::path inputURL, std::filesystem::path outputURL,
                  std::optional<std::filesystem::path> maskOutputURL, OutputFormat format, bool refineEdges = false)
        : id_(id),
          inputURL_(std::move(inputURL)),
          outputURL_(std::move(outputURL)),
          maskOutputURL_(std::move(maskOutputURL)),
          format_(format),
          refineEdges_(refineEdges)
    {
    }

    const Uuid& id() const { return id_; }
    // The source image file.
    const std::filesystem::path& inputURL() const { return inputURL_; }
    // Final location of the cutout, already unique; its folder must exist.
    const std::filesystem::path& outputURL() const { return outputURL_; }
    // Final location of the mask sidecar; absent when none is wanted.
    const std::optional<std::filesystem::path>& maskOutputURL() const { return maskOutputURL_; }
    OutputFormat format() const { return format_; }
    // Refine the mask against the photo at full size and estimate the subject's colour in soft
    // edges; off, the outputs are exactly what the unrefined mask gives.
    bool refineEdges() const { return refineEdges_; }

    friend bool operator==(const ProcessingJob&, const ProcessingJob&) = default;

private:
    Uuid id_;
    std::filesystem::path inputURL_;
    std::filesystem::path outputURL_;
    std::optional<std::filesystem::path> maskOutputURL_;
    OutputFormat format_;
    bool refineEdges_;
};

} // namespace pelorin
