#include "engine/Imaging/Codecs/Heif/HeifContainer.h"

#include <algorithm>
#include <array>
#include <map>

namespace pelorin {

namespace {

// Big-endian reads that never run past the end: a short read yields zero and marks the reader
// failed, so a truncated box is noticed once, at the end, instead of at every field.
class ByteReader {
public:
    explicit ByteReader(std::span<const uint8_t> bytes) : bytes_(bytes) {}

    uint64_t read(size_t count)
    {
        if (count > remaining()) {
            failed_ = true;
            position_ = bytes_.size();
            return 0;
        }
        uint64_t value = 0;
        for (size_t i = 0; i < count; ++i)
            value = value << 8 | bytes_[position_++];
        return value;
    }
    uint8_t u8() { return static_cast<uint8_t>(read(1)); }
    uint16_t u16() { return static_cast<uint16_t>(read(2)); }
    uint32_t u32() { return static_cast<uint32_t>(read(4)); }
    std::string fourCC()
    {
        if (remaining() < 4) {
            failed_ = true;
            position_ = bytes_.size();
            return {};
        }
        std::string code(reinterpret_cast<const char*>(bytes_.data() + position_), 4);
        position_ += 4;
        return code;
    }
    std::span<const uint8_t> rest() const { return bytes_.subspan(position_); }
    size_t remaining() const { return bytes_.size() - position_; }
    bool failed() const { return failed_; }

private:
    std::span<const uint8_t> bytes_;
    size_t position_ = 0;
    bool failed_ = false;
};

struct Box {
    std::string type;
    std::span<const uint8_t> body;
    size_t headerSize = 8;
};

// The boxes laid end to end in `bytes`; a box that claims more than is left ends the list.
std::vector<Box> childBoxes(std::span<const uint8_t> bytes)
{
    std::vector<Box> boxes;
    size_t position = 0;
    while (bytes.size() - position >= 8) {
        ByteReader header(bytes.subspan(position));
        uint64_t size = header.u32();
        std::string type = header.fourCC();
        size_t headerSize = 8;
        if (size == 1) {
            size = header.read(8);
            headerSize = 16;
        } else if (size == 0) {
            size = bytes.size() - position;
        }
        if (type == "uuid")
            headerSize += 16;
        if (header.failed() || size < headerSize || size > bytes.size() - position)
            break;
        boxes.push_back({std::move(type), bytes.subspan(position + headerSize, size_t(size) - headerSize), headerSize});
        position += size_t(size);
    }
    return boxes;
}

const Box* findBox(const std::vector<Box>& boxes, std::string_view type)
{
    const auto found = std::find_if(boxes.begin(), boxes.end(), [&](const Box& box) { return box.type == type; });
    return found == boxes.end() ? nullptr : &*found;
}

bool wantsData(const std::string& type)
{
    static constexpr std::array<std::string_view, 5> types = {"hvc1", "hev1", "av01", "grid", "iovl"};
    return std::find(types.begin(), types.end(), type) != types.end();
}

// libheif refuses files beyond these while parsing; holding to them keeps this reader as bounded.
constexpr uint32_t maxLocatedItems = 20000;
constexpr size_t maxExtentsPerItem = 32;

struct Extent {
    uint64_t offset = 0;
    uint64_t length = 0;
};

struct Location {
    unsigned constructionMethod = 0;
    std::vector<Extent> extents;
};

std::map<uint32_t, Location> readLocations(std::span<const uint8_t> body)
{
    std::map<uint32_t, Location> locations;
    ByteReader reader(body);
    const uint8_t version = reader.u8();
    reader.read(3);
    const uint8_t sizes = reader.u8();
    const uint8_t moreSizes = reader.u8();
    const size_t offsetSize = sizes >> 4;
    const size_t lengthSize = sizes & 15;
    const size_t baseOffsetSize = moreSizes >> 4;
    const size_t indexSize = version == 1 || version == 2 ? moreSizes & 15 : 0;
    const uint32_t count = version < 2 ? reader.u16() : reader.u32();
    for (uint32_t i = 0; i < std::min(count, maxLocatedItems) && !reader.failed(); ++i) {
        const uint32_t id = version < 2 ? reader.u16() : reader.u32();
        Location location;
        if (version == 1 || version == 2)
            location.constructionMethod = reader.u16() & 15;
        reader.u16(); // data reference index
        const uint64_t baseOffset = reader.read(baseOffsetSize);
        const uint16_t extentCount = reader.u16();
        for (uint16_t e = 0; e < std::min<size_t>(extentCount, maxExtentsPerItem + 1) && !reader.failed(); ++e) {
            reader.read(indexSize);
            const uint64_t offset = reader.read(offsetSize);
            const uint64_t length = reader.read(lengthSize);
            location.extents.push_back({baseOffset + offset, length});
        }
        if (!reader.failed())
            locations.emplace(id, std::move(location));
    }
    return locations;
}

// False when an extent lies outside its storage.
bool locateExtents(const Location& location, std::span<const uint8_t> file, std::span<const uint8_t> itemData,
                   std::vector<std::span<const uint8_t>>& out)
{
    if (location.constructionMethod > 1 || location.extents.size() > maxExtentsPerItem)
        return false;
    const std::span<const uint8_t> storage = location.constructionMethod == 0 ? file : itemData;
    for (const Extent& extent : location.extents) {
        if (extent.offset > storage.size())
            return false;
        const uint64_t length = extent.length == 0 ? storage.size() - extent.offset : extent.length;
        if (length > storage.size() - extent.offset)
            return false;
        out.push_back(storage.subspan(size_t(extent.offset), size_t(length)));
    }
    return true;
}

void readItemInfo(std::span<const uint8_t> body, std::map<uint32_t, HeifItem>& items)
{
    ByteReader reader(body);
    const uint8_t version = reader.u8();
    reader.read(3);
    reader.read(version == 0 ? 2 : 4); // entry count: the boxes that follow say it better
    if (reader.failed())
        return;
    for (const Box& box : childBoxes(reader.rest())) {
        if (box.type != "infe")
            continue;
        ByteReader entry(box.body);
        const uint8_t entryVersion = entry.u8();
        entry.read(3);
        if (entryVersion < 2)
            continue;
        const uint32_t id = entryVersion == 2 ? entry.u16() : entry.u32();
        entry.u16(); // protection index
        std::string type = entry.fourCC();
        if (!entry.failed()) {
            items[id].id = id;
            items[id].type = std::move(type);
        }
    }
}

void readProperties(std::span<const uint8_t> body, std::map<uint32_t, HeifItem>& items)
{
    const auto children = childBoxes(body);
    const Box* container = findBox(children, "ipco");
    const Box* association = findBox(children, "ipma");
    if (!container || !association)
        return;
    const std::vector<Box> properties = childBoxes(container->body);

    ByteReader reader(association->body);
    const uint8_t version = reader.u8();
    const uint32_t flags = static_cast<uint32_t>(reader.read(3));
    const uint32_t count = reader.u32();
    for (uint32_t i = 0; i < count && !reader.failed(); ++i) {
        const uint32_t id = version < 1 ? reader.u16() : reader.u32();
        const uint8_t associations = reader.u8();
        for (uint8_t a = 0; a < associations && !reader.failed(); ++a) {
            const size_t index = flags & 1 ? reader.u16() & 0x7fff : reader.u8() & 0x7f;
            if (reader.failed() || index == 0 || index > properties.size())
                continue;
            const Box& property = properties[index - 1];
            auto found = items.find(id);
            if (found == items.end())
                continue;
            HeifItem& item = found->second;
            if (property.type == "ispe") {
                ByteReader size(property.body);
                size.read(4);
                const uint32_t width = size.u32();
                const uint32_t height = size.u32();
                if (!size.failed())
                    item.statedSize = PixelSize{width, height};
            } else if (property.type == "hvcC" || property.type == "av1C") {
                item.configurations.push_back({property.type, property.body});
            }
        }
    }
}

} // namespace

const HeifItem* HeifContainer::item(uint32_t id) const
{
    const auto found = std::find_if(items.begin(), items.end(), [&](const HeifItem& item) { return item.id == id; });
    return found == items.end() ? nullptr : &*found;
}

std::optional<HeifContainer> readHeifContainer(std::span<const uint8_t> file)
{
    const auto top = childBoxes(file);
    const Box* meta = findBox(top, "meta");
    if (!meta || meta->body.size() < 4)
        return std::nullopt;
    const auto children = childBoxes(meta->body.subspan(4));

    const Box* primary = findBox(children, "pitm");
    if (!primary)
        return std::nullopt;
    ByteReader pitm(primary->body);
    const uint8_t pitmVersion = pitm.u8();
    pitm.read(3);
    HeifContainer container;
    container.primaryItemId = pitmVersion == 0 ? pitm.u16() : pitm.u32();
    if (pitm.failed())
        return std::nullopt;

    std::map<uint32_t, HeifItem> items;
    if (const Box* info = findBox(children, "iinf"))
        readItemInfo(info->body, items);
    if (const Box* properties = findBox(children, "iprp"))
        readProperties(properties->body, items);

    // libheif bounds an offset into 'idat' by the size of the whole box rather than of its
    // contents, so it may read a few bytes past them; read what it reads.
    std::span<const uint8_t> itemData;
    if (const Box* idat = findBox(children, "idat")) {
        const size_t start = static_cast<size_t>(idat->body.data() - file.data());
        itemData = file.subspan(start, std::min(idat->body.size() + idat->headerSize, file.size() - start));
    }
    std::map<uint32_t, Location> locations;
    if (const Box* location = findBox(children, "iloc"))
        locations = readLocations(location->body);
    for (auto& [id, item] : items) {
        if (!wantsData(item.type))
            continue;
        const auto found = locations.find(id);
        if (found != locations.end())
            item.dataLocated = locateExtents(found->second, file, itemData, item.extents);
        if (!item.dataLocated)
            item.extents.clear();
    }
    for (auto& entry : items)
        container.items.push_back(std::move(entry.second));
    return container;
}

std::vector<uint8_t> joinedData(const HeifItem& item, size_t limit)
{
    std::vector<uint8_t> data;
    for (const auto& extent : item.extents) {
        const size_t take = std::min(extent.size(), limit - data.size());
        data.insert(data.end(), extent.begin(), extent.begin() + ptrdiff_t(take));
        if (data.size() == limit)
            break;
    }
    return data;
}

std::optional<PixelSize> derivedImageCanvas(const HeifItem& item)
{
    const std::vector<uint8_t> data = joinedData(item, 32); // more than either header needs
    ByteReader reader(data);
    const uint8_t version = reader.u8();
    const uint8_t flags = reader.u8();
    const size_t fieldSize = flags & 1 ? 4 : 2;
    if (item.type == "grid") {
        reader.u16(); // rows and columns, less one
    } else if (item.type == "iovl") {
        if (version != 0)
            return std::nullopt;
        reader.read(8); // the fill colour
    } else {
        return std::nullopt;
    }
    const auto width = static_cast<uint32_t>(reader.read(fieldSize));
    const auto height = static_cast<uint32_t>(reader.read(fieldSize));
    if (reader.failed())
        return std::nullopt;
    return PixelSize{width, height};
}

} // namespace pelorin
