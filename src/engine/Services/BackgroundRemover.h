// BackgroundRemover: the BackgroundRemoving implementation over the process-wide
// ForegroundSegmenter. It keeps no state, so one instance may serve any number of jobs at once.
#pragma once

#include "engine/Inference/MaskPixelBuffer.h"
#include "engine/Services/BackgroundRemoving.h"

#include <cstdint>
#include <string>

namespace pelorin {

class BackgroundRemover final : public BackgroundRemoving {
public:
    BackgroundRemover() = default;

    // Segments on the calling thread. Fails with visionRequestFailed when the segmenter cannot run,
    // noSubjectFound when it sees no subject, maskGenerationFailed when the subject's mask cannot
    // be produced, and cgImageConversionFailed as imageFromMaskPixelBuffer does.
    Result<Image, BackgroundRemoverError> generateMask(const Image& image) const override;

    // The mask of a one-component buffer (L008 or L00f) as an 8-bit linear-grey image of the same
    // size with tightly packed rows: floats at or above 1 (and NaN) become 255, below 0 become 0,
    // others 255 × v rounded half away from zero. Fails with cgImageConversionFailed and leaves
    // the buffer's lock count as it found it.
    static Result<Image, BackgroundRemoverError> imageFromMaskPixelBuffer(const MaskPixelBuffer& buffer);
    // The same image, from a buffer its caller gives up with every copy of it: the pages of rows
    // already converted go back to the system while the rest are, so a full-size float mask and
    // its bytes never sit whole in memory together. The buffer's contents are gone afterwards.
    static Result<Image, BackgroundRemoverError> imageFromMaskPixelBufferReleasing(MaskPixelBuffer&& buffer);

private:
    static Result<Image, BackgroundRemoverError> performMaskRequest(const Image& image);
    static Result<Image, BackgroundRemoverError> convert(const MaskPixelBuffer& buffer, bool releaseAsRead);
    // A format code as its four characters in single quotes when all are printable, else as hex.
    static std::string formatString(uint32_t code);
};

} // namespace pelorin
