#include "engine/Imaging/Codecs/Png/PngRawProfile.h"

#include <cctype>

namespace pelorin::png {

namespace {
int hexValue(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

bool isSpace(char c)
{
    return std::isspace(static_cast<unsigned char>(c)) != 0;
}
} // namespace

std::optional<std::vector<uint8_t>> decodeRawProfileText(std::string_view text)
{
    size_t i = 0;
    while (i < text.size() && isSpace(text[i]))
        ++i;
    // The profile's name line.
    while (i < text.size() && text[i] != '\n')
        ++i;
    while (i < text.size() && isSpace(text[i]))
        ++i;
    size_t length = 0;
    size_t digits = 0;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i, ++digits) {
        length = length * 10 + static_cast<size_t>(text[i] - '0');
        if (length > text.size()) // two hex digits per byte: a longer claim cannot be honoured
            return std::nullopt;
    }
    if (digits == 0 || length == 0)
        return std::nullopt;

    std::vector<uint8_t> bytes;
    bytes.reserve(length);
    int high = -1;
    for (; i < text.size() && bytes.size() < length; ++i) {
        if (isSpace(text[i]))
            continue;
        const int value = hexValue(text[i]);
        if (value < 0)
            return std::nullopt;
        if (high < 0) {
            high = value;
        } else {
            bytes.push_back(static_cast<uint8_t>(high << 4 | value));
            high = -1;
        }
    }
    if (bytes.size() != length)
        return std::nullopt;
    return bytes;
}

} // namespace pelorin::png
