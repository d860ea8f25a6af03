// pelorin: the desktop application. `pelorin [FILE|FOLDER]...` opens the window with the given
// files and folders queued, as the desktop's "Open with" does.

#include "app/Desktop/PelorinApp.h"
#include "app/Desktop/StartupProbe.h"
#include "engine/Common/AllocatorPolicy.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QDir>
#include <QElapsedTimer>
#include <QMainWindow>

#include <memory>
#include <string_view>

using namespace pelorin;

namespace {

// Long enough for a run to finish the file it is writing and remove its temporaries.
constexpr int quitGraceMs = 5000;

// The queued paths; --help and --version print and exit here.
QStringList parseArguments(const QCoreApplication& application)
{
    QCommandLineParser parser;
    //: Command-line help: what the program does
    //% "Removes the background from images."
    parser.setApplicationDescription(qtTrId("cli.desktop.description"));
    parser.addHelpOption();
    parser.addVersionOption();
    //: Command-line help: the optional arguments
    //% "Images and folders to queue."
    parser.addPositionalArgument(QStringLiteral("files"), qtTrId("cli.desktop.files"), QStringLiteral("[FILE...]"));
    parser.process(application);
    return parser.positionalArguments();
}

// --help and --version must work without a display, so they are answered before the GUI starts.
bool asksForInformationOnly(int argc, char** argv)
{
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        if (arg == "--")
            return false;
        if (arg == "-h" || arg == "--help" || arg == "--help-all" || arg == "-v" || arg == "--version")
            return true;
    }
    return false;
}

} // namespace

int main(int argc, char** argv)
{
    QElapsedTimer sinceStart;
    sinceStart.start();

    if (asksForInformationOnly(argc, argv)) {
        QCoreApplication information(argc, argv);
        PelorinApp::describeApplication(information);
        parseArguments(information); // prints and exits
        return 0;
    }

    // Photos, masks, cutouts and thumbnails are megabytes each; give them back when freed.
    releaseLargeBlocksPromptly();
    QApplication application(argc, argv);
    PelorinApp::configureApplication(application);
    const QStringList paths = parseArguments(application);

    PelorinApp app;
    app.window()->show();
    app.queue(PelorinApp::pathsFromArguments(paths, QDir::currentPath()));

    std::unique_ptr<StartupProbe> probe;
    if (const auto delay = StartupProbe::requestedDelay())
        probe = std::make_unique<StartupProbe>(app.window(), *delay, sinceStart);

    const int status = QApplication::exec();
    app.shutDown(quitGraceMs);
    return status;
}
