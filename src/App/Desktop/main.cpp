// pelorin: the desktop application. `pelorin [FILE|FOLDER]...` opens the window with the given
// files and folders queued, as the desktop's "Open with" does.

#include "App/Desktop/PelorinApp.h"
#include "App/Desktop/StartupProbe.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QDir>
#include <QElapsedTimer>
#include <QMainWindow>

#include <memory>

using namespace pelorin;

namespace {

// Long enough for a run to finish the file it is writing and remove its temporaries.
constexpr int quitGraceMs = 5000;

} // namespace

int main(int argc, char** argv)
{
    QElapsedTimer sinceStart;
    sinceStart.start();

    QApplication application(argc, argv);
    PelorinApp::configureApplication(application);

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

    PelorinApp app;
    app.window()->show();
    app.queue(PelorinApp::pathsFromArguments(parser.positionalArguments(), QDir::currentPath()));

    std::unique_ptr<StartupProbe> probe;
    if (const auto delay = StartupProbe::requestedDelay())
        probe = std::make_unique<StartupProbe>(app.window(), *delay, sinceStart);

    const int status = QApplication::exec();
    app.shutDown(quitGraceMs);
    return status;
}
