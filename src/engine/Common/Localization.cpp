#include "engine/Common/Localization.h"

#include <mutex>

namespace pelorin {

namespace {

std::mutex& localizerMutex()
{
    static std::mutex mutex;
    return mutex;
}

Localizer& currentLocalizer()
{
    static Localizer localizer;
    return localizer;
}

bool isDigit(char c)
{
    return c >= '0' && c <= '9';
}

} // namespace

void setLocalizer(Localizer localizer)
{
    std::lock_guard lock(localizerMutex());
    currentLocalizer() = std::move(localizer);
}

std::string localized(std::string_view key, std::string_view englishTemplate, const std::vector<std::string>& arguments)
{
    Localizer localizer;
    {
        // Copied out so a slow lookup never holds the lock, and a localizer may itself call
        // setLocalizer or localized without deadlocking.
        std::lock_guard lock(localizerMutex());
        localizer = currentLocalizer();
    }
    if (localizer) {
        try {
            return localizer(key, englishTemplate, arguments);
        } catch (...) {
            // A failing catalogue must not take the message with it: fall back to English.
        }
    }
    return fillPlaceholders(englishTemplate, arguments);
}

std::string fillPlaceholders(std::string_view text, const std::vector<std::string>& arguments)
{
    std::string filled;
    filled.reserve(text.size());
    size_t i = 0;
    while (i < text.size()) {
        const char c = text[i];
        // A placeholder is '%' and one or two digits (greedy, as Qt's arg() reads them), 1…99.
        if (c == '%' && i + 1 < text.size() && isDigit(text[i + 1])) {
            size_t length = 1;
            int number = text[i + 1] - '0';
            if (i + 2 < text.size() && isDigit(text[i + 2])) {
                number = number * 10 + (text[i + 2] - '0');
                length = 2;
            }
            if (number >= 1 && static_cast<size_t>(number) <= arguments.size()) {
                filled += arguments[static_cast<size_t>(number) - 1];
                i += 1 + length;
                continue;
            }
            // No argument for it (or %0 / %00): keep the placeholder as written.
            filled.append(text.substr(i, 1 + length));
            i += 1 + length;
            continue;
        }
        filled += c;
        ++i;
    }
    return filled;
}

} // namespace pelorin
