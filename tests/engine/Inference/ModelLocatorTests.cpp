// Where the model is looked for: the environment override, the install prefix, the per-user cache;
// and what the segmenter tells the user when it is nowhere.
#include "engine/Inference/ModelLocator.h"
#include "engine/Inference/ForegroundSegmenter.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <optional>
#include <string>

namespace pelorin {
namespace {

namespace fs = std::filesystem;

// Sets (or unsets, with nullopt) an environment variable for one scope.
struct ScopedEnv {
    const char* name;
    std::optional<std::string> old = std::getenv(name) ? std::optional<std::string>(std::getenv(name)) : std::nullopt;

    ScopedEnv(const char* name, const std::optional<std::string>& value) : name(name) { set(value); }
    ~ScopedEnv() { set(old); }
    void set(const std::optional<std::string>& value) { value ? ::setenv(name, value->c_str(), 1) : ::unsetenv(name); }
};

fs::path touch(const fs::path& file)
{
    fs::create_directories(file.parent_path());
    std::ofstream(file) << "model";
    return file;
}

class ModelLocatorTest : public testing::Test {
protected:
    void SetUp() override
    {
        // A model installed under the prefix on this machine would shadow the cache cases.
        ScopedEnv noOverride("PELORIN_MODEL", std::nullopt);
        ScopedEnv emptyCache("XDG_CACHE_HOME", (sandbox / "empty-cache").string());
        if (auto installed = locateModel())
            GTEST_SKIP() << "a model is installed at " << *installed << "; the cache cases cannot be told apart";
    }

    test::TemporaryDirectory sandbox;
};

TEST_F(ModelLocatorTest, EnvironmentOverrideWinsOverTheCacheUnlessStale)
{
    const auto cached = touch(sandbox / "cache/pelorin/models" / modelFileName);
    const auto chosen = touch(sandbox / "elsewhere/any-name.onnx");
    ScopedEnv cache("XDG_CACHE_HOME", (sandbox / "cache").string());
    {
        ScopedEnv model("PELORIN_MODEL", chosen.string());
        EXPECT_EQ(locateModel(), chosen);
        EXPECT_NE(modelSearchDescription().find(chosen.string()), std::string::npos);
    }
    // A stale override (missing file, or a folder) falls through to the next candidate.
    for (const auto& stale : {sandbox / "missing.onnx", sandbox / "elsewhere"}) {
        ScopedEnv model("PELORIN_MODEL", stale.string());
        EXPECT_EQ(locateModel(), cached) << stale;
    }
}

TEST_F(ModelLocatorTest, CacheFollowsXdgRulesAndHome)
{
    ScopedEnv model("PELORIN_MODEL", std::nullopt);
    ScopedEnv home("HOME", (sandbox / "home").string());
    const auto homeCached = touch(sandbox / "home/.cache/pelorin/models" / modelFileName);
    const auto xdgCached = touch(sandbox / "xdg/pelorin/models" / modelFileName);
    // Unset and relative XDG paths (to be ignored) fall back to HOME.
    for (const auto& [xdg, expected] : {std::pair<std::optional<std::string>, fs::path>{std::nullopt, homeCached},
                                        {"relative/cache", homeCached},
                                        {(sandbox / "xdg").string(), xdgCached}}) {
        ScopedEnv cache("XDG_CACHE_HOME", xdg);
        EXPECT_EQ(locateModel(), expected) << xdg.value_or("unset");
    }
}

TEST_F(ModelLocatorTest, NotFoundNamesThePlacesSearchedAndTheSegmenterRetriesLater)
{
    const auto image = test::makeImage({8, 8, 8, 24, 24, 0}, std::vector<uint8_t>(192));
    const ForegroundSegmenter segmenter;
    {
        ScopedEnv model("PELORIN_MODEL", std::nullopt);
        ScopedEnv cache("XDG_CACHE_HOME", (sandbox / "cache").string());
        auto detected = segmenter.detect(image);
        ASSERT_FALSE(detected);
        EXPECT_EQ(detected.error().rfind("Cannot find isnet-general-fp16.onnx: ", 0), 0u) << detected.error();
        for (const std::string& part :
             {(sandbox / "cache/pelorin/models" / modelFileName).string(), std::string("PELORIN_MODEL"),
              "share/pelorin/models/" + std::string(modelFileName), std::string("scripts/fetch-model")})
            EXPECT_NE(detected.error().find(part), std::string::npos) << detected.error();
    }
    // With the environment back, the same segmenter finds the installed model.
    ASSERT_TRUE(locateModel()) << "run scripts/fetch-model";
    EXPECT_TRUE(segmenter.detect(image));
}

} // namespace
} // namespace pelorin
