#include "engine/Imaging/Codecs/Heif/HeifSizeCheck.h"

#include "engine/Imaging/Codecs/Heif/CodedFrameSize.h"
#include "engine/Imaging/Codecs/Heif/HeifContainer.h"
#include "engine/Imaging/ImageLimits.h"

#include <string>
#include <vector>

namespace pelorin {

namespace {
using Kind = ImageSourceError::Kind;

std::string sizeText(PixelSize size)
{
    return std::to_string(size.width) + " × " + std::to_string(size.height);
}

// HEVC codes a picture in whole coding blocks of up to 64 pixels, cropped to the stated size.
constexpr uint32_t hevcCodingBlockSlack = 64;

void append(std::vector<PixelSize>& to, const std::vector<PixelSize>& sizes)
{
    to.insert(to.end(), sizes.begin(), sizes.end());
}

// `budget`: bytes of item data still to be scanned. Items of a sound file do not overlap, so the
// whole file is enough; a file whose items all point at the same bytes is scanned only once over.
std::optional<ImageSourceError> checkCodedFrames(const HeifItem& item, size_t& budget)
{
    std::vector<PixelSize> hevc;
    std::vector<PixelSize> av1;
    for (const HeifProperty& configuration : item.configurations)
        if (configuration.type == "hvcC")
            append(hevc, hevcFrameSizes(configuration.body, {}));
        else
            append(av1, av1MaximumFrameSizes(configuration.body, {}));
    size_t size = 0;
    for (const auto& extent : item.extents)
        size += extent.size();
    if (size <= budget) {
        budget -= size;
        const std::vector<uint8_t> joined = item.extents.size() > 1 ? joinedData(item, size) : std::vector<uint8_t>{};
        const std::span<const uint8_t> data = item.extents.size() == 1 ? item.extents.front() : std::span(joined);
        if (item.type == "hvc1" || item.type == "hev1")
            append(hevc, hevcFrameSizes({}, data));
        else if (item.type == "av01")
            append(av1, av1MaximumFrameSizes({}, data));
    }
    for (const PixelSize& frame : hevc) {
        if (frame.width == 0 || frame.height == 0)
            continue;
        if (item.statedSize
            && (frame.width > item.statedSize->width + hevcCodingBlockSlack
                || frame.height > item.statedSize->height + hevcCodingBlockSlack))
            return ImageSourceError{Kind::corruptData,
                                    "The HEIF image's coded frame (" + sizeText(frame)
                                        + ") is larger than its header states (" + sizeText(*item.statedSize) + ")."};
        if (auto refused = checkImageDimensions(frame.width, frame.height))
            return refused;
    }
    // AV1 allocates each frame at the size its own header gives, which a sequence header only
    // bounds, so only the overall limit applies.
    for (const PixelSize& frame : av1)
        if (auto refused = checkImageDimensions(frame.width, frame.height))
            return refused;
    return std::nullopt;
}

} // namespace

std::optional<ImageSourceError> checkHeifDeclaredSizes(std::span<const uint8_t> file)
{
    const auto container = readHeifContainer(file);
    if (!container)
        return std::nullopt;
    for (const HeifItem& item : container->items) {
        const auto canvas = derivedImageCanvas(item);
        if (!canvas)
            continue;
        // libheif itself writes the size after the container's rotation there.
        const auto stated = item.statedSize;
        if (stated && *canvas != *stated && *canvas != PixelSize{stated->height, stated->width})
            return ImageSourceError{Kind::corruptData,
                                    "The HEIF image's canvas (" + sizeText(*canvas)
                                        + ") differs from the size its header states (" + sizeText(*stated) + ")."};
        if (auto refused = checkImageDimensions(canvas->width, canvas->height))
            return refused;
    }
    size_t budget = file.size();
    for (const HeifItem& item : container->items)
        if (auto refused = checkCodedFrames(item, budget))
            return refused;
    return std::nullopt;
}

} // namespace pelorin
