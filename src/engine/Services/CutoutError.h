// CutoutError: why a cutout made from bytes in memory was refused or failed. message() is the
// text a failed batch row shows for the same cause; detail() adds the decoder's or the encoder's
// own reason where the row text has none. A plain, copyable value.
#pragma once

#include <string>

namespace pelorin {

class CutoutError {
public:
    enum class Kind {
        busy,             // every slot and queue place taken; try again later
        notAnImage,       // empty, or none of the formats we decode
        unreadable,       // an image, but truncated, unsupported or over the pixel limits
        noSubject,        // the model saw no foreground subject
        modelUnavailable, // the model cannot be located or loaded
        failed,           // compositing or encoding failed
    };

    CutoutError() = default;
    CutoutError(Kind kind, std::string message, std::string detail = {})
        : kind_(kind),
          message_(std::move(message)),
          detail_(std::move(detail))
    {
    }

    static CutoutError busy()
    {
        return {Kind::busy, "Every processing slot and queue place is taken; try again shortly."};
    }

    Kind kind() const { return kind_; }
    const std::string& message() const { return message_; }
    const std::string& detail() const { return detail_; }

private:
    Kind kind_ = Kind::failed;
    std::string message_;
    std::string detail_;
};

} // namespace pelorin
