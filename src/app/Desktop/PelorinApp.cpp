#include "app/Desktop/PelorinApp.h"

#include "app/Desktop/OpenPanel.h"
#include "app/Services/FileService.h"
#include "app/Services/QtLocalizer.h"
#include "app/Services/SettingsPersistence.h"
#include "app/ViewModels/ProcessingViewModel.h"
#include "app/Views/ContentView.h"
#include "app/Views/SettingsSheet.h"

#include <QAction>
#include <QApplication>
#include <QDir>
#include <QFile>
#include <QIcon>
#include <QKeySequence>
#include <QMainWindow>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QSettings>
#include <QUrl>

#ifndef PELORIN_VERSION
#error "PELORIN_VERSION must be defined by the build (the CMake project version)"
#endif

namespace pelorin {

namespace {

const QString organisationName = QStringLiteral("Pelorin");
const QString organisationDomain = QStringLiteral("pelorin.org");
const QString applicationName = QStringLiteral("Pelorin");
const QString applicationIcon = QStringLiteral(":/icons/pelorin.svg");

// The content area's sizes; the menu bar comes on top.
constexpr QSize defaultContentSize(700, 600);
constexpr QSize minimumContentSize(640, 520);

} // namespace

void PelorinApp::describeApplication(QCoreApplication& application)
{
    QCoreApplication::setOrganizationName(organisationName);
    QCoreApplication::setOrganizationDomain(organisationDomain);
    QCoreApplication::setApplicationName(applicationName);
    QCoreApplication::setApplicationVersion(QStringLiteral(PELORIN_VERSION));
    installQtLocalizer();
    loadTranslations(application);
}

void PelorinApp::configureApplication(QApplication& application)
{
    describeApplication(application);
    // Ties the windows to data/pelorin.desktop, where desktops find the icon and the name.
    QGuiApplication::setDesktopFileName(QStringLiteral("pelorin"));
    QApplication::setWindowIcon(QIcon::fromTheme(QStringLiteral("pelorin"), QIcon(applicationIcon)));
}

std::shared_ptr<QSettings> PelorinApp::makeUserSettingsStore()
{
    return std::make_shared<QSettings>(QSettings::NativeFormat, QSettings::UserScope, organisationName,
                                       applicationName);
}

std::vector<std::filesystem::path> PelorinApp::pathsFromArguments(const QStringList& arguments,
                                                                  const QString& workingDirectory)
{
    std::vector<std::filesystem::path> paths;
    const QDir base(workingDirectory);
    for (const QString& argument : arguments) {
        QString local = argument;
        if (argument.startsWith(QStringLiteral("file:"), Qt::CaseInsensitive))
            local = QUrl(argument).toLocalFile();
        else if (argument.contains(QStringLiteral("://")))
            continue; // a remote address: only local files can be processed
        if (local.isEmpty())
            continue;
        paths.emplace_back(QFile::encodeName(QDir::cleanPath(base.absoluteFilePath(local))).toStdString());
    }
    return paths;
}

PelorinApp::PelorinApp() : PelorinApp(Dependencies{}) {}

PelorinApp::PelorinApp(Dependencies dependencies, QObject* parent)
    : QObject(parent),
      presentOpenPanel_(std::move(dependencies.presentOpenPanel))
{
    if (!presentOpenPanel_)
        presentOpenPanel_ = &OpenPanel::run;
    auto store = dependencies.settingsStore ? std::move(dependencies.settingsStore) : makeUserSettingsStore();
    viewModel_ =
        std::make_unique<ProcessingViewModel>(std::move(dependencies.batchProcessor), std::make_shared<FileService>(),
                                              std::make_shared<SettingsPersistence>(std::move(store)));
    updaterViewModel_ = std::make_unique<UpdaterViewModel>(dependencies.makeUpdater);
    connect(updaterViewModel_.get(), &UpdaterViewModel::checkFinished, this, &PelorinApp::showUpdateResult);

    window_ = std::make_unique<QMainWindow>();
    window_->setWindowTitle(QGuiApplication::applicationDisplayName());
    contentView_ = new ContentView(viewModel_.get(), window_.get());
    contentView_->setMinimumSize(minimumContentSize);
    window_->setCentralWidget(contentView_);
    connect(contentView_, &ContentView::settingsRequested, this, &PelorinApp::showSettingsSheet);
    buildMenus();
    // The window's own size, menu bar included, that gives the content its default size.
    window_->resize(defaultContentSize.width(), defaultContentSize.height() + window_->menuBar()->sizeHint().height());
}

PelorinApp::~PelorinApp() = default;

void PelorinApp::buildMenus()
{
    QMenuBar* bar = window_->menuBar();

    //: Menu bar: the File menu
    //% "&File"
    QMenu* file = bar->addMenu(qtTrId("menu.file"));
    //: File menu: adds files and folders to the queue
    //% "Open…"
    QAction* open = file->addAction(qtTrId("menu.open"), this, &PelorinApp::presentOpenPanel);
    open->setObjectName(QStringLiteral("openAction"));
    open->setShortcut(QKeySequence::Open);
    file->addSeparator();
    //: File menu: ends the application
    //% "Quit"
    QAction* quit = file->addAction(qtTrId("menu.quit"), window_.get(), &QWidget::close);
    quit->setObjectName(QStringLiteral("quitAction"));
    // Not QKeySequence::Quit: desktops without a platform theme map it to nothing.
    quit->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_Q));
    quit->setMenuRole(QAction::QuitRole);

    //: Menu bar: the Edit menu
    //% "&Edit"
    QMenu* edit = bar->addMenu(qtTrId("menu.edit"));
    //: Edit menu: opens the settings sheet
    //% "Settings…"
    QAction* settings = edit->addAction(qtTrId("menu.settings"), this, &PelorinApp::showSettingsSheet);
    settings->setObjectName(QStringLiteral("settingsAction"));
    settings->setMenuRole(QAction::PreferencesRole);

    //: Menu bar: the Help menu
    //% "&Help"
    QMenu* help = bar->addMenu(qtTrId("menu.help"));
    //: Help menu: looks for a newer version now
    //% "Check for Updates…"
    QAction* check =
        help->addAction(qtTrId("menu.checkForUpdates"), updaterViewModel_.get(), &UpdaterViewModel::checkForUpdates);
    check->setObjectName(QStringLiteral("checkForUpdatesAction"));
    check->setMenuRole(QAction::ApplicationSpecificRole);
    check->setEnabled(updaterViewModel_->canCheckForUpdates());
    connect(updaterViewModel_.get(), &UpdaterViewModel::canCheckForUpdatesChanged, check, &QAction::setEnabled);
    //: Help menu: shows the application's name, version and purpose
    //% "About Pelorin"
    QAction* about = help->addAction(qtTrId("menu.about"), this, &PelorinApp::showAbout);
    about->setObjectName(QStringLiteral("aboutAction"));
    about->setMenuRole(QAction::AboutRole);
}

SettingsSheet* PelorinApp::settingsSheet() const
{
    return settingsSheet_;
}

bool PelorinApp::isSettingsSheetShown() const
{
    return settingsSheet_ && settingsSheet_->isVisible();
}

void PelorinApp::queue(const std::vector<std::filesystem::path>& paths)
{
    if (!paths.empty())
        viewModel_->addFiles(paths);
}

void PelorinApp::showSettingsSheet()
{
    if (!settingsSheet_)
        settingsSheet_ = new SettingsSheet(viewModel_.get(), window_.get());
    if (settingsSheet_->isVisible()) {
        settingsSheet_->raise();
        settingsSheet_->activateWindow();
        return;
    }
    settingsSheet_->open();
}

void PelorinApp::presentOpenPanel()
{
    // Also while a run is going: the view model decides what new rows do then.
    const auto chosen = presentOpenPanel_(window_.get());
    if (chosen)
        queue(*chosen);
}

void PelorinApp::showAbout()
{
    //: Title of the About box
    //% "About Pelorin"
    const QString title = qtTrId("about.title");
    //: Body of the About box. %1 is the version.
    //% "Pelorin %1\n\nRemoves the background from photos, in batches, entirely on this computer."
    QMessageBox::about(window_.get(), title, qtTrId("about.text").arg(QApplication::applicationVersion()));
}

void PelorinApp::showUpdateResult(const UpdateCheckResult& result)
{
    using Kind = UpdateCheckResult::Kind;
    const bool failed = result.kind == Kind::unreachable || result.kind == Kind::invalidFeed;
    // The address becomes a link and never breaks across lines.
    QString text = UpdaterViewModel::resultMessage(result).toHtmlEscaped();
    if (result.kind == Kind::updateAvailable) {
        const QString shown = result.downloadURL.toDisplayString().toHtmlEscaped();
        text.replace(shown,
                     QStringLiteral("<a href=\"%1\" style=\"white-space: nowrap\">%2</a>")
                         .arg(result.downloadURL.toString(QUrl::FullyEncoded).toHtmlEscaped(), shown));
    }
    //: Title of the box that shows the result of Check for Updates
    //% "Software Update"
    auto* box = new QMessageBox(failed ? QMessageBox::Warning : QMessageBox::Information, qtTrId("update.result.title"),
                                text, QMessageBox::Ok, window_.get());
    box->setObjectName(QStringLiteral("updateResultBox"));
    box->setTextFormat(Qt::RichText);
    box->setTextInteractionFlags(Qt::TextBrowserInteraction);
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->open();
}

bool PelorinApp::shutDown(int timeoutMs)
{
    return viewModel_->cancelAndWait(timeoutMs);
}

} // namespace pelorin
