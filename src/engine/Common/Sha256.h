// Sha256: the SHA-256 digest of a file's contents, read in blocks (OpenSSL's implementation, which
// uses the processor's SHA instructions where present).
#pragma once

#include "engine/Common/Result.h"

#include <array>
#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>

namespace pelorin {

using Sha256Digest = std::array<uint8_t, 32>;

Result<Sha256Digest, std::string> sha256OfFile(const std::filesystem::path& file);
Sha256Digest sha256Of(std::string_view bytes);
std::string hexString(const Sha256Digest& digest);

} // namespace pelorin
