// Helpers shared by the pelorin-cli test programs: the binary and the sample photographs, images
// made by independent encoders, runs of the real binary, and what a run leaves on disk.
#pragma once

#include <QCryptographicHash>
#include <QDir>
#include <QDirIterator>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QTest>

namespace pelorin::clitest {

inline constexpr int runTimeoutMs = 240000;

inline QString cliPath()
{
    return qEnvironmentVariable("PELORIN_BUILD_DIR") + QStringLiteral("/pelorin-cli");
}

inline QString samplePhoto(const QString& name)
{
    QString cache = qEnvironmentVariable("PELORIN_TEST_DATA");
    if (cache.isEmpty()) {
        const QString xdg = qEnvironmentVariable("XDG_CACHE_HOME");
        cache = (xdg.isEmpty() ? qEnvironmentVariable("HOME") + "/.cache" : xdg) + "/pelorin/test-data";
    }
    return cache + "/photos/" + name;
}

inline bool tool(const QString& program, const QStringList& arguments)
{
    QProcess process;
    process.start(program, arguments);
    return process.waitForFinished(60000) && process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0;
}

// A copy of a sample photo, at most `size` px a side, in the format its name asks for, made by
// independent encoders.
inline bool makeImage(const QString& photo, const QString& destination, int size = 512)
{
    QDir().mkpath(QFileInfo(destination).path());
    if (!destination.endsWith(".heic"))
        return tool("convert", {samplePhoto(photo), "-resize", QStringLiteral("%1x%1").arg(size), destination});
    const QString png = destination + ".source.png";
    const bool made = tool("convert", {samplePhoto(photo), "-resize", QStringLiteral("%1x%1").arg(size), png})
                      && tool("heif-enc", {"-q", "85", "-o", destination, png});
    QFile::remove(png);
    return made;
}

inline void writeText(const QString& file, const QByteArray& text)
{
    QDir().mkpath(QFileInfo(file).path());
    QFile out(file);
    QVERIFY(out.open(QIODevice::WriteOnly));
    out.write(text);
}

// Every file below `root` (hidden ones too), relative path → SHA-256.
inline QMap<QString, QByteArray> checksums(const QString& root)
{
    QMap<QString, QByteArray> sums;
    QDirIterator it(root, QDir::Files | QDir::Hidden | QDir::System, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString file = it.next();
        QFile in(file);
        QCryptographicHash hash(QCryptographicHash::Sha256);
        if (in.open(QIODevice::ReadOnly))
            hash.addData(&in);
        sums.insert(QDir(root).relativeFilePath(file), hash.result());
    }
    return sums;
}

inline QStringList temporaries(const QString& root)
{
    QStringList found;
    for (const QString& name : checksums(root).keys()) {
        if (QFileInfo(name).fileName().startsWith(".pelorin-") && name.endsWith(".tmp"))
            found << name;
    }
    return found;
}

inline QString identify(const QString& file, const QString& format)
{
    QProcess process;
    process.start("identify", {"-format", format, file + "[0]"});
    process.waitForFinished(60000);
    return QString::fromUtf8(process.readAllStandardOutput()).trimmed();
}

struct Run {
    int exitCode = -1;
    QString out;
    QString err;
};

inline Run runCli(const QStringList& arguments, const QProcessEnvironment& environment = QProcessEnvironment::systemEnvironment())
{
    QProcess process;
    process.setProcessEnvironment(environment);
    process.start(cliPath(), arguments);
    Run run;
    if (!process.waitForFinished(runTimeoutMs) || process.exitStatus() != QProcess::NormalExit)
        return run;
    run.exitCode = process.exitCode();
    run.out = QString::fromUtf8(process.readAllStandardOutput());
    run.err = QString::fromUtf8(process.readAllStandardError());
    return run;
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
    return {match.captured(1).toInt(), match.captured(2).toInt(), match.captured(3).toInt(),
            match.captured(4).toInt(), match.captured(5).toInt()};
}

} // namespace pelorin::clitest
