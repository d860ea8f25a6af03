// The one path every image fuzz target drives: bytes opened by content through ImageSource, then
// the header properties and image 0, in an order chosen by the input so that both orders run.
// Inputs claiming more than 2^18 pixels are not decoded (see the .cpp). A decoded image and
// its properties are checked for self-consistency; a violation aborts, so the fuzzer reports it
// like a crash. Errors returned as values are the expected outcome of most inputs.
#pragma once

#include "engine/Imaging/ImageFileType.h"

#include <cstddef>
#include <cstdint>
#include <optional>

namespace pelorin::fuzz {

// Runs one input. With `only`, inputs whose content is another format are skipped and -1 is
// returned, which libFuzzer 15 and later take as "do not keep in the corpus" (14 ignores it).
// Otherwise 0.
int decodeThroughImageSource(const uint8_t* data, size_t size, std::optional<ImageFileType> only);

} // namespace pelorin::fuzz
