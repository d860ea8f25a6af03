// libFuzzer target: heif files through ImageSource (open by content, properties, image 0).
#include "ImageSourceFuzzing.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    return pelorin::fuzz::decodeThroughImageSource(data, size, pelorin::ImageFileType::heif);
}
