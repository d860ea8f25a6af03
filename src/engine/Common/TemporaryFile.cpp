#include "engine/Common/TemporaryFile.h"

#include "engine/Common/FileDescriptor.h"
#include "engine/Common/Uuid.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

namespace pelorin {

namespace {

std::filesystem::path folderOf(const std::filesystem::path& file)
{
    std::filesystem::path folder = file.parent_path();
    return folder.empty() ? std::filesystem::path(".") : folder;
}

std::error_code lastError()
{
    return {errno, std::generic_category()};
}

} // namespace

std::filesystem::path TemporaryFile::makePath(const std::filesystem::path& folder)
{
    return folder / (".pelorin-" + Uuid::random().toString() + ".tmp");
}

std::error_code TemporaryFile::publish(const std::filesystem::path& destination, bool durable)
{
    if (durable) {
        // The data must be on disk before the name points at it, or a crash could leave a
        // truncated file under the final name.
        FileDescriptor file(::open(path_.c_str(), O_RDONLY | O_CLOEXEC));
        if (!file.isOpen() || ::fsync(file.get()) != 0)
            return lastError();
    }
    if (::rename(path_.c_str(), destination.c_str()) != 0)
        return lastError();
    owned_ = false;
    if (!durable)
        return {};
    // Make the new name itself durable; a failure here does not undo the publication.
    FileDescriptor folder(::open(folderOf(destination).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (folder.isOpen())
        ::fsync(folder.get());
    return {};
}

void TemporaryFile::remove()
{
    if (owned_) {
        std::error_code ignored;
        std::filesystem::remove(path_, ignored);
        owned_ = false;
    }
}

} // namespace pelorin
