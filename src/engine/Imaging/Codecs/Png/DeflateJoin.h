// Turns a complete raw deflate stream into one that can be continued: its final block is marked
// non-final and an empty stored block brings it to a byte boundary, as zlib's sync flush leaves a
// stream. Lets bands compressed by a library without sync flush be concatenated into one stream.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace pelorin::png {

// `stream` holds exactly one complete raw deflate stream. Finding the final block means decoding
// the stream (deflate does not record block lengths), which costs about as much as inflating it.
// Returns an empty string on success, else a complete sentence.
std::string makeDeflateStreamContinuable(std::vector<uint8_t>& stream);

} // namespace pelorin::png
