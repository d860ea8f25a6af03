// SettingsPersisting: where the output format and the mask choice survive a restart. An interface
// so run control can be tested without the user's preference store.
#pragma once

#include "engine/Models/ProcessingSettings.h"

namespace pelorin {

class SettingsPersisting {
public:
    virtual ~SettingsPersisting() = default;
    // The stored choices, falling back to the defaults; never fails. No output folder.
    virtual ProcessingSettings load() const = 0;
    // Stores the format and the mask choice (both, every time); never the output folder.
    virtual void save(const ProcessingSettings& settings) const = 0;
};

} // namespace pelorin
