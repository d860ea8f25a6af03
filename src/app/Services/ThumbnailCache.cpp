#include "app/Services/ThumbnailCache.h"

#include "app/Services/BackgroundPriority.h"
#include "app/Services/ThumbnailRenderer.h"

namespace pelorin {

ThumbnailCache::ThumbnailCache(int side, qsizetype byteLimit, QObject* parent)
    : QObject(parent),
      side_(side),
      cache_(byteLimit),
      worker_([this](std::stop_token stop) { work(stop); })
{
}

ThumbnailCache::~ThumbnailCache()
{
    worker_.request_stop();
    worker_.join();
}

QImage ThumbnailCache::thumbnail(const std::filesystem::path& path)
{
    const QString key = QString::fromStdString(path.string());
    if (const QImage* cached = cache_.object(key))
        return *cached;
    if (requested_.contains(key) || failed_.contains(key))
        return {};
    requested_.insert(key);
    {
        std::lock_guard lock(mutex_);
        pending_.push_back(key);
        while (pending_.size() > maxPending) {
            // Asked for longest ago: scrolled out of view by now; painting asks again if not.
            requested_.remove(pending_.front());
            pending_.pop_front();
        }
    }
    wake_.notify_one();
    return {};
}

void ThumbnailCache::forget(const std::filesystem::path& path)
{
    const QString key = QString::fromStdString(path.string());
    cache_.remove(key);
    failed_.remove(key);
}

bool ThumbnailCache::contains(const std::filesystem::path& path) const
{
    return cache_.contains(QString::fromStdString(path.string()));
}

void ThumbnailCache::work(std::stop_token stop)
{
    lowerCurrentThreadPriority();
    while (true) {
        QString key;
        {
            std::unique_lock lock(mutex_);
            if (!wake_.wait(lock, stop, [this] { return !pending_.empty(); }))
                return;
            key = pending_.back();
            pending_.pop_back();
        }
        auto image = ThumbnailRenderer::render(key.toStdString(), side_);
        // Queued to the GUI thread; dropped unseen if the cache is gone by then.
        QMetaObject::invokeMethod(
            this, [this, key, result = image ? *image : QImage()] { rendered(key, result); }, Qt::QueuedConnection);
    }
}

void ThumbnailCache::rendered(const QString& key, const QImage& image)
{
    requested_.remove(key);
    if (image.isNull())
        failed_.insert(key);
    else
        cache_.insert(key, new QImage(image), image.sizeInBytes());
    emit thumbnailReady(key);
}

} // namespace pelorin
