// ColorSpace: how an image's numbers map to colours, either an embedded ICC profile (kept byte for
// byte, so a cutout carries exactly its source's profile) or one of a few named spaces.
// Immutable; copies share the profile bytes, so it is cheap to copy and safe to share across threads.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <vector>

namespace pelorin {

class ColorSpace {
public:
    enum class Name {
        sRGB,       // the standard RGB space; written as an sRGB chunk rather than a profile
        linearGray, // grey with a linear (gamma 1.0) response: every mask
        deviceGray, // grey without a declared response
        deviceRGB,  // RGB without a declared profile
        deviceCMYK, // CMYK without a declared profile
    };

    enum class Model { gray, rgb, cmyk, other };

    static ColorSpace named(Name name);
    // Keeps `profile` as given; the model is read from the profile header's data colour space.
    static ColorSpace fromICCProfile(std::vector<uint8_t> profile);

    // Present for a named space, absent for a profile.
    std::optional<Name> name() const;
    // The profile bytes; empty for a named space.
    std::span<const uint8_t> iccProfile() const;
    bool hasICCProfile() const { return profile_ != nullptr; }
    Model model() const;
    // Components per pixel of the model: 1, 3 or 4 (0 when unknown).
    int componentCount() const;

    friend bool operator==(const ColorSpace& a, const ColorSpace& b);

private:
    ColorSpace(std::optional<Name> name, std::shared_ptr<const std::vector<uint8_t>> profile);

    std::optional<Name> name_;
    std::shared_ptr<const std::vector<uint8_t>> profile_;
};

// The grey space every mask is tagged with.
ColorSpace linearGrayColorSpace();

} // namespace pelorin
