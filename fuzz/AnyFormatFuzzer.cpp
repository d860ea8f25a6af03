// libFuzzer target: any bytes through ImageSource, so content detection picks the decoder and
// a mutation can carry an input from one format into another.
#include "ImageSourceFuzzing.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    return pelorin::fuzz::decodeThroughImageSource(data, size, std::nullopt);
}
