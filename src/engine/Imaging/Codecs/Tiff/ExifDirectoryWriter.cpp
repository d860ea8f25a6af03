#include "engine/Imaging/Codecs/Tiff/ExifDirectoryWriter.h"

#include "engine/Imaging/Codecs/Tiff/TiffExifFields.h"

#include <algorithm>
#include <set>

namespace pelorin::tiff {

namespace {
bool isPointerOrMakerNote(uint16_t tag)
{
    return tag == exifPointerTag || tag == gpsPointerTag || tag == interoperabilityPointerTag || tag == makerNoteTag;
}

void put(std::vector<uint8_t>& out, uint64_t value, int bytes)
{
    for (int i = 0; i < bytes; ++i)
        out.push_back(static_cast<uint8_t>(value >> (8 * i)));
}

struct Entry {
    uint16_t tag;
    const ExifValue* value;
};
} // namespace

ExifDirectory writeExifDirectory(const ExifDictionary& exif, uint32_t offset)
{
    ExifDirectory directory;
    std::vector<Entry> entries;
    std::set<uint16_t> seen;
    for (const auto& [name, value] : exif) {
        const size_t size = fieldTypeSize(value.type);
        const bool wellFormed = size != 0 && value.count != 0 && value.bytes.size() == size_t{value.count} * size;
        if (!wellFormed || isPointerOrMakerNote(value.tag) || !seen.insert(value.tag).second) {
            directory.skipped.push_back(name);
            continue;
        }
        entries.push_back({value.tag, &value});
    }
    if (entries.empty())
        return directory;
    // Readers expect a directory's tags in ascending order.
    std::sort(entries.begin(), entries.end(), [](const Entry& a, const Entry& b) { return a.tag < b.tag; });

    auto& out = directory.bytes;
    const size_t tableBytes = 2 + 12 * entries.size() + 4;
    std::vector<uint8_t> data; // values longer than four bytes, after the table
    put(out, entries.size(), 2);
    for (const auto& e : entries) {
        const ExifValue& v = *e.value;
        put(out, v.tag, 2);
        put(out, v.type, 2);
        put(out, v.count, 4);
        if (v.bytes.size() <= 4) {
            out.insert(out.end(), v.bytes.begin(), v.bytes.end());
            out.resize(out.size() + 4 - v.bytes.size(), 0);
        } else {
            put(out, uint64_t{offset} + tableBytes + data.size(), 4);
            data.insert(data.end(), v.bytes.begin(), v.bytes.end());
            if (data.size() % 2)
                data.push_back(0);
        }
    }
    put(out, 0, 4); // no next directory
    out.insert(out.end(), data.begin(), data.end());
    return directory;
}

} // namespace pelorin::tiff
