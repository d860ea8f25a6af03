#include "engine/Models/ProcessingSettings.h"

#include <algorithm>

namespace pelorin {

const std::unordered_set<std::string>& ProcessingSettings::supportedExtensions()
{
    static const std::unordered_set<std::string> extensions = {"png",  "jpg", "jpeg", "heic", "heif",
                                                               "tiff", "tif", "webp", "bmp"};
    return extensions;
}

bool ProcessingSettings::isSupportedImage(const std::filesystem::path& url)
{
    // A trailing separator names a folder: it has no extension.
    const auto name = url.filename();
    if (name.empty())
        return false;
    std::string extension = name.extension().string();
    if (extension.size() < 2)
        return false;
    extension.erase(0, 1);
    std::transform(extension.begin(), extension.end(), extension.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return supportedExtensions().contains(extension);
}

} // namespace pelorin
