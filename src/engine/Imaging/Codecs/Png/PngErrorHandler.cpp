#include "engine/Imaging/Codecs/Png/PngErrorHandler.h"

#include <cstring>

namespace pelorin::png {

namespace {
void store(png_structp png, png_const_charp message, bool failed)
{
    auto* state = static_cast<PngErrorState*>(png_get_error_ptr(png));
    if (!state || state->failed)
        return; // keep the first error: it is the cause, later messages are its echoes
    std::strncpy(state->message, message ? message : "unknown error", sizeof state->message - 1);
    state->message[sizeof state->message - 1] = '\0';
    state->failed = failed;
}
} // namespace

std::string PngErrorState::text() const
{
    std::string result(message);
    while (!result.empty() && (result.back() == '.' || result.back() == ' ' || result.back() == '\n'))
        result.pop_back();
    return result.empty() ? "unknown error" : result;
}

void recordPngError(png_structp png, png_const_charp message)
{
    store(png, message, true);
    png_longjmp(png, 1);
}

void recordPngWarning(png_structp png, png_const_charp message)
{
    store(png, message, false);
}

} // namespace pelorin::png
