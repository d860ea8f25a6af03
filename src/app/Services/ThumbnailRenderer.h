// ThumbnailRenderer: a small upright sRGB picture of an image file for the file list, made as
// cheaply as the file allows: the camera's own EXIF preview, else a JPEG decoded by libjpeg at a
// reduced scale, else a full decode scaled down. Pure; meant for a worker thread.
#pragma once

#include "engine/Common/Result.h"

#include <QImage>
#include <QString>

#include <filesystem>

namespace pelorin::ThumbnailRenderer {

// Fits within side × side pixels with the aspect kept (never enlarged). Fails with the decoder's
// message when the file cannot be read as an image.
Result<QImage, QString> render(const std::filesystem::path& path, int side);

} // namespace pelorin::ThumbnailRenderer
