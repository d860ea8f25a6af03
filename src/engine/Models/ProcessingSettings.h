// ProcessingSettings: the user's choices for a run, and the input extensions file intake accepts.
// A plain copyable value; persisted between launches by the settings store.
#pragma once

#include "engine/Models/OutputFormat.h"

#include <filesystem>
#include <optional>
#include <string>
#include <unordered_set>

namespace pelorin {

struct ProcessingSettings {
    OutputFormat outputFormat = OutputFormat::png;
    // Folder that receives all outputs; absent means next to each source file.
    std::optional<std::filesystem::path> outputDirectory;
    // Also write each mask as a PNG sidecar named after the cutout with "-mask".
    bool exportMaskSeparately = false;
    // Refine each mask's edge against the photo and clean the old background out of soft edges.
    // On by default: on the quality sets it bettered every mask and fringe measure where it acts.
    bool refineEdges = true;

    friend bool operator==(const ProcessingSettings&, const ProcessingSettings&) = default;

    // The nine accepted extensions, lower case, without dots.
    static const std::unordered_set<std::string>& supportedExtensions();
    // True when the name's extension, lower-cased, is accepted. Only the name is inspected.
    static bool isSupportedImage(const std::filesystem::path& url);
};

} // namespace pelorin
