// Where the segmentation model file lives: $PELORIN_MODEL, then the install prefix
// (share/pelorin/models), then the per-user cache ($XDG_CACHE_HOME/pelorin/models, default
// ~/.cache/pelorin/models). The file name is isnet-general-fp16.onnx.
#pragma once

#include <filesystem>
#include <optional>
#include <string>

namespace pelorin {

inline constexpr const char* modelFileName = "isnet-general-fp16.onnx";

// The first existing candidate; absent when none exists.
std::optional<std::filesystem::path> locateModel();
// Every candidate in search order (for error messages).
std::string modelSearchDescription();

} // namespace pelorin
