// Localization: how engine texts reach the user's language without the engine knowing Qt.
// A text is a key, its English template with %1, %2… placeholders, and the arguments in order.
// The default localizer fills the English template; the application installs one backed by its
// translation catalogue at start. Thread-safe: texts may be formed on any thread.
#pragma once

#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace pelorin {

// Returns the text for `key` in the current language, its arguments filled in.
using Localizer = std::function<std::string(std::string_view key, std::string_view englishTemplate,
                                            const std::vector<std::string>& arguments)>;

// Replaces the process-wide localizer; an empty function restores the English default.
void setLocalizer(Localizer localizer);

std::string localized(std::string_view key, std::string_view englishTemplate,
                      const std::vector<std::string>& arguments = {});

// Fills %1…%99 in one pass (text inside an argument is never substituted again); "%%" is not
// special and placeholders without an argument stay as written.
std::string fillPlaceholders(std::string_view text, const std::vector<std::string>& arguments);

} // namespace pelorin
