#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <random>

namespace pelorin::test {

TemporaryDirectory::TemporaryDirectory()
{
    std::string pattern = (std::filesystem::temp_directory_path() / "pelorin-test-XXXXXX").string();
    if (!::mkdtemp(pattern.data()))
        throw std::runtime_error("mkdtemp failed");
    path_ = pattern;
}

TemporaryDirectory::~TemporaryDirectory()
{
    std::error_code ignored;
    // Tests may leave read-only folders behind; make them writable before removing.
    for (auto it = std::filesystem::recursive_directory_iterator(path_, ignored);
         it != std::filesystem::recursive_directory_iterator(); it.increment(ignored))
        if (it->is_directory(ignored))
            std::filesystem::permissions(it->path(), std::filesystem::perms::owner_all,
                                         std::filesystem::perm_options::add, ignored);
    std::filesystem::remove_all(path_, ignored);
}

std::filesystem::path samplePhoto(const std::string& name)
{
    std::filesystem::path cache;
    if (const char* dir = std::getenv("PELORIN_TEST_DATA"))
        cache = dir;
    else if (const char* xdg = std::getenv("XDG_CACHE_HOME"))
        cache = std::filesystem::path(xdg) / "pelorin/test-data";
    else
        cache = std::filesystem::path(std::getenv("HOME") ? std::getenv("HOME") : "/tmp") / ".cache/pelorin/test-data";
    auto path = cache / "photos" / name;
    EXPECT_TRUE(std::filesystem::exists(path)) << path << " is missing: run scripts/fetch-test-images";
    return path;
}

std::string shellQuote(const std::string& text)
{
    std::string quoted = "'";
    for (char c : text)
        quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return quoted + "'";
}

CommandResult runCommand(const std::string& commandLine)
{
    CommandResult result;
    FILE* pipe = ::popen((commandLine + " 2>/dev/null").c_str(), "r");
    if (!pipe)
        return result;
    std::array<char, 4096> buffer{};
    size_t n;
    while ((n = std::fread(buffer.data(), 1, buffer.size(), pipe)) > 0)
        result.output.append(buffer.data(), n);
    const int status = ::pclose(pipe);
    result.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return result;
}

static std::string trimmed(std::string text)
{
    text.erase(text.find_last_not_of("\r\n ") + 1);
    return text;
}

std::string exiftoolTag(const std::filesystem::path& file, const std::string& tag)
{
    return trimmed(runCommand("exiftool -s3 -n -" + tag + " " + shellQuote(file.string())).output);
}

std::string identifyFormat(const std::filesystem::path& file, const std::string& format)
{
    return trimmed(
        runCommand("identify -format " + shellQuote(format) + " " + shellQuote(file.string() + "[0]")).output);
}

std::vector<uint8_t> readFileBytes(const std::filesystem::path& file)
{
    std::ifstream in(file, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void writeFileBytes(const std::filesystem::path& file, const std::vector<uint8_t>& bytes)
{
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

Image makeImage(ImageFormat format, std::vector<uint8_t> bytes, std::optional<ColorSpace> colorSpace)
{
    auto block = PixelBlock::allocate(bytes.size());
    std::copy(bytes.begin(), bytes.end(), block.data());
    return Image(format, std::move(colorSpace), DataProvider::make(std::move(block)));
}

std::vector<uint8_t> randomBytes(size_t count, uint32_t seed)
{
    std::mt19937 generator(seed);
    std::vector<uint8_t> bytes(count);
    for (auto& b : bytes)
        b = static_cast<uint8_t>(generator());
    return bytes;
}

} // namespace pelorin::test
