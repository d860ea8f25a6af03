#include "engine/Imaging/Codecs/Png/PngRowFilter.h"

#include <cstdlib>
#include <cstring>
#include <utility>

namespace pelorin::png {

namespace {
// Branch-free so the loops below vectorise: the choice libpng's predictor makes, written as
// selects over the three distances.
inline uint8_t paethPredictor(uint8_t left, uint8_t above, uint8_t upperLeft)
{
    const int16_t a = left, b = above, c = upperLeft;
    const int16_t toLeft = static_cast<int16_t>(b > c ? b - c : c - b);
    const int16_t toAbove = static_cast<int16_t>(a > c ? a - c : c - a);
    const int16_t sum = static_cast<int16_t>(a + b - 2 * c);
    const int16_t toUpperLeft = static_cast<int16_t>(sum < 0 ? -sum : sum);
    const int16_t aboveOrUpperLeft = toAbove <= toUpperLeft ? b : c;
    return static_cast<uint8_t>(toLeft <= toAbove && toLeft <= toUpperLeft ? a : aboveOrUpperLeft);
}

// The cost libpng minimises: the output byte read as a signed value, absolute.
inline uint32_t cost(uint8_t filtered)
{
    const int8_t v = static_cast<int8_t>(filtered);
    return static_cast<uint32_t>(v < 0 ? -v : v);
}
} // namespace

void filterRow(RowFilter filter, std::span<const uint8_t> row, std::span<const uint8_t> prior, size_t pixelBytes,
               uint8_t* out)
{
    const size_t n = row.size();
    const uint8_t* r = row.data();
    const uint8_t* p = prior.data();
    const size_t lead = pixelBytes < n ? pixelBytes : n; // bytes with no left neighbour
    *out++ = static_cast<uint8_t>(filter);
    switch (filter) {
    case RowFilter::none: std::memcpy(out, r, n); return;
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

void filterRowAdaptive(std::span<const uint8_t> row, std::span<const uint8_t> prior, size_t pixelBytes, uint8_t* out)
{
    // One pass prices all five filters without storing them; only the winner is written.
    const size_t n = row.size();
    const uint8_t* r = row.data();
    const uint8_t* p = prior.data();
    const size_t lead = pixelBytes < n ? pixelBytes : n;
    uint64_t none = 0, sub = 0, up = 0, average = 0, paeth = 0;
    for (size_t i = 0; i < lead; ++i) {
        none += cost(r[i]);
        sub += cost(r[i]);
        up += cost(static_cast<uint8_t>(r[i] - p[i]));
        average += cost(static_cast<uint8_t>(r[i] - (p[i] >> 1)));
        paeth += cost(static_cast<uint8_t>(r[i] - p[i]));
    }
    // Priced in stretches short enough for 32-bit sums, which vectorise better than 64-bit ones.
    constexpr size_t stretch = size_t{1} << 24;
    for (size_t begin = lead; begin < n; begin += stretch) {
        const size_t end = n - begin < stretch ? n : begin + stretch;
        uint32_t stretchNone = 0, stretchSub = 0, stretchUp = 0, stretchAverage = 0, stretchPaeth = 0;
        for (size_t i = begin; i < end; ++i) {
            const uint8_t x = r[i], a = r[i - pixelBytes], b = p[i], c = p[i - pixelBytes];
            stretchNone += cost(x);
            stretchSub += cost(static_cast<uint8_t>(x - a));
            stretchUp += cost(static_cast<uint8_t>(x - b));
            stretchAverage += cost(static_cast<uint8_t>(x - ((unsigned{a} + b) >> 1)));
            stretchPaeth += cost(static_cast<uint8_t>(x - paethPredictor(a, b, c)));
        }
        none += stretchNone;
        sub += stretchSub;
        up += stretchUp;
        average += stretchAverage;
        paeth += stretchPaeth;
    }
    // Ties go to the earlier filter, as when each was tried in turn.
    RowFilter best = RowFilter::none;
    uint64_t bestCost = none;
    for (auto [filter, total] : {std::pair{RowFilter::sub, sub}, std::pair{RowFilter::up, up},
                                 std::pair{RowFilter::average, average}, std::pair{RowFilter::paeth, paeth}})
        if (total < bestCost) {
            bestCost = total;
            best = filter;
        }
    filterRow(best, row, prior, pixelBytes, out);
}

} // namespace pelorin::png
