// ForegroundSegmenter: finds the foreground subjects of a decoded image with the segmentation
// model and hands their merged mask over at the image's own size.
//
// The image's colour is read as stored (8 or 16 bits, grey or RGB, either 16-bit byte order, any
// alpha position; the alpha or padding component is skipped, so premultiplied colour is seen as
// composited over black), resized with the Lanczos filter to the network's input size without
// keeping the aspect ratio, and scaled to (v − 128) / 256 with v on the 0–255 scale, as the model
// was trained. Float and CMYK images are refused.
//
// A subject is reported only when at least minimumSubjectFraction of the model's output reaches
// half opacity. On sky, flat grey and noise no output pixel even reaches 0.05; photographs of a
// person, an animal or an object cover 10–76 % of it. The bar sits low so that a small subject
// (about 32 × 32 of the model's 1024 × 1024) still counts, while stray specks do not.
//
// Thread-safety: every member may be called from any number of threads at once. Inference is
// serialised per segmenter: the executor already keeps every core busy, so overlapping runs only
// oversubscribe them (two at once took as long as two in a row, and held a second ~430 MB
// workspace). Reading and resizing images and scaling masks overlap freely.
#pragma once

#include "engine/Common/Result.h"
#include "engine/Imaging/Image.h"
#include "engine/Inference/MaskPixelBuffer.h"
#include "engine/Inference/Network.h"

#include <cstddef>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace pelorin {

// What the model saw in one image: its output at the network's resolution (0–1, already through
// the model's sigmoid) and the size of the image it came from. Immutable.
class ForegroundObservation {
public:
    ForegroundObservation(AlignedFloats output, size_t outputWidth, size_t outputHeight, size_t sourceWidth,
                          size_t sourceHeight);

    size_t sourceWidth() const { return sourceWidth_; }
    size_t sourceHeight() const { return sourceHeight_; }
    // Share of the output's pixels at or above half opacity.
    double subjectFraction() const;

    // The mask of every subject at the source's width and height: format L00f, values 0–1, rows
    // padded to a multiple of 64 bytes. Fails when the mask cannot be allocated. With
    // oneComponent8 the samples are 255 × v rounded, a quarter of the memory of a 12-MP float plane.
    Result<MaskPixelBuffer, std::string>
    generateScaledMask(uint32_t pixelFormat = MaskPixelFormat::oneComponent32Float) const;

private:
    AlignedFloats output_;
    size_t outputWidth_;
    size_t outputHeight_;
    size_t sourceWidth_;
    size_t sourceHeight_;
};

class ForegroundSegmenter {
public:
    // Below this share of half-opaque output pixels the image has no subject.
    static constexpr double minimumSubjectFraction = 0.001;

    // The process-wide segmenter. Its model is located (ModelLocator.h) and loaded on the first
    // detect() and then kept for the life of the process; a failed load is not remembered, so a
    // model installed while the program runs is used by the next call.
    static const ForegroundSegmenter& shared();

    // Locates the model (ModelLocator.h) and loads it on first use, like shared().
    ForegroundSegmenter();
    // Runs `network`, shared and never modified.
    explicit ForegroundSegmenter(std::shared_ptr<const Network> network);
    // Loads the model at `modelFile` on first use, like shared().
    explicit ForegroundSegmenter(std::filesystem::path modelFile);

    ForegroundSegmenter(const ForegroundSegmenter&) = delete;
    ForegroundSegmenter& operator=(const ForegroundSegmenter&) = delete;

    // The observation, or nothing when the image has no subject. Fails with a sentence when the
    // image cannot be read (float, CMYK, unusual layout, short data), when the model cannot be
    // found or loaded (naming the file or the places searched, and how to install it), or when
    // inference fails.
    Result<std::optional<ForegroundObservation>, std::string> detect(const Image& image) const;

private:
    Result<std::shared_ptr<const Network>, std::string> network() const;

    std::optional<std::filesystem::path> modelFile_; // absent: locate it
    mutable std::mutex loadMutex_;
    mutable std::shared_ptr<const Network> network_; // guarded by loadMutex_ until set
    mutable std::mutex runMutex_;
};

} // namespace pelorin
