// pelorin-cli end to end, as a user runs it: the real binary on real photographs of every input
// format, with the real model. Checks what lands on disk (cutouts and masks where they belong,
// sources byte-identical, no temporary file), what is printed, the exit statuses, and a second Ctrl-C.
#include "CliTestSupport.h"

#include <QTemporaryDir>

#include <csignal>

using namespace pelorin::clitest;

class CliTests : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() { checkPrerequisites(); }

    // Bad command lines exit 2 with a message and touch nothing; nothing usable exits 1.
    void refusesBadCommandLines_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<int>("status");
        QTest::addColumn<QString>("message");
        QTest::newRow("no PATH") << QStringList{"--mask"} << 2 << "no PATH";
        QTest::newRow("unknown flag") << QStringList{"--colour", "x.png"} << 2 << "Unknown option";
        QTest::newRow("bad format") << QStringList{"--format", "gif", "x.png"} << 2 << "--format 'gif'";
        QTest::newRow("zero jobs, short flag") << QStringList{"-j", "0", "x.png"} << 2 << "--jobs '0'";
        QTest::newRow("refine both ways")
            << QStringList{"--refine-edges", "--no-refine-edges", "x.png"} << 2 << "contradict";
        QTest::newRow("output without folder") << QStringList{"x.png", "--output"} << 2 << "Missing value";
        QTest::newRow("nothing supported")
            << QStringList{"{dir}/missing.png", "{dir}/notes.gif"} << 1 << "no supported images found";
    }
    void refusesBadCommandLines()
    {
        QFETCH(QStringList, arguments);
        QFETCH(int, status);
        QFETCH(QString, message);
        QTemporaryDir sandbox;
        writeText(sandbox.filePath("notes.gif"), "GIF89a");
        for (QString& argument : arguments)
            argument.replace("{dir}", sandbox.path());
        const Run run = runCli(arguments);
        QCOMPARE(run.exitCode, status);
        QVERIFY2(run.err.contains(message), qPrintable(run.err));
        QVERIFY(run.out.isEmpty());
        QCOMPARE(snapshot(sandbox.path()).size(), size_t(1));
    }

    // One run over a folder tree holding every input format, hidden entries, a file that is not an
    // image and a path named twice: visible images get a cutout and a mask beside them, the bad
    // file fails without stopping the others, nothing else on disk changes.
    void processesEveryFormatBesideSources()
    {
        QTemporaryDir sandbox;
        const QString root = sandbox.filePath("photos");
        const QList<QPair<QString, QString>> images = {
            {"chelsea.png", "a.png"},       {"rocket.jpg", "b.jpg"},
            {"coffee.png", "sub/c.tiff"},   {"astronaut.png", "sub/deeper/d.webp"},
            {"grace_hopper.jpg", "e.heic"}, {"motorcycle_left.png", "sub/f.bmp"},
        };
        for (const auto& [photo, name] : images)
            QVERIFY2(makeImage(photo, root + "/" + name), qPrintable(name));
        QVERIFY(makeImage("chelsea.png", root + "/.hidden.png"));
        QVERIFY(makeImage("chelsea.png", root + "/.cache/g.png"));
        writeText(root + "/sub/broken.jpg", "this is not a JPEG\n");
        writeText(root + "/readme.txt", "notes\n");
        const auto before = snapshot(root);

        // The user's preferences must not be read or written: point the store somewhere watched.
        auto environment = QProcessEnvironment::systemEnvironment();
        environment.insert("XDG_CONFIG_HOME", sandbox.filePath("config"));
        const Run run = runCli({"--mask", root, root + "/b.jpg"}, environment);
        QCOMPARE(run.exitCode, 1);
        QCOMPARE(summaryCounts(run.out), (QList<int>{7, 6, 0, 1, 0}));
        QCOMPARE(run.out.count(QRegularExpression(R"(^\[\d/7\] completed  )", QRegularExpression::MultilineOption)), 6);
        QVERIFY2(run.out.contains(QRegularExpression(R"(\] failed     .*broken\.jpg: .*broken\.jpg)")),
                 qPrintable(run.out));

        for (const auto& [photo, name] : images) {
            const QString stem = name.left(name.lastIndexOf('.'));
            const QString size = identify(root + "/" + name, "%w %h");
            QCOMPARE(identify(root + "/" + stem + "-cutout.png", "%w %h %[channels]"), size + " srgba");
            QCOMPARE(identify(root + "/" + stem + "-cutout-mask.png", "%w %h %[channels]"), size + " lineargray");
        }
        // Nothing else was written: the twelve outputs checked above are all that is new.
        const auto after = snapshot(root);
        expectUnchanged(before, after);
        QCOMPARE(after.size(), before.size() + 2 * images.size());
        QVERIFY(QDir(sandbox.filePath("config")).isEmpty());
    }

    // --json into one output folder: every line is an object, the summary comes last, and two
    // sources with the same name get distinct TIFF cutouts there.
    void jsonIntoOutputFolder()
    {
        QTemporaryDir sandbox;
        QVERIFY(makeImage("rocket.jpg", sandbox.filePath("x/photo.jpg")));
        QVERIFY(makeImage("coffee.png", sandbox.filePath("y/photo.png")));
        const auto before = snapshot(sandbox.path());
        const QString out = sandbox.filePath("out/new");
        const Run run = runCli({"--json", "--format", "tiff", "--jobs", "1", "--output", out, sandbox.filePath("x"),
                                sandbox.filePath("y/photo.png")});
        QCOMPARE(run.exitCode, 0);

        const auto events = jsonEvents(run.out);
        QVERIFY(events.size() >= 2);
        QStringList outputs;
        for (const auto& event : events) {
            QVERIFY2(!event.isEmpty(), qPrintable(run.out));
            if (event.value("event").toString() == "completed")
                outputs << QFileInfo(event.value("output").toString()).absoluteFilePath();
        }
        QCOMPARE(events.first().value("event").toString(), "queued");
        QCOMPARE(events.first().value("total").toInt(), 2);
        const QJsonObject summary = events.last();
        QCOMPARE(summary.value("event").toString(), "summary");
        QCOMPARE(summary.value("completed").toInt(), 2);
        QCOMPARE(summary.value("exitStatus").toInt(), 0);
        outputs.sort();
        QCOMPARE(outputs, (QStringList{out + "/photo-cutout-1.tiff", out + "/photo-cutout.tiff"}));
        for (const QString& output : outputs)
            QCOMPARE(identify(output, "%m %[channels]"), QString("TIFF srgba"));
        const auto after = snapshot(sandbox.path());
        expectUnchanged(before, after);
        QCOMPARE(after.size(), before.size() + 4); // out/, out/new/ and the two cutouts
    }

    // A second interrupt does not wait for the run to wind down.
    void secondInterruptQuitsAtOnce()
    {
        QTemporaryDir sandbox;
        QVERIFY(makeImage("chelsea.png", sandbox.filePath("cat.png")));
        QProcess process;
        process.start(cliPath(), {"--json", sandbox.filePath("cat.png")});
        QStringList lines;
        QVERIFY(waitForLine(process, "\"queued\"", lines));
        ::kill(static_cast<pid_t>(process.processId()), SIGINT);
        ::kill(static_cast<pid_t>(process.processId()), SIGTERM);
        QVERIFY(process.waitForFinished(10000));
        QCOMPARE(process.exitStatus(), QProcess::NormalExit);
        QCOMPARE(process.exitCode(), 130);
    }
};

QTEST_GUILESS_MAIN(CliTests)
#include "CliTests.moc"
