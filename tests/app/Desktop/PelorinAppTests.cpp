// The application shell on the real widgets: its icon, Open… (the real panel and the hand-over to
// intake), Settings…, Check for Updates…, command-line files, and quitting during a run. No real
// model: runs use a scripted processor.
#include "app/Desktop/OpenPanel.h"
#include "app/Desktop/PelorinApp.h"
#include "app/ViewModels/ProcessingViewModel.h"
#include "app/Views/ContentView.h"
#include "app/Views/SettingsSheet.h"
#include "support/ScopedEnvironment.h"
#include "support/ScriptedProcessor.h"

#include <QAbstractItemView>
#include <QAction>
#include <QApplication>
#include <QFileSystemModel>
#include <QMainWindow>
#include <QMessageBox>
#include <QSettings>
#include <QTextDocumentFragment>
#include <QTemporaryDir>
#include <QtTest>

using namespace pelorin;
namespace fs = std::filesystem;

namespace {

using test::ScriptedProcessor;

QAction* findAction(const PelorinApp& app, const char* name)
{
    auto* action = app.window()->findChild<QAction*>(QString::fromLatin1(name));
    return action ? action : app.findChild<QAction*>(QString::fromLatin1(name));
}

// Grabs without letting the event loop run first: the open panel's selection is still as picked.
void saveScreenshot(QWidget* widget, const QString& name)
{
    const QString folder = qEnvironmentVariable("PELORIN_SCREENSHOT_DIR");
    if (folder.isEmpty())
        return;
    QDir().mkpath(folder);
    QVERIFY(widget->grab().save(folder + QLatin1Char('/') + name + QStringLiteral(".png")));
}

} // namespace

class PelorinAppTests : public QObject {
    Q_OBJECT

private:
    QTemporaryDir sandbox_;
    std::shared_ptr<ScriptedProcessor> processor_;
    std::vector<fs::path> chosen_;
    bool cancelPanel_ = false;
    int panelRuns_ = 0;

    std::unique_ptr<PelorinApp> makeApp()
    {
        processor_ = std::make_shared<ScriptedProcessor>();
        // Each run goes on until it is cancelled.
        processor_->onCancel = [](const ScriptedProcessor::Run& run) { run.events.finish(); };
        PelorinApp::Dependencies dependencies;
        dependencies.batchProcessor = processor_;
        dependencies.settingsStore =
            std::make_shared<QSettings>(sandbox_.filePath(QStringLiteral("settings.ini")), QSettings::IniFormat);
        dependencies.presentOpenPanel = [this](QWidget*) -> std::optional<std::vector<fs::path>> {
            ++panelRuns_;
            if (cancelPanel_)
                return std::nullopt;
            return chosen_;
        };
        return std::make_unique<PelorinApp>(std::move(dependencies));
    }

    fs::path makeImage(const QString& relativePath)
    {
        const QString path = sandbox_.filePath(relativePath);
        QDir().mkpath(QFileInfo(path).absolutePath());
        QImage image(8, 8, QImage::Format_RGB32);
        image.fill(Qt::darkCyan);
        if (!image.save(path))
            qFatal("cannot write %s", qPrintable(path));
        return fs::path(path.toStdString());
    }

    static std::vector<fs::path> queuedPaths(const PelorinApp& app)
    {
        std::vector<fs::path> paths;
        for (const ImageItem* item : app.viewModel().items())
            paths.push_back(item->url());
        return paths;
    }

private slots:
    void initTestCase() { PelorinApp::configureApplication(*qApp); }

    // The bundled drawing, with transparent corners.
    void applicationHasItsIcon()
    {
        const QImage pixels = QApplication::windowIcon().pixmap(64, 64).toImage();
        QVERIFY(!pixels.isNull() && qAlpha(pixels.pixel(0, 0)) == 0);
    }

    void settingsOpensOneSheetThatStaysOpen()
    {
        const auto app = makeApp();
        app->window()->show();
        QVERIFY(QTest::qWaitForWindowExposed(app->window()));
        QVERIFY(!app->isSettingsSheetShown());

        findAction(*app, "settingsAction")->trigger();
        QTRY_VERIFY(app->isSettingsSheetShown());
        SettingsSheet* sheet = app->settingsSheet();
        QCOMPARE(sheet->parentWidget(), app->window());

        findAction(*app, "settingsAction")->trigger();
        emit app->contentView()->settingsRequested(); // the gear button's way in
        QCOMPARE(app->window()->findChildren<SettingsSheet*>(), QList<SettingsSheet*>{sheet});
        QVERIFY(sheet->isVisible());

        sheet->close();
        QTRY_VERIFY(!app->isSettingsSheetShown());
        emit app->contentView()->settingsRequested();
        QTRY_VERIFY(app->isSettingsSheetShown());
    }

    // A cancelled panel adds nothing; a choice goes to intake in one call, in order. Open stays
    // usable during a run; quitting cancels the run and waits for its end.
    void openThenQuitDuringARun()
    {
        const auto app = makeApp();
        app->window()->show();
        QVERIFY(QTest::qWaitForWindowExposed(app->window()));
        const fs::path folder = makeImage(QStringLiteral("open/folder/a.png")).parent_path();
        makeImage(QStringLiteral("open/folder/b.png"));
        const fs::path single = makeImage(QStringLiteral("open/z.png"));
        QSignalSpy changed(&app->viewModel(), &ProcessingViewModel::itemsChanged);

        cancelPanel_ = true;
        findAction(*app, "openAction")->trigger();
        QCOMPARE(panelRuns_, 1);
        QCOMPARE(changed.size(), 0);

        cancelPanel_ = false;
        chosen_ = {single, folder};
        findAction(*app, "openAction")->trigger();
        QCOMPARE(changed.size(), 1); // one intake call for the whole choice
        QCOMPARE(queuedPaths(*app), (std::vector<fs::path>{single, folder / "a.png", folder / "b.png"}));

        app->viewModel().startProcessing();
        chosen_ = {makeImage(QStringLiteral("open/later.png"))};
        findAction(*app, "openAction")->trigger();
        QCOMPARE(app->viewModel().items().size(), 4);
        QVERIFY(app->viewModel().isProcessing());

        findAction(*app, "quitAction")->trigger();
        QVERIFY(!app->window()->isVisible());
        QVERIFY(app->shutDown(5000));
        QVERIFY(processor_->runs.back().cancels->load() >= 1);
        QVERIFY(!app->viewModel().isProcessing());
    }

    void commandLineFilesAreQueued()
    {
        const fs::path photo = makeImage(QStringLiteral("cli/photo.png"));
        const fs::path folder = makeImage(QStringLiteral("cli/album/one.png")).parent_path();
        const QString cwd = sandbox_.filePath(QStringLiteral("cli"));
        const auto paths = PelorinApp::pathsFromArguments(
            {QStringLiteral("photo.png"), QUrl::fromLocalFile(QString::fromStdString(folder.string())).toString(),
             QStringLiteral("https://pelorin.org/x.png"), QStringLiteral("./album/../photo.png")},
            cwd);
        QCOMPARE(paths, (std::vector<fs::path>{photo, folder, photo}));

        const auto app = makeApp();
        app->queue(paths);
        QCOMPARE(queuedPaths(*app), (std::vector<fs::path>{photo, folder / "one.png"}));
        QVERIFY(app->contentView()->isShowingQueue());
    }

    void checkForUpdatesShowsTheResult()
    {
        ScopedEnvironment harness("XCTestConfigurationFilePath", std::nullopt);
        QFile feed(sandbox_.filePath(QStringLiteral("feed.json")));
        QVERIFY(feed.open(QIODevice::WriteOnly));
        feed.write("{\"version\": \"99.0\", \"url\": \"https://pelorin.org/download\"}");
        feed.close();
        ScopedEnvironment feedURL("PELORIN_UPDATE_FEED", feed.fileName().toUtf8());

        PelorinApp::Dependencies dependencies;
        dependencies.settingsStore =
            std::make_shared<QSettings>(sandbox_.filePath(QStringLiteral("u.ini")), QSettings::IniFormat);
        PelorinApp app(std::move(dependencies));
        app.window()->show();
        QVERIFY(QTest::qWaitForWindowExposed(app.window()));
        QAction* check = findAction(app, "checkForUpdatesAction");
        QVERIFY(check->isEnabled());

        check->trigger();
        QVERIFY(!check->isEnabled()); // one check at a time
        QMessageBox* box = nullptr;
        QTRY_VERIFY((box = app.window()->findChild<QMessageBox*>(QStringLiteral("updateResultBox")))
                    && box->isVisible());
        QCOMPARE(QTextDocumentFragment::fromHtml(box->text()).toPlainText(),
                 QStringLiteral("A newer version, Pelorin 99.0, is available at https://pelorin.org/download"));
        QVERIFY(box->text().contains(QStringLiteral("<a href=\"https://pelorin.org/download\"")));
        QVERIFY(check->isEnabled());
        saveScreenshot(box, QStringLiteral("app-update-available"));
        box->accept();
    }

    void openPanelPicksFilesAndFoldersTogether()
    {
        const fs::path folder = makeImage(QStringLiteral("panel/album/x.png")).parent_path();
        const fs::path file = makeImage(QStringLiteral("panel/photo.png"));
        OpenPanel panel;
        panel.setDirectory(sandbox_.filePath(QStringLiteral("panel")));
        panel.show();
        QVERIFY(QTest::qWaitForWindowExposed(&panel));
        QVERIFY(panel.nameFilters().first().contains(QStringLiteral("*.heif")));

        auto* list = panel.findChild<QAbstractItemView*>(QStringLiteral("listView"));
        QVERIFY(list);
        const auto indexOf = [list](const fs::path& path) {
            auto* model = qobject_cast<QFileSystemModel*>(list->model());
            return model ? model->index(QString::fromStdString(path.string())) : QModelIndex();
        };
        QTRY_VERIFY(indexOf(file).isValid() && indexOf(folder).isValid());
        // Picked file first, then folder: the order of picking is the order handed on.
        list->selectionModel()->select(indexOf(file), QItemSelectionModel::Select | QItemSelectionModel::Rows);
        list->selectionModel()->select(indexOf(folder), QItemSelectionModel::Select | QItemSelectionModel::Rows);
        saveScreenshot(&panel, QStringLiteral("app-open-panel"));
        panel.accept();
        QCOMPARE(panel.result(), int(QDialog::Accepted));
        QCOMPARE(panel.chosenPaths(), (std::vector<fs::path>{file, folder}));
    }
};

QTEST_MAIN(PelorinAppTests)
#include "PelorinAppTests.moc"
