// What a translation catalogue receives for a batch error (key, template, arguments) and what the
// English default makes of it: only a file's name, never its folder; reasons verbatim; placeholders
// inside names and reasons left as text.
#include "engine/Common/Localization.h"
#include "engine/Services/BatchProcessingError.h"

#include <gtest/gtest.h>

namespace pelorin {
namespace {

using Error = BatchProcessingError;

TEST(BatchProcessingError, LocalizerGetsKeyTemplateAndArgumentsAndEnglishFillsThem)
{
    struct Text {
        Error error;
        std::string key;
        std::vector<std::string> arguments;
        std::string english;
    };
    const Text texts[] = {
        {Error::sourceImageUnreadable("/home/u/holiday/IMG 1.heic"), "batch.error.sourceUnreadable", {"IMG 1.heic"},
         "Could not read source image at IMG 1.heic."},
        {Error::maskGenerationFailed(""), "batch.error.maskFailed", {""}, "Background mask generation failed: "},
        {Error::writeFailed("/out/%2 100%.png", "quota %1 reached"), "batch.error.writeFailed",
         {"%2 100%.png", "quota %1 reached"}, "Failed to write %2 100%.png: quota %1 reached"},
        {Error::unsupportedOutputFormat(OutputFormat::tiff), "batch.error.unsupportedFormat", {"TIFF"},
         "Output format TIFF is not supported in this build."},
    };
    for (const auto& text : texts) {
        SCOPED_TRACE(text.key);
        setLocalizer({});
        EXPECT_EQ(text.error.errorDescription(), text.english);

        std::vector<std::tuple<std::string, std::string, std::vector<std::string>>> requests;
        setLocalizer([&](std::string_view key, std::string_view englishTemplate, const std::vector<std::string>& arguments) {
            requests.emplace_back(std::string(key), std::string(englishTemplate), arguments);
            return "«" + std::string(key) + "»";
        });
        EXPECT_EQ(text.error.errorDescription(), "«" + text.key + "»");
        setLocalizer({});
        ASSERT_EQ(requests.size(), 1u);
        const auto& [key, englishTemplate, arguments] = requests[0];
        EXPECT_EQ(key, text.key);
        EXPECT_EQ(arguments, text.arguments);
        EXPECT_EQ(fillPlaceholders(englishTemplate, arguments), text.english) << "template: " << englishTemplate;
        if (!arguments.back().empty()) {
            EXPECT_EQ(englishTemplate.find(arguments.back()), std::string::npos) << "an argument was baked into the template";
        }
    }
}

} // namespace
} // namespace pelorin
