#include "engine/Imaging/ColorSpace.h"

#include <algorithm>

namespace pelorin {

ColorSpace::ColorSpace(std::optional<Name> name, std::shared_ptr<const std::vector<uint8_t>> profile)
    : name_(name),
      profile_(std::move(profile))
{
}

ColorSpace ColorSpace::named(Name name)
{
    return ColorSpace(name, nullptr);
}

ColorSpace ColorSpace::fromICCProfile(std::vector<uint8_t> profile)
{
    return ColorSpace(std::nullopt, std::make_shared<const std::vector<uint8_t>>(std::move(profile)));
}

std::optional<ColorSpace::Name> ColorSpace::name() const
{
    return name_;
}

std::span<const uint8_t> ColorSpace::iccProfile() const
{
    if (!profile_)
        return {};
    return {profile_->data(), profile_->size()};
}

ColorSpace::Model ColorSpace::model() const
{
    if (name_) {
        switch (*name_) {
        case Name::sRGB:
        case Name::deviceRGB: return Model::rgb;
        case Name::linearGray:
        case Name::deviceGray: return Model::gray;
        case Name::deviceCMYK: return Model::cmyk;
        }
    }
    // The ICC header names the data colour space at bytes 16..19.
    const auto bytes = iccProfile();
    if (bytes.size() < 20)
        return Model::other;
    const auto tag = std::span(bytes).subspan(16, 4);
    auto is = [&](const char* s) { return std::equal(tag.begin(), tag.end(), s, s + 4); };
    if (is("RGB "))
        return Model::rgb;
    if (is("GRAY"))
        return Model::gray;
    if (is("CMYK"))
        return Model::cmyk;
    return Model::other;
}

int ColorSpace::componentCount() const
{
    switch (model()) {
    case Model::gray: return 1;
    case Model::rgb: return 3;
    case Model::cmyk: return 4;
    case Model::other: break;
    }
    return 0;
}

bool operator==(const ColorSpace& a, const ColorSpace& b)
{
    if (a.name_ != b.name_)
        return false;
    if (!a.profile_ || !b.profile_)
        return a.profile_ == b.profile_;
    return a.profile_ == b.profile_ || *a.profile_ == *b.profile_;
}

ColorSpace linearGrayColorSpace()
{
    return ColorSpace::named(ColorSpace::Name::linearGray);
}

} // namespace pelorin
