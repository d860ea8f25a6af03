#include "app/Models/ImageItem.h"

#include "engine/Imaging/ImageSource.h"

#include <limits>
#include <sys/stat.h>

namespace pelorin {

namespace {

// The byte size of what the path names (links followed, so a linked photo shows the photo's
// size); a folder reports its directory size. 0 when it cannot be read.
qint64 sizeOnDisk(const std::filesystem::path& url)
{
    struct stat info {};
    if (::stat(url.c_str(), &info) != 0 || info.st_size < 0)
        return 0;
    return static_cast<qint64>(info.st_size);
}

qint64 dimension(const std::optional<size_t>& value)
{
    if (!value || *value > static_cast<size_t>(std::numeric_limits<qint64>::max()))
        return 0;
    return static_cast<qint64>(*value);
}

} // namespace

ImageItem::ImageItem(std::filesystem::path url, QObject* parent)
    : QObject(parent), id_(Uuid::random()), url_(std::move(url))
{
    inputFormat_ = QString::fromStdString(url_.extension().string()).mid(1).toLower();

    std::error_code ignored;
    const bool exists = std::filesystem::exists(url_, ignored);
    if (exists)
        originalSize_ = sizeOnDisk(url_);

    // Header properties only: the pixels are decoded when the row's job runs, not at intake.
    if (exists) {
        if (auto source = ImageSource::open(url_)) {
            if (auto properties = (*source)->properties()) {
                pixelWidth_ = dimension(properties->pixelWidth);
                pixelHeight_ = dimension(properties->pixelHeight);
            }
        }
    }

    // A missing file stays waiting: it may appear before Start, and otherwise its job reports it.
    const bool readable = pixelWidth_ > 0 && pixelHeight_ > 0;
    if (exists && !readable) {
        //% "Could not read image metadata"
        status_ = ProcessingStatus::error(qtTrId("Could not read image metadata"));
    }
}

void ImageItem::setOutputURL(std::optional<std::filesystem::path> url)
{
    // Compared as written: two spellings of one location are different values, as for a URL.
    const bool same = url.has_value() == outputURL_.has_value()
                      && (!url || url->native() == outputURL_->native());
    if (same)
        return;
    outputURL_ = std::move(url);
    emit outputURLChanged();
}

void ImageItem::setStatus(ProcessingStatus status)
{
    if (status == status_)
        return;
    status_ = std::move(status);
    emit statusChanged();
}

void ImageItem::setErrorMessage(std::optional<QString> message)
{
    if (message == errorMessage_)
        return;
    errorMessage_ = std::move(message);
    emit errorMessageChanged();
}

} // namespace pelorin
