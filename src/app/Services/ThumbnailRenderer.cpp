#include "app/Services/ThumbnailRenderer.h"

#include "app/Services/DisplayImage.h"
#include "engine/Imaging/ExifDictionary.h"
#include "engine/Imaging/ImageSource.h"

#include <QBuffer>
#include <QFile>
#include <QImageReader>

#include <cmath>

namespace pelorin::ThumbnailRenderer {

namespace {

// Enough for the header and the EXIF segment (with its preview) of every camera photo we know.
constexpr qint64 prefixSize = ImageSource::headerPrefixSize;

Result<FileBytes, QString> readFile(const std::filesystem::path& path, qint64 limit)
{
    QFile file(QString::fromStdString(path.string()));
    if (!file.open(QIODevice::ReadOnly))
        return unexpected(file.errorString());
    // A limit of 0 reads it all.
    const QByteArray data = limit > 0 ? file.read(limit) : file.readAll();
    return FileBytes(std::make_shared<std::vector<uint8_t>>(data.begin(), data.end()));
}

QImage fitted(const QImage& image, int side)
{
    if (image.width() <= side && image.height() <= side)
        return image;
    return image.scaled(side, side, Qt::KeepAspectRatio, Qt::SmoothTransformation);
}

// Cameras letterbox a 3:2 photo into a 4:3 preview; crop to the photo's own aspect.
QImage withoutBars(const QImage& preview, size_t width, size_t height)
{
    if (width == 0 || height == 0 || preview.isNull())
        return preview;
    const double aspect = static_cast<double>(width) / static_cast<double>(height);
    const double previewAspect = static_cast<double>(preview.width()) / preview.height();
    if (std::abs(previewAspect / aspect - 1.0) < 0.02)
        return preview;
    if (previewAspect > aspect) {
        const int w = static_cast<int>(std::lround(preview.height() * aspect));
        return preview.copy((preview.width() - w) / 2, 0, w, preview.height());
    }
    const int h = static_cast<int>(std::lround(preview.width() / aspect));
    return preview.copy(0, (preview.height() - h) / 2, preview.width(), h);
}

QImage ready(QImage image, int orientation, int side)
{
    image = DisplayImage::toSRgb(fitted(image, side));
    const bool alpha = image.hasAlphaChannel();
    image = image.convertToFormat(alpha ? QImage::Format_ARGB32_Premultiplied : QImage::Format_RGB32);
    return DisplayImage::upright(image, orientation);
}

// libjpeg decodes at 1/2, 1/4 or 1/8 scale when asked for a smaller size: a fraction of a full decode.
QImage scaledJpeg(const FileBytes& bytes, int side)
{
    QByteArray data =
        QByteArray::fromRawData(reinterpret_cast<const char*>(bytes->data()), static_cast<qsizetype>(bytes->size()));
    QBuffer buffer(&data);
    QImageReader reader(&buffer, "jpeg");
    reader.setAutoTransform(false);
    const QSize size = reader.size();
    if (size.isValid() && (size.width() > side || size.height() > side))
        reader.setScaledSize(size.scaled(side, side, Qt::KeepAspectRatio));
    return reader.read();
}

} // namespace

Result<QImage, QString> render(const std::filesystem::path& path, int side)
{
    auto prefix = readFile(path, prefixSize);
    if (!prefix)
        return unexpected(prefix.error());
    FileBytes bytes = *prefix;
    const bool whole = static_cast<qint64>(bytes->size()) < prefixSize;

    // The preview only counts when the header around it reads too: its size and orientation are
    // the photo's.
    if (auto source = ImageSource::open(bytes)) {
        if (auto properties = (*source)->properties()) {
            const std::vector<uint8_t> preview = embeddedThumbnail(*bytes);
            const QImage decoded = QImage::fromData(preview.data(), static_cast<int>(preview.size()), "JPEG");
            if (!decoded.isNull() && std::max(decoded.width(), decoded.height()) >= side)
                return ready(
                    withoutBars(decoded, properties->pixelWidth.value_or(0), properties->pixelHeight.value_or(0)),
                    properties->orientation.value_or(1), side);
        }
    }

    if (!whole) {
        auto all = readFile(path, 0);
        if (!all)
            return unexpected(all.error());
        bytes = *all;
    }
    auto source = ImageSource::open(bytes);
    if (!source)
        return unexpected(QString::fromStdString(source.error().message));
    auto properties = (*source)->properties();
    if (!properties)
        return unexpected(QString::fromStdString(properties.error().message));
    if ((*source)->type() == ImageFileType::jpeg) {
        const QImage image = scaledJpeg(bytes, side);
        if (!image.isNull())
            return ready(image, properties->orientation.value_or(1), side);
    }
    auto image = (*source)->createImage();
    if (!image)
        return unexpected(QString::fromStdString(image.error().message));
    return DisplayImage::fromImage(*image, properties->orientation.value_or(1), side);
}

} // namespace pelorin::ThumbnailRenderer
