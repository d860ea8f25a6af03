#include "app/Services/DisplayImage.h"

#include "engine/Imaging/Image.h"
#include "engine/Imaging/ImageSource.h"
#include "engine/Imaging/RowNormalizer.h"

#include <QColorSpace>
#include <QTransform>

#include <vector>

namespace pelorin::DisplayImage {

namespace {

QImage::Format packedFormat(const RowNormalizer& rows)
{
    const bool wide = rows.bitsPerComponent() == 16;
    if (rows.colorChannels() == 1 && !rows.hasAlpha())
        return wide ? QImage::Format_Grayscale16 : QImage::Format_Grayscale8;
    // Grey with alpha has no QImage format of its own: it is spread to RGBA below.
    if (rows.hasAlpha())
        return wide ? QImage::Format_RGBA64 : QImage::Format_RGBA8888;
    return wide ? QImage::Format_RGBX64 : QImage::Format_RGB888;
}

// Grey+alpha rows to RGBA, and RGB16 to RGBX64, which QImage stores with a fourth component.
template <typename Sample>
void spread(const Sample* in, Sample* out, size_t width, size_t colorChannels, bool hasAlpha, Sample opaque)
{
    for (size_t x = 0; x < width; ++x) {
        const Sample* pixel = in + x * (colorChannels + (hasAlpha ? 1 : 0));
        for (size_t c = 0; c < 3; ++c)
            out[4 * x + c] = pixel[colorChannels == 1 ? 0 : c];
        out[4 * x + 3] = hasAlpha ? pixel[colorChannels] : opaque;
    }
}

} // namespace

QImage upright(const QImage& image, int orientation)
{
    switch (orientation) {
    case 2: return image.mirrored(true, false);
    case 3: return image.mirrored(true, true);
    case 4: return image.mirrored(false, true);
    case 5: return image.transformed(QTransform().rotate(90)).mirrored(true, false);
    case 6: return image.transformed(QTransform().rotate(90));
    case 7: return image.transformed(QTransform().rotate(90)).mirrored(false, true);
    case 8: return image.transformed(QTransform().rotate(270));
    default: return image;
    }
}

QImage toSRgb(QImage image)
{
    const QColorSpace space = image.colorSpace();
    // Qt 6.4 converts RGB images only; grey profiles are shown as stored.
    if (space.isValid() && space != QColorSpace::SRgb && !image.isGrayscale())
        image.convertToColorSpace(QColorSpace::SRgb);
    return image;
}

Result<QImage, QString> fromImage(const Image& image, int orientation, int fitSide)
{
    auto normalizer = RowNormalizer::make(image);
    if (!normalizer)
        return unexpected(QString::fromStdString(normalizer.error()));
    const RowNormalizer& rows = *normalizer;
    const QImage::Format format = packedFormat(rows);
    QImage packed(static_cast<int>(image.width()), static_cast<int>(image.height()), format);
    if (packed.isNull())
        return unexpected(QStringLiteral("The image is too large to show."));

    // Normalised rows already match QImage's layout except for 16-bit RGB and grey with alpha.
    const bool direct = format != QImage::Format_RGBX64 && !(rows.colorChannels() == 1 && rows.hasAlpha());
    std::vector<uint8_t> row(direct ? 0 : rows.outputRowBytes());
    for (size_t y = 0; y < image.height(); ++y) {
        uint8_t* line = packed.scanLine(static_cast<int>(y));
        if (direct) {
            rows.convertRow(y, {line, rows.outputRowBytes()});
            continue;
        }
        rows.convertRow(y, row);
        if (rows.bitsPerComponent() == 16)
            spread(reinterpret_cast<const uint16_t*>(row.data()), reinterpret_cast<uint16_t*>(line), image.width(),
                   rows.colorChannels(), rows.hasAlpha(), uint16_t{0xffff});
        else
            spread(row.data(), line, image.width(), rows.colorChannels(), rows.hasAlpha(), uint8_t{0xff});
    }

    if (const auto& space = image.colorSpace(); space && space->hasICCProfile()) {
        const auto profile = space->iccProfile();
        packed.setColorSpace(QColorSpace::fromIccProfile(
            QByteArray(reinterpret_cast<const char*>(profile.data()), static_cast<qsizetype>(profile.size()))));
    }
    if (fitSide > 0 && (packed.width() > fitSide || packed.height() > fitSide))
        packed = packed.scaled(fitSide, fitSide, Qt::KeepAspectRatio, Qt::SmoothTransformation);
    // Profile conversion first, at full depth, so 16-bit sources lose precision only once.
    QImage shown = toSRgb(std::move(packed));
    shown = shown.convertToFormat(rows.hasAlpha() ? QImage::Format_ARGB32_Premultiplied : QImage::Format_RGB32);
    shown.setColorSpace(QColorSpace::SRgb);
    return upright(shown, orientation);
}

Result<QImage, QString> load(const std::filesystem::path& path)
{
    auto source = ImageSource::open(path);
    if (!source)
        return unexpected(QString::fromStdString(source.error().message));
    auto properties = (*source)->properties();
    if (!properties)
        return unexpected(QString::fromStdString(properties.error().message));
    auto image = (*source)->createImage();
    if (!image)
        return unexpected(QString::fromStdString(image.error().message));
    return fromImage(*image, properties->orientation.value_or(1));
}

} // namespace pelorin::DisplayImage
