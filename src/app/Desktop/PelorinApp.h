// PelorinApp: the desktop application. It owns the one ProcessingViewModel that lives for the
// whole process, the update-check state, the main window (ContentView inside), the settings sheet
// and the menus: File (Open…, Quit), Edit (Settings…), Help (Check for Updates…, About Pelorin).
// Construct after the QApplication, on the GUI thread; everything here runs on that thread.
#pragma once

#include "engine/Services/BatchProcessing.h"
#include "app/ViewModels/UpdaterViewModel.h"

#include <QObject>
#include <QPointer>
#include <QStringList>

#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

class QAction;
class QApplication;
class QCoreApplication;
class QMainWindow;
class QSettings;
class QWidget;

namespace pelorin {

class ContentView;
class ProcessingViewModel;
class SettingsSheet;

class PelorinApp final : public QObject {
    Q_OBJECT

public:
    // What Open… hands to intake: the picked files and folders in the chooser's order, or nothing
    // when the chooser was cancelled.
    using OpenPanelPresenter = std::function<std::optional<std::vector<std::filesystem::path>>(QWidget* parent)>;

    // Every member has a working default; tests replace them.
    struct Dependencies {
        std::shared_ptr<const BatchProcessing> batchProcessor; // null → the standard BatchProcessor
        std::shared_ptr<QSettings> settingsStore;              // null → the per-user store
        OpenPanelPresenter presentOpenPanel;                   // empty → OpenPanel
        UpdaterViewModel::UpdaterFactory makeUpdater = UpdaterViewModel::makeDefaultUpdater;
    };

    // Names, version, icon and translations of the application; call once, before constructing.
    static void configureApplication(QApplication& application);
    // Names, version and translations only: enough to answer --help without a display.
    static void describeApplication(QCoreApplication& application);
    // The per-user settings store, named after the organisation and the application.
    static std::shared_ptr<QSettings> makeUserSettingsStore();
    // Command-line arguments as paths: local paths (made absolute against `workingDirectory`) and
    // file: URLs; other URLs (scheme://…) are dropped, because only local files can be processed.
    static std::vector<std::filesystem::path> pathsFromArguments(const QStringList& arguments,
                                                                 const QString& workingDirectory);

    // The standard dependencies.
    PelorinApp();
    explicit PelorinApp(Dependencies dependencies, QObject* parent = nullptr);
    ~PelorinApp() override;

    QMainWindow* window() const { return window_.get(); }
    ContentView* contentView() const { return contentView_; }
    ProcessingViewModel& viewModel() const { return *viewModel_; }
    UpdaterViewModel& updaterViewModel() const { return *updaterViewModel_; }
    // Null until Settings… is first chosen; then kept and reused.
    SettingsSheet* settingsSheet() const;
    bool isSettingsSheetShown() const;

    // Queues files and folders as a drop would (one intake call).
    void queue(const std::vector<std::filesystem::path>& paths);
    // Shows the settings sheet over the window; when it is already shown it stays as it is.
    void showSettingsSheet();
    // Cancels a run still going and waits up to `timeoutMs` for it to clean up its temporary
    // files. True when nothing was left running.
    bool shutDown(int timeoutMs);

private:
    void buildMenus();
    void presentOpenPanel();
    void showAbout();
    void showUpdateResult(const UpdateCheckResult& result);

    OpenPanelPresenter presentOpenPanel_;
    std::unique_ptr<ProcessingViewModel> viewModel_;
    std::unique_ptr<UpdaterViewModel> updaterViewModel_;
    std::unique_ptr<QMainWindow> window_;
    ContentView* contentView_ = nullptr;    // owned by window_
    QPointer<SettingsSheet> settingsSheet_; // owned by window_
};

} // namespace pelorin
