// A batch in the window with and without the viewer open: the real pipeline on photographs, the
// file list making thumbnails, and (with --viewer) the viewer following the run, moving to each
// row as it finishes so it decodes every source and cutout at full size while jobs still run.
// Driven by bench/viewer/run, one configuration per process.
//
//   pelorin_viewer_bench [--viewer] PHOTO...
#include "app/Services/FileService.h"
#include "app/Services/QtLocalizer.h"
#include "app/Services/SettingsPersistence.h"
#include "app/ViewModels/ProcessingViewModel.h"
#include "app/Views/ContentView.h"
#include "app/Views/FileListView.h"
#include "app/Views/ImageViewer.h"
#include "engine/Services/BackgroundRemover.h"

#include <QApplication>
#include <QElapsedTimer>

#include <cstdio>
#include <cstring>

using namespace pelorin;

int main(int argc, char** argv)
{
    QApplication app(argc, argv);
    installQtLocalizer();
    loadTranslations(app);
    bool viewer = false;
    std::vector<std::filesystem::path> photos;
    for (int i = 1; i < argc; ++i)
        if (std::strcmp(argv[i], "--viewer") == 0)
            viewer = true;
        else
            photos.emplace_back(argv[i]);
    if (photos.empty()) {
        std::fprintf(stderr, "usage: pelorin_viewer_bench [--viewer] PHOTO...\n");
        return 2;
    }

    // The model loads once per process: outside the timed run.
    {
        BackgroundRemover remover;
        auto block = PixelBlock::allocate(64 * 64 * 3);
        std::memset(block.data(), 128, block.size());
        ImageFormat format{64, 64, 8, 24, 64 * 3, 0};
        (void)remover.generateMask(Image(format, ColorSpace::named(ColorSpace::Name::sRGB),
                                         std::make_shared<const DataProvider>(std::move(block))));
    }

    ProcessingViewModel vm(nullptr, std::make_shared<FileService>(), std::make_shared<SettingsPersistence>(nullptr));
    ContentView window(&vm);
    window.resize(760, 560);
    window.show();
    vm.addFiles(photos);
    auto* list = window.findChild<FileListView*>();
    // Thumbnails of the rows in view, as a user would see them before pressing Start.
    for (int i = 0; i < 50; ++i)
        app.processEvents(QEventLoop::AllEvents, 10);

    int shown = 0;
    if (viewer) {
        list->openViewer(0);
        QObject::connect(&vm, &ProcessingViewModel::itemChanged, list, [&](ImageItem* item) {
            const int row = static_cast<int>(vm.items().indexOf(item));
            if (item->status().kind() == ProcessingStatus::Kind::completed && row >= shown) {
                shown = row;
                list->openViewer(row);
            }
        });
    }
    QElapsedTimer timer;
    QObject::connect(&vm, &ProcessingViewModel::processingFinished, &app, &QApplication::quit);
    timer.start();
    vm.startProcessing();
    app.exec();
    const double seconds = timer.elapsed() / 1000.0;
    std::printf("viewer=%s images=%zu completed=%d seconds=%.2f\n", viewer ? "open" : "closed", photos.size(),
                vm.completedCount(), seconds);
    return vm.completedCount() == static_cast<int>(photos.size()) ? 0 : 1;
}
