// pelorin-cli against a hostile file system, with the real binary and model: sources that are
// FIFOs, folders, link loops, deleted or cut short after queuing, awkward names (newlines, bytes
// that are not UTF-8, names too long once "-cutout" is added); output folders deleted, replaced
// by a file or full; SIGINT and SIGTERM at random moments. In every case the run finishes, each
// affected row says why, every other row completes, sources are unchanged, and nothing partial or
// temporary is left.
#include "CliTestSupport.h"

#include <QRandomGenerator>
#include <QTemporaryDir>

#include <csignal>
#include <cstring>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace pelorin::clitest;

namespace {

// A temporary folder that can also remove names QString cannot hold, which QTemporaryDir cannot.
class RawSandbox : public QTemporaryDir {
public:
    ~RawSandbox()
    {
        std::error_code error;
        fs::remove_all(native(path()), error);
    }
};

void expectFailed(const QJsonObject& row, const QString& name, const QString& reason)
{
    QVERIFY2(row.value("event") == "failed", qPrintable(name + ": " + QJsonDocument(row).toJson()));
    QVERIFY2(row.value("error").toString().contains(reason), qPrintable(row.value("error").toString()));
}

// A tmpfs of `bytes` mounted on `folder` for this object's lifetime; `failure` says why not.
struct TinyFilesystem {
    QByteArray folder;
    QString failure;
    TinyFilesystem(const QString& at, qint64 bytes) : folder(QFile::encodeName(at))
    {
        if (::mount("tmpfs", folder.constData(), "tmpfs", 0, ("size=" + QByteArray::number(bytes)).constData()) != 0)
            failure = QString::fromLocal8Bit(std::strerror(errno));
    }
    ~TinyFilesystem()
    {
        if (failure.isNull())
            ::umount2(folder.constData(), MNT_DETACH);
    }
};

} // namespace

class CliFaultTests : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() { checkPrerequisites(); }

    // One dropped folder full of traps, plus two sources spoiled after they were queued. The
    // unusable ones fail with the reason, the awkward names still get their cutouts, and a name
    // that cannot take its suffix fails (cutout) or warns (mask) without leaving anything behind.
    void awkwardSourcesFailOnlyTheirRows()
    {
        RawSandbox sandbox;
        const fs::path in = native(sandbox.filePath("in"));
        const fs::path late = native(sandbox.filePath("late"));
        fs::create_directories(in / "sub");
        fs::create_directories(in / "album.jpg");
        fs::create_directories(late);

        const std::string longStem(NAME_MAX - 4, 'x');  // 255 bytes with ".png": no room for "-cutout"
        const std::string maskStem(NAME_MAX - 13, 'm'); // the cutout fits, "-cutout-mask.png" does not
        const std::vector<std::pair<std::string, fs::path>> images = {
            {"chelsea.png", in / "plain.png"},         {"coffee.png", in / "two\nlines.png"},
            {"rocket.jpg", in / "caf\xe9.png"}, // Latin-1 bytes: not UTF-8
            {"astronaut.png", in / "caf\xe8.png"},     {"grace_hopper.jpg", in / "album.jpg" / "inside.png"},
            {"chelsea.png", in / (longStem + ".png")}, {"coffee.png", in / (maskStem + ".png")},
            {"rocket.jpg", late / "deleted.png"},      {"astronaut.png", late / "truncated.png"},
        };
        for (const auto& [photo, path] : images)
            QVERIFY2(makeImage(QString::fromStdString(photo), path, 256), path.c_str());
        QVERIFY(::mkfifo((in / "pipe.png").c_str(), 0644) == 0);
        fs::create_symlink("loop.png", in / "loop.png");       // a link to itself
        fs::create_directory_symlink("..", in / "sub" / "up"); // a folder loop: walked once
        const auto before = snapshot(sandbox.filePath("in"));

        QProcess process;
        process.start(cliPath(),
                      {"--json", "--mask", "--jobs", "1", sandbox.filePath("in"), sandbox.filePath("late/deleted.png"),
                       sandbox.filePath("late/truncated.png")});
        QStringList lines;
        QVERIFY2(waitForLine(process, "{\"event\":\"queued\"", lines), qPrintable(process.readAllStandardError()));
        // The late sources come last and the run takes one job at a time: they are spoiled while
        // the folder's rows are still being worked on.
        fs::remove(late / "deleted.png");
        fs::resize_file(late / "truncated.png", fs::file_size(late / "truncated.png") / 2);
        const Run run = finish(process, lines);
        QCOMPARE(run.exitCode, 1);

        const auto events = jsonEvents(run.out);
        QCOMPARE(events.first().value("total").toInt(), 12);
        const auto outcomes = outcomesByName(events);
        for (const QString name : {"pipe.png", "album.jpg", "loop.png", "deleted.png", "truncated.png"})
            expectFailed(outcomes.value(name), name, "Could not read source image at " + name);
        const QString longName = QString::fromStdString(longStem + ".png");
        expectFailed(outcomes.value(longName), longName,
                     QString::fromStdString(longStem + "-cutout.png: File name too long"));

        const QJsonObject maskRow = outcomes.value(QString::fromStdString(maskStem + ".png"));
        QCOMPARE(maskRow.value("event").toString(), "completedWithWarning");
        QVERIFY2(maskRow.value("warning").toString().endsWith("-cutout-mask.png: File name too long"),
                 qPrintable(maskRow.value("warning").toString()));
        // Names that are not UTF-8 are shown and named with U+FFFD; the second gets a free name.
        const QString replaced = QStringLiteral("caf\uFFFD");
        QStringList written;
        for (const auto& event : events)
            if (event.contains("output"))
                written << event.value("output").toString();
        QCOMPARE(written.size(), 6);
        for (const QString name : {"plain-cutout.png", "two\nlines-cutout.png", "album.jpg/inside-cutout.png"})
            QVERIFY2(written.contains(sandbox.filePath("in/") + name), qPrintable(written.join(", ")));
        QVERIFY(written.contains(sandbox.filePath("in/" + replaced + "-cutout.png")));
        QVERIFY(written.contains(sandbox.filePath("in/" + replaced + "-cutout-1.png")));
        for (const QString& output : written)
            QCOMPARE(identify(output, "%[channels]"), QString("srgba"));

        // Sources intact; the only new files are the six cutouts and their five masks.
        const auto after = snapshot(sandbox.filePath("in"));
        expectUnchanged(before, after);
        QCOMPARE(after.size(), before.size() + 11);
        QVERIFY(temporaries(sandbox.path()).isEmpty());
    }

    // A model this machine cannot run (here a damaged copy, which fails where a refused kernel
    // would: while the network is being prepared) fails each row with the segmenter's reason;
    // the batch still reaches every row, ends normally and writes nothing.
    void unrunnableModelFailsEachRowAndTheBatchGoesOn()
    {
        QTemporaryDir sandbox;
        const QString model = sandbox.filePath("damaged.onnx");
        QFile real(qEnvironmentVariable("HOME") + "/.cache/pelorin/models/isnet-general-fp16.onnx");
        writeText(model, real.open(QIODevice::ReadOnly) ? real.read(1 << 20) : QByteArray(1 << 20, '\x08'));
        for (const char* photo : {"chelsea.png", "rocket.jpg", "coffee.png"})
            QVERIFY(makeImage(photo, sandbox.filePath(QString("in/") + photo), 256));
        const auto before = snapshot(sandbox.filePath("in"));

        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert("PELORIN_MODEL", model);
        const Run run = runCli({"--json", "--jobs", "1", sandbox.filePath("in")}, environment);
        QCOMPARE(run.exitCode, 1); // a normal end: a crash leaves -1
        const auto outcomes = outcomesByName(jsonEvents(run.out));
        QCOMPARE(outcomes.size(), 3);
        for (auto it = outcomes.cbegin(); it != outcomes.cend(); ++it)
            expectFailed(it.value(), it.key(), "The segmentation model " + model + " could not be loaded");
        QVERIFY(snapshot(sandbox.filePath("in")) == before);
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
        QVERIFY2(run.out.contains(
                     R"(bad\n[9] completed  fake.png: Could not read source image at bad\n[9] completed  fake.png.)"),
                 qPrintable(run.out));
        QVERIFY2(run.out.contains(R"(bell\x07\x1b[2J.png)") && !run.out.contains(QChar(0x1b)), qPrintable(run.out));
        QCOMPARE(summaryCounts(run.out), (QList<int>{2, 0, 0, 2, 0}));
    }

    // The output folder vanishes, or becomes a file, after the first cutout; or its filesystem
    // has no room for one cutout. The row that cannot be written fails with the system's reason,
    // the others are published whole, and nothing partial or temporary is left.
    void unwritableOutput_data()
    {
        QTest::addColumn<QString>("fault");
        QTest::addColumn<QString>("reason");
        QTest::newRow("deleted") << QString("deleted") << QString("No such file or directory");
        QTest::newRow("replaced by a file") << QString("file") << QString("Not a directory");
        QTest::newRow("full") << QString("full") << QString("No space left on device");
    }
    void unwritableOutput()
    {
        QFETCH(QString, fault);
        QFETCH(QString, reason);
        QTemporaryDir sandbox;
        const QString out = sandbox.filePath("out");
        QVERIFY(QDir().mkpath(out));
        // A 64 px cutout takes ~10 KiB; a 512 px photo's takes several hundred.
        std::optional<TinyFilesystem> tiny;
        if (fault == "full") {
            tiny.emplace(out, 128 * 1024);
            if (!tiny->failure.isNull())
                QSKIP(qPrintable("cannot mount a tmpfs here (needs root): " + tiny->failure));
        }
        QVERIFY(makeImage("chelsea.png", sandbox.filePath("in/a.png"), 64));
        QVERIFY(makeImage("chelsea.png", sandbox.filePath("in/b.png"), fault == "full" ? 512 : 64));
        QVERIFY(makeImage("coffee.png", sandbox.filePath("in/c.png"), 64));
        const auto before = snapshot(sandbox.filePath("in"));

        QProcess process;
        process.start(cliPath(), {"--json", "--jobs", "1", "--output", out, sandbox.filePath("in")});
        QStringList lines;
        if (fault != "full") {
            QVERIFY2(waitForLine(process, "{\"event\":\"completed\"", lines),
                     qPrintable(process.readAllStandardError()));
            QVERIFY(QFileInfo(out + "/a-cutout.png").size() > 0);
            QVERIFY(QDir(out).removeRecursively());
            if (fault == "file")
                writeText(out, "now a file\n");
        }
        const Run run = finish(process, lines);
        QCOMPARE(run.exitCode, 1);

        const auto outcomes = outcomesByName(jsonEvents(run.out));
        QCOMPARE(outcomes.value("a.png").value("event").toString(), "completed");
        expectFailed(outcomes.value("b.png"), "b.png", "Failed to write b-cutout.png: ");
        expectFailed(outcomes.value("b.png"), "b.png", reason);
        expectUnchanged(before, snapshot(sandbox.filePath("in")));
        QVERIFY(temporaries(sandbox.path()).isEmpty());
        if (fault == "full") {
            QCOMPARE(outcomes.value("c.png").value("event").toString(), "completed");
            QCOMPARE(QDir(out).entryList(QDir::Files | QDir::Hidden), (QStringList{"a-cutout.png", "c-cutout.png"}));
            for (const QString name : {"a", "c"})
                QCOMPARE(identify(out + "/" + name + "-cutout.png", "%w %h %[channels]"),
                         identify(sandbox.filePath("in/" + name + ".png"), "%w %h") + " srgba");
        } else {
            QCOMPARE(QFileInfo::exists(out), fault == "file");
        }
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
        const auto before = snapshot(sandbox.filePath("in"));
        const QString size = identify(sandbox.filePath("in/a.png"), "%w %h");
        const quint32 seed = QRandomGenerator::global()->generate();
        QRandomGenerator random(seed);
        qInfo("random seed %u", seed);

        for (int round = 0; round < 4; ++round) {
            const int signal = round % 2 == 0 ? SIGINT : SIGTERM;
            const int delayMs = static_cast<int>(random.bounded(4000));
            const QString out = sandbox.filePath(QString("out%1").arg(round));
            const QString context =
                QString("round %1, signal %2 after %3 ms (seed %4)").arg(round).arg(signal).arg(delayMs).arg(seed);

            QProcess process;
            process.start(cliPath(), {"--output", out, sandbox.filePath("in")});
            QVERIFY(process.waitForStarted(30000));
            process.waitForFinished(delayMs);
            if (process.state() == QProcess::Running)
                ::kill(static_cast<pid_t>(process.processId()), signal);
            // waitForFinished() is false for a process that has already finished.
            QVERIFY2(process.state() == QProcess::NotRunning || process.waitForFinished(runTimeoutMs),
                     qPrintable(context));
            const QString output = QString::fromUtf8(process.readAllStandardOutput());
            const int files = QDir(out).entryList(QDir::Files | QDir::Hidden).size();
            if (process.exitStatus() == QProcess::CrashExit) {
                QVERIFY2(files == 0 && output.isEmpty(), qPrintable(context));
                continue;
            }
            QVERIFY2(process.exitCode() == 0 || process.exitCode() == 1, qPrintable(context));
            const QList<int> counts = summaryCounts(output);
            QVERIFY2(counts.size() == 5, qPrintable(context + "\n" + output));
            QVERIFY2(counts[0] == 3 && counts[3] == 0 && counts[1] + counts[4] == 3,
                     qPrintable(context + "\n" + output));
            QVERIFY2(files == counts[1] && output.count("] cancelled  ") == counts[4],
                     qPrintable(context + "\n" + output));
            for (const QString& name : QDir(out).entryList(QDir::Files))
                QCOMPARE(identify(out + "/" + name, "%w %h %[channels]"), size + " srgba");
            QVERIFY2(temporaries(sandbox.path()).isEmpty(), qPrintable(context));
        }
        expectUnchanged(before, snapshot(sandbox.filePath("in")));
    }
};

QTEST_GUILESS_MAIN(CliFaultTests)
#include "CliFaultTests.moc"
