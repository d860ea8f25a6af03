// UpdaterViewModel: the state behind the Check for Updates… menu item. It mirrors its updater's
// "can check now" flag and forwards "check now"; with no updater the flag stays false and checks
// do nothing. No updater is ever created in a process started by a test harness (the environment
// holds XCTestConfigurationFilePath, whatever its value). GUI thread only.
#pragma once

#include "app/Services/Updater.h"

#include <QObject>

#include <functional>
#include <memory>

namespace pelorin {

class UpdaterViewModel final : public QObject {
    Q_OBJECT
    Q_PROPERTY(bool canCheckForUpdates READ canCheckForUpdates NOTIFY canCheckForUpdatesChanged)

public:
    // Makes the updater; may return null. Called at most once, from the constructor.
    using UpdaterFactory = std::function<std::unique_ptr<Updater>()>;

    // The feed updater configured for this program (UpdaterFeed::configuredFeedURL), checking
    // against the application's version.
    static std::unique_ptr<Updater> makeDefaultUpdater();

    explicit UpdaterViewModel(const UpdaterFactory& makeUpdater = makeDefaultUpdater, QObject* parent = nullptr);
    ~UpdaterViewModel() override;

    bool canCheckForUpdates() const { return canCheckForUpdates_; }
    // Null when no updater was created.
    const Updater* updater() const { return updater_.get(); }
    void checkForUpdates();

    static bool isRunningInTestEnvironment();
    // The sentence that tells the user how a check ended.
    static QString resultMessage(const UpdateCheckResult& result);

signals:
    void canCheckForUpdatesChanged(bool canCheck);
    // The updater's result of a check, for the window to show.
    void checkFinished(const pelorin::UpdateCheckResult& result);

private:
    void setCanCheckForUpdates(bool value);

    bool canCheckForUpdates_ = false;
    std::unique_ptr<Updater> updater_;
};

} // namespace pelorin
