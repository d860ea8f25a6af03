// TEMPORARY (removed before commit by the lead): weak fallbacks so each codec can be linked and
// tested while the others are still being written. Real definitions override these.
#include "Imaging/Codecs/ImageDecoder.h"
namespace pelorin {
__attribute__((weak)) std::unique_ptr<ImageDecoder> makePngDecoder(FileBytes) { return nullptr; }
__attribute__((weak)) std::unique_ptr<ImageDecoder> makeJpegDecoder(FileBytes) { return nullptr; }
__attribute__((weak)) std::unique_ptr<ImageDecoder> makeTiffDecoder(FileBytes) { return nullptr; }
__attribute__((weak)) std::unique_ptr<ImageDecoder> makeWebPDecoder(FileBytes) { return nullptr; }
__attribute__((weak)) std::unique_ptr<ImageDecoder> makeHeifDecoder(FileBytes) { return nullptr; }
__attribute__((weak)) std::unique_ptr<ImageDecoder> makeBmpDecoder(FileBytes) { return nullptr; }
}
