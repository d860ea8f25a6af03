#include "engine/Imaging/Codecs/Tiff/TiffExifReader.h"

#include "engine/Imaging/Codecs/Tiff/TiffExifFields.h"

#include <vector>

namespace pelorin::tiff {

namespace {
constexpr uint64_t maxEntries = 1024;
constexpr uint64_t maxBlockBytes = uint64_t{2} << 20; // real Exif IFDs take a few kilobytes

// Reads integers of the file's byte order; callers check bounds first.
struct Reader {
    std::span<const uint8_t> file;
    bool little;

    uint64_t read(uint64_t at, int bytes) const
    {
        uint64_t v = 0;
        for (int i = 0; i < bytes; ++i) {
            const uint64_t b = file[at + i];
            v |= little ? b << (8 * i) : b << (8 * (bytes - 1 - i));
        }
        return v;
    }
    bool has(uint64_t at, uint64_t length) const { return at <= file.size() && length <= file.size() - at; }
};

struct Writer {
    std::vector<uint8_t> bytes;
    bool little;

    void put(uint64_t v, int size)
    {
        for (int i = 0; i < size; ++i)
            bytes.push_back(static_cast<uint8_t>(little ? v >> (8 * i) : v >> (8 * (size - 1 - i))));
    }
};

struct Entry {
    uint16_t tag;
    uint16_t type;
    uint32_t count;
    std::span<const uint8_t> value;
};
} // namespace

std::optional<ExifDictionary> readTiffExif(std::span<const uint8_t> file, uint64_t exifOffset)
{
    if (file.size() < 16 || !(file[0] == file[1] && (file[0] == 'I' || file[0] == 'M')))
        return std::nullopt;
    const Reader in{file, file[0] == 'I'};
    const uint64_t version = in.read(2, 2);
    if (version != 42 && version != 43)
        return std::nullopt;
    const bool big = version == 43;
    const int countSize = big ? 8 : 2, entrySize = big ? 20 : 12, fieldSize = big ? 8 : 4;
    if (!in.has(exifOffset, countSize))
        return std::nullopt;
    const uint64_t count = in.read(exifOffset, countSize);
    if (count == 0 || count > maxEntries || !in.has(exifOffset + countSize, count * entrySize))
        return std::nullopt;

    std::vector<Entry> entries;
    uint64_t valueBytes = 0;
    for (uint64_t i = 0; i < count; ++i) {
        const uint64_t at = exifOffset + countSize + i * entrySize;
        const auto tag = static_cast<uint16_t>(in.read(at, 2));
        const auto type = static_cast<uint16_t>(in.read(at + 2, 2));
        const uint64_t n = in.read(at + 4, big ? 8 : 4);
        const uint64_t field = at + (big ? 12 : 8);
        const uint64_t size = n * fieldTypeSize(type);
        if (tag == makerNoteTag || tag == interoperabilityPointerTag || size == 0 || n > maxBlockBytes
            || valueBytes + size > maxBlockBytes)
            continue;
        const uint64_t where = size <= static_cast<uint64_t>(fieldSize) ? field : in.read(field, fieldSize);
        if (!in.has(where, size))
            continue;
        entries.push_back({tag, type, static_cast<uint32_t>(n), file.subspan(where, size)});
        valueBytes += size + 1;
    }
    if (entries.empty())
        return std::nullopt;

    // Classic TIFF in the file's byte order, so the values are copied unchanged.
    Writer out{{}, in.little};
    const uint32_t exifIfd = 8 + 2 + 12 + 4;
    out.put(in.little ? 0x4949 : 0x4d4d, 2);
    out.put(42, 2);
    out.put(8, 4);
    out.put(1, 2);
    out.put(exifPointerTag, 2);
    out.put(4, 2); // LONG
    out.put(1, 4);
    out.put(exifIfd, 4);
    out.put(0, 4);
    out.put(entries.size(), 2);
    size_t dataAt = exifIfd + 2 + 12 * entries.size() + 4;
    std::vector<uint8_t> data;
    for (const auto& e : entries) {
        out.put(e.tag, 2);
        out.put(e.type, 2);
        out.put(e.count, 4);
        if (e.value.size() <= 4) {
            out.bytes.insert(out.bytes.end(), e.value.begin(), e.value.end());
            out.put(0, static_cast<int>(4 - e.value.size()));
        } else {
            out.put(dataAt + data.size(), 4);
            data.insert(data.end(), e.value.begin(), e.value.end());
            if (data.size() % 2)
                data.push_back(0);
        }
    }
    out.put(0, 4);
    out.bytes.insert(out.bytes.end(), data.begin(), data.end());

    auto parsed = parseExifBlock(out.bytes);
    if (!parsed || parsed->exif.empty())
        return std::nullopt;
    return std::move(parsed->exif);
}

} // namespace pelorin::tiff
