// DisplayImage: decoded images made ready for the screen. The engine keeps pixels as the file
// stored them (any profile, 8 or 16 bits, sensor orientation); a view needs them upright, in sRGB
// and 8-bit. Pure functions, safe on any thread (QImage is reentrant), never on the GUI thread for
// full-size photos: a conversion takes a good fraction of a second.
#pragma once

#include "engine/Common/Result.h"

#include <QImage>
#include <QString>

#include <filesystem>

namespace pelorin {

class Image;

namespace DisplayImage {

// `image` upright by EXIF `orientation`, converted from its ICC profile (when Qt can read it) to
// sRGB: ARGB32 premultiplied when it has alpha, RGB32 otherwise. Fails for float and CMYK pixels.
// A positive `fitSide` scales it down (before the colour conversion, which is the costly step) to
// fit within fitSide × fitSide.
Result<QImage, QString> fromImage(const Image& image, int orientation, int fitSide = 0);

// `image` turned by EXIF orientation 1…8; other values leave it as it is.
QImage upright(const QImage& image, int orientation);

// Converts `image` to sRGB from the colour space it is tagged with (nothing when untagged).
QImage toSRgb(QImage image);

// Decodes the whole file at `path` with the engine and returns fromImage() of it.
Result<QImage, QString> load(const std::filesystem::path& path);

} // namespace DisplayImage
} // namespace pelorin
