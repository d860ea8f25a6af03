#include "engine/Imaging/Codecs/Png/PngBandDeflate.h"

#include "engine/Imaging/Codecs/Png/DeflateJoin.h"

#include <libdeflate.h>
#include <zlib.h>

#include <limits>
#include <memory>

namespace pelorin::png {

namespace {
const std::string compressFailed = "The PNG image data could not be compressed.";

std::string deflateWithZlib(std::span<const uint8_t> input, const PngMethod& settings, bool last,
                            std::vector<uint8_t>& output)
{
    if (input.size() > std::numeric_limits<uInt>::max())
        return compressFailed;
    z_stream stream{};
    // Raw deflate (negative window bits): the zlib header and checksum wrap all bands at once.
    if (deflateInit2(&stream, settings.level, Z_DEFLATED, -15, settings.memoryLevel, settings.strategy) != Z_OK)
        return "The PNG compressor could not be set up.";
    if (settings.tuning)
        deflateTune(&stream, settings.tuning->goodLength, settings.tuning->maxLazy, settings.tuning->niceLength,
                    settings.tuning->maxChain);
    try {
        output.resize(deflateBound(&stream, input.size()) + 64);
    } catch (...) {
        deflateEnd(&stream);
        throw;
    }
    stream.next_in = const_cast<Bytef*>(input.data());
    stream.avail_in = static_cast<uInt>(input.size());
    // A sync flush ends the band on a byte boundary without a final block, so the next band's
    // blocks continue the same stream. deflateBound leaves room for it.
    stream.next_out = output.data();
    stream.avail_out = static_cast<uInt>(output.size());
    const int status = ::deflate(&stream, last ? Z_FINISH : Z_SYNC_FLUSH);
    const size_t produced = output.size() - stream.avail_out;
    const bool done = last ? status == Z_STREAM_END : status == Z_OK && stream.avail_in == 0 && stream.avail_out > 0;
    deflateEnd(&stream);
    if (!done)
        return compressFailed;
    output.resize(produced);
    return {};
}

struct CompressorDeleter {
    void operator()(libdeflate_compressor* c) const { libdeflate_free_compressor(c); }
};

std::string deflateWithLibdeflate(std::span<const uint8_t> input, const PngMethod& settings, bool last,
                                  std::vector<uint8_t>& output)
{
    const std::unique_ptr<libdeflate_compressor, CompressorDeleter> compressor(
        libdeflate_alloc_compressor(settings.level));
    if (!compressor)
        return "Not enough memory to encode the PNG image.";
    // Room for the empty stored block that makes a band continuable.
    output.resize(libdeflate_deflate_compress_bound(compressor.get(), input.size()) + 8);
    const size_t produced =
        libdeflate_deflate_compress(compressor.get(), input.data(), input.size(), output.data(), output.size());
    if (produced == 0)
        return compressFailed;
    output.resize(produced);
    return last ? std::string() : makeDeflateStreamContinuable(output);
}
} // namespace

std::string deflateBand(std::span<const uint8_t> filtered, const PngMethod& settings, bool last,
                        std::vector<uint8_t>& output)
{
    if (settings.deflater == PngMethod::Deflater::libdeflate)
        return deflateWithLibdeflate(filtered, settings, last, output);
    return deflateWithZlib(filtered, settings, last, output);
}

} // namespace pelorin::png
