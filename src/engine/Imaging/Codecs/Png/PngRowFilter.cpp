#include "engine/Imaging/Codecs/Png/PngRowFilter.h"

#include <cstdlib>
#include <cstring>
#include <utility>

namespace pelorin::png {

namespace {
inline uint8_t paethPredictor(int left, int above, int upperLeft)
{
    const int estimate = left + above - upperLeft;
    const int toLeft = std::abs(estimate - left);
    const int toAbove = std::abs(estimate - above);
    const int toUpperLeft = std::abs(estimate - upperLeft);
    if (toLeft <= toAbove && toLeft <= toUpperLeft)
        return static_cast<uint8_t>(left);
    return static_cast<uint8_t>(toAbove <= toUpperLeft ? above : upperLeft);
}

// The cost libpng minimises: each output byte read as a signed value, absolute, summed.
size_t cost(const uint8_t* filtered, size_t size)
{
    size_t sum = 0;
    for (size_t i = 0; i < size; ++i)
        sum += static_cast<size_t>(std::abs(static_cast<int>(static_cast<int8_t>(filtered[i]))));
    return sum;
}
} // namespace

void filterRow(RowFilter filter, std::span<const uint8_t> row, std::span<const uint8_t> prior,
               size_t pixelBytes, uint8_t* out)
{
    const size_t n = row.size();
    const uint8_t* r = row.data();
    const uint8_t* p = prior.data();
    const size_t lead = pixelBytes < n ? pixelBytes : n; // bytes with no left neighbour
    *out++ = static_cast<uint8_t>(filter);
    switch (filter) {
    case RowFilter::none:
        std::memcpy(out, r, n);
        return;
    case RowFilter::sub:
        std::memcpy(out, r, lead);
        for (size_t i = lead; i < n; ++i)
            out[i] = static_cast<uint8_t>(r[i] - r[i - pixelBytes]);
        return;
    case RowFilter::up:
        for (size_t i = 0; i < n; ++i)
            out[i] = static_cast<uint8_t>(r[i] - p[i]);
        return;
    case RowFilter::average:
        for (size_t i = 0; i < lead; ++i)
            out[i] = static_cast<uint8_t>(r[i] - (p[i] >> 1));
        for (size_t i = lead; i < n; ++i)
            out[i] = static_cast<uint8_t>(r[i] - ((unsigned{r[i - pixelBytes]} + p[i]) >> 1));
        return;
    case RowFilter::paeth:
        for (size_t i = 0; i < lead; ++i)
            out[i] = static_cast<uint8_t>(r[i] - p[i]); // the predictor reduces to the byte above
        for (size_t i = lead; i < n; ++i)
            out[i] = static_cast<uint8_t>(r[i] - paethPredictor(r[i - pixelBytes], p[i], p[i - pixelBytes]));
        return;
    }
}

void filterRowAdaptive(std::span<const uint8_t> row, std::span<const uint8_t> prior, size_t pixelBytes,
                       uint8_t* out, std::span<uint8_t> scratch)
{
    const size_t size = row.size() + 1;
    uint8_t* best = out;
    uint8_t* trial = scratch.data();
    filterRow(RowFilter::none, row, prior, pixelBytes, best);
    size_t bestCost = cost(best + 1, row.size());
    for (auto filter : {RowFilter::sub, RowFilter::up, RowFilter::average, RowFilter::paeth}) {
        filterRow(filter, row, prior, pixelBytes, trial);
        const size_t trialCost = cost(trial + 1, row.size());
        if (trialCost < bestCost) {
            bestCost = trialCost;
            std::swap(best, trial); // the loser's buffer takes the next trial
        }
    }
    if (best != out)
        std::memcpy(out, best, size);
}

} // namespace pelorin::png
