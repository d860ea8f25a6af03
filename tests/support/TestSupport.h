// Helpers shared by the test programs: sandboxes, the cached sample photographs, external tools
// (exiftool, ImageMagick) used as independent readers of what we write, and image builders.
#pragma once

#include "engine/Imaging/Image.h"

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace pelorin::test {

// A fresh folder under the system's temporary directory, removed with everything in it.
class TemporaryDirectory {
public:
    TemporaryDirectory();
    ~TemporaryDirectory();
    TemporaryDirectory(const TemporaryDirectory&) = delete;
    TemporaryDirectory& operator=(const TemporaryDirectory&) = delete;
    const std::filesystem::path& path() const { return path_; }
    std::filesystem::path operator/(const std::string& name) const { return path_ / name; }

private:
    std::filesystem::path path_;
};

// A real photograph from the test-data cache (scripts/fetch-test-images fills it). Fails the
// calling test with a clear message when the cache is missing.
std::filesystem::path samplePhoto(const std::string& name);

struct CommandResult {
    int exitCode = -1;
    std::string output; // stdout
};
// Runs a shell command line; stderr is discarded.
CommandResult runCommand(const std::string& commandLine);
// Quotes a path for a shell command line.
std::string shellQuote(const std::string& text);

// `exiftool -s3 -n -<tag>` on a file: the tag's value as printed, or empty when absent.
std::string exiftoolTag(const std::filesystem::path& file, const std::string& tag);
// ImageMagick `identify -format <format>` on a file (first frame).
std::string identifyFormat(const std::filesystem::path& file, const std::string& format);

std::vector<uint8_t> readFileBytes(const std::filesystem::path& file);
void writeFileBytes(const std::filesystem::path& file, const std::vector<uint8_t>& bytes);

// An image over a copy of `bytes` with the given format fields and an sRGB colour space.
Image makeImage(ImageFormat format, std::vector<uint8_t> bytes,
                std::optional<ColorSpace> colorSpace = ColorSpace::named(ColorSpace::Name::sRGB));
// Seeded pseudo-random bytes.
std::vector<uint8_t> randomBytes(size_t count, uint32_t seed);

} // namespace pelorin::test
