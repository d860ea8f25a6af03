// CliReporter: how a pelorin-cli run tells the user what happens: a row started or finished, the
// clock ticked, Ctrl-C was honoured, the run ended. The session calls it on the GUI thread only;
// implementations write to stdout/stderr and flush after every line, so a reader of a pipe sees
// each event as it happens.
#pragma once

#include "app/Cli/RunSummary.h"

#include <QString>

#include <filesystem>
#include <optional>

namespace pelorin::cli {

// One step of one queue row, as the row's status moved.
struct RowEvent {
    enum class Kind { started, completed, completedWithWarning, failed, cancelled };
    Kind kind = Kind::started;
    std::filesystem::path source;
    // The cutout: completed and completedWithWarning only.
    std::optional<std::filesystem::path> output;
    // The failure (failed) or the warning (completedWithWarning).
    QString message;

    bool isTerminal() const { return kind != Kind::started; }
};

// Where the run stands, for progress displays.
struct RunProgress {
    int finished = 0;
    int total = 0;
    double elapsedSeconds = 0;
    // The row that most recently started and has not finished yet.
    std::optional<std::filesystem::path> currentFile;
};

class CliReporter {
public:
    virtual ~CliReporter() = default;
    virtual void runStarted(const RunProgress& progress) = 0;
    virtual void rowChanged(const RowEvent& event, const RunProgress& progress) = 0;
    // About once a second while the run goes on, so elapsed time and ETA stay fresh.
    virtual void tick(const RunProgress& progress) = 0;
    // The first interrupt arrived and the run is being cancelled.
    virtual void cancelling() = 0;
    virtual void runFinished(const RunSummary& summary) = 0;
};

// Text for people; one line per path in the file system's encoding.
QString displayPath(const std::filesystem::path& path);

} // namespace pelorin::cli
