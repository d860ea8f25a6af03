#include "app/Cli/CliOptions.h"

#include <QCommandLineOption>
#include <QCommandLineParser>
#include <QFile>

namespace pelorin::cli {

namespace {

const char* const description =
    "Removes the background from still images, entirely on this machine. Each image becomes a\n"
    "cutout (PNG or TIFF with the subject mask as alpha) named <name>-cutout.<ext>, written next\n"
    "to its source or into --output. Existing files are never overwritten: a free name such as\n"
    "<name>-cutout-1.png is chosen instead. Folders are searched deeply; hidden files and folders\n"
    "inside them are skipped. Accepted: png jpg jpeg heic heif webp tiff tif bmp.\n"
    "\n"
    "Ctrl-C cancels the run (unfinished outputs are removed, a summary is printed);\n"
    "a second Ctrl-C quits at once.\n"
    "\n"
    "Exit status:\n"
    "  0  every image was cut out (sidecar warnings included)\n"
    "  1  an image failed or was cancelled, or no supported image was found\n"
    "  2  usage error: unknown option, bad --format or --jobs value, no PATH";

CliEarlyExit usageError(const QString& message)
{
    return {QStringLiteral("pelorin-cli: %1\nTry 'pelorin-cli --help' for more information.\n").arg(message),
            exitUsageError, true};
}

} // namespace

CliParseResult parseCliOptions(const QStringList& arguments, const QString& version)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(QString::fromUtf8(description));
    const QCommandLineOption help({"h", "help"}, "Show this help and exit.");
    const QCommandLineOption versionOption({"v", "version"}, "Show the version and exit.");
    const QCommandLineOption format({"f", "format"}, "Cutout file format: png (default) or tiff.", "png|tiff");
    const QCommandLineOption mask({"m", "mask"}, "Also write each mask as a grey PNG named <cutout>-mask.png.");
    const QCommandLineOption refine("refine-edges",
                                    "Refine each mask's edge against the photo at full size and remove the old "
                                    "background's colour from soft edges.");
    const QCommandLineOption noRefine("no-refine-edges", "Use the model's mask as it is (no edge refinement).");
    const QCommandLineOption output(
        {"o", "output"}, "Write every output into DIR (created if missing) instead of next to its source.", "DIR");
    const QCommandLineOption jobs({"j", "jobs"}, "Images processed at once (default: one per core).", "N");
    const QCommandLineOption json("json", "Print one JSON object per event and a final summary object on stdout.");
    for (const auto& option : {help, versionOption, format, mask, refine, noRefine, output, jobs, json})
        parser.addOption(option);
    parser.addPositionalArgument("PATH", "Image files and folders to process.", "PATH...");

    if (!parser.parse(arguments))
        return usageError(parser.errorText());
    if (parser.isSet(help)) {
        // Qt names the program by its full invocation path; the short name reads better.
        QString text = parser.helpText();
        if (!arguments.isEmpty())
            text.replace(QStringLiteral("Usage: ") + arguments.first(), QStringLiteral("Usage: pelorin-cli"));
        return CliEarlyExit{text, exitAllCompleted, false};
    }
    if (parser.isSet(versionOption))
        return CliEarlyExit{QStringLiteral("pelorin-cli %1\n").arg(version), exitAllCompleted, false};

    CliOptions options;
    if (parser.isSet(format)) {
        const QString raw = parser.value(format).toLower();
        const auto parsed = OutputFormats::fromRawValue(raw.toStdString());
        if (!parsed)
            return usageError(QStringLiteral("invalid --format '%1' (expected png or tiff)").arg(parser.value(format)));
        options.format = *parsed;
    }
    options.exportMask = parser.isSet(mask);
    if (parser.isSet(refine) && parser.isSet(noRefine))
        return usageError(QStringLiteral("--refine-edges and --no-refine-edges contradict each other"));
    if (parser.isSet(refine) || parser.isSet(noRefine))
        options.refineEdges = parser.isSet(refine);
    options.json = parser.isSet(json);
    if (parser.isSet(output)) {
        const QString dir = parser.value(output);
        if (dir.isEmpty())
            return usageError(QStringLiteral("--output needs a folder"));
        options.outputDirectory = std::filesystem::path(dir.toStdString());
    }
    if (parser.isSet(jobs)) {
        bool ok = false;
        const int count = parser.value(jobs).toInt(&ok);
        if (!ok || count < 1)
            return usageError(
                QStringLiteral("invalid --jobs '%1' (expected a positive integer)").arg(parser.value(jobs)));
        options.jobs = count;
    }
    for (const QString& path : parser.positionalArguments())
        if (!path.isEmpty())
            options.paths.emplace_back(QFile::encodeName(path).toStdString());
    if (options.paths.empty())
        return usageError(QStringLiteral("no PATH given"));
    return options;
}

} // namespace pelorin::cli
