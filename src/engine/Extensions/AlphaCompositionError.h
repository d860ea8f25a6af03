// AlphaCompositionError: why a cutout or a mask sidecar could not be made. Each case carries the
// numbers that explain it; description() is the English sentence shown to the user.
// A plain value: copyable, comparable, safe to share across threads.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <variant>

namespace pelorin {

class AlphaCompositionError {
public:
    // The source's pixel layout is not one we composite. `alphaInfo` is the whole bitmap-info
    // word when the depth or packing was refused, the alpha-info value alone when the channel
    // layout was.
    struct UnsupportedPixelFormat {
        size_t bitsPerComponent;
        size_t bitsPerPixel;
        uint32_t alphaInfo;
        friend bool operator==(const UnsupportedPixelFormat&, const UnsupportedPixelFormat&) = default;
    };
    struct InvalidImageDimensions {
        size_t width;
        size_t height;
        friend bool operator==(const InvalidImageDimensions&, const InvalidImageDimensions&) = default;
    };
    // The source's bytes are fewer than bytes-per-row × height.
    struct TruncatedPixelData {
        size_t expected;
        size_t actual;
        friend bool operator==(const TruncatedPixelData&, const TruncatedPixelData&) = default;
    };
    struct UnreadablePixelData {
        friend bool operator==(const UnreadablePixelData&, const UnreadablePixelData&) = default;
    };
    struct UnsupportedFloatPixelFormat {
        friend bool operator==(const UnsupportedFloatPixelFormat&, const UnsupportedFloatPixelFormat&) = default;
    };
    struct MissingColorSpace {
        friend bool operator==(const MissingColorSpace&, const MissingColorSpace&) = default;
    };
    // The mask could not be brought to the source's size (unreadable, short or unusual data).
    struct MaskScalingFailed {
        friend bool operator==(const MaskScalingFailed&, const MaskScalingFailed&) = default;
    };
    struct OutputAllocationFailed {
        friend bool operator==(const OutputAllocationFailed&, const OutputAllocationFailed&) = default;
    };

    using Case =
        std::variant<UnsupportedPixelFormat, InvalidImageDimensions, TruncatedPixelData, UnreadablePixelData,
                     UnsupportedFloatPixelFormat, MissingColorSpace, MaskScalingFailed, OutputAllocationFailed>;

    // Default-constructible so it can sit in Result<void, AlphaCompositionError>.
    AlphaCompositionError() : case_(OutputAllocationFailed{}) {}
    AlphaCompositionError(Case value) : case_(value) {}

    static AlphaCompositionError unsupportedPixelFormat(size_t bitsPerComponent, size_t bitsPerPixel,
                                                        uint32_t alphaInfo)
    {
        return Case(UnsupportedPixelFormat{bitsPerComponent, bitsPerPixel, alphaInfo});
    }
    static AlphaCompositionError invalidImageDimensions(size_t width, size_t height)
    {
        return Case(InvalidImageDimensions{width, height});
    }
    static AlphaCompositionError truncatedPixelData(size_t expected, size_t actual)
    {
        return Case(TruncatedPixelData{expected, actual});
    }
    static AlphaCompositionError unreadablePixelData() { return Case(UnreadablePixelData{}); }
    static AlphaCompositionError unsupportedFloatPixelFormat() { return Case(UnsupportedFloatPixelFormat{}); }
    static AlphaCompositionError missingColorSpace() { return Case(MissingColorSpace{}); }
    static AlphaCompositionError maskScalingFailed() { return Case(MaskScalingFailed{}); }
    static AlphaCompositionError outputAllocationFailed() { return Case(OutputAllocationFailed{}); }

    const Case& value() const { return case_; }
    template <typename T>
    bool is() const
    {
        return std::holds_alternative<T>(case_);
    }

    std::string description() const;

    friend bool operator==(const AlphaCompositionError&, const AlphaCompositionError&) = default;

private:
    Case case_;
};

} // namespace pelorin
