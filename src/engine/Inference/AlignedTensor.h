// AlignedTensor: float storage that oneDNN may read and write in place.
//
// oneDNN's generated kernels may use aligned (and non-temporal) vector loads and stores on any
// memory they are handed; an AVX-512 store faults unless its address is a multiple of 64. The
// heap promises only 16, so a std::vector's storage works or crashes depending on where the heap
// puts it. Every buffer bound to a oneDNN memory object starts on a tensorAlignment boundary.
#pragma once

#include <cstddef>
#include <cstdint>
#include <new>
#include <vector>

namespace pelorin {

inline constexpr size_t tensorAlignment = 64;

inline bool isTensorAligned(const void* pointer)
{
    return reinterpret_cast<uintptr_t>(pointer) % tensorAlignment == 0;
}

// std::allocator's contract with a tensorAlignment-aligned address for every allocation.
template <typename T>
struct AlignedAllocator {
    using value_type = T;

    AlignedAllocator() noexcept = default;
    template <typename U>
    AlignedAllocator(const AlignedAllocator<U>&) noexcept
    {
    }

    T* allocate(size_t count)
    {
        if (count > SIZE_MAX / sizeof(T))
            throw std::bad_array_new_length();
        return static_cast<T*>(::operator new (count * sizeof(T), std::align_val_t{tensorAlignment}));
    }
    void deallocate(T* pointer, size_t) noexcept { ::operator delete (pointer, std::align_val_t{tensorAlignment}); }

    template <typename U>
    bool operator==(const AlignedAllocator<U>&) const noexcept
    {
        return true;
    }
};

// A network's input or output values: a vector whose data() is always tensorAlignment-aligned.
using AlignedFloats = std::vector<float, AlignedAllocator<float>>;

} // namespace pelorin
