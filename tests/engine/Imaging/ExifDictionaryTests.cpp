#include "engine/Imaging/ExifDictionary.h"

#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <atomic>
#include <optional>
#include <random>
#include <thread>

using namespace pelorin;
using namespace pelorin::test;

namespace {

// Writes a raw EXIF file with exiftool (which creates one from scratch) and returns its bytes.
std::vector<uint8_t> exiftoolBlock(const TemporaryDirectory& dir, const std::string& tagArguments)
{
    const auto file = dir / "made.exif";
    std::filesystem::remove(file);
    const auto result = runCommand("exiftool -q -n -o " + shellQuote(file.string()) + " " + tagArguments);
    EXPECT_EQ(result.exitCode, 0) << "exiftool could not write " << tagArguments;
    return std::filesystem::exists(file) ? readFileBytes(file) : std::vector<uint8_t>{};
}

const std::string cameraTags =
    "-DateTimeOriginal='2021:06:15 10:20:30' -ExposureTime=0.004 -FNumber=2.8 -ISO=200 "
    "-FocalLength=50 -UserComment='hello there' -LensModel='Lens 50mm' -ExposureCompensation=-0.5 "
    "-Orientation=6 -XResolution=300 -YResolution=240 -ResolutionUnit=2 -Make=X -Model=Y "
    "-GPSLatitude=48.85 -GPSLatitudeRef=N -GPSLongitude=2.35 -GPSLongitudeRef=E -InteropIndex=R98";

std::pair<uint32_t, uint32_t> rationalOf(const ExifValue& value)
{
    EXPECT_EQ(value.bytes.size(), 8u);
    if (value.bytes.size() < 8)
        return {0, 0};
    auto word = [&](size_t at) {
        return uint32_t(value.bytes[at]) | uint32_t(value.bytes[at + 1]) << 8 |
               uint32_t(value.bytes[at + 2]) << 16 | uint32_t(value.bytes[at + 3]) << 24;
    };
    return {word(0), word(4)};
}

std::string textOf(const ExifValue& value)
{
    return std::string(value.bytes.begin(), value.bytes.end());
}

// A little-endian TIFF block assembled by hand, for structures exiftool will not write
// (maker notes, unknown tags, lying counts).
struct RawEntry {
    uint16_t tag;
    uint16_t type;
    uint32_t count;
    std::vector<uint8_t> value;        // little-endian; inline when ≤ 4 bytes
    std::optional<uint32_t> offset{};  // written as is instead of the value
};

std::vector<uint8_t> handMadeTiff(std::vector<RawEntry> ifd0, const std::vector<RawEntry>& exifIfd)
{
    auto ifdSize = [](size_t n) { return 2 + 12 * n + 4; };
    const size_t ifd0Count = ifd0.size() + (exifIfd.empty() ? 0 : 1);
    const uint32_t exifOffset = uint32_t(8 + ifdSize(ifd0Count));
    size_t dataOffset = exifOffset + (exifIfd.empty() ? 0 : ifdSize(exifIfd.size()));
    if (!exifIfd.empty())
        ifd0.push_back({0x8769, 4, 1, {}, exifOffset});

    std::vector<uint8_t> out = {'I', 'I', 42, 0, 8, 0, 0, 0};
    std::vector<uint8_t> data;
    auto put16 = [](std::vector<uint8_t>& v, uint16_t x) { v.push_back(uint8_t(x)); v.push_back(uint8_t(x >> 8)); };
    auto put32 = [&](std::vector<uint8_t>& v, uint32_t x) { put16(v, uint16_t(x)); put16(v, uint16_t(x >> 16)); };
    auto writeIfd = [&](const std::vector<RawEntry>& entries) {
        put16(out, uint16_t(entries.size()));
        for (const auto& e : entries) {
            put16(out, e.tag);
            put16(out, e.type);
            put32(out, e.count);
            if (e.offset) {
                put32(out, *e.offset);
            } else if (e.value.size() <= 4) {
                auto inlineValue = e.value;
                inlineValue.resize(4, 0);
                out.insert(out.end(), inlineValue.begin(), inlineValue.end());
            } else {
                put32(out, uint32_t(dataOffset + data.size()));
                data.insert(data.end(), e.value.begin(), e.value.end());
                if (data.size() % 2)
                    data.push_back(0);
            }
        }
        put32(out, 0);
    };
    writeIfd(ifd0);
    if (!exifIfd.empty())
        writeIfd(exifIfd);
    out.insert(out.end(), data.begin(), data.end());
    return out;
}

const RawEntry exposureTime{0x829a, 5, 1, {1, 0, 0, 0, 125, 0, 0, 0}};

} // namespace

// Values of each type are checked through the decoders (TiffDecoder's expectCameraExif) and what
// a cutout carries through CutoutFidelity; here what the parser keeps and leaves out.
TEST(ExifDictionary, ReadsOnlyTheExifSubIfdWhateverTheByteOrder)
{
    TemporaryDirectory dir;
    const auto block = exiftoolBlock(dir, cameraTags); // exiftool writes big-endian by default
    ASSERT_GE(block.size(), 8u);
    ASSERT_EQ(block[0], 'M');
    const auto parsed = parseExifBlock(block);
    ASSERT_TRUE(parsed);
    const auto& exif = parsed->exif;
    EXPECT_EQ(rationalOf(exif.at("ExposureTime")), std::make_pair(1u, 250u)); // stored little-endian
    EXPECT_EQ(exif.at("ExposureBiasValue").type, 10);
    EXPECT_NE(textOf(exif.at("UserComment")).find("hello there"), std::string::npos);
    // No camera identity, no location, no pointers, no interoperability.
    for (const char* absent : {"Make", "Model", "Orientation", "XResolution", "GPSLatitude", "GPSTag",
                               "ExifTag", "InteroperabilityTag", "InteroperabilityIndex"})
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
    EXPECT_EQ(plain->exif, exif);
    EXPECT_EQ(prefixed->exif, exif);
    EXPECT_EQ(prefixed->orientation, 6);

    // Written back: no prefix, the same dictionary, and nothing in IFD1 (no thumbnail).
    const auto blob = serializeExifBlock(&exif, 3);
    ASSERT_GE(blob.size(), 8u);
    EXPECT_NE(std::string(blob.begin(), blob.begin() + 4), std::string("Exif"));
    const auto reparsed = parseExifBlock(blob);
    ASSERT_TRUE(reparsed);
    EXPECT_EQ(reparsed->exif, exif);
    EXPECT_EQ(reparsed->orientation, 3);
    EXPECT_FALSE(reparsed->xResolution);
    writeFileBytes(dir / "written.exif", blob);
    EXPECT_EQ(runCommand("exiftool -q -IFD1:all " + shellQuote((dir / "written.exif").string())).output, "");
}

TEST(ExifDictionary, ConvertsResolutionToDotsPerInchAndIgnoresInvalidOrientation)
{
    TemporaryDirectory dir;
    const auto cm = parseExifBlock(exiftoolBlock(dir, "-XResolution=100 -YResolution=50 -ResolutionUnit=3 -Orientation=8"));
    ASSERT_TRUE(cm);
    EXPECT_NEAR(*cm->xResolution, 254.0, 1e-9);
    EXPECT_NEAR(*cm->yResolution, 127.0, 1e-9);
    EXPECT_EQ(cm->orientation, 8);
    EXPECT_TRUE(cm->exif.empty());

    const auto none = parseExifBlock(exiftoolBlock(dir, "-XResolution=100 -YResolution=50 -ResolutionUnit=1"));
    ASSERT_TRUE(none);
    EXPECT_FALSE(none->xResolution);
    EXPECT_FALSE(none->yResolution);
    EXPECT_FALSE(none->orientation);

    // Hand-made: no unit means inches; orientation 9 and a zero denominator are ignored.
    const auto odd = parseExifBlock(handMadeTiff({{0x0112, 3, 1, {9, 0}},
                                                  {0x011a, 5, 1, {72, 0, 0, 0, 1, 0, 0, 0}},
                                                  {0x011b, 5, 1, {72, 0, 0, 0, 0, 0, 0, 0}}},
                                                 {}));
    ASSERT_TRUE(odd);
    EXPECT_FALSE(odd->orientation);
    EXPECT_EQ(odd->xResolution, 72.0);
    EXPECT_FALSE(odd->yResolution);
}

TEST(ExifDictionary, LeavesOutMakerNotesAndKeepsUnknownTags)
{
    // With Make "Canon" exiv2 decodes the maker note (an IFD; these values are all inline),
    // the code path where crafted files have crashed it before: fuzz it too.
    const std::vector<uint8_t> makerNote = {3, 0,                                        //
                                            0x10, 0, 4, 0, 1, 0, 0, 0, 0x81, 2, 0, 0x80, // model id
                                            0x04, 0, 3, 0, 2, 0, 0, 0, 4, 0, 1, 0,       // shot info
                                            0x01, 0, 3, 0, 1, 0, 0, 0, 2, 0, 0, 0,       // camera settings
                                            0, 0, 0, 0};
    const std::string make = std::string("Canon") + '\0';
    const auto block = handMadeTiff({{0x010f, 2, 6, {make.begin(), make.end()}}},
                                    {exposureTime,
                                     {0x927c, 7, uint32_t(makerNote.size()), makerNote},
                                     {0x9999, 3, 2, {7, 0, 9, 0}}});
    const auto parsed = parseExifBlock(block);
    ASSERT_TRUE(parsed);
    EXPECT_EQ(parsed->exif.size(), 2u);
    EXPECT_FALSE(parsed->exif.count("MakerNote"));
    EXPECT_EQ(rationalOf(parsed->exif.at("ExposureTime")), std::make_pair(1u, 125u));
    ASSERT_TRUE(parsed->exif.count("0x9999"));
    EXPECT_EQ(parsed->exif.at("0x9999"), (ExifValue{0x9999, 3, 2, {7, 0, 9, 0}}));

    // Unknown tags survive a round trip by number.
    const auto again = parseExifBlock(serializeExifBlock(&parsed->exif, std::nullopt));
    ASSERT_TRUE(again);
    EXPECT_EQ(again->exif, parsed->exif);

    std::mt19937 random(11);
    for (int round = 0; round < 3000; ++round) {
        auto damaged = block;
        for (int flips = 1 + round % 6; flips > 0; --flips)
            damaged[8 + random() % (damaged.size() - 8)] = uint8_t(random());
        if (const auto result = parseExifBlock(damaged)) {
            EXPECT_FALSE(result->exif.count("MakerNote"));
        }
    }
}

TEST(ExifDictionary, SerialisesOnlyWhatItIsGiven)
{
    EXPECT_TRUE(serializeExifBlock(nullptr, std::nullopt).empty());
    const ExifDictionary empty;
    EXPECT_TRUE(serializeExifBlock(&empty, std::nullopt).empty());
    EXPECT_TRUE(serializeExifBlock(&empty, 0).empty());

    const auto orientationOnly = parseExifBlock(serializeExifBlock(nullptr, 7));
    ASSERT_TRUE(orientationOnly);
    EXPECT_EQ(orientationOnly->orientation, 7);
    EXPECT_TRUE(orientationOnly->exif.empty());

    // An entry exiv2 cannot take (an unknown TIFF type) is skipped; the rest are written.
    ExifDictionary mixed;
    mixed["ExposureTime"] = {0x829a, 5, 1, {1, 0, 0, 0, 60, 0, 0, 0}};
    mixed["Bogus"] = {0x9998, 99, 1, {1, 2, 3, 4}};
    mixed["MakerNote"] = {0x927c, 7, 4, {1, 2, 3, 4}};
    mixed["DateTimeOriginal"] = {0x9003, 2, 20, {}};
    const std::string date = std::string("2020:01:02 03:04:05") + '\0';
    mixed["DateTimeOriginal"].bytes.assign(date.begin(), date.end());
    const auto written = parseExifBlock(serializeExifBlock(&mixed, std::nullopt));
    ASSERT_TRUE(written);
    EXPECT_EQ(written->exif.size(), 2u);
    EXPECT_EQ(written->exif.at("ExposureTime"), mixed["ExposureTime"]);
    EXPECT_EQ(written->exif.at("DateTimeOriginal"), mixed["DateTimeOriginal"]);
    EXPECT_FALSE(written->orientation);
}

TEST(ExifDictionary, RefusesGarbageAndSurvivesDamagedBlocks)
{
    EXPECT_FALSE(parseExifBlock({}));
    const std::vector<uint8_t> prefixOnly = {'E', 'x', 'i', 'f', 0, 0};
    EXPECT_FALSE(parseExifBlock(prefixOnly));
    const std::vector<uint8_t> headerOnly = {'I', 'I', 42, 0};
    EXPECT_FALSE(parseExifBlock(headerOnly));
    const std::vector<uint8_t> wrongMagic = {'I', 'I', 43, 0, 8, 0, 0, 0, 0, 0, 0, 0, 0, 0};
    EXPECT_FALSE(parseExifBlock(wrongMagic));
    for (uint32_t seed = 1; seed <= 50; ++seed)
        EXPECT_FALSE(parseExifBlock(randomBytes(16 + seed * 37, seed))) << seed;

    TemporaryDirectory dir;
    const auto block = exiftoolBlock(dir, cameraTags);
    ASSERT_FALSE(block.empty());
    // Every truncation: no crash, and whatever survives is a subset of the full dictionary.
    const auto full = parseExifBlock(block);
    ASSERT_TRUE(full);
    for (size_t size = 0; size < block.size(); ++size) {
        const auto part = parseExifBlock(std::span(block).first(size));
        if (size < 8) {
            EXPECT_FALSE(part) << size;
        } else if (part) {
            for (const auto& [name, value] : part->exif)
                EXPECT_TRUE(full->exif.count(name)) << name << " at " << size;
        }
    }
    // Random corruption of a valid block, header kept so exiv2 walks the damaged directories.
    std::mt19937 random(7);
    for (int round = 0; round < 3000; ++round) {
        auto damaged = block;
        for (int flips = 1 + round % 8; flips > 0; --flips)
            damaged[8 + random() % (damaged.size() - 8)] = uint8_t(random());
        (void)parseExifBlock(damaged);
    }
}

TEST(ExifDictionary, SurvivesCountsAndOffsetsPointingFarOutside)
{
    const auto block = handMadeTiff({{0x010f, 2, 0x7fffffff, {}, 0x10}, {0x0112, 3, 1, {1, 0}}},
                                    {exposureTime,
                                     {0x9003, 2, 0xffffffff, {}, 0xfffffff0},
                                     {0x9286, 7, 0x40000000, {}, 8},
                                     {0x9209, 3, 0x80000000, {}, 0x20}});
    const auto parsed = parseExifBlock(block);
    ASSERT_TRUE(parsed);
    EXPECT_EQ(parsed->orientation, 1);
    EXPECT_EQ(rationalOf(parsed->exif.at("ExposureTime")), std::make_pair(1u, 125u));
    for (const auto& [name, value] : parsed->exif)
        EXPECT_LE(value.bytes.size(), block.size()) << name;

    // An Exif IFD pointer that points back at IFD0 (a loop) and one past the end.
    auto looping = handMadeTiff({{0x8769, 4, 1, {}, 8}}, {});
    EXPECT_TRUE(parseExifBlock(looping));
    auto pastEnd = handMadeTiff({{0x8769, 4, 1, {}, 0xfffffff0}}, {});
    EXPECT_TRUE(parseExifBlock(pastEnd));

    // A block over the size cap is refused unread.
    auto huge = handMadeTiff({{0x0112, 3, 1, {6, 0}}}, {});
    huge.resize(size_t{5} << 20);
    EXPECT_FALSE(parseExifBlock(huge));
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
                if (!parsed || parsed->exif != expected->exif) {
                    ++mismatches;
                    continue;
                }
                if (serializeExifBlock(&parsed->exif, 6) != expectedBlob)
                    ++mismatches;
                (void)parseExifBlock(randomBytes(64, uint32_t(t * 1000 + i)));
            }
        });
    for (auto& thread : threads)
        thread.join();
    EXPECT_EQ(mismatches, 0);
}
