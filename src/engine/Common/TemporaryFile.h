// TemporaryFile: owns a file being written under a hidden temporary name beside its final
// location, and removes it unless it was published. Publishing flushes the data to disk and
// renames the file over its final name in one step, so a final name only ever holds a complete
// file. Removal errors are ignored: there is nothing better to do with them.
#pragma once

#include <filesystem>
#include <system_error>

namespace pelorin {

class TemporaryFile {
public:
    // ".pelorin-<UUID>.tmp" inside `folder`; nothing is created.
    static std::filesystem::path makePath(const std::filesystem::path& folder);

    // Owns `path`, which the caller's writer creates.
    explicit TemporaryFile(std::filesystem::path path) : path_(std::move(path)) {}
    TemporaryFile(const TemporaryFile&) = delete;
    TemporaryFile& operator=(const TemporaryFile&) = delete;
    ~TemporaryFile() { remove(); }

    const std::filesystem::path& path() const { return path_; }

    // Flushes the file to disk, renames it over `destination` (replacing what is there in one
    // step), then flushes the folder. On success the file lives under its final name and is no
    // longer owned; on failure it is still owned and the error carries errno's meaning.
    // Without `durable` nothing is flushed: for files that are checked when read, so a crash
    // leaving a stale or truncated one costs nothing but a rebuild.
    std::error_code publish(const std::filesystem::path& destination, bool durable = true);

    // Removes the file now (if still owned).
    void remove();

private:
    std::filesystem::path path_;
    bool owned_ = true;
};

} // namespace pelorin
