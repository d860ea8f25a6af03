#include "engine/Inference/ModelLocator.h"

#include <cstdlib>
#include <pwd.h>
#include <system_error>
#include <unistd.h>
#include <vector>

#ifndef PELORIN_INSTALL_DATADIR
#error "PELORIN_INSTALL_DATADIR must name the installed data folder (set by CMake)"
#endif

namespace pelorin {
namespace {

namespace fs = std::filesystem;

const char* nonEmptyEnv(const char* name)
{
    const char* value = std::getenv(name);
    return value && *value ? value : nullptr;
}

std::optional<fs::path> homeDirectory()
{
    if (const char* home = nonEmptyEnv("HOME"))
        return fs::path(home);
    // A service started without HOME still has a passwd entry.
    long size = sysconf(_SC_GETPW_R_SIZE_MAX);
    std::vector<char> buffer(size > 0 ? static_cast<size_t>(size) : 16384);
    passwd entry{};
    passwd* found = nullptr;
    if (getpwuid_r(getuid(), &entry, buffer.data(), buffer.size(), &found) == 0 && found && found->pw_dir
        && *found->pw_dir)
        return fs::path(found->pw_dir);
    return std::nullopt;
}

std::optional<fs::path> cacheCandidate()
{
    // The XDG rules ignore a relative XDG_CACHE_HOME.
    if (const char* xdg = nonEmptyEnv("XDG_CACHE_HOME"); xdg && fs::path(xdg).is_absolute())
        return fs::path(xdg) / "pelorin" / "models" / modelFileName;
    if (auto home = homeDirectory())
        return *home / ".cache" / "pelorin" / "models" / modelFileName;
    return std::nullopt;
}

fs::path installCandidate()
{
    return fs::path(PELORIN_INSTALL_DATADIR) / "models" / modelFileName;
}

bool isModelFile(const fs::path& path)
{
    std::error_code error;
    return fs::is_regular_file(path, error); // follows symlinks; any error means "not there"
}

} // namespace

std::optional<fs::path> locateModel()
{
    if (const char* explicitPath = nonEmptyEnv("PELORIN_MODEL"); explicitPath && isModelFile(explicitPath))
        return fs::path(explicitPath);
    if (auto install = installCandidate(); isModelFile(install))
        return install;
    if (auto cache = cacheCandidate(); cache && isModelFile(*cache))
        return cache;
    return std::nullopt;
}

std::string modelSearchDescription()
{
    std::string text = "the segmentation model was looked for at: ";
    if (const char* explicitPath = nonEmptyEnv("PELORIN_MODEL"))
        text += std::string("$PELORIN_MODEL = ") + explicitPath;
    else
        text += "$PELORIN_MODEL (not set)";
    text += "; " + installCandidate().string();
    if (auto cache = cacheCandidate())
        text += "; " + cache->string();
    else
        text += "; the per-user cache (neither XDG_CACHE_HOME nor HOME is known)";
    text += ". Run scripts/fetch-model to install it, or set PELORIN_MODEL to the file.";
    return text;
}

} // namespace pelorin
