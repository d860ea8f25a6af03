#include "engine/Common/Uuid.h"

#include <cstring>
#include <random>

namespace pelorin {

Uuid Uuid::random()
{
    // One generator per thread, seeded from the OS, so concurrent jobs never share state.
    thread_local std::mt19937_64 generator{[] {
        std::random_device device;
        std::seed_seq seed{device(), device(), device(), device(), device(), device(), device(), device()};
        return std::mt19937_64(seed);
    }()};
    Uuid id;
    const uint64_t high = generator();
    const uint64_t low = generator();
    std::memcpy(id.bytes_.data(), &high, 8);
    std::memcpy(id.bytes_.data() + 8, &low, 8);
    id.bytes_[6] = static_cast<uint8_t>((id.bytes_[6] & 0x0F) | 0x40); // version 4
    id.bytes_[8] = static_cast<uint8_t>((id.bytes_[8] & 0x3F) | 0x80); // RFC 4122 variant
    return id;
}

std::string Uuid::toString() const
{
    static constexpr char digits[] = "0123456789ABCDEF";
    std::string text;
    text.reserve(36);
    for (size_t i = 0; i < 16; ++i) {
        if (i == 4 || i == 6 || i == 8 || i == 10)
            text.push_back('-');
        text.push_back(digits[bytes_[i] >> 4]);
        text.push_back(digits[bytes_[i] & 0xF]);
    }
    return text;
}

} // namespace pelorin

size_t std::hash<pelorin::Uuid>::operator()(const pelorin::Uuid& id) const noexcept
{
    uint64_t a, b;
    std::memcpy(&a, id.bytes().data(), 8);
    std::memcpy(&b, id.bytes().data() + 8, 8);
    return static_cast<size_t>(a ^ (b * 0x9E3779B97F4A7C15ull));
}
