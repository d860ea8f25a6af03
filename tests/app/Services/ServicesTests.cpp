// The Qt layer's services against real files: intake's folder walk and output naming (hidden
// entries, link loops, names taken on disk or reserved in the run), drop payloads, the preference
// store, the update check on file:// feeds, and the process-wide localizer.
#include "app/Services/DropPayloadParser.h"
#include "app/Services/FileService.h"
#include "app/Services/QtLocalizer.h"
#include "app/Services/SettingsPersistence.h"
#include "app/Services/UpdaterFeed.h"
#include "app/ViewModels/UpdaterViewModel.h"
#include "engine/Common/Localization.h"

#include <QMimeData>
#include <QSettings>
#include <QSysInfo>
#include <QTemporaryDir>
#include <QtTest>

#include <atomic>
#include <fstream>
#include <thread>

using namespace pelorin;
namespace fs = std::filesystem;
using Kind = UpdateCheckResult::Kind;

namespace {

void touch(const fs::path& file, const std::string& text = "x")
{
    fs::create_directories(file.parent_path());
    std::ofstream(file, std::ios::binary) << text;
}

// Relative to `base`, in the order given or sorted.
QStringList names(const std::vector<fs::path>& paths, const fs::path& base, bool sort = false)
{
    QStringList list;
    for (const auto& path : paths)
        list << QString::fromStdString(path.lexically_relative(base).string());
    if (sort)
        list.sort();
    return list;
}

// Runs one check to its end and returns its single result.
UpdateCheckResult check(Updater& updater)
{
    QSignalSpy finished(&updater, &Updater::checkFinished);
    updater.checkForUpdates();
    if (!finished.wait(10000) || finished.size() != 1)
        qFatal("the check did not finish exactly once");
    return finished.at(0).at(0).value<UpdateCheckResult>();
}

const QString currentVersion = QStringLiteral("1.4.2");

} // namespace

class ServicesTests : public QObject {
    Q_OBJECT

    std::unique_ptr<QTemporaryDir> sandbox_;
    fs::path dir_;

    QUrl writeFeed(const QByteArray& content)
    {
        touch(dir_ / "feed.json", content.toStdString());
        return QUrl::fromLocalFile(QString::fromStdString((dir_ / "feed.json").string()));
    }
    std::shared_ptr<QSettings> openStore() const
    {
        return std::make_shared<QSettings>(QString::fromStdString((dir_ / "settings.ini").string()),
                                           QSettings::IniFormat);
    }

private slots:
    void initTestCase() { QVERIFY(loadTranslations(*QCoreApplication::instance())); }
    void init()
    {
        sandbox_ = std::make_unique<QTemporaryDir>();
        dir_ = fs::path(sandbox_->path().toStdString());
    }
    void cleanup() { setLocalizer({}); }

    // Inputs keep their order; direct files are filtered by name only; missing paths vanish;
    // duplicates stay (intake de-duplicates); a hidden file named directly is taken.
    void directInputs()
    {
        for (const char* name : {"one.png", ".hidden.jpg", "clip.gif", "folder.png/z.bmp"})
            touch(dir_ / name);
        const auto found =
            FileService().collectImageFiles({dir_ / "one.png", dir_ / "missing.png", dir_ / "clip.gif",
                                             dir_ / ".hidden.jpg", dir_ / "folder.png", dir_ / "one.png"});
        QCOMPARE(names(found, dir_), QStringList({"one.png", ".hidden.jpg", "folder.png/z.bmp", "one.png"}));
    }

    // Visible images at any depth; hidden files and everything below hidden folders left out;
    // names decide, so a folder named like an image is collected and still walked. Links to
    // folders are followed, but a folder is entered once: a loop ends and a folder reachable
    // twice is not walked twice. Each path keeps the folder as it was given.
    void walkKeepsVisibleImagesOnce()
    {
        const fs::path root = dir_ / "root";
        for (const char* name :
             {"a.png", "B.JPG", "notes.txt", "anim.gif", ".secret.png", ".cache/thumb.png", ".cache/deeper/x.jpg",
              "sub/c.webp", "sub/deep/d.heic", "album.png/inside.tif", "noext"})
            touch(root / name);
        fs::create_directory_symlink("..", root / "sub" / "up");           // loop to the root
        fs::create_directory_symlink(root / "sub", root / "sub" / "self"); // loop to itself
        touch(dir_ / "elsewhere" / "e.jpg");
        fs::create_directory_symlink(dir_ / "elsewhere", root / "linked");
        fs::create_symlink(dir_ / "nowhere.png", root / "dangling.png"); // taken by its name
        QCOMPARE(names(FileService().collectImageFiles({root}), root, true),
                 QStringList({"B.JPG", "a.png", "album.png", "album.png/inside.tif", "dangling.png", "linked/e.jpg",
                              "sub/c.webp", "sub/deep/d.heic"}));
        // A link given directly is walked like the folder it names.
        QCOMPARE(names(FileService().collectImageFiles({root / "linked"}), root), QStringList({"linked/e.jpg"}));
    }

    void uniqueOutputURL()
    {
        FileService service;
        const auto name = [&](const std::unordered_set<std::string>& avoiding) {
            return QString::fromStdString(service.uniqueOutputURL(dir_, "photo-cutout", "png", avoiding).filename());
        };
        QCOMPARE(name({}), QStringLiteral("photo-cutout.png"));
        touch(dir_ / "photo-cutout.png");
        touch(dir_ / "photo-cutout-1.png");
        QCOMPARE(name({}), QStringLiteral("photo-cutout-2.png"));
        // Reserved by this run, given in standardised form.
        QCOMPARE(name({standardizedPath(dir_ / "photo-cutout-2.png")}), QStringLiteral("photo-cutout-3.png"));
        // A dangling link is an entry: never replaced.
        fs::create_symlink(dir_ / "nowhere", dir_ / "photo-cutout-2.png");
        QCOMPARE(name({}), QStringLiteral("photo-cutout-3.png"));
        // A spelling of the folder with "." still meets the reservation.
        const auto viaDot = service.uniqueOutputURL(dir_ / ".", "a", "tiff", {standardizedPath(dir_ / "a.tiff")});
        QCOMPARE(viaDot, dir_ / "." / "a-1.tiff");
    }

    // What file managers actually put on the wire: CRLF lines, comments, percent escapes, hosts.
    void dropPayloads()
    {
        const auto parsed = [](const QMimeData& payload) {
            QStringList list;
            for (const auto& path : DropPayloadParser::fileURLs(payload))
                list << QString::fromStdString(path.string());
            return list;
        };
        QMimeData payload;
        payload.setData(QStringLiteral("text/uri-list"),
                        "# dragged from a file manager\r\n"
                        "file:///home/u/a%20b.png\r\n"
                        "file://localhost/home/u/c.jpg\r\n"
                        "file://"
                            + QSysInfo::machineHostName().toUtf8()
                            + "/home/u/d.tif\r\n"
                              "file://fileserver/share/e.png\r\n"
                              "mailto:someone@example.org\r\n"
                              "file:\r\n");
        QCOMPARE(parsed(payload), QStringList({"/home/u/a b.png", "/home/u/c.jpg", "/home/u/d.tif"}));
    }

    // Saved through one store object and read through a fresh one on the same file, as after a
    // restart; the output folder is not among what comes back. Values written by hand are read
    // strictly, and one bad value does not spoil the other.
    void settingsSurviveRestartWithoutTheFolder()
    {
        for (bool refine : {true, false}) {
            SettingsPersistence(openStore()).save({OutputFormat::tiff, "/tmp/elsewhere", true, refine});
            QCOMPARE(SettingsPersistence(openStore()).load(),
                     (ProcessingSettings{OutputFormat::tiff, std::nullopt, true, refine}));
        }
        QCOMPARE(openStore()->allKeys(),
                 QStringList({SettingsPersistence::exportMaskSeparatelyKey, SettingsPersistence::outputFormatKey,
                              SettingsPersistence::refineEdgesKey}));

        touch(dir_ / "settings.ini",
              "[General]\norg.pelorin.Pelorin.outputFormat=TIFF\norg.pelorin.Pelorin.exportMaskSeparately=YES\n");
        QCOMPARE(SettingsPersistence(openStore()).load(), (ProcessingSettings{OutputFormat::png, std::nullopt, true}));
        touch(dir_ / "settings.ini",
              "[General]\norg.pelorin.Pelorin.outputFormat=tiff\norg.pelorin.Pelorin.exportMaskSeparately=maybe\n");
        QCOMPARE(SettingsPersistence(openStore()).load(),
                 (ProcessingSettings{OutputFormat::tiff, std::nullopt, false}));
    }

    void feedVersionDecidesTheResult_data()
    {
        QTest::addColumn<QString>("feedVersion");
        QTest::addColumn<Kind>("kind");
        QTest::newRow("newer by number, not by text") << "1.10.0" << Kind::updateAvailable;
        QTest::newRow("same, shorter") << "1.4.2.0" << Kind::upToDate;
        QTest::newRow("older") << "1.3.9" << Kind::upToDate;
    }
    void feedVersionDecidesTheResult()
    {
        QFETCH(QString, feedVersion);
        QFETCH(Kind, kind);
        UpdaterFeed updater(
            writeFeed("{\"version\": \"" + feedVersion.toUtf8() + "\", \"url\": \"https://pelorin.org/download\"}"),
            currentVersion);
        const UpdateCheckResult result = check(updater);
        QCOMPARE(result.kind, kind);
        QCOMPARE(result.latestVersion, feedVersion);
        QCOMPARE(result.downloadURL.isEmpty(), kind == Kind::upToDate);
        if (kind == Kind::upToDate) // names the version running, not the feed's
            QCOMPARE(UpdaterViewModel::resultMessage(result), QStringLiteral("Pelorin 1.4.2 is up to date."));
    }

    void brokenFeedsAreReportedAsInvalid_data()
    {
        QTest::addColumn<QByteArray>("feed");
        QTest::newRow("not JSON") << QByteArray("<html>502 Bad Gateway</html>");
        QTest::newRow("no version") << QByteArray("{\"url\": \"https://pelorin.org\"}");
        QTest::newRow("version with words")
            << QByteArray("{\"version\": \"2.0-beta\", \"url\": \"https://pelorin.org\"}");
        QTest::newRow("version beyond int")
            << QByteArray("{\"version\": \"99999999999\", \"url\": \"https://pelorin.org\"}");
        QTest::newRow("script url") << QByteArray("{\"version\": \"1.5.0\", \"url\": \"javascript:alert(1)\"}");
        QTest::newRow("too large") << QByteArray(
                                          "{\"version\": \"1.5.0\", \"url\": \"https://pelorin.org\", \"pad\": \"")
                + QByteArray(UpdaterFeed::maximumFeedSize, 'x') + QByteArray("\"}");
    }
    void brokenFeedsAreReportedAsInvalid()
    {
        QFETCH(QByteArray, feed);
        UpdaterFeed updater(writeFeed(feed), currentVersion);
        const UpdateCheckResult result = check(updater);
        QCOMPARE(result.kind, Kind::invalidFeed);
        QVERIFY(result.downloadURL.isEmpty());
        QVERIFY(updater.canCheckForUpdates());
    }

    void missingFeedIsReportedWithTheReason()
    {
        UpdaterFeed updater(QUrl::fromLocalFile(sandbox_->filePath(QStringLiteral("absent.json"))), currentVersion);
        const UpdateCheckResult result = check(updater);
        QCOMPARE(result.kind, Kind::unreachable);
        QVERIFY2(result.networkError.contains(QStringLiteral("absent.json")), qPrintable(result.networkError));
        const QString message = UpdaterViewModel::resultMessage(result);
        QVERIFY2(message.startsWith(QStringLiteral("Could not check for updates: "))
                     && message.contains(result.networkError),
                 qPrintable(message));
    }

    // Texts are formed on worker threads while the application may swap the localizer; a
    // throwing catalogue falls back to English rather than losing the message.
    void localizerSwappedDuringUse()
    {
        std::atomic<bool> wrong = false;
        std::vector<std::thread> threads;
        for (int t = 0; t < 4; ++t)
            threads.emplace_back([&] {
                for (int i = 0; i < 2000; ++i) {
                    const auto text = localized("k", "v %1", {"x"});
                    if (text != "v x" && text != "V x")
                        wrong = true;
                }
            });
        for (int i = 0; i < 500; ++i)
            setLocalizer(i % 2 ? Localizer{} : Localizer([](auto, auto, const auto& a) { return "V " + a.at(0); }));
        for (auto& thread : threads)
            thread.join();
        QVERIFY(!wrong);

        setLocalizer([](std::string_view, std::string_view, const std::vector<std::string>& a) -> std::string {
            return a.at(5);
        });
        QCOMPARE(localized("k", "Hello %1", {"you"}), std::string("Hello you"));
    }
};

QTEST_GUILESS_MAIN(ServicesTests)
#include "ServicesTests.moc"
