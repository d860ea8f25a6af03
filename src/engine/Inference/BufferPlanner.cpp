#include "engine/Inference/BufferPlanner.h"

#include <algorithm>
#include <climits>
#include <set>

namespace pelorin::inference {
namespace {

size_t alignUp(size_t bytes)
{
    return (bytes + BufferPlanner::alignment - 1) / BufferPlanner::alignment * BufferPlanner::alignment;
}

// A set of buffers laid out relative to one another; later placed as a unit.
struct Region {
    std::vector<std::pair<int, long>> members; // buffer, byte offset in the region
    long size = 0;
    BufferPlanner::Storage storage = BufferPlanner::Storage::arena;
};

class Layout {
public:
    Layout(std::vector<size_t> bytes, std::vector<BufferPlanner::Storage> storage, std::vector<int> def,
           std::vector<int> last)
        : bytes_(std::move(bytes)),
          def_(std::move(def)),
          last_(std::move(last))
    {
        for (size_t b = 0; b < bytes_.size(); ++b) {
            regionOf_.push_back(int(b));
            offsetOf_.push_back(0);
            regions_.push_back({{{int(b), 0}}, long(bytes_[b]), storage[b]});
        }
    }

    bool used(int buffer) const { return def_[size_t(buffer)] != INT_MAX; }

    // Makes `inner` start `delta` bytes into `outer`, if every shared byte stays sound. The pair is
    // recorded as compatible (allowed to overlap while both are live) when the move succeeds.
    bool place(int inner, int outer, long delta)
    {
        const int from = regionOf_[size_t(inner)], to = regionOf_[size_t(outer)];
        if (from == to)
            return offsetOf_[size_t(inner)] == offsetOf_[size_t(outer)] + delta;
        Region a = regions_[size_t(from)], b = regions_[size_t(to)];
        using S = BufferPlanner::Storage;
        if (a.storage != S::arena && b.storage != S::arena)
            return false;
        if (a.storage == S::externalInput || b.storage == S::externalInput)
            return false; // the caller's input is read-only and has no room around it
        // `shift` moves a's coordinates into b's.
        long shift = offsetOf_[size_t(outer)] + delta - offsetOf_[size_t(inner)];
        Region merged = b;
        const long low = std::min(0L, shift), high = std::max(b.size, a.size + shift);
        if (b.storage == S::externalOutput && (low < 0 || high > b.size))
            return false;
        if (a.storage == S::externalOutput && (shift > 0 || b.size - shift > a.size))
            return false;
        if (a.storage == S::externalOutput)
            merged.storage = S::externalOutput;
        const long origin = a.storage == S::externalOutput ? shift : low;
        for (auto& [buffer, offset] : merged.members)
            offset -= origin;
        for (const auto& [buffer, offset] : a.members)
            merged.members.emplace_back(buffer, offset + shift - origin);
        merged.size = high - low;

        compatible_.emplace(inner, outer);
        for (const auto& [x, xo] : a.members)
            for (const auto& [y, yo] : b.members)
                if (!sound(x, xo + shift - origin, y, yo - origin)) {
                    compatible_.erase({inner, outer});
                    return false;
                }
        regions_[size_t(to)] = std::move(merged);
        regions_[size_t(from)].members.clear();
        for (const auto& [buffer, offset] : regions_[size_t(to)].members) {
            regionOf_[size_t(buffer)] = to;
            offsetOf_[size_t(buffer)] = offset;
        }
        return true;
    }

    const std::vector<Region>& regions() const { return regions_; }
    long offsetOf(int buffer) const { return offsetOf_[size_t(buffer)]; }
    int regionOf(int buffer) const { return regionOf_[size_t(buffer)]; }
    int def(int buffer) const { return def_[size_t(buffer)]; }
    int last(int buffer) const { return last_[size_t(buffer)]; }

private:
    // May buffers x and y, at these offsets of one region, share bytes?
    bool sound(int x, long xo, int y, long yo) const
    {
        if (!used(x) || !used(y))
            return true;
        if (xo + long(bytes_[size_t(x)]) <= yo || yo + long(bytes_[size_t(y)]) <= xo)
            return true; // no shared bytes
        int earlier = x, later = y;
        if (def(y) < def(x))
            std::swap(earlier, later);
        if (def(later) > last(earlier))
            return true; // the earlier one is dead when the later one is written
        if (def(later) == def(earlier))
            return false;
        // The later one is written while the earlier one is live: only its declared partner may.
        if (!compatible_.contains({earlier, later}))
            return false;
        return inPlacePairs_.contains({earlier, later}) ? def(later) == last(earlier) : true;
    }

public:
    std::set<std::pair<int, int>> inPlacePairs_;

private:
    std::vector<size_t> bytes_;
    std::vector<int> def_, last_;
    std::vector<int> regionOf_;
    std::vector<long> offsetOf_;
    std::vector<Region> regions_;
    std::set<std::pair<int, int>> compatible_;
};

} // namespace

int BufferPlanner::addBuffer(size_t bytes, Storage storage)
{
    buffers_.push_back({bytes, storage});
    return int(buffers_.size()) - 1;
}

int BufferPlanner::addStep(std::vector<int> reads, std::vector<int> writes)
{
    steps_.push_back({std::move(reads), std::move(writes)});
    return int(steps_.size()) - 1;
}

void BufferPlanner::requestInPlace(int step, int operand, int result)
{
    inPlace_.push_back({step, operand, result});
}

void BufferPlanner::requestConcatInPlace(int step, int output, std::vector<std::pair<int, size_t>> inputsAtOffsets)
{
    concats_.push_back({step, output, std::move(inputsAtOffsets)});
}

Result<BufferPlanner::Plan, std::string> BufferPlanner::plan() const
{
    try {
        // Liveness: from the first write to the last access. The caller's input exists before the
        // first step; its output must survive the last one.
        const size_t count = buffers_.size();
        std::vector<int> def(count, INT_MAX), last(count, INT_MIN);
        for (size_t s = 0; s < steps_.size(); ++s) {
            for (int b : steps_[s].writes) {
                def[size_t(b)] = std::min(def[size_t(b)], int(s));
                last[size_t(b)] = std::max(last[size_t(b)], int(s));
            }
            for (int b : steps_[s].reads)
                last[size_t(b)] = std::max(last[size_t(b)], int(s));
        }
        std::vector<size_t> bytes;
        std::vector<Storage> storage;
        for (size_t b = 0; b < count; ++b) {
            bytes.push_back(buffers_[b].bytes);
            storage.push_back(buffers_[b].storage);
            if (buffers_[b].storage == Storage::externalInput)
                def[b] = -1;
            if (buffers_[b].storage == Storage::externalOutput) {
                last[b] = int(steps_.size());
                def[b] = std::min(def[b], int(steps_.size()));
            }
            if (def[b] != INT_MAX && last[b] == INT_MIN)
                last[b] = def[b];
            if (def[b] == INT_MAX && last[b] != INT_MIN)
                return unexpected("buffer " + std::to_string(b) + " is read but never written");
        }

        Layout layout(bytes, storage, def, last);
        for (const auto& request : inPlace_) {
            if (last[size_t(request.operand)] != request.step || def[size_t(request.result)] != request.step)
                return unexpected("step " + std::to_string(request.step)
                                  + " cannot work in place: its operand is read later");
            layout.inPlacePairs_.emplace(request.operand, request.result);
            if (!layout.place(request.operand, request.result, 0))
                return unexpected("step " + std::to_string(request.step) + " cannot work in place");
        }

        Plan plan;
        plan.elidedSteps.assign(steps_.size(), false);
        for (const auto& concat : concats_) {
            // All inputs or none: a partial placement would still need the step. A slice that
            // would start off a 64-byte boundary is never a view: kernels may store to it aligned.
            Layout attempt = layout;
            bool placed = true;
            for (const auto& [input, offset] : concat.inputs)
                placed = placed && offset % alignment == 0 && attempt.place(input, concat.output, long(offset));
            if (placed) {
                layout = std::move(attempt);
                plan.elidedSteps[size_t(concat.step)] = true;
            }
        }

        // Arena regions, largest first, each at the lowest offset free over its lifetime.
        struct Placed {
            int first, last;
            size_t offset, size;
        };
        std::vector<int> order;
        std::vector<std::pair<int, int>> lifetime(layout.regions().size(), {INT_MAX, INT_MIN});
        for (size_t r = 0; r < layout.regions().size(); ++r) {
            const Region& region = layout.regions()[r];
            for (const auto& [buffer, offset] : region.members)
                if (layout.used(buffer)) {
                    lifetime[r].first = std::min(lifetime[r].first, layout.def(buffer));
                    lifetime[r].second = std::max(lifetime[r].second, layout.last(buffer));
                }
            if (region.storage == Storage::arena && lifetime[r].first != INT_MAX)
                order.push_back(int(r));
        }
        std::stable_sort(order.begin(), order.end(), [&](int a, int b) {
            return layout.regions()[size_t(a)].size > layout.regions()[size_t(b)].size;
        });
        std::vector<size_t> regionOffset(layout.regions().size(), 0);
        std::vector<Placed> placed;
        for (int r : order) {
            const size_t size = alignUp(size_t(layout.regions()[size_t(r)].size));
            const auto [first, lastStep] = lifetime[size_t(r)];
            std::vector<std::pair<size_t, size_t>> busy;
            for (const auto& p : placed)
                if (p.first <= lastStep && first <= p.last)
                    busy.emplace_back(p.offset, p.offset + p.size);
            std::sort(busy.begin(), busy.end());
            size_t offset = 0;
            for (const auto& [begin, end] : busy) {
                if (begin >= offset + size)
                    break;
                offset = std::max(offset, end);
            }
            regionOffset[size_t(r)] = offset;
            placed.push_back({first, lastStep, offset, size});
            plan.arenaBytes = std::max(plan.arenaBytes, offset + size);
        }

        plan.buffers.resize(count);
        for (size_t b = 0; b < count; ++b) {
            const int region = layout.regionOf(int(b));
            plan.buffers[b].storage = layout.regions()[size_t(region)].storage;
            plan.buffers[b].offset = regionOffset[size_t(region)] + size_t(layout.offsetOf(int(b)));
            if (plan.buffers[b].offset % alignment != 0)
                return unexpected("buffer " + std::to_string(b) + " would start at offset "
                                  + std::to_string(plan.buffers[b].offset) + ", off a " + std::to_string(alignment)
                                  + "-byte boundary");
        }
        return plan;
    } catch (const std::bad_alloc&) {
        return unexpected(std::string("not enough memory to plan the buffers"));
    }
}

} // namespace pelorin::inference
