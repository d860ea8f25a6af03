#include "engine/Imaging/Image.h"

namespace pelorin {

Image::Image(ImageFormat format, std::optional<ColorSpace> colorSpace, std::shared_ptr<const DataProvider> dataProvider,
             bool shouldInterpolate, RenderingIntent renderingIntent)
    : format_(format),
      colorSpace_(std::move(colorSpace)),
      dataProvider_(std::move(dataProvider)),
      shouldInterpolate_(shouldInterpolate),
      renderingIntent_(renderingIntent)
{
}

std::span<const uint8_t> Image::bytes() const
{
    if (!dataProvider_)
        return {};
    return dataProvider_->bytes();
}

Image Image::withColorSpace(std::optional<ColorSpace> colorSpace) const
{
    Image copy = *this;
    copy.colorSpace_ = std::move(colorSpace);
    return copy;
}

} // namespace pelorin
