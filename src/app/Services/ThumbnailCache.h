// ThumbnailCache: the file list's thumbnails, rendered on one worker thread at the lowest CPU and
// disk priority (a running batch never waits for them) and kept in a cache bounded in bytes.
// The request made last is served first: rows are asked for as they are painted, so the rows on
// screen come before rows scrolled past, and only the newest maxPending requests are kept.
// A file that cannot be rendered is remembered and not tried again.
// GUI thread only; the worker never touches the cache. Destroying the cache stops the worker.
#pragma once

#include <QCache>
#include <QImage>
#include <QObject>
#include <QSet>
#include <QString>

#include <condition_variable>
#include <deque>
#include <filesystem>
#include <mutex>
#include <thread>

namespace pelorin {

class ThumbnailCache final : public QObject {
    Q_OBJECT
public:
    // Two thumbnails per row of a 1,000-row list at twice the pixel density stay well inside this.
    static constexpr qsizetype defaultByteLimit = qsizetype{64} << 20;
    static constexpr size_t maxPending = 256;

    // Thumbnails fit within `side` × `side` pixels.
    explicit ThumbnailCache(int side, qsizetype byteLimit = defaultByteLimit, QObject* parent = nullptr);
    ~ThumbnailCache() override;

    // The thumbnail of `path` when cached; otherwise a null image, and the file is queued (once).
    QImage thumbnail(const std::filesystem::path& path);
    // Drops what is known about `path`, for a file written anew under a name used before.
    void forget(const std::filesystem::path& path);
    // Whether `path` is cached, without queuing it.
    bool contains(const std::filesystem::path& path) const;

    int side() const { return side_; }
    qsizetype byteLimit() const { return cache_.maxCost(); }
    // Bytes of pixels held now; never above byteLimit().
    qsizetype cachedBytes() const { return cache_.totalCost(); }

signals:
    // `path` has been rendered (and cached) or has failed for good.
    void thumbnailReady(const QString& path);

private:
    void work(std::stop_token stop);
    void rendered(const QString& key, const QImage& image);

    const int side_;
    QCache<QString, QImage> cache_;
    QSet<QString> requested_; // queued or being rendered
    QSet<QString> failed_;

    std::mutex mutex_;
    std::condition_variable_any wake_;
    std::deque<QString> pending_; // newest at the back
    std::jthread worker_;         // last: stops and joins before the members above go
};

} // namespace pelorin
