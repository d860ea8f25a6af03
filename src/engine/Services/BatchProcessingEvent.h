// BatchProcessingEvent: everything a batch run reports, one value per step of one job. Every job
// gets exactly one terminal event (completed, completedWithWarning, failed or cancelled), preceded
// by started when its pipeline began. A plain value, safe to send between threads.
#pragma once

#include "engine/Common/Uuid.h"
#include "engine/Services/BatchProcessingError.h"

#include <filesystem>
#include <optional>

namespace pelorin {

class BatchProcessingEvent {
public:
    enum class Kind { started, completed, failed, cancelled, completedWithWarning };

    static BatchProcessingEvent started(Uuid jobId) { return {Kind::started, jobId, {}, {}}; }
    static BatchProcessingEvent completed(Uuid jobId, std::filesystem::path outputURL)
    {
        return {Kind::completed, jobId, std::move(outputURL), {}};
    }
    static BatchProcessingEvent failed(Uuid jobId, BatchProcessingError error)
    {
        return {Kind::failed, jobId, {}, std::move(error)};
    }
    static BatchProcessingEvent cancelled(Uuid jobId) { return {Kind::cancelled, jobId, {}, {}}; }
    static BatchProcessingEvent completedWithWarning(Uuid jobId, std::filesystem::path outputURL,
                                                     BatchProcessingError warning)
    {
        return {Kind::completedWithWarning, jobId, std::move(outputURL), std::move(warning)};
    }

    Kind kind() const { return kind_; }
    const Uuid& jobId() const { return jobId_; }
    // The job's final cutout location: completed and completedWithWarning only.
    const std::optional<std::filesystem::path>& outputURL() const { return outputURL_; }
    // The error of failed, the warning of completedWithWarning.
    const std::optional<BatchProcessingError>& error() const { return error_; }
    bool isTerminal() const { return kind_ != Kind::started; }

    friend bool operator==(const BatchProcessingEvent&, const BatchProcessingEvent&) = default;

private:
    BatchProcessingEvent(Kind kind, Uuid jobId, std::optional<std::filesystem::path> outputURL,
                         std::optional<BatchProcessingError> error)
        : kind_(kind),
          jobId_(jobId),
          outputURL_(std::move(outputURL)),
          error_(std::move(error))
    {
    }

    Kind kind_;
    Uuid jobId_;
    std::optional<std::filesystem::path> outputURL_;
    std::optional<BatchProcessingError> error_;
};

} // namespace pelorin
