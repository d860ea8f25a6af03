// Uuid: a random (version 4) identifier. A queue row, its job and every event about it share one.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <string>

namespace pelorin {

class Uuid {
public:
    // The nil identifier (all zero).
    Uuid() = default;
    static Uuid random();

    // Upper-case 8-4-4-4-12 form.
    std::string toString() const;
    const std::array<uint8_t, 16>& bytes() const { return bytes_; }

    friend bool operator==(const Uuid&, const Uuid&) = default;
    friend auto operator<=>(const Uuid&, const Uuid&) = default;

private:
    std::array<uint8_t, 16> bytes_{};
};

} // namespace pelorin

template <>
struct std::hash<pelorin::Uuid> {
    size_t operator()(const pelorin::Uuid& id) const noexcept;
};
