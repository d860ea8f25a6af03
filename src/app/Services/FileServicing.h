// FileServicing: the file-system operations of intake and output naming, behind an interface so
// run control can be tested with a double. FileService is the real one.
#pragma once

#include <filesystem>
#include <string>
#include <system_error>
#include <unordered_set>
#include <vector>

namespace pelorin {

class FileServicing {
public:
    virtual ~FileServicing() = default;

    // Files named directly (if their extension is supported) and every supported file below the
    // folders named, walked deeply; hidden entries below a folder are skipped. Missing paths are
    // skipped. Not sorted, not de-duplicated.
    virtual std::vector<std::filesystem::path>
    collectImageFiles(const std::vector<std::filesystem::path>& urls) const = 0;

    // Creates the folder and its missing parents when nothing exists at its path.
    virtual std::error_code ensureDirectory(const std::filesystem::path& directory) const = 0;

    // directory/baseName.ext, or baseName-1.ext, -2… : the first whose path is free on disk and
    // whose normalised path is not in `avoiding`.
    virtual std::filesystem::path uniqueOutputURL(const std::filesystem::path& directory, const std::string& baseName,
                                                  const std::string& ext,
                                                  const std::unordered_set<std::string>& avoiding) const = 0;
};

// The lexically normalised absolute form of a path ("." and ".." resolved, links not), used as
// the identity of queued files and reserved output names.
std::string standardizedPath(const std::filesystem::path& url);

} // namespace pelorin
