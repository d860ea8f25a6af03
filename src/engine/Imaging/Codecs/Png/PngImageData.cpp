#include "engine/Imaging/Codecs/Png/PngImageData.h"

#include "engine/Common/ParallelFor.h"
#include "engine/Imaging/Codecs/Png/PngBandDeflate.h"
#include "engine/Imaging/Codecs/Png/PngChunkWriter.h"

#include <libdeflate.h>
#include <zlib.h>

#include <algorithm>
#include <array>
#include <bit>
#include <limits>
#include <new>
#include <optional>
#include <span>
#include <vector>

namespace pelorin::png {

namespace {
// Chunk size of the image data: large enough that chunk headers cost nothing, small enough for
// readers that hold one chunk at a time.
constexpr size_t idatChunkBytes = size_t{256} << 10;
// Bands compressed before any is written: keeps every thread busy without holding the whole file.
constexpr size_t maxBandsInFlight = 32;

const std::string outOfMemory = "Not enough memory to encode the PNG image.";

// One slot of a batch of bands. Its buffers (2 MB and more each) are kept from batch to batch:
// blocks that size are mapped afresh on every allocation, and faulting them in again for every
// band cost a 12-MP image about 24 000 page faults.
struct Band {
    size_t firstRow = 0;
    size_t endRow = 0;
    std::vector<uint8_t> filtered;
    std::vector<uint8_t> deflated;
    uLong adler = 1;
    size_t filteredBytes = 0;
    std::string error;

    void assign(size_t first, size_t end)
    {
        firstRow = first;
        endRow = end;
        deflated.clear();
        adler = 1;
        filteredBytes = 0;
        error.clear();
    }
};

// Collects deflated bytes into IDAT chunks of idatChunkBytes.
class IdatStream {
public:
    explicit IdatStream(PngFileSink& sink) : sink_(sink) { pending_.reserve(idatChunkBytes); }

    bool append(std::span<const uint8_t> bytes)
    {
        while (!bytes.empty()) {
            const size_t take = std::min(bytes.size(), idatChunkBytes - pending_.size());
            pending_.insert(pending_.end(), bytes.begin(), bytes.begin() + static_cast<ptrdiff_t>(take));
            bytes = bytes.subspan(take);
            if (pending_.size() == idatChunkBytes && !emit())
                return false;
        }
        return true;
    }
    bool finish() { return pending_.empty() || emit(); }

private:
    bool emit()
    {
        const bool written = writePngChunk(sink_, "IDAT", pending_);
        pending_.clear();
        return written;
    }

    PngFileSink& sink_;
    std::vector<uint8_t> pending_;
};

void toBigEndian16(std::span<uint8_t> row)
{
    if constexpr (std::endian::native == std::endian::little)
        for (size_t i = 0; i + 1 < row.size(); i += 2)
            std::swap(row[i], row[i + 1]);
}

// Filters rows [first, end) into `out` ((end - first) × (rowBytes + 1) bytes).
void filterRows(const RowNormalizer& rows, size_t first, size_t end, std::optional<RowFilter> fixedFilter, uint8_t* out)
{
    const size_t rowBytes = rows.outputRowBytes();
    const size_t pixelBytes = rows.channels() * rows.bitsPerComponent() / 8;
    const bool wide = rows.bitsPerComponent() == 16;
    std::vector<uint8_t> prior(rowBytes, 0), current(rowBytes);
    if (first > 0) {
        rows.convertRow(first - 1, prior);
        if (wide)
            toBigEndian16(prior);
    }
    for (size_t y = first; y < end; ++y, out += rowBytes + 1) {
        rows.convertRow(y, current);
        if (wide)
            toBigEndian16(current);
        if (fixedFilter)
            filterRow(*fixedFilter, current, prior, pixelBytes, out);
        else
            filterRowAdaptive(current, prior, pixelBytes, out);
        std::swap(prior, current);
    }
}

// The method whose compression of the band's first rows is smallest. Each trial is deflated as
// a whole stream, since only its size counts.
const PngMethod& chooseMethod(const RowNormalizer& rows, const PngCompression& settings, const Band& band,
                              std::string& error)
{
    if (settings.methods.size() == 1)
        return settings.methods.front();
    const size_t rowBytes = rows.outputRowBytes() + 1;
    const size_t trialRows = std::clamp<size_t>(settings.trialBytes / rowBytes, 1, band.endRow - band.firstRow);
    std::vector<uint8_t> filtered(trialRows * rowBytes), deflated;
    const PngMethod* best = &settings.methods.front();
    size_t bestSize = SIZE_MAX;
    for (const PngMethod& method : settings.methods) {
        filterRows(rows, band.firstRow, band.firstRow + trialRows, method.fixedFilter, filtered.data());
        error = deflateBand(filtered, method, true, deflated);
        if (!error.empty())
            return *best;
        if (deflated.size() < bestSize) {
            bestSize = deflated.size();
            best = &method;
        }
    }
    return *best;
}

void compressBand(const RowNormalizer& rows, const PngCompression& settings, bool last, Band& band) noexcept
{
    try {
        const PngMethod& method = chooseMethod(rows, settings, band, band.error);
        if (!band.error.empty())
            return;
        band.filteredBytes = (band.endRow - band.firstRow) * (rows.outputRowBytes() + 1);
        if (band.filtered.size() < band.filteredBytes)
            band.filtered.resize(band.filteredBytes);
        const std::span<const uint8_t> filtered(band.filtered.data(), band.filteredBytes);
        filterRows(rows, band.firstRow, band.endRow, method.fixedFilter, band.filtered.data());
        band.adler = libdeflate_adler32(1, filtered.data(), filtered.size());
        band.error = deflateBand(filtered, method, last, band.deflated);
    } catch (const std::bad_alloc&) {
        band.error = outOfMemory;
    }
}

// The two-byte zlib header deflateInit2 would write for these settings (the first method's: the
// level flags are informative only).
std::array<uint8_t, 2> zlibHeader(const PngMethod& settings)
{
    // The level flags are informative only; libdeflate's levels map as its own zlib wrapper maps them.
    const bool fastest =
        settings.level < 2 || (settings.deflater == PngMethod::Deflater::zlib && settings.strategy >= Z_HUFFMAN_ONLY);
    const unsigned levelFlags = fastest ? 0 : settings.level < 6 ? 1 : settings.level == 6 ? 2 : 3;
    unsigned header = (Z_DEFLATED + ((15 - 8) << 4)) << 8 | levelFlags << 6;
    header += 31 - header % 31;
    return {static_cast<uint8_t>(header >> 8), static_cast<uint8_t>(header)};
}
} // namespace

Result<void, std::string> writePngImageData(const RowNormalizer& rows, size_t height, const PngCompression& settings,
                                            PngFileSink& sink)
{
    const auto writeFailed = [&sink] {
        return unexpected("The PNG file could not be written: " + sink.failureText() + ".");
    };
    if (settings.methods.empty())
        return unexpected(std::string("No PNG compression method was given."));
    try {
        const size_t rowBytes = rows.outputRowBytes();
        const size_t bandRows = std::max<size_t>(1, settings.bandBytes / (rowBytes + 1));
        const size_t bandCount = (height + bandRows - 1) / bandRows;
        const size_t inFlight = settings.parallel ? std::clamp<size_t>(2 * threadBudget(), 1, maxBandsInFlight) : 1;

        IdatStream idat(sink);
        if (!idat.append(zlibHeader(settings.methods.front())))
            return writeFailed();
        uLong adler = adler32(0, nullptr, 0);
        std::vector<Band> batch;
        for (size_t first = 0; first < bandCount; first += inFlight) {
            batch.resize(std::min(inFlight, bandCount - first));
            for (size_t i = 0; i < batch.size(); ++i)
                batch[i].assign((first + i) * bandRows, std::min(height, (first + i + 1) * bandRows));
            const auto compress = [&](size_t begin, size_t end) {
                for (size_t i = begin; i < end; ++i)
                    compressBand(rows, settings, first + i == bandCount - 1, batch[i]);
            };
            if (batch.size() > 1)
                parallelFor(batch.size(), compress);
            else
                compress(0, batch.size());
            for (Band& band : batch) {
                if (!band.error.empty())
                    return unexpected(band.error);
                if (!idat.append(band.deflated))
                    return writeFailed();
                adler = adler32_combine(adler, band.adler, static_cast<z_off_t>(band.filteredBytes));
            }
        }
        const std::array<uint8_t, 4> checksum{static_cast<uint8_t>(adler >> 24), static_cast<uint8_t>(adler >> 16),
                                              static_cast<uint8_t>(adler >> 8), static_cast<uint8_t>(adler)};
        if (!idat.append(checksum) || !idat.finish() || !writePngChunk(sink, "IEND", {}))
            return writeFailed();
        return {};
    } catch (const std::bad_alloc&) {
        return unexpected(outOfMemory);
    }
}

} // namespace pelorin::png
