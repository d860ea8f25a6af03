#include "engine/Common/Sha256.h"

#include "engine/Common/FileDescriptor.h"

#include <openssl/evp.h>

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <vector>

namespace pelorin {
namespace {

struct ContextDeleter {
    void operator()(EVP_MD_CTX* context) const { EVP_MD_CTX_free(context); }
};
using Context = std::unique_ptr<EVP_MD_CTX, ContextDeleter>;

Context newContext()
{
    Context context(EVP_MD_CTX_new());
    if (context && EVP_DigestInit_ex(context.get(), EVP_sha256(), nullptr) != 1)
        context.reset();
    return context;
}

} // namespace

Result<Sha256Digest, std::string> sha256OfFile(const std::filesystem::path& file)
{
    FileDescriptor input(::open(file.c_str(), O_RDONLY | O_CLOEXEC));
    if (!input.isOpen())
        return unexpected(file.string() + ": " + std::strerror(errno));
    Context context = newContext();
    if (!context)
        return unexpected(std::string("SHA-256 is not available"));
    std::vector<unsigned char> block(size_t{1} << 20);
    for (;;) {
        const ssize_t got = ::read(input.get(), block.data(), block.size());
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0)
            return unexpected(file.string() + ": " + std::strerror(errno));
        if (got == 0)
            break;
        EVP_DigestUpdate(context.get(), block.data(), size_t(got));
    }
    Sha256Digest digest{};
    unsigned int length = 0;
    EVP_DigestFinal_ex(context.get(), digest.data(), &length);
    return digest;
}

Sha256Digest sha256Of(std::string_view bytes)
{
    Sha256Digest digest{};
    unsigned int length = 0;
    EVP_Digest(bytes.data(), bytes.size(), digest.data(), &length, EVP_sha256(), nullptr);
    return digest;
}

std::string hexString(const Sha256Digest& digest)
{
    static constexpr char digits[] = "0123456789abcdef";
    std::string text;
    for (uint8_t byte : digest) {
        text += digits[byte >> 4];
        text += digits[byte & 15];
    }
    return text;
}

} // namespace pelorin
