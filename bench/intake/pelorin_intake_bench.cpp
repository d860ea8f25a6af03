// Intake of a large drop into the real window (offscreen): how long the GUI thread's event loop is
// held up, how long until every row knows its pixel size, and how many bytes the process read.
// Uses only the window's public API, so bench/intake/run builds it beside older revisions too.
//
// pelorin_intake_bench FOLDER
// Prints one line of key=value pairs:
//   rows         rows queued
//   queue_ms     time inside the queue call (a drop's handler)
//   longest_gap_ms  the longest wait between two ticks of a 1 ms GUI-thread timer, from the drop
//                until every row has its size: the longest the window could not repaint or react
//   sizes_ms     from the drop until every row shows its pixel size (or its error)
//   rchar_mib, read_mib  bytes the process asked the kernel for, and bytes fetched from storage
#include "app/Desktop/PelorinApp.h"
#include "app/ViewModels/ProcessingViewModel.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QMainWindow>
#include <QSettings>
#include <QTemporaryDir>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <string>

using namespace pelorin;

namespace {

struct IoCounters {
    double rchar = 0;
    double readBytes = 0;
};

IoCounters ioCounters()
{
    IoCounters counters;
    std::ifstream io("/proc/self/io");
    std::string key;
    double value = 0;
    while (io >> key >> value)
        if (key == "rchar:")
            counters.rchar = value;
        else if (key == "read_bytes:")
            counters.readBytes = value;
    return counters;
}

bool everyRowKnown(const ProcessingViewModel& viewModel)
{
    return std::all_of(
        viewModel.items().begin(), viewModel.items().end(),
        [](const ImageItem* item) {
            return item->pixelWidth() > 0 || item->status().kind() == ProcessingStatus::Kind::error;
        });
}

constexpr double mebibyte = 1024.0 * 1024.0;

} // namespace

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: pelorin_intake_bench FOLDER\n");
        return 2;
    }
    if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    qputenv("XCTestConfigurationFilePath", "pelorin_intake_bench"); // no update check
    QApplication application(argc, argv);
    PelorinApp::configureApplication(application);
    const std::filesystem::path folder = argv[1];

    QTemporaryDir settingsFolder;
    PelorinApp::Dependencies dependencies;
    dependencies.settingsStore =
        std::make_shared<QSettings>(settingsFolder.filePath(QStringLiteral("settings.ini")), QSettings::IniFormat);
    PelorinApp app(std::move(dependencies));
    app.window()->resize(900, 640);
    app.window()->show();

    QElapsedTimer clock;
    clock.start();
    qint64 droppedAt = -1, lastTick = 0, longestGap = 0, queueNs = 0;
    IoCounters before;

    QTimer ticker;
    ticker.setTimerType(Qt::PreciseTimer);
    ticker.setInterval(1);
    QObject::connect(&ticker, &QTimer::timeout, [&] {
        const qint64 now = clock.nsecsElapsed();
        longestGap = std::max(longestGap, now - lastTick);
        lastTick = now;
        if (droppedAt < 0 || !everyRowKnown(app.viewModel()))
            return;
        const IoCounters after = ioCounters();
        std::printf("rows=%lld queue_ms=%.1f longest_gap_ms=%.1f sizes_ms=%.1f rchar_mib=%.1f read_mib=%.1f\n",
                    static_cast<long long>(app.viewModel().items().size()), queueNs / 1e6, longestGap / 1e6,
                    (now - droppedAt) / 1e6, (after.rchar - before.rchar) / mebibyte,
                    (after.readBytes - before.readBytes) / mebibyte);
        application.quit();
    });

    // The drop comes once the window is up and idle.
    QTimer::singleShot(500, [&] {
        before = ioCounters();
        droppedAt = clock.nsecsElapsed();
        lastTick = droppedAt;
        longestGap = 0;
        app.queue({folder});
        queueNs = clock.nsecsElapsed() - droppedAt;
    });
    ticker.start();
    return application.exec();
}
