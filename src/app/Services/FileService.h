// FileService: intake's folder walk and the output-naming file checks, on the real file system.
// Stateless; every operation is synchronous, never throws, and may be called from any thread.
#pragma once

#include "app/Services/FileServicing.h"

namespace pelorin {

class FileService final : public FileServicing {
public:
    // Folders are walked depth first in directory order, following links to folders; a folder is
    // entered at most once per walk, so link loops end. Hidden entries (a name starting with a
    // dot) and everything below a hidden folder are left out; an entry that cannot be read is
    // skipped and the walk goes on. Only names are tested: a folder named x.png inside a walk is
    // collected like a file.
    std::vector<std::filesystem::path> collectImageFiles(const std::vector<std::filesystem::path>& urls) const override;

    // Nothing is done when anything exists at the path (even a file); otherwise the folder and
    // its missing parents are created and the creation error, if any, is returned.
    std::error_code ensureDirectory(const std::filesystem::path& directory) const override;

    // A name is taken when any entry exists there, dangling links included, so nothing is ever
    // replaced. A path whose status cannot be read counts as free (the write then reports it).
    std::filesystem::path uniqueOutputURL(const std::filesystem::path& directory, const std::string& baseName,
                                          const std::string& ext,
                                          const std::unordered_set<std::string>& avoiding) const override;
};

} // namespace pelorin
