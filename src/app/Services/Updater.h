// Updater: the application's update checker as the window sees it: a flag that says whether a
// check may start now (it changes, for instance while a check is in flight) and an action that
// starts one. The result arrives as a signal the window shows to the user. GUI thread only.
#pragma once

#include <QObject>
#include <QString>
#include <QUrl>

namespace pelorin {

// How a check ended; UpdaterViewModel turns it into the sentence shown to the user.
struct UpdateCheckResult {
    enum class Kind { upToDate, updateAvailable, unreachable, invalidFeed };

    Kind kind = Kind::unreachable;
    QString currentVersion; // this program's version
    QString latestVersion;  // the feed's version (upToDate, updateAvailable)
    QUrl downloadURL;       // where the newer version is (updateAvailable)
    QString networkError;   // the network layer's description of the failure (unreachable)
};

class Updater : public QObject {
    Q_OBJECT
    Q_PROPERTY(bool canCheckForUpdates READ canCheckForUpdates NOTIFY canCheckForUpdatesChanged)

public:
    explicit Updater(QObject* parent = nullptr);
    ~Updater() override;

    virtual bool canCheckForUpdates() const = 0;
    // Starts a check and returns at once; does nothing while canCheckForUpdates is false.
    virtual void checkForUpdates() = 0;

signals:
    void canCheckForUpdatesChanged(bool canCheck);
    // Emitted once per started check.
    void checkFinished(const pelorin::UpdateCheckResult& result);
};

} // namespace pelorin
