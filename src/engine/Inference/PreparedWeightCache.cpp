#include "engine/Inference/PreparedWeightCache.h"

#include "engine/Common/FileDescriptor.h"
#include "engine/Common/Sha256.h"
#include "engine/Common/TemporaryFile.h"

#include <libdeflate.h>

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <type_traits>

namespace pelorin::inference {
namespace {

constexpr char magic[8] = {'P', 'E', 'L', 'W', 'G', 'H', 'T', 'S'};
// Bumped whenever what a file holds, or how the weights in it are made, changes.
constexpr uint32_t formatVersion = 1;
// Tensors start on page boundaries: mapped, every one is tensor-aligned.
constexpr size_t payloadAlignment = 4096;

struct FileHeader {
    char magic[8];
    uint32_t formatVersion;
    uint32_t descBytes; // sizeof(dnnl_memory_desc_t) of the writer
    uint8_t key[32];    // SHA-256 of the key text
    uint64_t entryCount;
    uint64_t fileBytes;
    uint32_t checksum; // CRC-32 of the header up to here and of every byte after the header
    uint32_t reserved;
};

struct EntryRecord {
    dnnl_memory_desc_t desc;
    uint32_t sourceChecksum;
    uint32_t reserved;
    uint64_t offset;
    uint64_t size;
};

static_assert(std::is_trivially_copyable_v<FileHeader> && std::is_trivially_copyable_v<EntryRecord>);

uint32_t crc(uint32_t running, const void* bytes, size_t size)
{
    return libdeflate_crc32(running, bytes, size);
}

uint32_t headerChecksum(const FileHeader& header)
{
    return crc(0, &header, offsetof(FileHeader, checksum));
}

size_t alignUp(size_t value)
{
    return (value + payloadAlignment - 1) / payloadAlignment * payloadAlignment;
}

std::string errnoText()
{
    return std::strerror(errno);
}

bool writeAll(int fd, const void* bytes, size_t size)
{
    const auto* at = static_cast<const char*>(bytes);
    while (size > 0) {
        const ssize_t done = ::write(fd, at, std::min(size, size_t{1} << 30));
        if (done < 0 && errno == EINTR)
            continue;
        if (done <= 0)
            return false;
        at += done;
        size -= size_t(done);
    }
    return true;
}

// Removes the least recently used cache files beyond `kept` (a hit touches its file).
void trim(const std::filesystem::path& directory, size_t kept)
{
    std::error_code error;
    std::vector<std::pair<std::filesystem::file_time_type, std::filesystem::path>> files;
    for (const auto& entry : std::filesystem::directory_iterator(directory, error))
        if (entry.path().extension() == ".weights" && entry.is_regular_file(error))
            files.emplace_back(entry.last_write_time(error), entry.path());
    if (files.size() <= kept)
        return;
    std::sort(files.begin(), files.end(), [](const auto& a, const auto& b) { return a.first > b.first; });
    for (size_t i = kept; i < files.size(); ++i)
        std::filesystem::remove(files[i].second, error);
}

} // namespace

std::optional<std::filesystem::path> PreparedWeightCache::defaultDirectory()
{
    std::filesystem::path base;
    if (const char* xdg = std::getenv("XDG_CACHE_HOME"); xdg && *xdg == '/')
        base = xdg;
    else if (const char* home = std::getenv("HOME"); home && *home)
        base = std::filesystem::path(home) / ".cache";
    else
        return std::nullopt;
    return base / "pelorin" / "prepared-weights";
}

std::filesystem::path PreparedWeightCache::fileFor(const std::filesystem::path& directory, const std::string& key)
{
    return directory / (hexString(sha256Of(key)).substr(0, 16) + ".weights");
}

std::shared_ptr<const PreparedWeightCache> PreparedWeightCache::open(const std::filesystem::path& directory,
                                                                     const std::string& key)
{
    const auto empty = [] { return std::shared_ptr<const PreparedWeightCache>(new PreparedWeightCache()); };
    FileDescriptor file(::open(fileFor(directory, key).c_str(), O_RDONLY | O_CLOEXEC));
    struct stat status {};
    if (!file.isOpen() || ::fstat(file.get(), &status) != 0 || !S_ISREG(status.st_mode)
        || size_t(status.st_size) < sizeof(FileHeader))
        return empty();
    // Mapped, not read: reading 550 MB of fp32 Winograd weights into fresh memory took 440 ms of a
    // 650 ms load, mapping them 50 ms. Our writers never change a published file in place (they
    // rename a new one over it, and trimming unlinks), so the mapping stays whole.
    const size_t bytes = size_t(status.st_size);
    void* mapped = ::mmap(nullptr, bytes, PROT_READ, MAP_PRIVATE | MAP_POPULATE, file.get(), 0);
    if (mapped == MAP_FAILED)
        return empty();
    std::shared_ptr<PreparedWeightCache> cache(new PreparedWeightCache()); // unmaps when refused below
    cache->mapping_ = static_cast<const std::byte*>(mapped);
    cache->mappedBytes_ = bytes;

    FileHeader header;
    std::memcpy(&header, cache->mapping_, sizeof header);
    const Sha256Digest keyDigest = sha256Of(key);
    const size_t tableEnd = sizeof(FileHeader) + header.entryCount * sizeof(EntryRecord);
    if (std::memcmp(header.magic, magic, sizeof magic) != 0 || header.formatVersion != formatVersion
        || header.descBytes != sizeof(dnnl_memory_desc_t)
        || std::memcmp(header.key, keyDigest.data(), keyDigest.size()) != 0 || header.fileBytes != bytes
        || header.entryCount > (bytes - sizeof(FileHeader)) / sizeof(EntryRecord))
        return empty();
    const uint32_t checksum =
        crc(headerChecksum(header), cache->mapping_ + sizeof(FileHeader), bytes - sizeof(FileHeader));
    if (checksum != header.checksum)
        return empty();

    std::vector<Entry> entries;
    for (size_t i = 0; i < header.entryCount; ++i) {
        EntryRecord record;
        std::memcpy(&record, cache->mapping_ + sizeof(FileHeader) + i * sizeof(EntryRecord), sizeof record);
        // A file that passed its checksum was written by us; these only keep a writer's bug from
        // becoming an out-of-bounds read.
        if (record.offset % payloadAlignment != 0 || record.offset < tableEnd || record.offset > bytes
            || record.size > bytes - record.offset || record.desc.ndims < 0 || record.desc.ndims > DNNL_MAX_NDIMS)
            return empty();
        dnnl::memory::desc desc(record.desc);
        if (desc.get_size() != record.size)
            return empty();
        entries.push_back({desc, record.sourceChecksum, size_t(record.offset), size_t(record.size)});
    }
    cache->entries_ = std::move(entries);
    ::futimens(file.get(), nullptr); // most recently used; a read-only folder just keeps its order
    return cache;
}

PreparedWeightCache::~PreparedWeightCache()
{
    if (mapping_)
        ::munmap(const_cast<std::byte*>(mapping_), mappedBytes_);
}

std::optional<std::span<const std::byte>> PreparedWeightCache::find(size_t index, const dnnl::memory::desc& desc,
                                                                    uint32_t sourceChecksum) const
{
    if (index >= entries_.size())
        return std::nullopt;
    const Entry& entry = entries_[index];
    if (entry.sourceChecksum != sourceChecksum || entry.desc != desc)
        return std::nullopt;
    return std::span<const std::byte>(mapping_ + entry.offset, entry.size);
}

Result<void, std::string> PreparedWeightCache::write(const std::filesystem::path& directory, const std::string& key,
                                                     const std::vector<Tensor>& tensors)
{
    std::error_code error;
    std::filesystem::create_directories(directory, error);
    if (error)
        return unexpected("cannot create " + directory.string() + ": " + error.message());

    std::vector<EntryRecord> table(tensors.size());
    size_t offset = alignUp(sizeof(FileHeader) + table.size() * sizeof(EntryRecord));
    for (size_t i = 0; i < tensors.size(); ++i) {
        std::memset(&table[i], 0, sizeof table[i]);
        table[i].desc = tensors[i].desc.data;
        table[i].sourceChecksum = tensors[i].sourceChecksum;
        table[i].offset = offset;
        table[i].size = tensors[i].desc.get_size();
        offset = alignUp(offset + table[i].size);
    }
    FileHeader header{};
    std::memcpy(header.magic, magic, sizeof magic);
    header.formatVersion = formatVersion;
    header.descBytes = sizeof(dnnl_memory_desc_t);
    const Sha256Digest keyDigest = sha256Of(key);
    std::memcpy(header.key, keyDigest.data(), keyDigest.size());
    header.entryCount = table.size();
    header.fileBytes = tensors.empty() ? sizeof(FileHeader) : table.back().offset + table.back().size;

    TemporaryFile temporary(TemporaryFile::makePath(directory));
    {
        FileDescriptor file(::open(temporary.path().c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644));
        if (!file.isOpen())
            return unexpected("cannot write in " + directory.string() + ": " + errnoText());
        uint32_t checksum = headerChecksum(header);
        const std::vector<char> zeros(payloadAlignment, 0);
        size_t at = sizeof(FileHeader);
        auto append = [&](const void* bytes, size_t size) {
            checksum = crc(checksum, bytes, size);
            at += size;
            return writeAll(file.get(), bytes, size);
        };
        bool written = ::lseek(file.get(), sizeof(FileHeader), SEEK_SET) == off_t(sizeof(FileHeader))
            && append(table.data(), table.size() * sizeof(EntryRecord));
        for (size_t i = 0; written && i < tensors.size(); ++i)
            written = append(zeros.data(), table[i].offset - at) && append(tensors[i].data, table[i].size);
        header.checksum = checksum;
        written = written && ::pwrite(file.get(), &header, sizeof header, 0) == ssize_t(sizeof header);
        if (!written)
            return unexpected("cannot write " + temporary.path().string() + ": " + errnoText());
    }
    if (const auto published = temporary.publish(fileFor(directory, key), /*durable=*/false))
        return unexpected("cannot publish the weight cache in " + directory.string() + ": " + published.message());
    trim(directory, keptFiles);
    return {};
}

uint32_t weightChecksum(std::span<const float> values)
{
    return crc(0, values.data(), values.size_bytes());
}

} // namespace pelorin::inference
