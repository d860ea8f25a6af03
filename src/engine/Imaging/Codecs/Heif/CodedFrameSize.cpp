#include "engine/Imaging/Codecs/Heif/CodedFrameSize.h"

#include <optional>

namespace pelorin {

namespace {

// Most-significant bit first; past the end it reads zeros, as the decoders do, so a truncated
// header gives the value they would see.
class BitReader {
public:
    explicit BitReader(std::span<const uint8_t> bytes) : bytes_(bytes) {}

    uint32_t bits(unsigned count)
    {
        uint32_t value = 0;
        for (unsigned i = 0; i < count; ++i) {
            const size_t byte = position_ / 8;
            const unsigned bit = byte < bytes_.size() ? (bytes_[byte] >> (7 - position_ % 8)) & 1 : 0;
            value = value << 1 | bit;
            ++position_;
        }
        return value;
    }
    void skip(size_t count) { position_ += count; }

    // Exp-Golomb ue(v); absent when longer than 32 bits, which HEVC decoders refuse.
    std::optional<uint32_t> unsignedExpGolomb()
    {
        unsigned zeros = 0;
        while (bits(1) == 0)
            if (++zeros > 31)
                return std::nullopt;
        return static_cast<uint32_t>((uint64_t{1} << zeros) - 1 + bits(zeros));
    }

    // AV1 uvlc(): as ue(v), saturating instead of failing.
    uint32_t uvlc()
    {
        unsigned zeros = 0;
        while (bits(1) == 0)
            if (++zeros >= 32)
                return UINT32_MAX;
        return static_cast<uint32_t>((uint64_t{1} << zeros) - 1 + bits(zeros));
    }

private:
    std::span<const uint8_t> bytes_;
    size_t position_ = 0;
};

constexpr unsigned hevcSequenceParameterSet = 33;
constexpr unsigned av1SequenceHeader = 1;

// The payload of a NAL unit without its two-byte header and emulation-prevention bytes.
std::vector<uint8_t> rawPayload(std::span<const uint8_t> nal)
{
    std::vector<uint8_t> payload;
    payload.reserve(nal.size());
    unsigned zeros = 0;
    for (size_t i = 2; i < nal.size(); ++i) {
        if (zeros >= 2 && nal[i] == 3) {
            zeros = 0;
            continue;
        }
        zeros = nal[i] == 0 ? zeros + 1 : 0;
        payload.push_back(nal[i]);
    }
    return payload;
}

std::optional<PixelSize> hevcSequenceParameterSetSize(std::span<const uint8_t> nal)
{
    if (nal.size() < 3 || ((nal[0] >> 1) & 0x3f) != hevcSequenceParameterSet)
        return std::nullopt;
    const std::vector<uint8_t> payload = rawPayload(nal);
    BitReader reader(payload);
    reader.skip(4); // video parameter set id
    const unsigned subLayers = reader.bits(3);
    reader.skip(1);
    reader.skip(96); // general profile, tier and level
    bool profilePresent[8] = {};
    bool levelPresent[8] = {};
    for (unsigned i = 0; i < subLayers; ++i) {
        profilePresent[i] = reader.bits(1) != 0;
        levelPresent[i] = reader.bits(1) != 0;
    }
    if (subLayers > 0)
        reader.skip(2 * (8 - subLayers));
    for (unsigned i = 0; i < subLayers; ++i)
        reader.skip((profilePresent[i] ? 88 : 0) + (levelPresent[i] ? 8 : 0));
    const auto id = reader.unsignedExpGolomb();
    const auto chroma = reader.unsignedExpGolomb();
    if (!id || !chroma || *id > 15 || *chroma > 3)
        return std::nullopt;
    if (*chroma == 3)
        reader.skip(1);
    const auto width = reader.unsignedExpGolomb();
    const auto height = reader.unsignedExpGolomb();
    if (!width || !height)
        return std::nullopt;
    return PixelSize{*width, *height};
}

std::optional<PixelSize> av1SequenceHeaderSize(std::span<const uint8_t> payload)
{
    BitReader reader(payload);
    reader.skip(4); // profile, still picture
    if (reader.bits(1) != 0) {
        reader.skip(5); // reduced still-picture header: the level only
    } else {
        bool decoderModel = false;
        unsigned bufferDelayLength = 0;
        if (reader.bits(1) != 0) { // timing info
            reader.skip(64);
            if (reader.bits(1) != 0)
                (void)reader.uvlc();
            decoderModel = reader.bits(1) != 0;
            if (decoderModel) {
                bufferDelayLength = reader.bits(5) + 1;
                reader.skip(32 + 5 + 5);
            }
        }
        const bool initialDisplayDelay = reader.bits(1) != 0;
        const unsigned operatingPoints = reader.bits(5) + 1;
        for (unsigned i = 0; i < operatingPoints; ++i) {
            reader.skip(12);
            if (reader.bits(5) > 7)
                reader.skip(1);
            if (decoderModel && reader.bits(1) != 0)
                reader.skip(2 * bufferDelayLength + 1);
            if (initialDisplayDelay && reader.bits(1) != 0)
                reader.skip(4);
        }
    }
    const unsigned widthBits = reader.bits(4) + 1;
    const unsigned heightBits = reader.bits(4) + 1;
    const uint64_t width = uint64_t{reader.bits(widthBits)} + 1;
    const uint64_t height = uint64_t{reader.bits(heightBits)} + 1;
    return PixelSize{static_cast<uint32_t>(std::min<uint64_t>(width, UINT32_MAX)),
                     static_cast<uint32_t>(std::min<uint64_t>(height, UINT32_MAX))};
}

void collectHevc(std::span<const uint8_t> nal, std::vector<PixelSize>& sizes)
{
    if (auto size = hevcSequenceParameterSetSize(nal))
        sizes.push_back(*size);
}

// OBUs in low-overhead format; one without a size field runs to the end.
void collectAv1(std::span<const uint8_t> obus, std::vector<PixelSize>& sizes)
{
    size_t position = 0;
    while (position < obus.size()) {
        const uint8_t header = obus[position++];
        const unsigned type = (header >> 3) & 15;
        if (header & 4)
            ++position; // extension header
        size_t size = obus.size() - std::min(position, obus.size());
        if (header & 2) {
            uint64_t value = 0;
            unsigned i = 0;
            for (; i < 8 && position < obus.size(); ++i) {
                const uint8_t byte = obus[position++];
                value |= uint64_t(byte & 0x7f) << (7 * i);
                if (!(byte & 0x80))
                    break;
            }
            size = static_cast<size_t>(value);
        }
        if (position > obus.size() || size > obus.size() - position)
            return;
        if (type == av1SequenceHeader)
            if (auto frame = av1SequenceHeaderSize(obus.subspan(position, size)))
                sizes.push_back(*frame);
        position += size;
    }
}

} // namespace

std::vector<PixelSize> hevcFrameSizes(std::span<const uint8_t> configuration, std::span<const uint8_t> data)
{
    std::vector<PixelSize> sizes;
    // 22 bytes of profile and format fields, then arrays of NAL units with 16-bit lengths.
    if (configuration.size() >= 23) {
        size_t position = 23;
        const unsigned arrays = configuration[22];
        for (unsigned a = 0; a < arrays && configuration.size() - position >= 3; ++a) {
            const unsigned units = unsigned(configuration[position + 1]) << 8 | configuration[position + 2];
            position += 3;
            for (unsigned u = 0; u < units && configuration.size() - position >= 2; ++u) {
                const size_t length = size_t(configuration[position]) << 8 | configuration[position + 1];
                position += 2;
                if (length > configuration.size() - position)
                    break;
                collectHevc(configuration.subspan(position, length), sizes);
                position += length;
            }
        }
    }
    for (size_t position = 0; data.size() - position >= 4;) {
        const size_t length = size_t(data[position]) << 24 | size_t(data[position + 1]) << 16
            | size_t(data[position + 2]) << 8 | data[position + 3];
        position += 4;
        if (length > data.size() - position)
            break;
        collectHevc(data.subspan(position, length), sizes);
        position += length;
    }
    return sizes;
}

std::vector<PixelSize> av1MaximumFrameSizes(std::span<const uint8_t> configuration, std::span<const uint8_t> data)
{
    std::vector<PixelSize> sizes;
    if (configuration.size() > 4)
        collectAv1(configuration.subspan(4), sizes);
    collectAv1(data, sizes);
    return sizes;
}

} // namespace pelorin
