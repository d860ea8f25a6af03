#include "engine/Imaging/Codecs/Png/DeflateJoin.h"

#include <zlib.h>

#include <array>
#include <limits>

namespace pelorin::png {

namespace {
// inflate's data_type after it stops with Z_BLOCK: low bits are the unused bits of the last input
// byte, 128 means it stopped just after a block's end, 64 that this block was the final one.
constexpr int unusedBitsMask = 7;
constexpr int lastBlockFlag = 64;
constexpr int afterBlockFlag = 128;

class RawInflater {
public:
    RawInflater() { ok_ = inflateInit2(&stream_, -15) == Z_OK; }
    ~RawInflater()
    {
        if (ok_)
            inflateEnd(&stream_);
    }
    RawInflater(const RawInflater&) = delete;
    RawInflater& operator=(const RawInflater&) = delete;

    bool ok() const { return ok_; }
    z_stream& stream() { return stream_; }

private:
    z_stream stream_{};
    bool ok_ = false;
};

// Bit offsets (LSB-first, as deflate counts) where the final block starts and where it ends.
struct FinalBlock {
    size_t startBit = 0;
    size_t endBit = 0;
};

bool locateFinalBlock(const std::vector<uint8_t>& input, FinalBlock& found)
{
    if (input.size() > std::numeric_limits<uInt>::max())
        return false;
    RawInflater inflater;
    if (!inflater.ok())
        return false;
    z_stream& s = inflater.stream();
    s.next_in = const_cast<Bytef*>(input.data());
    s.avail_in = static_cast<uInt>(input.size());
    // The output is thrown away; inflate keeps its own window for back-references.
    std::array<uint8_t, 64 << 10> sink;
    size_t blockStart = 0; // raw inflate goes straight into the first block
    for (;;) {
        const uLong before = s.total_in + s.total_out;
        s.next_out = sink.data();
        s.avail_out = static_cast<uInt>(sink.size());
        const int status = inflate(&s, Z_BLOCK);
        if (status != Z_OK && status != Z_BUF_ERROR)
            return false; // Z_STREAM_END cannot come first: Z_BLOCK stops after the final block's end
        if (s.data_type & afterBlockFlag) {
            const size_t bit = s.total_in * 8 - static_cast<size_t>(s.data_type & unusedBitsMask);
            if (s.data_type & lastBlockFlag) {
                found = {blockStart, bit};
                return true;
            }
            blockStart = bit;
        }
        if (s.total_in + s.total_out == before)
            return false; // no progress: the input ends inside a block
    }
}
} // namespace

std::string makeDeflateStreamContinuable(std::vector<uint8_t>& stream)
{
    FinalBlock last;
    if (!locateFinalBlock(stream, last) || (last.endBit + 7) / 8 != stream.size())
        return "The PNG image data could not be joined.";
    stream[last.startBit / 8] &= static_cast<uint8_t>(~(1u << (last.startBit % 8)));
    const size_t usedBits = last.endBit % 8;
    if (usedBits != 0)
        stream.back() &= static_cast<uint8_t>((1u << usedBits) - 1);
    // An empty stored block: its 3 header bits (all zero) go in the padding if they fit, else in a
    // fresh byte; then LEN = 0 and NLEN = 0xFFFF, byte-aligned.
    if (usedBits == 0 || usedBits > 5)
        stream.push_back(0);
    stream.insert(stream.end(), {0x00, 0x00, 0xFF, 0xFF});
    return {};
}

} // namespace pelorin::png
