// What a user reads when a batch job fails: the five English texts exactly (only a file's name,
// never its folder; reasons verbatim, with no full stop added), and the key, template and
// arguments a translation catalogue receives; plus the handle's cancel being harmless to repeat.
#include "engine/Common/Localization.h"
#include "engine/Services/BatchProcessingError.h"

#include <gtest/gtest.h>

#include <mutex>

namespace pelorin {
namespace {

using Error = BatchProcessingError;

// Restores the English default however the test ends.
struct LocalizerScope {
    explicit LocalizerScope(Localizer localizer) { setLocalizer(std::move(localizer)); }
    ~LocalizerScope() { setLocalizer({}); }
};

struct Text {
    const char* name;
    Error error;
    std::string key;
    std::vector<std::string> arguments;
    std::string english;
};

std::vector<Text> texts()
{
    return {
        {"source in a folder", Error::sourceImageUnreadable("/home/u/holiday/IMG 1.heic"), "batch.error.sourceUnreadable",
         {"IMG 1.heic"}, "Could not read source image at IMG 1.heic."},
        {"mask reason", Error::maskGenerationFailed("No foreground subject was detected in the image."),
         "batch.error.maskFailed", {"No foreground subject was detected in the image."},
         "Background mask generation failed: No foreground subject was detected in the image."},
        {"empty mask reason", Error::maskGenerationFailed(""), "batch.error.maskFailed", {""},
         "Background mask generation failed: "},
        {"composite reason", Error::compositeFailed("Mask scaling failed"), "batch.error.compositeFailed",
         {"Mask scaling failed"}, "Image composite failed: Mask scaling failed"},
        {"write, no full stop added", Error::writeFailed("/out/a-cutout.png", "Disk full"), "batch.error.writeFailed",
         {"a-cutout.png", "Disk full"}, "Failed to write a-cutout.png: Disk full"},
        // Placeholders inside a name or a reason are text, not slots to fill again.
        {"write, placeholders in arguments", Error::writeFailed("/out/%2 100%.png", "quota %1 reached"),
         "batch.error.writeFailed", {"%2 100%.png", "quota %1 reached"}, "Failed to write %2 100%.png: quota %1 reached"},
        {"TIFF", Error::unsupportedOutputFormat(OutputFormat::tiff), "batch.error.unsupportedFormat", {"TIFF"},
         "Output format TIFF is not supported in this build."},
        {"PNG", Error::unsupportedOutputFormat(OutputFormat::png), "batch.error.unsupportedFormat", {"PNG"},
         "Output format PNG is not supported in this build."},
    };
}

TEST(BatchProcessingError, EnglishTextsNameOnlyTheFileAndKeepReasonsVerbatim)
{
    setLocalizer({});
    for (const auto& text : texts())
        EXPECT_EQ(text.error.errorDescription(), text.english) << text.name;
}

TEST(BatchProcessingError, InstalledLocalizerReceivesKeyTemplateAndArgumentsInOrder)
{
    struct Request {
        std::string key, englishTemplate;
        std::vector<std::string> arguments;
    };
    std::mutex mutex;
    std::vector<Request> requests;
    LocalizerScope scope([&](std::string_view key, std::string_view englishTemplate,
                             const std::vector<std::string>& arguments) {
        std::lock_guard lock(mutex);
        requests.push_back({std::string(key), std::string(englishTemplate), arguments});
        return "«" + std::string(key) + "»";
    });
    for (const auto& text : texts()) {
        SCOPED_TRACE(text.name);
        requests.clear();
        EXPECT_EQ(text.error.errorDescription(), "«" + text.key + "»");
        ASSERT_EQ(requests.size(), 1u);
        EXPECT_EQ(requests[0].key, text.key);
        EXPECT_EQ(requests[0].arguments, text.arguments);
        // The template is what a translator sees: the English text with numbered slots.
        EXPECT_EQ(fillPlaceholders(requests[0].englishTemplate, text.arguments), text.english)
            << "template: " << requests[0].englishTemplate;
        if (!text.arguments.back().empty()) {
            EXPECT_EQ(requests[0].englishTemplate.find(text.arguments.back()), std::string::npos)
                << "an argument was baked into the template";
        }
    }
}

TEST(BatchProcessingError, DefaultIsBackAfterALocalizerIsRemoved)
{
    {
        LocalizerScope scope([](std::string_view, std::string_view, const std::vector<std::string>&) {
            return std::string("translated");
        });
        EXPECT_EQ(Error::compositeFailed("x").errorDescription(), "translated");
    }
    EXPECT_EQ(Error::compositeFailed("x").errorDescription(), "Image composite failed: x");
}

} // namespace
} // namespace pelorin
