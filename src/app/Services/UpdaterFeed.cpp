#include "app/Services/UpdaterFeed.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QRegularExpression>
#include <QStringList>

#ifndef PELORIN_UPDATE_FEED_URL
#define PELORIN_UPDATE_FEED_URL ""
#endif

namespace pelorin {

namespace {

constexpr int transferTimeoutMs = 15000;

bool isVersion(const QString& text)
{
    // Nine digits per component keep every component inside an int.
    static const QRegularExpression pattern(QStringLiteral("^\\d{1,9}(\\.\\d{1,9}){0,3}$"));
    return pattern.match(text).hasMatch();
}

} // namespace

UpdaterFeed::UpdaterFeed(QUrl feedURL, QString currentVersion, QObject* parent)
    : Updater(parent),
      feedURL_(std::move(feedURL)),
      currentVersion_(std::move(currentVersion))
{
}

UpdaterFeed::~UpdaterFeed()
{
    if (reply_) {
        // Aborting emits finished(); nobody must hear it from a half-destroyed object.
        reply_->disconnect(this);
        reply_->abort();
    }
}

QUrl UpdaterFeed::configuredFeedURL()
{
    QString configured = qEnvironmentVariable("PELORIN_UPDATE_FEED");
    if (configured.isEmpty())
        configured = QStringLiteral(PELORIN_UPDATE_FEED_URL);
    if (configured.isEmpty())
        return {};
    // A bare path names a local file; anything with a scheme is taken as written.
    const QUrl url = QUrl::fromUserInput(configured, QString(), QUrl::AssumeLocalFile);
    return url.isValid() && !url.isRelative() ? url : QUrl();
}

bool UpdaterFeed::canCheckForUpdates() const
{
    return feedURL_.isValid() && !feedURL_.isRelative() && reply_ == nullptr;
}

void UpdaterFeed::checkForUpdates()
{
    if (!canCheckForUpdates())
        return;
    if (!network_)
        network_ = new QNetworkAccessManager(this);

    QNetworkRequest request(feedURL_);
    request.setTransferTimeout(transferTimeoutMs);
    request.setAttribute(QNetworkRequest::CacheLoadControlAttribute, QNetworkRequest::AlwaysNetwork);
    QNetworkReply* reply = network_->get(request);
    tooLarge_ = false;
    setChecking(reply);

    // Stop reading as soon as the size (announced or received) shows this is no feed of ours.
    const auto refuseIfTooLarge = [this, reply] {
        const QVariant announced = reply->header(QNetworkRequest::ContentLengthHeader);
        const bool tooLarge = reply->bytesAvailable() > maximumFeedSize
            || (announced.isValid() && announced.toLongLong() > maximumFeedSize);
        if (tooLarge && !tooLarge_) {
            tooLarge_ = true;
            reply->abort();
        }
    };
    connect(reply, &QNetworkReply::metaDataChanged, this, refuseIfTooLarge);
    connect(reply, &QNetworkReply::readyRead, this, refuseIfTooLarge);
    connect(reply, &QNetworkReply::finished, this, [this, reply] { finishCheck(reply); });
}

void UpdaterFeed::finishCheck(QNetworkReply* reply)
{
    reply->deleteLater();
    UpdateCheckResult result;
    result.currentVersion = currentVersion_;

    const auto feed = tooLarge_ ? std::nullopt : parseFeed(reply->read(maximumFeedSize + 1));
    const auto order = feed ? compareVersions(feed->version, currentVersion_) : std::nullopt;
    if (reply->error() != QNetworkReply::NoError && !tooLarge_) {
        result.kind = UpdateCheckResult::Kind::unreachable;
        result.networkError = reply->errorString();
    } else if (!order) {
        result.kind = UpdateCheckResult::Kind::invalidFeed;
    } else if (order.value_or(0) > 0) {
        result.kind = UpdateCheckResult::Kind::updateAvailable;
        result.latestVersion = feed->version;
        result.downloadURL = feed->url;
    } else {
        result.kind = UpdateCheckResult::Kind::upToDate;
        result.latestVersion = feed->version;
    }
    setChecking(nullptr);
    emit checkFinished(result);
}

void UpdaterFeed::setChecking(QNetworkReply* reply)
{
    const bool could = canCheckForUpdates();
    reply_ = reply;
    if (could != canCheckForUpdates())
        emit canCheckForUpdatesChanged(canCheckForUpdates());
}

std::optional<UpdaterFeed::Feed> UpdaterFeed::parseFeed(const QByteArray& document)
{
    if (document.size() > maximumFeedSize)
        return std::nullopt;
    QJsonParseError parseError{};
    const QJsonDocument json = QJsonDocument::fromJson(document, &parseError);
    if (parseError.error != QJsonParseError::NoError || !json.isObject())
        return std::nullopt;

    const QJsonObject object = json.object();
    const QString version = object.value(QStringLiteral("version")).toString();
    const QUrl url(object.value(QStringLiteral("url")).toString(), QUrl::StrictMode);
    const QString scheme = url.scheme().toLower();
    if (!isVersion(version) || !url.isValid() || url.host().isEmpty()
        || (scheme != QStringLiteral("https") && scheme != QStringLiteral("http")))
        return std::nullopt;
    return Feed{version, url};
}

std::optional<int> UpdaterFeed::compareVersions(const QString& left, const QString& right)
{
    if (!isVersion(left) || !isVersion(right))
        return std::nullopt;
    const QStringList a = left.split(QLatin1Char('.'));
    const QStringList b = right.split(QLatin1Char('.'));
    for (qsizetype i = 0; i < std::max(a.size(), b.size()); ++i) {
        const int x = i < a.size() ? a[i].toInt() : 0;
        const int y = i < b.size() ? b[i].toInt() : 0;
        if (x != y)
            return x < y ? -1 : 1;
    }
    return 0;
}

} // namespace pelorin
