// ImageSourceError: why a file could not be opened or decoded as an image, with a clear message.
#pragma once

#include <string>

namespace pelorin {

struct ImageSourceError {
    enum class Kind {
        unreadableFile, // missing, a folder, no permission, I/O error
        emptyFile,
        unknownFormat, // content is none of the formats we decode
        corruptData,   // truncated or malformed
        unsupported,   // a valid file using a feature we do not decode
        tooLarge,      // over the pixel limits (refused before allocating)
        outOfMemory,
    };

    Kind kind = Kind::corruptData;
    std::string message; // a complete English sentence

    const std::string& description() const { return message; }
};

} // namespace pelorin
