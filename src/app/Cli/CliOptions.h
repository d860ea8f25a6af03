// CliOptions: what one invocation of pelorin-cli asks for, and the parsing of its command line.
// Parsing never exits the process and never prints: it returns the options, or what to print and
// the status to exit with (help, version, usage errors). Needs a QCoreApplication (for --help).
#pragma once

#include "engine/Models/OutputFormat.h"

#include <QString>
#include <QStringList>

#include <filesystem>
#include <optional>
#include <variant>
#include <vector>

namespace pelorin::cli {

// Exit statuses of the tool, also listed in --help.
enum ExitStatus : int {
    exitAllCompleted = 0,     // every queued image was cut out
    exitSomeNotCompleted = 1, // a row failed or was cancelled, or nothing could be queued
    exitUsageError = 2,       // bad flags or no PATH
    exitForcedQuit = 130,     // a second interrupt while the first was being honoured
};

struct CliOptions {
    OutputFormat format = OutputFormat::png;
    bool exportMask = false;
    // Absent: the application's default.
    std::optional<bool> refineEdges;
    // Absent: every cutout goes beside its source.
    std::optional<std::filesystem::path> outputDirectory;
    // Jobs in flight at once; absent means the processor's default (every core).
    std::optional<int> jobs;
    bool json = false;
    // Files and folders, in the order given.
    std::vector<std::filesystem::path> paths;
};

// What to do instead of a run: print `text` (to stdout for help/version, to stderr for a usage
// error) and exit with `status`.
struct CliEarlyExit {
    QString text;
    int status = exitAllCompleted;
    bool toStandardError = false;
};

using CliParseResult = std::variant<CliOptions, CliEarlyExit>;

// `arguments` includes the program name first, as QCoreApplication::arguments() gives it.
// `version` is shown by --version.
CliParseResult parseCliOptions(const QStringList& arguments, const QString& version);

} // namespace pelorin::cli
