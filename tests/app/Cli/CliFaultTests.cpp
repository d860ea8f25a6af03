// pelorin-cli against a hostile file system, with the real binary and model: sources that are
// FIFOs, folders, link loops, deleted or cut short after queuing, awkward names (newlines, bytes
// that are not UTF-8, names too long once "-cutout" is added); output folders deleted, replaced
// by a file or full; SIGINT and SIGTERM at random moments. In every case the run finishes, each
// affected row says why, every other row completes, sources are unchanged, and nothing partial or
// temporary is left.
#include "CliTestSupport.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QRandomGenerator>
#include <QTemporaryDir>

#include <filesystem>
#include <fstream>
#include <map>

#include <csignal>
#include <cstring>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace pelorin::clitest;
namespace fs = std::filesystem;

namespace {

// Every entry below `root` by its raw byte path (QString cannot hold names that are not UTF-8),
// links not followed: a regular file maps to its SHA-256, anything else to its kind.
std::map<std::string, QByteArray> snapshot(const fs::path& root)
{
    std::map<std::string, QByteArray> entries;
    std::error_code error;
    for (fs::recursive_directory_iterator it(root, error), end; !error && it != end; it.increment(error)) {
        const fs::path relative = it->path().lexically_relative(root);
        const auto status = it->symlink_status();
        if (fs::is_symlink(status)) {
            entries[relative.native()] = "link";
        } else if (fs::is_regular_file(status)) {
            std::ifstream in(it->path(), std::ios::binary);
            const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
            entries[relative.native()] = QCryptographicHash::hash(QByteArray::fromStdString(bytes), QCryptographicHash::Sha256);
        } else {
            entries[relative.native()] = fs::is_directory(status) ? "folder" : "special";
        }
    }
    return entries;
}

QStringList leftoverTemporaries(const fs::path& root)
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
void expectUnchanged(const std::map<std::string, QByteArray>& before, const std::map<std::string, QByteArray>& after)
{
    for (const auto& [path, sum] : before) {
        const auto found = after.find(path);
        QVERIFY2(found != after.end(), qPrintable(QString::fromStdString(path) + " disappeared"));
        QVERIFY2(found->second == sum, qPrintable(QString::fromStdString(path) + " changed"));
    }
}

fs::path native(const QString& path)
{
    return fs::path(QFile::encodeName(path).toStdString());
}

// A temporary folder that can also remove names QString cannot hold, which QTemporaryDir cannot.
class RawSandbox : public QTemporaryDir {
public:
    ~RawSandbox()
    {
        std::error_code error;
        fs::remove_all(native(path()), error);
    }
};

// A real photograph of about 256 px under a raw byte name (QFile cannot name every such file).
bool makeRawNamedImage(const QString& photo, const fs::path& destination, const QString& scratch)
{
    const QString made = scratch + "/made.png";
    if (!makeImage(photo, made, 256))
        return false;
    std::error_code error;
    fs::rename(native(made), destination, error);
    return !error;
}

QList<QJsonObject> jsonEvents(const QString& out)
{
    QList<QJsonObject> events;
    for (const QString& line : out.split('\n', Qt::SkipEmptyParts))
        events << QJsonDocument::fromJson(line.toUtf8()).object();
    return events;
}

// The terminal event of each row, by the file name the tool shows.
QMap<QString, QJsonObject> outcomesByName(const QList<QJsonObject>& events)
{
    QMap<QString, QJsonObject> outcomes;
    for (const auto& event : events) {
        const QString kind = event.value("event").toString();
        if (kind == "completed" || kind == "completedWithWarning" || kind == "failed" || kind == "cancelled")
            outcomes.insert(QFileInfo(event.value("file").toString()).fileName(), event);
    }
    return outcomes;
}

// Reads JSON lines until one's "event" is `kind`; false if the process ended first.
bool waitForEvent(QProcess& process, const QString& kind, QStringList& lines)
{
    return waitForLine(process, QStringLiteral("{\"event\":\"%1\"").arg(kind), lines);
}

Run finish(QProcess& process, const QStringList& linesSoFar)
{
    Run run;
    if (!process.waitForFinished(runTimeoutMs) || process.exitStatus() != QProcess::NormalExit)
        return run;
    run.exitCode = process.exitCode();
    run.out = linesSoFar.join('\n') + '\n' + QString::fromUtf8(process.readAllStandardOutput());
    run.err = QString::fromUtf8(process.readAllStandardError());
    return run;
}

// A tmpfs of `bytes` mounted on `folder` for this object's lifetime.
class TinyFilesystem {
public:
    TinyFilesystem(const QString& folder, qint64 bytes) : folder_(QFile::encodeName(folder))
    {
        const QByteArray options = "size=" + QByteArray::number(bytes);
        mounted_ = ::mount("tmpfs", folder_.constData(), "tmpfs", 0, options.constData()) == 0;
        reason_ = mounted_ ? QString() : QString::fromLocal8Bit(std::strerror(errno));
    }
    ~TinyFilesystem()
    {
        if (mounted_)
            ::umount2(folder_.constData(), MNT_DETACH);
    }
    TinyFilesystem(const TinyFilesystem&) = delete;
    TinyFilesystem& operator=(const TinyFilesystem&) = delete;
    bool mounted() const { return mounted_; }
    QString reason() const { return reason_; }

private:
    QByteArray folder_;
    bool mounted_ = false;
    QString reason_;
};

} // namespace

class CliFaultTests : public QObject {
    Q_OBJECT

private slots:
    void initTestCase()
    {
        QVERIFY2(QFileInfo(cliPath()).isExecutable(), qPrintable(cliPath() + " missing: is PELORIN_BUILD_DIR set?"));
        QVERIFY2(QFileInfo::exists(samplePhoto("chelsea.png")), "test photos missing: run scripts/fetch-test-images");
    }

    // One dropped folder full of traps, plus two sources spoiled after they were queued. The
    // unusable ones fail with the reason, the awkward names still get their cutouts, and a name
    // that cannot take its suffix fails (cutout) or warns (mask) without leaving anything behind.
    void awkwardSourcesFailOnlyTheirRows()
    {
        RawSandbox sandbox;
        const fs::path in = native(sandbox.filePath("in"));
        const fs::path late = native(sandbox.filePath("late"));
        const QString scratch = sandbox.filePath("scratch");
        QVERIFY(QDir().mkpath(scratch));
        fs::create_directories(in / "sub");
        fs::create_directories(in / "album.jpg");
        fs::create_directories(late);

        const std::string longStem(NAME_MAX - 4, 'x');  // 255 bytes with ".png": no room for "-cutout"
        const std::string maskStem(NAME_MAX - 13, 'm'); // the cutout fits, "-cutout-mask.png" does not
        const std::vector<std::pair<std::string, fs::path>> images = {
            {"chelsea.png", in / "plain.png"},
            {"coffee.png", in / "two\nlines.png"},
            {"rocket.jpg", in / "caf\xe9.png"}, // Latin-1 bytes: not UTF-8
            {"astronaut.png", in / "caf\xe8.png"},
            {"grace_hopper.jpg", in / "album.jpg" / "inside.png"},
            {"chelsea.png", in / (longStem + ".png")},
            {"coffee.png", in / (maskStem + ".png")},
            {"rocket.jpg", late / "deleted.png"},
            {"astronaut.png", late / "truncated.png"},
        };
        for (const auto& [photo, path] : images)
            QVERIFY2(makeRawNamedImage(QString::fromStdString(photo), path, scratch), path.c_str());
        QVERIFY(::mkfifo((in / "pipe.png").c_str(), 0644) == 0);
        fs::create_symlink("loop.png", in / "loop.png");   // a link to itself
        fs::create_directory_symlink("..", in / "sub" / "up"); // a folder loop: walked once
        const auto before = snapshot(in);

        QProcess process;
        process.start(cliPath(), {"--json", "--mask", "--jobs", "1", sandbox.filePath("in"),
                                  sandbox.filePath("late/deleted.png"), sandbox.filePath("late/truncated.png")});
        QStringList lines;
        QVERIFY2(waitForEvent(process, "queued", lines), qPrintable(process.readAllStandardError()));
        // The late sources come last and the run takes one job at a time: they are spoiled while
        // the folder's rows are still being worked on.
        fs::remove(late / "deleted.png");
        fs::resize_file(late / "truncated.png", fs::file_size(late / "truncated.png") / 2);
        const Run run = finish(process, lines);
        QCOMPARE(run.exitCode, 1);

        const auto events = jsonEvents(run.out);
        QCOMPARE(events.first().value("total").toInt(), 12);
        const auto outcomes = outcomesByName(events);
        const auto expectFailed = [&](const QString& name, const QString& reason) {
            const QJsonObject row = outcomes.value(name);
            QVERIFY2(row.value("event") == "failed", qPrintable(name + ": " + QJsonDocument(row).toJson()));
            QVERIFY2(row.value("error").toString().contains(reason), qPrintable(row.value("error").toString()));
        };
        const QString longName = QString::fromStdString(longStem + ".png");
        expectFailed("pipe.png", "Could not read source image at pipe.png");
        expectFailed("album.jpg", "Could not read source image at album.jpg");
        expectFailed("loop.png", "Could not read source image at loop.png");
        expectFailed("deleted.png", "Could not read source image at deleted.png");
        expectFailed("truncated.png", "Could not read source image at truncated.png");
        expectFailed(longName, QString::fromStdString(longStem + "-cutout.png: File name too long"));

        const QJsonObject maskRow = outcomes.value(QString::fromStdString(maskStem + ".png"));
        QCOMPARE(maskRow.value("event").toString(), "completedWithWarning");
        QVERIFY2(maskRow.value("warning").toString().endsWith("-cutout-mask.png: File name too long"),
                 qPrintable(maskRow.value("warning").toString()));
        // Names that are not UTF-8 are shown and named with U+FFFD; the second gets a free name.
        const QString replaced = QStringLiteral("caf\uFFFD");
        QStringList written;
        for (const QString& name : {QStringLiteral("plain.png"), QStringLiteral("two\nlines.png"), QStringLiteral("inside.png"),
                                    QString::fromStdString(maskStem + ".png")}) {
            QVERIFY2(outcomes.value(name).contains("output"), qPrintable(name));
            written << outcomes.value(name).value("output").toString();
        }
        for (const auto& event : events) {
            if (event.value("file").toString().endsWith(replaced + ".png") && event.value("event") == "completed")
                written << event.value("output").toString();
        }
        QCOMPARE(written.size(), 6);
        QVERIFY(written.contains(sandbox.filePath("in/" + replaced + "-cutout.png")));
        QVERIFY(written.contains(sandbox.filePath("in/" + replaced + "-cutout-1.png")));
        QVERIFY(written.contains(sandbox.filePath("in/two\nlines-cutout.png")));
        for (const QString& output : written)
            QCOMPARE(identify(output, "%w %h %[channels]").section(' ', 2), QString("srgba"));

        // Sources intact; the only new files are the six cutouts and their five masks.
        const auto after = snapshot(in);
        expectUnchanged(before, after);
        QCOMPARE(after.size(), before.size() + 11);
        QVERIFY(leftoverTemporaries(native(sandbox.path())).isEmpty());
    }

    // A model this machine cannot run (here a damaged copy, which fails where a refused kernel
    // would: while the network is being prepared) fails each row with the segmenter's reason;
    // the batch still reaches every row, ends normally and writes nothing.
    void unrunnableModelFailsEachRowAndTheBatchGoesOn()
    {
        QTemporaryDir sandbox;
        const QString model = sandbox.filePath("damaged.onnx");
        QFile real(qEnvironmentVariable("HOME") + "/.cache/pelorin/models/isnet-general-fp16.onnx");
        QByteArray bytes = real.open(QIODevice::ReadOnly) ? real.read(1 << 20) : QByteArray(1 << 20, '\x08');
        writeText(model, bytes);
        for (const char* photo : {"chelsea.png", "rocket.jpg", "coffee.png"})
            QVERIFY(makeImage(photo, sandbox.filePath(QString("in/") + photo), 256));
        const auto before = checksums(sandbox.filePath("in"));

        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert("PELORIN_MODEL", model);
        const Run run = runCli({"--json", "--jobs", "1", sandbox.filePath("in")}, environment);
        QCOMPARE(run.exitCode, 1); // a normal end: a crash leaves -1
        const auto outcomes = outcomesByName(jsonEvents(run.out));
        QCOMPARE(outcomes.size(), 3);
        for (const auto& row : outcomes) {
            QCOMPARE(row.value("event").toString(), QString("failed"));
            QVERIFY2(row.value("error").toString().contains("The segmentation model " + model + " could not be loaded"),
                     qPrintable(row.value("error").toString()));
        }
        QCOMPARE(checksums(sandbox.filePath("in")), before);
    }

    // Text output is one line per row whatever a name holds: a newline or an escape in a file
    // name is shown escaped, so it can neither forge a row nor drive the terminal.
    void controlCharactersInNamesStayOnOneLine()
    {
        QTemporaryDir sandbox;
        writeText(sandbox.filePath("in/bad\n[9] completed  fake.png"), "not an image\n");
        writeText(sandbox.filePath("in/bell\a\x1b[2J.png"), "not an image either\n");
        const Run run = runCli({"--jobs", "1", sandbox.filePath("in")});
        QCOMPARE(run.exitCode, 1);
        const QStringList lines = run.out.split('\n', Qt::SkipEmptyParts);
        QCOMPARE(lines.size(), 3);
        QVERIFY2(lines.filter(QRegularExpression(R"(^\[\d/2\] failed     )")).size() == 2, qPrintable(run.out));
        QVERIFY2(run.out.contains(R"(bad\n[9] completed  fake.png: Could not read source image at bad\n[9] completed  fake.png.)"),
                 qPrintable(run.out));
        QVERIFY2(run.out.contains(R"(bell\x07\x1b[2J.png)") && !run.out.contains(QChar(0x1b)), qPrintable(run.out));
        QCOMPARE(summaryCounts(run.out), (QList<int>{2, 0, 0, 2, 0}));
    }

    // The output folder vanishes, or becomes a file, after the first cutout: later rows fail and
    // say so, the published cutout is whole, nothing is left behind.
    void outputFolderTakenAwayDuringTheRun_data()
    {
        QTest::addColumn<bool>("replaceByFile");
        QTest::addColumn<QString>("reason");
        QTest::newRow("deleted") << false << "No such file or directory";
        QTest::newRow("replaced by a file") << true << "Not a directory";
    }
    void outputFolderTakenAwayDuringTheRun()
    {
        QFETCH(bool, replaceByFile);
        QFETCH(QString, reason);
        QTemporaryDir sandbox;
        QVERIFY(makeImage("chelsea.png", sandbox.filePath("in/a.png"), 256));
        QVERIFY(makeImage("coffee.png", sandbox.filePath("in/b.png"), 256));
        const auto before = snapshot(native(sandbox.filePath("in")));
        const QString out = sandbox.filePath("out");

        QProcess process;
        process.start(cliPath(), {"--json", "--jobs", "1", "--output", out, sandbox.filePath("in/a.png"),
                                  sandbox.filePath("in/b.png")});
        QStringList lines;
        QVERIFY2(waitForEvent(process, "completed", lines), qPrintable(process.readAllStandardError()));
        QVERIFY(QFileInfo(out + "/a-cutout.png").size() > 0);
        QVERIFY(QDir(out).removeRecursively());
        if (replaceByFile)
            writeText(out, "now a file\n");
        const Run run = finish(process, lines);
        QCOMPARE(run.exitCode, 1);

        const auto outcomes = outcomesByName(jsonEvents(run.out));
        QCOMPARE(outcomes.value("a.png").value("event").toString(), "completed");
        QCOMPARE(outcomes.value("b.png").value("event").toString(), "failed");
        QVERIFY2(outcomes.value("b.png").value("error").toString().contains("Failed to write b-cutout.png: "),
                 qPrintable(outcomes.value("b.png").value("error").toString()));
        QVERIFY2(outcomes.value("b.png").value("error").toString().contains(reason), qPrintable(run.out));
        expectUnchanged(before, snapshot(native(sandbox.filePath("in"))));
        QVERIFY(leftoverTemporaries(native(sandbox.path())).isEmpty());
        QCOMPARE(QFileInfo(out).isFile(), replaceByFile);
        QVERIFY(!QFileInfo::exists(out) || replaceByFile);
    }

    // A filesystem too small for one of the cutouts: the small ones are written whole, the large
    // one fails with the system's reason, and the disk holds no partial or temporary file.
    void fullFilesystem()
    {
        QTemporaryDir sandbox;
        const QString out = sandbox.filePath("out");
        QVERIFY(QDir().mkpath(out));
        // A 64 px cutout takes ~10 KiB; a 512 px photo's takes several hundred.
        TinyFilesystem tiny(out, 128 * 1024);
        if (!tiny.mounted())
            QSKIP(qPrintable("cannot mount a tmpfs here (needs root): " + tiny.reason()));
        QVERIFY(makeImage("chelsea.png", sandbox.filePath("in/a.png"), 64));
        QVERIFY(makeImage("chelsea.png", sandbox.filePath("in/b.png"), 512));
        QVERIFY(makeImage("coffee.png", sandbox.filePath("in/c.png"), 64));
        const auto before = snapshot(native(sandbox.filePath("in")));

        const Run run = runCli({"--json", "--jobs", "1", "--output", out, sandbox.filePath("in")});
        QCOMPARE(run.exitCode, 1);
        const auto outcomes = outcomesByName(jsonEvents(run.out));
        QCOMPARE(outcomes.value("b.png").value("event").toString(), "failed");
        QVERIFY2(outcomes.value("b.png").value("error").toString().contains("Failed to write b-cutout.png: "),
                 qPrintable(run.out));
        QVERIFY2(outcomes.value("b.png").value("error").toString().contains("No space left on device"), qPrintable(run.out));
        for (const char* name : {"a", "c"}) {
            const QJsonObject row = outcomes.value(QString(name) + ".png");
            QCOMPARE(row.value("event").toString(), "completed");
            QCOMPARE(identify(row.value("output").toString(), "%w %h %[channels]"),
                     identify(sandbox.filePath(QString("in/%1.png").arg(name)), "%w %h") + " srgba");
        }
        QCOMPARE(QDir(out).entryList(QDir::Files | QDir::Hidden), (QStringList{"a-cutout.png", "c-cutout.png"}));
        expectUnchanged(before, snapshot(native(sandbox.filePath("in"))));
    }

    // SIGINT or SIGTERM at a random moment, from start-up to the end of the run. Either the
    // signal came before the handler was installed (the process dies having written nothing) or
    // the run winds down: exit 0 or 1, a summary, every row completed or cancelled, no failure,
    // only whole cutouts on disk and no temporary file.
    void signalAtRandomMoments()
    {
        QTemporaryDir sandbox;
        for (const char* name : {"a.png", "b.png", "c.png"})
            QVERIFY(makeImage("coffee.png", sandbox.filePath(QString("in/") + name), 256));
        const auto before = snapshot(native(sandbox.filePath("in")));
        const QString size = identify(sandbox.filePath("in/a.png"), "%w %h");
        const quint32 seed = QRandomGenerator::global()->generate();
        QRandomGenerator random(seed);
        qInfo("random seed %u", seed);

        for (int round = 0; round < 4; ++round) {
            const int signal = round % 2 == 0 ? SIGINT : SIGTERM;
            const int delayMs = static_cast<int>(random.bounded(4000));
            const QString out = sandbox.filePath(QString("out%1").arg(round));
            const QString context = QString("round %1, signal %2 after %3 ms (seed %4)").arg(round).arg(signal).arg(delayMs).arg(seed);

            QProcess process;
            process.start(cliPath(), {"--output", out, sandbox.filePath("in")});
            QVERIFY(process.waitForStarted(30000));
            process.waitForFinished(delayMs);
            if (process.state() == QProcess::Running)
                ::kill(static_cast<pid_t>(process.processId()), signal);
            // waitForFinished() is false for a process that has already finished.
            QVERIFY2(process.state() == QProcess::NotRunning || process.waitForFinished(runTimeoutMs), qPrintable(context));
            const QString output = QString::fromUtf8(process.readAllStandardOutput());
            const int files = QDir(out).entryList(QDir::Files | QDir::Hidden).size();
            if (process.exitStatus() == QProcess::CrashExit) {
                QVERIFY2(files == 0 && output.isEmpty(), qPrintable(context));
                continue;
            }
            QVERIFY2(process.exitCode() == 0 || process.exitCode() == 1, qPrintable(context));
            const QList<int> counts = summaryCounts(output);
            QVERIFY2(counts.size() == 5, qPrintable(context + "\n" + output));
            QVERIFY2(counts[0] == 3 && counts[3] == 0 && counts[1] + counts[4] == 3, qPrintable(context + "\n" + output));
            QVERIFY2(files == counts[1], qPrintable(context));
            for (const QString& name : QDir(out).entryList(QDir::Files))
                QCOMPARE(identify(out + "/" + name, "%w %h %[channels]"), size + " srgba");
            QVERIFY2(leftoverTemporaries(native(sandbox.path())).isEmpty(), qPrintable(context));
        }
        expectUnchanged(before, snapshot(native(sandbox.filePath("in"))));
    }
};

QTEST_GUILESS_MAIN(CliFaultTests)
#include "CliFaultTests.moc"
