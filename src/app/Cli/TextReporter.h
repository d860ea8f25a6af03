// TextReporter: the human-readable output of pelorin-cli. On a terminal (stderr is a TTY) it keeps
// one progress line redrawn in place with "\r" (finished/total, current file, elapsed, ETA);
// otherwise it prints one line per finished file. Per-file lines and the summary go to stdout,
// the progress line and notices to stderr. When both streams are the same terminal, only problem
// rows (failed, warning) get a line of their own, printed above the progress line.
#pragma once

#include "app/Cli/CliReporter.h"

#include <cstdio>

namespace pelorin::cli {

class TextReporter final : public CliReporter {
public:
    TextReporter(bool liveProgress, bool stdoutIsTerminal, std::FILE* out = stdout, std::FILE* err = stderr);

    void runStarted(const RunProgress& progress) override;
    void rowChanged(const RowEvent& event, const RunProgress& progress) override;
    void tick(const RunProgress& progress) override;
    void cancelling() override;
    void runFinished(const RunSummary& summary) override;

    // "0:07", "12:05", "1:02:03".
    static QString clockDuration(double seconds);
    // "4.2 s" under a minute, the clock form above.
    static QString shortDuration(double seconds);
    static QString summaryLine(const RunSummary& summary);

private:
    void drawProgress(const RunProgress& progress);
    void clearProgress();
    void writeLine(std::FILE* stream, const QString& line);
    QString rowLine(const RowEvent& event, const RunProgress& progress) const;

    bool live_;
    bool stdoutIsTerminal_;
    std::FILE* out_;
    std::FILE* err_;
    bool progressShown_ = false;
    bool cancelling_ = false;
    RunProgress lastProgress_;
};

} // namespace pelorin::cli
