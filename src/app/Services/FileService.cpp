#include "app/Services/FileService.h"

#include "engine/Models/ProcessingSettings.h"

#include <set>
#include <sys/stat.h>
#include <utility>

namespace pelorin {

namespace fs = std::filesystem;

namespace {

using DirectoryIdentity = std::pair<dev_t, ino_t>;

// The folder a path leads to (links followed), so two routes to one folder compare equal.
std::optional<DirectoryIdentity> directoryIdentity(const fs::path& path)
{
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0 || !S_ISDIR(info.st_mode))
        return std::nullopt;
    return DirectoryIdentity{info.st_dev, info.st_ino};
}

bool isHidden(const fs::path& path)
{
    const std::string name = path.filename().native(); // filename() is a temporary
    return !name.empty() && name.front() == '.';
}

// Own stack of directory iterators rather than recursive_directory_iterator: that one ends the
// whole walk on the first subfolder it cannot open, where a bad folder should only skip itself.
void walk(const fs::path& root, std::vector<fs::path>& found)
{
    const auto rootIdentity = directoryIdentity(root);
    if (!rootIdentity)
        return;
    std::set<DirectoryIdentity> entered{*rootIdentity};

    std::error_code error;
    std::vector<fs::directory_iterator> stack;
    fs::directory_iterator first(root, fs::directory_options::skip_permission_denied, error);
    if (error)
        return;
    stack.push_back(std::move(first));

    while (!stack.empty()) {
        auto& level = stack.back();
        if (level == fs::directory_iterator()) {
            stack.pop_back();
            continue;
        }
        const fs::path path = level->path();
        const bool isFolder = level->is_directory(error) && !error;
        error.clear();
        level.increment(error);
        if (error)
            level = fs::directory_iterator(); // the rest of this folder is unreadable: leave it

        if (isHidden(path))
            continue;
        if (ProcessingSettings::isSupportedImage(path))
            found.push_back(path);
        if (!isFolder)
            continue;
        // A folder met twice (a link to an ancestor, or two links to one folder) is walked once.
        const auto identity = directoryIdentity(path);
        if (!identity || !entered.insert(*identity).second)
            continue;
        fs::directory_iterator below(path, fs::directory_options::skip_permission_denied, error);
        if (!error)
            stack.push_back(std::move(below));
    }
}

} // namespace

std::vector<fs::path> FileService::collectImageFiles(const std::vector<fs::path>& urls) const
{
    std::vector<fs::path> found;
    try {
        for (const auto& url : urls) {
            std::error_code error;
            const auto status = fs::status(url, error);
            if (!fs::exists(status))
                continue;
            if (fs::is_directory(status))
                walk(url, found);
            else if (ProcessingSettings::isSupportedImage(url))
                found.push_back(url);
        }
    } catch (const std::exception&) {
        // Only allocation can throw here; what was found so far is still worth queuing.
    }
    return found;
}

std::error_code FileService::ensureDirectory(const fs::path& directory) const
{
    std::error_code error;
    if (fs::exists(directory, error))
        return {};
    error.clear();
    try {
        fs::create_directories(directory, error);
    } catch (const std::bad_alloc&) {
        error = std::make_error_code(std::errc::not_enough_memory);
    }
    return error;
}

fs::path FileService::uniqueOutputURL(const fs::path& directory, const std::string& baseName, const std::string& ext,
                                      const std::unordered_set<std::string>& avoiding) const
{
    const auto isFree = [&](const fs::path& candidate) {
        std::error_code error;
        return !fs::exists(fs::symlink_status(candidate, error)) && !avoiding.contains(standardizedPath(candidate));
    };
    fs::path candidate = directory / (baseName + "." + ext);
    for (unsigned long long n = 1; !isFree(candidate); ++n)
        candidate = directory / (baseName + "-" + std::to_string(n) + "." + ext);
    return candidate;
}

std::string standardizedPath(const fs::path& url)
{
    if (url.empty())
        return {};
    std::error_code error;
    fs::path absolute = fs::absolute(url, error);
    if (error)
        absolute = url;
    std::string text = absolute.lexically_normal().native();
    // "/a/b/" and "/a/b" name the same entry.
    while (text.size() > 1 && text.back() == '/')
        text.pop_back();
    return text;
}

} // namespace pelorin
