// Shared by the window tests: a batch processor the test plays by hand, a view model over it with
// real files in a temporary folder, the English catalogues, screenshots, and answering the modal
// dialog of the moment.
#pragma once

#include "engine/Services/BatchProcessing.h"
#include "app/Services/FileService.h"
#include "app/Services/QtLocalizer.h"
#include "app/Services/SettingsPersistence.h"
#include "app/ViewModels/ProcessingViewModel.h"
#include "support/ScriptedProcessor.h"

#include <QAbstractButton>
#include <QApplication>
#include <QDir>
#include <QImage>
#include <QTemporaryDir>
#include <QTimer>
#include <QWidget>
#include <QtTest>

#include <filesystem>
#include <memory>
#include <vector>

namespace pelorin::uitest {

namespace fs = std::filesystem;

using test::ScriptedProcessor;

// A view model over the scripted processor, the real file service and no settings store.
struct QueueFixture {
    QTemporaryDir tmp;
    fs::path dir = tmp.path().toStdString();
    std::shared_ptr<ScriptedProcessor> processor = std::make_shared<ScriptedProcessor>();
    std::vector<fs::path> opened;
    std::unique_ptr<ProcessingViewModel> vm = std::make_unique<ProcessingViewModel>(
        processor, std::make_shared<FileService>(), std::make_shared<SettingsPersistence>(nullptr),
        [this](const fs::path& folder) { opened.push_back(folder); });

    // A small readable PNG named `name` in the sandbox.
    fs::path image(const std::string& name, int width = 64, int height = 48) const
    {
        const fs::path path = dir / name;
        QImage pixels(width, height, QImage::Format_RGB32);
        pixels.fill(QColor(40, 120, 200));
        pixels.save(QString::fromStdString(path.string()), "PNG");
        return path;
    }

    // Queues `count` images named photo-1.png, photo-2.png, ….
    void queue(int count)
    {
        std::vector<fs::path> paths;
        for (int i = 1; i <= count; ++i)
            paths.push_back(image("photo-" + std::to_string(i) + ".png"));
        vm->addFiles(paths);
    }

    ScriptedProcessor::Run& run() { return processor->runs.back(); }
    int cancels() { return processor->runs.empty() ? 0 : run().cancels->load(); }

    // Yields events of the current run and lets the view model apply them on this thread.
    void send(std::initializer_list<BatchProcessingEvent> events, bool finish = false)
    {
        for (const auto& event : events)
            run().events.yield(event);
        if (finish)
            run().events.finish();
        QCoreApplication::processEvents();
        QCoreApplication::processEvents();
    }
    Uuid job(int index) { return run().jobs.at(static_cast<size_t>(index)).id(); }
    fs::path output(int index) { return run().jobs.at(static_cast<size_t>(index)).outputURL(); }
};

// The English catalogues (engine and window texts), so the defaults show instead of bare ids.
inline void loadEnglishCatalogues()
{
    installQtLocalizer();
    QVERIFY(loadTranslations(*QCoreApplication::instance()));
}

// Saves a picture of `widget` as <name>.png into $PELORIN_SCREENSHOT_DIR (when set).
inline void saveScreenshot(QWidget* widget, const QString& name)
{
    const QString folder = qEnvironmentVariable("PELORIN_SCREENSHOT_DIR");
    if (folder.isEmpty())
        return;
    QDir().mkpath(folder);
    // Nested layouts settle one level per pass.
    for (int pass = 0; pass < 4; ++pass)
        QCoreApplication::processEvents();
    QVERIFY(widget->grab().save(QDir(folder).filePath(name + QStringLiteral(".png"))));
}

// Once the event loop runs: clicks the button titled `title` of the modal dialog shown then.
// `clicked` tells whether a modal dialog with such a button was found.
inline void answerModal(const QString& title, std::shared_ptr<bool> clicked)
{
    QTimer::singleShot(
        0,
        [title, clicked] {
            QWidget* modal = QApplication::activeModalWidget();
            if (!modal)
                return;
            for (QAbstractButton* button : modal->findChildren<QAbstractButton*>()) {
                if (button->text() == title) {
                    *clicked = true;
                    button->click();
                    return;
                }
            }
        });
}

} // namespace pelorin::uitest
