// ImageIOWriteError: why an image could not be written to a file. Plain English descriptions.
#pragma once

#include "engine/Models/OutputFormat.h"

#include <string>
#include <variant>

namespace pelorin {

class ImageIOWriteError {
public:
    struct UnsupportedFormat {
        OutputFormat format;
        friend bool operator==(const UnsupportedFormat&, const UnsupportedFormat&) = default;
    };
    struct DestinationCreationFailed {
        std::string filename;
        friend bool operator==(const DestinationCreationFailed&, const DestinationCreationFailed&) = default;
    };
    struct FinalizeFailed {
        std::string filename;
        friend bool operator==(const FinalizeFailed&, const FinalizeFailed&) = default;
    };
    struct MissingColorSpace {
        friend bool operator==(const MissingColorSpace&, const MissingColorSpace&) = default;
    };
    using Case = std::variant<UnsupportedFormat, DestinationCreationFailed, FinalizeFailed, MissingColorSpace>;

    ImageIOWriteError() : case_(MissingColorSpace{}) {}
    static ImageIOWriteError unsupportedFormat(OutputFormat format)
    {
        return ImageIOWriteError(UnsupportedFormat{format});
    }
    static ImageIOWriteError destinationCreationFailed(std::string filename)
    {
        return ImageIOWriteError(DestinationCreationFailed{std::move(filename)});
    }
    static ImageIOWriteError finalizeFailed(std::string filename)
    {
        return ImageIOWriteError(FinalizeFailed{std::move(filename)});
    }
    static ImageIOWriteError missingColorSpace() { return ImageIOWriteError(MissingColorSpace{}); }

    const Case& value() const { return case_; }
    template <typename T>
    bool is() const
    {
        return std::holds_alternative<T>(case_);
    }

    std::string description() const;
    // Why the encoder refused, when it said (for logs; not part of the description).
    const std::string& detail() const { return detail_; }
    ImageIOWriteError withDetail(std::string detail) const
    {
        ImageIOWriteError copy = *this;
        copy.detail_ = std::move(detail);
        return copy;
    }

    friend bool operator==(const ImageIOWriteError& a, const ImageIOWriteError& b) { return a.case_ == b.case_; }

private:
    explicit ImageIOWriteError(Case value) : case_(std::move(value)) {}
    Case case_;
    std::string detail_;
};

} // namespace pelorin
