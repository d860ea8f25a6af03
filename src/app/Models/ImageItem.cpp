#include "app/Models/ImageItem.h"

#include "engine/Imaging/ImageSource.h"

#include <QCoreApplication>
#include <QPointer>
#include <QPromise>
#include <QThreadPool>

#include <limits>
#include <memory>
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

qint64 dimension(size_t value)
{
    if (value > static_cast<size_t>(std::numeric_limits<qint64>::max()))
        return 0;
    return static_cast<qint64>(value);
}

// Header reads wait on the disk, not the processor: a few in flight keep a drive busy without
// taking the cores a running batch needs. Queued in row order, so the top rows fill in first.
constexpr int concurrentHeaderReads = 4;

// Owned by the application, which joins its threads when it ends. GUI thread only.
QThreadPool& headerReaders()
{
    static QPointer<QThreadPool> pool;
    if (!pool) {
        pool = new QThreadPool(QCoreApplication::instance());
        pool->setMaxThreadCount(concurrentHeaderReads);
    }
    return *pool;
}

} // namespace

ImageItem::ImageItem(std::filesystem::path url, QObject* parent)
    : QObject(parent),
      id_(Uuid::random()),
      url_(std::move(url))
{
    inputFormat_ = QString::fromStdString(url_.extension().string()).mid(1).toLower();

    std::error_code ignored;
    const bool exists = std::filesystem::exists(url_, ignored);
    if (exists)
        originalSize_ = sizeOnDisk(url_);

    // A missing file stays waiting: it may appear before Start, and otherwise its job reports it.
    if (exists)
        readHeader();
}

ImageItem::~ImageItem()
{
    // A read not yet begun is skipped; one under way finishes unheard.
    headerWatcher_.cancel();
}

void ImageItem::readHeader()
{
    readingHeader_ = true;
    connect(&headerWatcher_, &QFutureWatcher<PixelSize>::finished, this, &ImageItem::headerArrived);
    auto promise = std::make_shared<QPromise<PixelSize>>();
    headerWatcher_.setFuture(promise->future());
    headerReaders().start([promise, url = url_] {
        promise->start();
        if (!promise->isCanceled()) {
            // Header properties only: the pixels are decoded when the row's job runs.
            PixelSize size;
            if (auto header = ImageSource::readHeader(url)) {
                size.width = dimension(header->pixelWidth);
                size.height = dimension(header->pixelHeight);
            }
            promise->addResult(size);
        }
        promise->finish();
    });
}

void ImageItem::headerArrived()
{
    readingHeader_ = false;
    const QFuture<PixelSize> future = headerWatcher_.future();
    const PixelSize size = future.resultCount() > 0 ? future.result() : PixelSize{};
    pixelWidth_ = size.width;
    pixelHeight_ = size.height;
    const bool readable = pixelWidth_ > 0 && pixelHeight_ > 0;
    if (!readable && !queued_ && status_ == ProcessingStatus::waiting()) {
        //% "Could not read image metadata"
        setStatus(ProcessingStatus::error(qtTrId("Could not read image metadata")));
    }
    emit headerRead();
}

void ImageItem::setOutputURL(std::optional<std::filesystem::path> url)
{
    // Compared as written: two spellings of one location are different values, as for a URL.
    const bool same = url.has_value() == outputURL_.has_value() && (!url || url->native() == outputURL_->native());
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
