// BatchProcessingError: why one job of a batch failed (or, for a sidecar that could not be moved
// into place, what its warning says). Carried inside events, never thrown. errorDescription() is
// the user-visible text, formed through the localizer on each call.
#pragma once

#include "engine/Models/OutputFormat.h"

#include <filesystem>
#include <string>

namespace pelorin {

class BatchProcessingError {
public:
    enum class Kind {
        sourceImageUnreadable,   // url: the job's input
        maskGenerationFailed,    // reason
        compositeFailed,         // reason
        writeFailed,             // url: the final location concerned; reason
        unsupportedOutputFormat, // format
    };

    static BatchProcessingError sourceImageUnreadable(std::filesystem::path url)
    {
        return {Kind::sourceImageUnreadable, std::move(url), {}, OutputFormat::png};
    }
    static BatchProcessingError maskGenerationFailed(std::string reason)
    {
        return {Kind::maskGenerationFailed, {}, std::move(reason), OutputFormat::png};
    }
    static BatchProcessingError compositeFailed(std::string reason)
    {
        return {Kind::compositeFailed, {}, std::move(reason), OutputFormat::png};
    }
    static BatchProcessingError writeFailed(std::filesystem::path url, std::string reason)
    {
        return {Kind::writeFailed, std::move(url), std::move(reason), OutputFormat::png};
    }
    static BatchProcessingError unsupportedOutputFormat(OutputFormat format)
    {
        return {Kind::unsupportedOutputFormat, {}, {}, format};
    }

    Kind kind() const { return kind_; }
    // Set for sourceImageUnreadable and writeFailed; empty otherwise.
    const std::filesystem::path& url() const { return url_; }
    // Set for maskGenerationFailed, compositeFailed and writeFailed (may be empty).
    const std::string& reason() const { return reason_; }
    // Meaningful for unsupportedOutputFormat only.
    OutputFormat format() const { return format_; }

    // Only the file name of a URL is shown, never its folder.
    std::string errorDescription() const;

    friend bool operator==(const BatchProcessingError&, const BatchProcessingError&) = default;

private:
    BatchProcessingError(Kind kind, std::filesystem::path url, std::string reason, OutputFormat format)
        : kind_(kind),
          url_(std::move(url)),
          reason_(std::move(reason)),
          format_(format)
    {
    }

    Kind kind_;
    std::filesystem::path url_;
    std::string reason_;
    OutputFormat format_;
};

} // namespace pelorin
