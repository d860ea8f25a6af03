// PreparedWeightCache: a network's weights as the chosen kernels read them (Winograd transforms,
// blocked and bf16 layouts), kept in one file per model, processor level, input size and precision
// so that the next load maps them instead of converting again (the Winograd transforms alone take
// most of an fp32 load).
//
// Nothing in a file is trusted: its header must name the same key, a CRC-32 must cover every byte,
// and each tensor is taken only when its layout and the checksum of the weights it was made from
// match what the load has just computed. Anything else (absent, truncated, bit-flipped, another
// model's, another version's) reads as an empty cache, and the load converts as if there were none.
// Files are written under a temporary name and renamed into place; the least recently used beyond
// keptFiles are removed.
#pragma once

#include "engine/Common/Result.h"

#include <oneapi/dnnl/dnnl.hpp>

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace pelorin::inference {

class PreparedWeightCache {
public:
    static constexpr size_t keptFiles = 4;

    // $XDG_CACHE_HOME/pelorin/prepared-weights, else ~/.cache/pelorin/prepared-weights; none
    // without either variable.
    static std::optional<std::filesystem::path> defaultDirectory();

    // The cache file for `key` in `directory`, verified; empty when there is none or it fails any check.
    static std::shared_ptr<const PreparedWeightCache> open(const std::filesystem::path& directory,
                                                           const std::string& key);

    ~PreparedWeightCache();
    PreparedWeightCache(const PreparedWeightCache&) = delete;
    PreparedWeightCache& operator=(const PreparedWeightCache&) = delete;

    size_t size() const { return entries_.size(); }

    // Tensor `index` (in lowering order) when it was prepared in layout `desc` from weights whose
    // CRC-32 is `sourceChecksum`. The bytes live as long as this cache.
    std::optional<std::span<const std::byte>> find(size_t index, const dnnl::memory::desc& desc,
                                                   uint32_t sourceChecksum) const;

    struct Tensor {
        dnnl::memory::desc desc;
        uint32_t sourceChecksum = 0;
        const void* data = nullptr; // desc.get_size() bytes
    };
    // Writes `tensors` as the cache file for `key` (replacing it in one step) and trims the folder
    // to keptFiles; the error says why nothing was written.
    static Result<void, std::string> write(const std::filesystem::path& directory, const std::string& key,
                                           const std::vector<Tensor>& tensors);

    static std::filesystem::path fileFor(const std::filesystem::path& directory, const std::string& key);

private:
    struct Entry {
        dnnl::memory::desc desc;
        uint32_t sourceChecksum;
        size_t offset, size;
    };
    PreparedWeightCache() = default;

    const std::byte* mapping_ = nullptr; // the whole file, read-only
    size_t mappedBytes_ = 0;
    std::vector<Entry> entries_;
};

// CRC-32 of a tensor's bytes, as recorded with each cached tensor.
uint32_t weightChecksum(std::span<const float> values);

} // namespace pelorin::inference
