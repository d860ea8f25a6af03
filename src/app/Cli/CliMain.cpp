// pelorin-cli: the queue and run control of the desktop application, driven from a terminal.
// Paths are added as a drop would add them, the flags stand in for the settings bar, and the
// user's saved desktop preferences are never read or changed.

#include "app/Cli/CliOptions.h"
#include "app/Cli/CliReporter.h"
#include "app/Cli/CliSession.h"
#include "app/Cli/InterruptNotifier.h"
#include "app/Cli/JsonReporter.h"
#include "app/Cli/TextReporter.h"
#include "engine/Common/AllocatorPolicy.h"
#include "engine/Services/BackgroundRemover.h"
#include "engine/Services/BatchProcessor.h"
#include "app/Services/FileService.h"
#include "engine/Services/ImageProcessor.h"
#include "app/Services/QtLocalizer.h"
#include "app/Services/SettingsPersistence.h"
#include "app/ViewModels/ProcessingViewModel.h"

#include <QCoreApplication>

#include <csignal>
#include <cstdio>
#include <unistd.h>

#ifndef PELORIN_VERSION
#error "PELORIN_VERSION must be defined by the build (the CMake project version)"
#endif

using namespace pelorin;
using namespace pelorin::cli;

namespace {

void printTo(std::FILE* stream, const QString& text)
{
    const QByteArray bytes = text.toUtf8();
    std::fwrite(bytes.constData(), 1, static_cast<size_t>(bytes.size()), stream);
    std::fflush(stream);
}

// Intake skips these silently, as a drop does; on a command line a typo deserves a word.
void warnAboutSkippedPaths(const std::vector<std::filesystem::path>& paths)
{
    for (const auto& path : paths) {
        std::error_code error;
        const auto status = std::filesystem::status(path, error);
        if (!std::filesystem::exists(status))
            printTo(stderr,
                    QStringLiteral("pelorin-cli: skipped '%1': no such file or folder\n").arg(displayPath(path)));
        else if (!std::filesystem::is_directory(status) && !ProcessingSettings::isSupportedImage(path))
            printTo(stderr,
                    QStringLiteral("pelorin-cli: skipped '%1': not a supported image type\n").arg(displayPath(path)));
    }
}

std::shared_ptr<const BatchProcessing> makeBatchProcessor(const CliOptions& options)
{
    return std::make_shared<BatchProcessor>(std::make_shared<BackgroundRemover>(), std::make_shared<ImageProcessor>(),
                                            options.jobs.value_or(BatchProcessor::defaultMaxConcurrency()));
}

std::unique_ptr<CliReporter> makeReporter(const CliOptions& options)
{
    if (options.json)
        return std::make_unique<JsonReporter>();
    return std::make_unique<TextReporter>(::isatty(STDERR_FILENO) == 1, ::isatty(STDOUT_FILENO) == 1);
}

} // namespace

int main(int argc, char** argv)
{
    releaseLargeBlocksPromptly();
    QCoreApplication application(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("pelorin-cli"));
    QCoreApplication::setApplicationVersion(QStringLiteral(PELORIN_VERSION));
    // A closed pipe (pelorin-cli | head) must not kill a run before it removes its temporaries.
    std::signal(SIGPIPE, SIG_IGN);

    const CliParseResult parsed = parseCliOptions(QCoreApplication::arguments(), QStringLiteral(PELORIN_VERSION));
    if (const auto* early = std::get_if<CliEarlyExit>(&parsed)) {
        printTo(early->toStandardError ? stderr : stdout, early->text);
        return early->status;
    }
    const CliOptions& options = std::get<CliOptions>(parsed);

    // Before intake, which may take long on a large folder: a second Ctrl-C must always work.
    InterruptNotifier interrupts(exitForcedQuit);
    installQtLocalizer();
    loadTranslations(application);

    // A store-less persistence starts from the defaults and saves nothing, so the flags below
    // change this run only and never the desktop application's saved choices.
    ProcessingViewModel viewModel(makeBatchProcessor(options), std::make_shared<FileService>(),
                                  std::make_shared<SettingsPersistence>(nullptr), [](const std::filesystem::path&) {});
    viewModel.updateOutputFormat(options.format);
    viewModel.updateExportMaskSeparately(options.exportMask);
    if (options.refineEdges)
        viewModel.updateRefineEdges(*options.refineEdges);
    if (options.outputDirectory) {
        std::error_code error;
        const auto absolute = std::filesystem::absolute(*options.outputDirectory, error);
        viewModel.setOutputDirectory(error ? *options.outputDirectory : absolute);
    }

    warnAboutSkippedPaths(options.paths);
    viewModel.addFiles(options.paths);
    if (!viewModel.hasItems()) {
        printTo(stderr,
                QStringLiteral("pelorin-cli: no supported images found in the given paths "
                               "(accepted: png jpg jpeg heic heif webp tiff tif bmp)\n"));
        return exitSomeNotCompleted;
    }

    const std::unique_ptr<CliReporter> reporter = makeReporter(options);
    CliSession session(viewModel, *reporter);
    QObject::connect(&session, &CliSession::finished, &application, &QCoreApplication::exit, Qt::QueuedConnection);
    QObject::connect(&interrupts, &InterruptNotifier::interrupted, &session, [&session](int) { session.interrupt(); });
    session.start();
    return QCoreApplication::exec();
}
