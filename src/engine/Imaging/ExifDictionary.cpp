#include "engine/Imaging/ExifDictionary.h"

// exiv2 0.27 hands out values through std::auto_ptr, in its headers and in its API.
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
#include <exiv2/exiv2.hpp>

#include <algorithm>
#include <cmath>
#include <mutex>

namespace pelorin {

namespace {

// Real EXIF blocks stay well under this (a JPEG segment holds 64 KiB; maker notes and previews
// in other containers rarely pass a few hundred KiB). Anything larger is refused unread.
constexpr size_t maxExifBlockSize = size_t{4} << 20;

// IFD1 previews are about 160 × 120 and must fit a JPEG APP1 segment; bigger ones are not what we want.
constexpr long maxThumbnailSize = 64 * 1024;

constexpr uint16_t makerNoteTag = 0x927c;
constexpr uint16_t interoperabilityPointerTag = 0xa005;

// exiv2 0.27 keeps process-wide state (its log level and handler) and promises nothing about
// concurrent use, so every call into it goes through this lock. A parse takes microseconds.
std::mutex& exiv2Mutex()
{
    static std::mutex mutex;
    return mutex;
}

void silentLogHandler(int, const char*) {}

// Called with the lock held: exiv2 logs through a process-wide handler that defaults to stderr.
void muteExiv2()
{
    static std::once_flag once;
    std::call_once(once, [] {
        Exiv2::LogMsg::setLevel(Exiv2::LogMsg::mute);
        Exiv2::LogMsg::setHandler(silentLogHandler);
    });
}

std::optional<ExifValue> valueOf(const Exiv2::Exifdatum& datum)
{
    const Exiv2::Value& value = datum.value();
    const long size = value.size();
    if (size < 0 || static_cast<size_t>(size) > maxExifBlockSize)
        return std::nullopt;
    ExifValue result;
    result.tag = datum.tag();
    result.type = static_cast<uint16_t>(datum.typeId());
    result.count = static_cast<uint32_t>(datum.count());
    result.bytes.resize(static_cast<size_t>(size));
    if (size > 0) {
        const long copied = value.copy(result.bytes.data(), Exiv2::littleEndian);
        // Some value types write fewer bytes than size() promises (an empty comment, say).
        result.bytes.resize(static_cast<size_t>(std::clamp<long>(copied, 0, size)));
    }
    return result;
}

std::optional<long> integerTag(const Exiv2::ExifData& data, const char* key)
{
    const auto it = data.findKey(Exiv2::ExifKey(key));
    if (it == data.end() || it->count() < 1)
        return std::nullopt;
    return it->toLong(0);
}

std::optional<double> resolutionTag(const Exiv2::ExifData& data, const char* key, double unitToInch)
{
    const auto it = data.findKey(Exiv2::ExifKey(key));
    if (it == data.end() || it->count() < 1)
        return std::nullopt;
    const Exiv2::Rational r = it->toRational(0);
    if (r.first <= 0 || r.second <= 0)
        return std::nullopt;
    const double dpi = static_cast<double>(r.first) / r.second * unitToInch;
    if (!std::isfinite(dpi) || dpi <= 0)
        return std::nullopt;
    return dpi;
}

ExifBlock extract(const Exiv2::ExifData& data)
{
    ExifBlock block;
    for (const auto& datum : data) {
        if (datum.groupName() != "Photo")
            continue;
        const uint16_t tag = datum.tag();
        if (tag == makerNoteTag || tag == interoperabilityPointerTag)
            continue;
        if (auto value = valueOf(datum))
            block.exif.emplace(datum.tagName(), std::move(*value)); // the first of duplicates wins
    }

    if (const auto orientation = integerTag(data, "Exif.Image.Orientation");
        orientation && *orientation >= 1 && *orientation <= 8)
        block.orientation = static_cast<int>(*orientation);

    // Resolution without a unit is inches; unit 1 means the numbers are only an aspect ratio.
    const long unit = integerTag(data, "Exif.Image.ResolutionUnit").value_or(2);
    const double unitToInch = unit == 2 ? 1.0 : unit == 3 ? 2.54 : 0.0;
    if (unitToInch > 0) {
        block.xResolution = resolutionTag(data, "Exif.Image.XResolution", unitToInch);
        block.yResolution = resolutionTag(data, "Exif.Image.YResolution", unitToInch);
    }
    return block;
}

std::span<const uint8_t> withoutExifPrefix(std::span<const uint8_t> block)
{
    static constexpr uint8_t prefix[] = {'E', 'x', 'i', 'f', 0, 0};
    if (block.size() >= sizeof prefix && std::equal(std::begin(prefix), std::end(prefix), block.begin()))
        return block.subspan(sizeof prefix);
    return block;
}

bool hasTiffHeader(std::span<const uint8_t> tiff)
{
    if (tiff.size() < 8)
        return false;
    return (tiff[0] == 'I' && tiff[1] == 'I' && tiff[2] == 42 && tiff[3] == 0)
        || (tiff[0] == 'M' && tiff[1] == 'M' && tiff[2] == 0 && tiff[3] == 42);
}

// One dictionary entry as an exiv2 datum; false when exiv2 refuses the tag or the bytes.
bool addEntry(Exiv2::ExifData& data, const std::string& name, const ExifValue& entry)
{
    if (entry.tag == makerNoteTag || entry.tag == interoperabilityPointerTag)
        return false;
    const auto typeId = static_cast<Exiv2::TypeId>(entry.type);
    if (Exiv2::TypeInfo::typeSize(typeId) == 0 || entry.bytes.size() > maxExifBlockSize)
        return false;
    try {
        const Exiv2::ExifKey key =
            entry.tag != 0 ? Exiv2::ExifKey(entry.tag, "Photo") : Exiv2::ExifKey("Exif.Photo." + name);
        if (key.tag() == makerNoteTag || key.tag() == interoperabilityPointerTag)
            return false;
        Exiv2::Value::AutoPtr value = Exiv2::Value::create(typeId);
        if (!value.get())
            return false;
        if (!entry.bytes.empty()
            && value->read(entry.bytes.data(), static_cast<long>(entry.bytes.size()), Exiv2::littleEndian) != 0)
            return false;
        data.add(key, value.get());
        return true;
    } catch (...) {
        return false;
    }
}

} // namespace

std::optional<ExifBlock> parseExifBlock(std::span<const uint8_t> block)
{
    const auto tiff = withoutExifPrefix(block);
    // exiv2 trusts its caller to hand it a TIFF structure; check the header before it looks.
    if (!hasTiffHeader(tiff) || tiff.size() > maxExifBlockSize)
        return std::nullopt;
    try {
        std::lock_guard lock(exiv2Mutex());
        muteExiv2();
        Exiv2::ExifData data;
        const auto order = Exiv2::ExifParser::decode(data, tiff.data(), static_cast<uint32_t>(tiff.size()));
        if (order == Exiv2::invalidByteOrder)
            return std::nullopt;
        return extract(data);
    } catch (...) {
        return std::nullopt;
    }
}

std::vector<uint8_t> serializeExifBlock(const ExifDictionary* exif, std::optional<int> orientation)
{
    try {
        std::lock_guard lock(exiv2Mutex());
        muteExiv2();
        Exiv2::ExifData data;
        if (orientation && *orientation >= 1 && *orientation <= 8)
            data["Exif.Image.Orientation"] = static_cast<uint16_t>(*orientation);
        if (exif)
            for (const auto& [name, entry] : *exif)
                addEntry(data, name, entry);
        if (data.empty())
            return {};
        Exiv2::Blob blob;
        Exiv2::ExifParser::encode(blob, Exiv2::littleEndian, data);
        return blob;
    } catch (...) {
        return {};
    }
}

std::vector<uint8_t> embeddedThumbnail(std::span<const uint8_t> fileBytes)
{
    if (fileBytes.empty())
        return {};
    try {
        std::lock_guard lock(exiv2Mutex());
        muteExiv2();
        auto image = Exiv2::ImageFactory::open(fileBytes.data(), static_cast<long>(fileBytes.size()));
        if (!image.get())
            return {};
        image->readMetadata();
        const Exiv2::ExifThumbC thumbnail(image->exifData());
        if (std::string(thumbnail.mimeType()) != "image/jpeg")
            return {};
        const Exiv2::DataBuf data = thumbnail.copy();
        // A JPEG starts with SOI; anything else is a damaged or mislabelled preview.
        if (data.size_ < 4 || data.size_ > maxThumbnailSize || data.pData_[0] != 0xff || data.pData_[1] != 0xd8)
            return {};
        return std::vector<uint8_t>(data.pData_, data.pData_ + data.size_);
    } catch (...) {
        return {};
    }
}

} // namespace pelorin
