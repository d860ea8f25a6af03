// TemporaryFile: owns a file that is being written under a temporary name and removes it unless
// it was published. Removal errors are ignored: there is nothing better to do with them.
#pragma once

#include <filesystem>
#include <system_error>

namespace pelorin {

class TemporaryFile {
public:
    explicit TemporaryFile(std::filesystem::path path) : path_(std::move(path)) {}
    TemporaryFile(const TemporaryFile&) = delete;
    TemporaryFile& operator=(const TemporaryFile&) = delete;
    ~TemporaryFile() { remove(); }

    const std::filesystem::path& path() const { return path_; }

    // Removes the file now (if still owned).
    void remove()
    {
        if (owned_) {
            std::error_code ignored;
            std::filesystem::remove(path_, ignored);
            owned_ = false;
        }
    }

    // The file now lives under another name; nothing to remove.
    void release() { owned_ = false; }

private:
    std::filesystem::path path_;
    bool owned_ = true;
};

} // namespace pelorin
