// CutoutService: the batch pipeline (decode → mask → composite → encode) for one image held in
// memory, answering the encoded cutout or mask instead of publishing a file. Bounded like the
// batch processor: at most maxConcurrency images in flight (inference itself runs one at a time
// in the segmenter), at most queueLimit more waiting, and beyond that a request is refused with
// `busy` rather than held. Every image, mask and scratch file of a request lives only for its call.
//
// Thread-safe: process() may be called from any number of threads at once.
#pragma once

#include "engine/Common/AdmissionGate.h"
#include "engine/Common/Result.h"
#include "engine/Services/BackgroundRemoving.h"
#include "engine/Services/CutoutError.h"
#include "engine/Services/ImageProcessing.h"

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace pelorin {

enum class CutoutOutput { cutout, mask };

struct CutoutRequest {
    std::shared_ptr<const std::vector<uint8_t>> bytes; // the encoded source image, any accepted format
    std::string name;                                  // how error texts name the source
    OutputFormat format = OutputFormat::png;           // of the cutout; a mask is always PNG
    CutoutOutput output = CutoutOutput::cutout;
};

struct EncodedCutout {
    std::vector<uint8_t> bytes;
    std::string_view contentType; // "image/png" or "image/tiff"
    double maskSeconds = 0;       // time spent obtaining the mask (inference and scaling)
};

class CutoutService {
public:
    // `scratchFolder` receives each encoder's temporary file for the length of one call.
    CutoutService(std::shared_ptr<const BackgroundRemoving> remover, std::shared_ptr<const ImageProcessing> processor,
                  int maxConcurrency, int queueLimit, std::filesystem::path scratchFolder);

    Result<EncodedCutout, CutoutError> process(const CutoutRequest& request) const;

    // One inference on a small synthetic image, outside the gate: succeeds once the model is
    // loaded and has run (finding no subject there counts), fails with modelUnavailable otherwise.
    Result<void, CutoutError> warmUp() const;

    int inFlight() const { return gate_->running(); }
    int waiting() const { return gate_->waiting(); }
    int maxConcurrency() const { return gate_->slots(); }
    int queueLimit() const { return gate_->queueLimit(); }

private:
    Result<EncodedCutout, CutoutError> run(const CutoutRequest& request) const;
    Result<std::vector<uint8_t>, CutoutError> encode(const Image& image, OutputFormat format,
                                                     const std::optional<ImageMetadata>& metadata) const;

    std::shared_ptr<const BackgroundRemoving> remover_;
    std::shared_ptr<const ImageProcessing> processor_;
    std::unique_ptr<AdmissionGate> gate_;
    std::filesystem::path scratchFolder_;
};

} // namespace pelorin
