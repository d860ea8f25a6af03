// Helpers shared by the pelorin-cli test programs: the binary and the sample photographs, images
// made by independent encoders, runs of the real binary, and what a run leaves on disk.
#pragma once

#include <QCryptographicHash>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QTest>

#include "support/TestSupport.h"

#include <filesystem>
#include <map>

namespace pelorin::clitest {

namespace fs = std::filesystem;

inline constexpr int runTimeoutMs = 240000;

inline QString cliPath()
{
    return qEnvironmentVariable("PELORIN_BUILD_DIR") + QStringLiteral("/pelorin-cli");
}

inline void checkPrerequisites()
{
    QVERIFY2(QFileInfo(cliPath()).isExecutable(), qPrintable(cliPath() + " missing: is PELORIN_BUILD_DIR set?"));
    QVERIFY(fs::exists(test::samplePhoto("chelsea.png")));
}

inline fs::path native(const QString& path)
{
    return fs::path(QFile::encodeName(path).toStdString());
}

// A copy of a sample photo, at most `size` px a side, in the format its name asks for, made by
// independent encoders.
inline bool makeImage(const QString& photo, const fs::path& destination, int size = 512)
{
    fs::create_directories(destination.parent_path());
    const std::string convert = "convert " + test::shellQuote(test::samplePhoto(photo.toStdString())) + " -resize "
        + std::to_string(size) + "x" + std::to_string(size) + " ";
    const std::string target = test::shellQuote(destination);
    if (destination.extension() != ".heic")
        return test::runCommand(convert + target).exitCode == 0;
    const std::string png = test::shellQuote(destination.native() + ".png");
    return test::runCommand(convert + png + " && heif-enc -q 85 -o " + target + " " + png + " && rm " + png).exitCode
        == 0;
}
inline bool makeImage(const QString& photo, const QString& destination, int size = 512)
{
    return makeImage(photo, native(destination), size);
}

inline void writeText(const QString& file, const QByteArray& text)
{
    QDir().mkpath(QFileInfo(file).path());
    QFile out(file);
    QVERIFY(out.open(QIODevice::WriteOnly));
    out.write(text);
}

// Every entry below `root` by its raw byte path (QString cannot hold names that are not UTF-8),
// links not followed: a regular file maps to its SHA-256, anything else to its kind.
using Snapshot = std::map<std::string, QByteArray>;
inline Snapshot snapshot(const QString& root)
{
    Snapshot entries;
    const fs::path base = native(root);
    std::error_code error;
    for (fs::recursive_directory_iterator it(base, error), end; !error && it != end; it.increment(error)) {
        const auto status = it->symlink_status();
        QByteArray& entry = entries[it->path().lexically_relative(base).native()];
        if (fs::is_symlink(status)) {
            entry = "link";
        } else if (fs::is_regular_file(status)) {
            const auto bytes = test::readFileBytes(it->path());
            entry = QCryptographicHash::hash(QByteArrayView(bytes.data(), qsizetype(bytes.size())),
                                             QCryptographicHash::Sha256);
        } else {
            entry = fs::is_directory(status) ? "folder" : "special";
        }
    }
    return entries;
}

inline QStringList temporaries(const QString& root)
{
    QStringList found;
    for (const auto& [path, kind] : snapshot(root)) {
        const std::string name = fs::path(path).filename().native();
        if (name.starts_with(".pelorin-") && name.ends_with(".tmp"))
            found << QString::fromStdString(path);
    }
    return found;
}

// Every entry of `before` is still there with the same content.
inline void expectUnchanged(const Snapshot& before, const Snapshot& after)
{
    for (const auto& [path, sum] : before) {
        const auto found = after.find(path);
        QVERIFY2(found != after.end() && found->second == sum, qPrintable(QString::fromStdString(path) + " changed"));
    }
}

inline QString identify(const QString& file, const QString& format)
{
    return QString::fromStdString(test::identifyFormat(native(file), format.toStdString()));
}

struct Run {
    int exitCode = -1; // -1: crashed or did not end
    QString out;
    QString err;
};

// Waits for the end of a started process; `linesSoFar` are stdout lines already read.
inline Run finish(QProcess& process, const QStringList& linesSoFar = {})
{
    Run run;
    if (!process.waitForFinished(runTimeoutMs) || process.exitStatus() != QProcess::NormalExit)
        return run;
    run.exitCode = process.exitCode();
    run.out = (linesSoFar.isEmpty() ? QString() : linesSoFar.join('\n') + '\n')
        + QString::fromUtf8(process.readAllStandardOutput());
    run.err = QString::fromUtf8(process.readAllStandardError());
    return run;
}

inline Run runCli(const QStringList& arguments,
                  const QProcessEnvironment& environment = QProcessEnvironment::systemEnvironment())
{
    QProcess process;
    process.setProcessEnvironment(environment);
    process.start(cliPath(), arguments);
    return finish(process);
}

// Reads the process's stdout until a line contains `needle`; the lines read so far are appended.
inline bool waitForLine(QProcess& process, const QString& needle, QStringList& lines)
{
    if (!process.waitForStarted(30000))
        return false;
    QElapsedTimer clock;
    clock.start();
    while (clock.elapsed() < runTimeoutMs) {
        while (process.canReadLine()) {
            lines << QString::fromUtf8(process.readLine()).trimmed();
            if (lines.last().contains(needle))
                return true;
        }
        if (process.state() != QProcess::Running)
            return false;
        process.waitForReadyRead(1000);
    }
    return false;
}

// "N images in T: N completed, N with warning, N failed, N cancelled"
inline QList<int> summaryCounts(const QString& out)
{
    static const QRegularExpression pattern(
        R"((\d+) images in .*: (\d+) completed, (\d+) with warning, (\d+) failed, (\d+) cancelled)");
    const auto match = pattern.match(out);
    if (!match.hasMatch())
        return {};
    return {match.captured(1).toInt(), match.captured(2).toInt(), match.captured(3).toInt(), match.captured(4).toInt(),
            match.captured(5).toInt()};
}

// --json output, one object a line (an unparsable line becomes an empty object).
inline QList<QJsonObject> jsonEvents(const QString& out)
{
    QList<QJsonObject> events;
    for (const QString& line : out.split('\n', Qt::SkipEmptyParts))
        events << QJsonDocument::fromJson(line.toUtf8()).object();
    return events;
}

// The terminal event of each row, by the file name the tool shows.
inline QMap<QString, QJsonObject> outcomesByName(const QList<QJsonObject>& events)
{
    static const QStringList terminal = {"completed", "completedWithWarning", "failed", "cancelled"};
    QMap<QString, QJsonObject> outcomes;
    for (const auto& event : events)
        if (terminal.contains(event.value("event").toString()))
            outcomes.insert(QFileInfo(event.value("file").toString()).fileName(), event);
    return outcomes;
}

} // namespace pelorin::clitest
