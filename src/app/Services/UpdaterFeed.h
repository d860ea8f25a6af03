// UpdaterFeed: the Updater that reads a tiny JSON feed, {"version": "x.y.z", "url": "..."}, from a
// URL fixed at build time or given by the environment (http, https or file), and compares the
// feed's version with this program's. One check at a time; GUI thread only. Owns its network
// access, created on the first check so starting the application costs nothing.
#pragma once

#include "app/Services/Updater.h"

#include <QByteArray>

#include <optional>

class QNetworkAccessManager;
class QNetworkReply;

namespace pelorin {

class UpdaterFeed final : public Updater {
    Q_OBJECT

public:
    struct Feed {
        QString version;
        QUrl url;
    };

    // Larger feed documents are refused unread: the feed is a few dozen bytes.
    static constexpr qint64 maximumFeedSize = 64 * 1024;

    // An empty or relative `feedURL` means checks are never possible. `currentVersion` is this
    // program's dotted version.
    UpdaterFeed(QUrl feedURL, QString currentVersion, QObject* parent = nullptr);
    ~UpdaterFeed() override;

    // $PELORIN_UPDATE_FEED when set and not empty (a URL or a local path), else the build's
    // PELORIN_UPDATE_FEED_URL; empty when neither names a feed.
    static QUrl configuredFeedURL();

    const QUrl& feedURL() const { return feedURL_; }
    // True when a feed is configured and no check is in flight.
    bool canCheckForUpdates() const override;
    void checkForUpdates() override;

    // Reads a feed document: an object with a dotted numeric "version" and an http(s) "url";
    // empty when the document is anything else.
    static std::optional<Feed> parseFeed(const QByteArray& document);
    // Dotted numeric versions compared component by component, missing components counting as 0
    // ("1.2" == "1.2.0"): negative, 0 or positive; empty when either is not such a version.
    static std::optional<int> compareVersions(const QString& left, const QString& right);

private:
    void finishCheck(QNetworkReply* reply);
    void setChecking(QNetworkReply* reply);

    QUrl feedURL_;
    QString currentVersion_;
    QNetworkAccessManager* network_ = nullptr;
    QNetworkReply* reply_ = nullptr;
    bool tooLarge_ = false;
};

} // namespace pelorin
