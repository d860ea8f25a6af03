#include "app/ViewModels/UpdaterViewModel.h"

#include "app/Services/UpdaterFeed.h"

#include <QCoreApplication>

namespace pelorin {

std::unique_ptr<Updater> UpdaterViewModel::makeDefaultUpdater()
{
    return std::make_unique<UpdaterFeed>(UpdaterFeed::configuredFeedURL(), QCoreApplication::applicationVersion());
}

UpdaterViewModel::UpdaterViewModel(const UpdaterFactory& makeUpdater, QObject* parent) : QObject(parent)
{
    if (isRunningInTestEnvironment() || !makeUpdater)
        return;
    updater_ = makeUpdater();
    if (!updater_)
        return;
    connect(updater_.get(), &Updater::canCheckForUpdatesChanged, this, &UpdaterViewModel::setCanCheckForUpdates);
    connect(updater_.get(), &Updater::checkFinished, this, &UpdaterViewModel::checkFinished);
    // The current value at once; later changes follow through the connection.
    setCanCheckForUpdates(updater_->canCheckForUpdates());
}

UpdaterViewModel::~UpdaterViewModel() = default;

void UpdaterViewModel::checkForUpdates()
{
    if (updater_)
        updater_->checkForUpdates();
}

bool UpdaterViewModel::isRunningInTestEnvironment()
{
    // Presence is what counts: an empty value marks a test run too.
    return qEnvironmentVariableIsSet("XCTestConfigurationFilePath");
}

QString UpdaterViewModel::resultMessage(const UpdateCheckResult& result)
{
    using Kind = UpdateCheckResult::Kind;
    switch (result.kind) {
    case Kind::upToDate:
        //: Result of Check for Updates when no newer version exists. %1 is the installed version.
        //% "Pelorin %1 is up to date."
        return qtTrId("update.result.upToDate").arg(result.currentVersion);
    case Kind::updateAvailable:
        //: Result of Check for Updates. %1 is the newer version, %2 the address to get it from.
        //% "A newer version, Pelorin %1, is available at %2"
        return qtTrId("update.result.available").arg(result.latestVersion, result.downloadURL.toDisplayString());
    case Kind::invalidFeed:
        //: Result of Check for Updates when the update information could not be understood
        //% "Could not check for updates: the update information is not valid."
        return qtTrId("update.result.invalidFeed");
    case Kind::unreachable: break;
    }
    //: Result of Check for Updates when the update information could not be fetched. %1 says why.
    //% "Could not check for updates: %1"
    return qtTrId("update.result.unreachable").arg(result.networkError);
}

void UpdaterViewModel::setCanCheckForUpdates(bool value)
{
    if (canCheckForUpdates_ == value)
        return;
    canCheckForUpdates_ = value;
    emit canCheckForUpdatesChanged(value);
}

} // namespace pelorin
