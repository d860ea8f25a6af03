// Intake's folder walk and output naming against a real sandbox: hidden entries, link loops,
// folders named like images, names already taken on disk or reserved in the run.
#include "app/Services/FileService.h"

#include <QTemporaryDir>
#include <QTest>

#include <algorithm>
#include <fstream>

using namespace pelorin;
namespace fs = std::filesystem;

namespace {

void touch(const fs::path& file)
{
    fs::create_directories(file.parent_path());
    std::ofstream(file) << "x";
}

QStringList names(const std::vector<fs::path>& paths, const fs::path& base)
{
    QStringList list;
    for (const auto& path : paths)
        list << QString::fromStdString(path.lexically_relative(base).string());
    return list;
}

QStringList sorted(QStringList list)
{
    list.sort();
    return list;
}

} // namespace

class FileServiceTests : public QObject {
    Q_OBJECT

private slots:
    void init()
    {
        sandbox_ = std::make_unique<QTemporaryDir>();
        QVERIFY(sandbox_->isValid());
        dir_ = fs::path(sandbox_->path().toStdString());
    }

    // Visible images at any depth; hidden files and everything below hidden folders left out;
    // names decide, so a folder named like an image is collected and still walked.
    void walkKeepsVisibleImagesOnly()
    {
        const fs::path drop = dir_ / "drop";
        touch(drop / "a.png");
        touch(drop / "B.JPG");
        touch(drop / "notes.txt");
        touch(drop / "anim.gif");
        touch(drop / ".secret.png");
        touch(drop / ".cache" / "thumb.png");
        touch(drop / ".cache" / "deeper" / "x.jpg");
        touch(drop / "sub" / "c.webp");
        touch(drop / "sub" / "deep" / "d.heic");
        touch(drop / "album.png" / "inside.tif");
        touch(drop / "noext");

        const auto found = FileService().collectImageFiles({drop});
        QCOMPARE(sorted(names(found, drop)),
                 QStringList({"B.JPG", "a.png", "album.png", "album.png/inside.tif", "sub/c.webp",
                              "sub/deep/d.heic"}));
        // Each path keeps the folder as it was given.
        QVERIFY(std::all_of(found.begin(), found.end(), [&](const fs::path& p) {
            return p.native().starts_with(drop.native() + "/");
        }));
    }

    // Inputs keep their order; direct files are filtered by name only; missing paths vanish;
    // duplicates stay (intake de-duplicates); a hidden file named directly is taken.
    void directInputs()
    {
        touch(dir_ / "one.png");
        touch(dir_ / ".hidden.jpg");
        touch(dir_ / "clip.gif");
        touch(dir_ / "folder.png" / "z.bmp");
        const auto found = FileService().collectImageFiles(
            {dir_ / "one.png", dir_ / "missing.png", dir_ / "clip.gif", dir_ / ".hidden.jpg",
             dir_ / "folder.png", dir_ / "one.png"});
        QCOMPARE(names(found, dir_), QStringList({"one.png", ".hidden.jpg", "folder.png/z.bmp", "one.png"}));
        QVERIFY(FileService().collectImageFiles({}).empty());
    }

    // Links to folders are followed, but a folder is entered once: a loop ends and a folder
    // reachable twice is not walked twice.
    void linkLoopsEnd()
    {
        const fs::path root = dir_ / "root";
        touch(root / "a.png");
        touch(root / "sub" / "b.png");
        fs::create_directory_symlink("..", root / "sub" / "up");        // loop to the root
        fs::create_directory_symlink(root / "sub", root / "sub" / "self"); // loop to itself
        touch(dir_ / "elsewhere" / "e.jpg");
        fs::create_directory_symlink(dir_ / "elsewhere", root / "linked");
        fs::create_symlink(dir_ / "nowhere.png", root / "dangling.png");

        const auto found = FileService().collectImageFiles({root});
        const QStringList got = sorted(names(found, root));
        QCOMPARE(got.count("a.png"), 1);
        QCOMPARE(got.count("sub/b.png"), 1);
        QVERIFY2(got.contains("linked/e.jpg"), qPrintable(got.join(", ")));
        QCOMPARE(got.size(), 4); // the three above and the dangling link, taken by its name
        QVERIFY(got.contains("dangling.png"));

        // A link given directly is walked like the folder it names.
        QCOMPARE(names(FileService().collectImageFiles({root / "linked"}), root), QStringList({"linked/e.jpg"}));
    }

    void ensureDirectory()
    {
        FileService service;
        const fs::path nested = dir_ / "x" / "y" / "z";
        QVERIFY(!service.ensureDirectory(nested));
        QVERIFY(fs::is_directory(nested));
        QVERIFY(!service.ensureDirectory(nested)); // already there

        touch(dir_ / "file");
        QVERIFY(!service.ensureDirectory(dir_ / "file")); // something exists: left alone
        QVERIFY(fs::is_regular_file(dir_ / "file"));
        QVERIFY(service.ensureDirectory(dir_ / "file" / "below")); // cannot create under a file
    }

    void uniqueOutputURL()
    {
        FileService service;
        const auto name = [&](const std::unordered_set<std::string>& avoiding) {
            return QString::fromStdString(service.uniqueOutputURL(dir_, "photo-cutout", "png", avoiding).filename());
        };
        QCOMPARE(name({}), QStringLiteral("photo-cutout.png"));
        touch(dir_ / "photo-cutout.png");
        QCOMPARE(name({}), QStringLiteral("photo-cutout-1.png"));
        touch(dir_ / "photo-cutout-1.png");
        QCOMPARE(name({}), QStringLiteral("photo-cutout-2.png"));
        // Reserved by this run, given in standardised form.
        QCOMPARE(name({standardizedPath(dir_ / "photo-cutout-2.png")}), QStringLiteral("photo-cutout-3.png"));
        // A dangling link is an entry: never replaced.
        fs::create_symlink(dir_ / "nowhere", dir_ / "photo-cutout-2.png");
        QCOMPARE(name({}), QStringLiteral("photo-cutout-3.png"));
        // A spelling of the folder with "." still meets the reservation.
        const auto viaDot = service.uniqueOutputURL(dir_ / ".", "a", "tiff", {standardizedPath(dir_ / "a.tiff")});
        QCOMPARE(QString::fromStdString(viaDot.filename()), QStringLiteral("a-1.tiff"));
        QCOMPARE(viaDot.parent_path(), dir_ / ".");
    }

    void standardizedPathResolvesDotsNotLinks()
    {
        QCOMPARE(standardizedPath("/a/./b/../c.png"), std::string("/a/c.png"));
        QCOMPARE(standardizedPath("/a/b/"), std::string("/a/b"));
        QCOMPARE(standardizedPath("/.."), std::string("/"));
        QCOMPARE(standardizedPath("rel/x.png"), (fs::current_path() / "rel/x.png").string());
        fs::create_directory_symlink(dir_, dir_ / "link");
        QCOMPARE(standardizedPath(dir_ / "link" / "f.png"), (dir_ / "link" / "f.png").string());
    }

private:
    std::unique_ptr<QTemporaryDir> sandbox_;
    fs::path dir_;
};

QTEST_GUILESS_MAIN(FileServiceTests)
#include "FileServiceTests.moc"
