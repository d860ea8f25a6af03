#include "engine/Imaging/ExifDictionary.h"

#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <atomic>
#include <optional>
#include <random>
#include <thread>
#include <utility>

using namespace pelorin;
using namespace pelorin::test;

namespace {

// Writes a raw EXIF file with exiftool (which creates one from scratch) and returns its bytes.
std::vector<uint8_t> exiftoolBlock(const TemporaryDirectory& dir, const std::string& tagArguments)
{
    const auto file = dir / "made.exif";
    std::filesystem::remove(file);
    EXPECT_EQ(runCommand("exiftool -q -n -o " + shellQuote(file.string()) + " " + tagArguments).exitCode, 0)
        << tagArguments;
    return std::filesystem::exists(file) ? readFileBytes(file) : std::vector<uint8_t>{};
}

const std::string cameraTags =
    "-DateTimeOriginal='2021:06:15 10:20:30' -ExposureTime=0.004 -FNumber=2.8 -ISO=200 "
    "-FocalLength=50 -UserComment='hello there' -LensModel='Lens 50mm' -ExposureCompensation=-0.5 "
    "-Orientation=6 -XResolution=300 -YResolution=240 -ResolutionUnit=2 -Make=X -Model=Y "
    "-GPSLatitude=48.85 -GPSLatitudeRef=N -GPSLongitude=2.35 -GPSLongitudeRef=E -InteropIndex=R98";

// A rational as stored: two little-endian words.
std::vector<uint8_t> rational(uint8_t numerator, uint8_t denominator)
{
    return {numerator, 0, 0, 0, denominator, 0, 0, 0};
}

// A little-endian TIFF block assembled by hand, for structures exiftool will not write (maker
// notes, unknown tags, bad values): IFD0, then the Exif IFD when given, then out-of-line values.
struct RawEntry {
    uint16_t tag;
    uint16_t type;
    uint32_t count;
    std::vector<uint8_t> value; // little-endian; inline when ≤ 4 bytes
};

std::vector<uint8_t> handMadeTiff(std::vector<RawEntry> ifd0, const std::vector<RawEntry>& exifIfd)
{
    const auto ifdSize = [](size_t n) { return uint32_t(2 + 12 * n + 4); };
    const uint32_t exifOffset = 8 + ifdSize(ifd0.size() + !exifIfd.empty());
    uint32_t dataOffset = exifOffset + (exifIfd.empty() ? 0 : ifdSize(exifIfd.size()));
    if (!exifIfd.empty())
        ifd0.push_back({0x8769, 4, 1, {uint8_t(exifOffset), uint8_t(exifOffset >> 8), 0, 0}});
    std::vector<uint8_t> out = {'I', 'I', 42, 0, 8, 0, 0, 0}, data;
    const auto put = [&](uint32_t x, int bytes) {
        for (int i = 0; i < bytes; ++i)
            out.push_back(uint8_t(x >> 8 * i));
    };
    for (const auto* entries : {&std::as_const(ifd0), &exifIfd}) {
        if (entries->empty())
            continue;
        put(uint32_t(entries->size()), 2);
        for (const auto& e : *entries) {
            put(e.tag, 2);
            put(e.type, 2);
            put(e.count, 4);
            auto value = e.value;
            if (value.size() > 4) {
                put(uint32_t(dataOffset + data.size()), 4);
                data.insert(data.end(), value.begin(), value.end());
                data.resize((data.size() + 1) / 2 * 2);
            } else {
                value.resize(4);
                out.insert(out.end(), value.begin(), value.end());
            }
        }
        put(0, 4);
    }
    out.insert(out.end(), data.begin(), data.end());
    return out;
}

} // namespace

// What a cutout carries from real camera EXIF is checked through CutoutFidelity; here what the
// parser keeps and leaves out. Random damage is the fuzz target's.
TEST(ExifDictionary, ReadsOnlyTheExifSubIfdWhateverTheByteOrder)
{
    TemporaryDirectory dir;
    const auto block = exiftoolBlock(dir, cameraTags); // exiftool writes big-endian by default
    ASSERT_EQ(block.at(0), 'M');
    const auto parsed = parseExifBlock(block);
    ASSERT_TRUE(parsed);
    const auto& exif = parsed->exif;
    EXPECT_EQ(exif.at("ExposureTime").bytes, rational(1, 250)); // stored little-endian
    EXPECT_EQ(exif.at("ExposureBiasValue").type, 10);
    // No camera identity, no location, no pointers, no interoperability.
    for (const char* absent : {"Make", "Model", "Orientation", "XResolution", "GPSLatitude", "GPSTag", "ExifTag",
                               "InteroperabilityTag", "InteroperabilityIndex"})
        EXPECT_FALSE(exif.count(absent)) << absent;
    EXPECT_EQ(parsed->orientation, 6);
    EXPECT_EQ(parsed->xResolution, 300.0);
    EXPECT_EQ(parsed->yResolution, 240.0);

    // The same tags written little-endian, and behind the "Exif\0\0" prefix, read the same.
    auto littleEndian = exiftoolBlock(dir, cameraTags + " -ExifByteOrder=II");
    ASSERT_EQ(littleEndian.at(0), 'I');
    const auto plain = parseExifBlock(littleEndian);
    littleEndian.insert(littleEndian.begin(), {'E', 'x', 'i', 'f', 0, 0});
    const auto prefixed = parseExifBlock(littleEndian);
    ASSERT_TRUE(plain && prefixed);
    EXPECT_TRUE(plain->exif == exif && prefixed->exif == exif);
    EXPECT_EQ(prefixed->orientation, 6);

    // Written back: no prefix, the same dictionary, and nothing in IFD1 (no thumbnail).
    const auto blob = serializeExifBlock(&exif, 3);
    ASSERT_TRUE(blob.size() >= 8 && blob[0] != 'E');
    const auto reparsed = parseExifBlock(blob);
    ASSERT_TRUE(reparsed);
    EXPECT_EQ(reparsed->exif, exif);
    EXPECT_EQ(reparsed->orientation, 3);
    EXPECT_FALSE(reparsed->xResolution);
    writeFileBytes(dir / "written.exif", blob);
    EXPECT_EQ(runCommand("exiftool -q -IFD1:all " + shellQuote((dir / "written.exif").string())).output, "");
}

// Centimetres converted, no unit stated read as inches, a "none" unit and a zero denominator give
// no resolution, an orientation outside 1…8 none. (0 below: absent.)
TEST(ExifDictionary, ConvertsResolutionToDotsPerInchAndIgnoresInvalidValues)
{
    TemporaryDirectory dir;
    for (const auto& [block, x, y, orientation] :
         {std::tuple{exiftoolBlock(dir, "-XResolution=100 -YResolution=50 -ResolutionUnit=3 -Orientation=8"), 254.0,
                     127.0, 8},
          {exiftoolBlock(dir, "-XResolution=100 -YResolution=50 -ResolutionUnit=1"), 0.0, 0.0, 0},
          {handMadeTiff({{0x0112, 3, 1, {9, 0}}, {0x011a, 5, 1, rational(72, 1)}, {0x011b, 5, 1, rational(72, 0)}}, {}),
           72.0, 0.0, 0}}) {
        const auto parsed = parseExifBlock(block);
        ASSERT_TRUE(parsed);
        EXPECT_NEAR(parsed->xResolution.value_or(0), x, 1e-9);
        EXPECT_NEAR(parsed->yResolution.value_or(0), y, 1e-9);
        EXPECT_EQ(parsed->orientation.value_or(0), orientation);
        EXPECT_TRUE(parsed->exif.empty());
    }
}

TEST(ExifDictionary, LeavesOutMakerNotesAndUnwritableEntriesAndKeepsUnknownTags)
{
    // With Make "Canon" exiv2 decodes the maker note (an IFD; these values are all inline),
    // the code path where crafted files have crashed it before: fuzz it too.
    const std::vector<uint8_t> makerNote = {3,    0,                                     //
                                            0x10, 0, 4, 0, 1, 0, 0, 0, 0x81, 2, 0, 0x80, // model id
                                            0x04, 0, 3, 0, 2, 0, 0, 0, 4,    0, 1, 0,    // shot info
                                            0x01, 0, 3, 0, 1, 0, 0, 0, 2,    0, 0, 0,    // camera settings
                                            0,    0, 0, 0};
    const std::string make = std::string("Canon") + '\0';
    const auto block = handMadeTiff({{0x010f, 2, 6, {make.begin(), make.end()}}},
                                    {{0x829a, 5, 1, rational(1, 125)}, // exposure time
                                     {0x927c, 7, uint32_t(makerNote.size()), makerNote},
                                     {0x9999, 3, 2, {7, 0, 9, 0}}});
    const auto parsed = parseExifBlock(block);
    ASSERT_TRUE(parsed);
    EXPECT_EQ(parsed->exif.size(), 2u);
    EXPECT_EQ(parsed->exif.at("ExposureTime").bytes, rational(1, 125));
    EXPECT_EQ(parsed->exif.at("0x9999"), (ExifValue{0x9999, 3, 2, {7, 0, 9, 0}}));

    // Unknown tags survive a round trip by number; an entry exiv2 cannot take (no such TIFF type)
    // and a maker note are left out of what is written. (An orientation alone is written through
    // PngEncoder's tests.)
    auto given = parsed->exif;
    given["Bogus"] = {0x9998, 99, 1, {1, 2, 3, 4}};
    given["MakerNote"] = {0x927c, 7, 4, {1, 2, 3, 4}};
    const auto again = parseExifBlock(serializeExifBlock(&given, std::nullopt));
    ASSERT_TRUE(again);
    EXPECT_EQ(again->exif, parsed->exif);
    EXPECT_FALSE(again->orientation);

    std::mt19937 random(11);
    for (int round = 0; round < 3000; ++round) {
        auto damaged = block;
        for (int flips = 1 + round % 6; flips > 0; --flips)
            damaged[8 + random() % (damaged.size() - 8)] = uint8_t(random());
        const auto result = parseExifBlock(damaged);
        EXPECT_FALSE(result && result->exif.count("MakerNote"));
    }
}

TEST(ExifDictionary, ConcurrentCallsAgreeWithASingleThread)
{
    TemporaryDirectory dir;
    const auto block = exiftoolBlock(dir, cameraTags);
    const auto expected = parseExifBlock(block);
    ASSERT_TRUE(expected);
    const auto expectedBlob = serializeExifBlock(&expected->exif, 6);

    std::atomic<int> mismatches = 0;
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&, t] {
            for (int i = 0; i < 200; ++i) {
                const auto parsed = parseExifBlock(block);
                if (!parsed || parsed->exif != expected->exif || serializeExifBlock(&parsed->exif, 6) != expectedBlob)
                    ++mismatches;
                (void)parseExifBlock(randomBytes(64, uint32_t(t * 1000 + i)));
            }
        });
    for (auto& thread : threads)
        thread.join();
    EXPECT_EQ(mismatches, 0);
}
