// Quiet libpng error and warning handlers: errors record their message and unwind to the caller's
// setjmp point; warnings are counted but never printed. One PngErrorState per png_struct, passed
// as libpng's error pointer; it must outlive the struct.
//
// A function that calls setjmp on png_jmpbuf must hold no C++ object with a destructor, since
// libpng leaves it through longjmp; keep such functions to plain libpng calls.
#pragma once

#include <png.h>

#include <string>

namespace pelorin::png {

struct PngErrorState {
    char message[256] = {}; // the last error, or the last warning when no error happened
    bool failed = false;

    // The recorded text, without libpng's trailing punctuation.
    std::string text() const;
};

// Records the message in the state given as error pointer and longjmps to png_jmpbuf.
[[noreturn]] void recordPngError(png_structp png, png_const_charp message);
// Records the message (so a later refusal can explain itself) and returns.
void recordPngWarning(png_structp png, png_const_charp message);

} // namespace pelorin::png
