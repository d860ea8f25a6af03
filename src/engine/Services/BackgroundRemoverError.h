// BackgroundRemoverError: why a subject mask could not be made. Each case but noSubjectFound
// carries a text (the reason, or the segmenter's message); description() is the English sentence
// shown to the user. A plain value: copyable, comparable (same case, equal text), thread-safe.
#pragma once

#include <string>

namespace pelorin {

class BackgroundRemoverError {
public:
    enum class Kind {
        maskGenerationFailed,    // the segmenter found a subject but could not produce its mask
        cgImageConversionFailed, // the mask buffer could not become an image
        visionRequestFailed,     // the segmenter could not run (model missing, image unreadable…)
        noSubjectFound,
    };

    static BackgroundRemoverError maskGenerationFailed(std::string reason)
    {
        return {Kind::maskGenerationFailed, std::move(reason)};
    }
    static BackgroundRemoverError cgImageConversionFailed(std::string reason)
    {
        return {Kind::cgImageConversionFailed, std::move(reason)};
    }
    static BackgroundRemoverError visionRequestFailed(std::string message)
    {
        return {Kind::visionRequestFailed, std::move(message)};
    }
    static BackgroundRemoverError noSubjectFound() { return {Kind::noSubjectFound, {}}; }

    Kind kind() const { return kind_; }
    // The reason or message; empty for noSubjectFound.
    const std::string& text() const { return text_; }

    std::string description() const;

    friend bool operator==(const BackgroundRemoverError&, const BackgroundRemoverError&) = default;

private:
    BackgroundRemoverError(Kind kind, std::string text) : kind_(kind), text_(std::move(text)) {}

    Kind kind_;
    std::string text_;
};

} // namespace pelorin
