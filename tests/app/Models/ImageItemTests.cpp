// Queue rows: what is known when a row is made (size, format from the name), the header size that
// arrives from a worker thread and the status it decides, and change notifications of the three
// observed fields.
#include "app/Models/ImageItem.h"

#include "support/TestSupport.h"

#include <QFileInfo>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <algorithm>
#include <fstream>

using namespace pelorin;
namespace fs = std::filesystem;

namespace {

const QString metadataError = QStringLiteral("Could not read image metadata");

fs::path writeText(const fs::path& file, const std::string& text)
{
    std::ofstream(file, std::ios::binary) << text;
    return file;
}

bool run(const std::string& commandLine)
{
    return test::runCommand(commandLine).exitCode == 0;
}

// Waits for the row's header read to end; false when it never began or never ended.
bool waitForHeader(ImageItem& item)
{
    if (!item.isReadingHeader())
        return false;
    QSignalSpy read(&item, &ImageItem::headerRead);
    return read.wait(10000) && read.count() == 1 && !item.isReadingHeader();
}

} // namespace

class ImageItemTests : public QObject {
    Q_OBJECT

private slots:
    void initTestCase()
    {
        QVERIFY(sandbox_.isValid());
        dir_ = fs::path(sandbox_.path().toStdString());
    }

    // Every input format, converted from one photograph, read against ImageMagick's reading.
    void readsHeaderOfEveryFormat_data()
    {
        QTest::addColumn<QString>("name");
        QTest::newRow("png") << "astronaut.png";
        QTest::newRow("jpeg") << "rocket.jpg";
        QTest::newRow("tiff") << "chelsea.tiff";
        QTest::newRow("webp") << "chelsea.webp";
        QTest::newRow("bmp") << "chelsea.BMP";
        QTest::newRow("heic") << "chelsea.heic";
    }
    void readsHeaderOfEveryFormat()
    {
        QFETCH(QString, name);
        const fs::path chelsea = test::samplePhoto("chelsea.png");
        QVERIFY2(fs::exists(chelsea), "run scripts/fetch-test-images");
        fs::path file = dir_ / name.toStdString();
        if (name.endsWith(".png") || name.endsWith(".jpg"))
            file = test::samplePhoto(name.toStdString());
        else if (name.endsWith(".heic"))
            QVERIFY(run("heif-enc -q 60 -o " + test::shellQuote(file) + " " + test::shellQuote(chelsea)));
        else
            QVERIFY(run("convert " + test::shellQuote(chelsea) + " " + test::shellQuote(file)));

        ImageItem item(file);
        QVERIFY(waitForHeader(item));
        QCOMPARE(item.status(), ProcessingStatus::waiting());
        QCOMPARE(QString::number(item.pixelWidth()), QString::fromStdString(test::identifyFormat(file, "%w")));
        QCOMPARE(QString::number(item.pixelHeight()), QString::fromStdString(test::identifyFormat(file, "%h")));
        QCOMPARE(item.originalSize(), static_cast<qint64>(fs::file_size(file)));
        QCOMPARE(item.inputFormat(), QFileInfo(name).suffix().toLower());
        QVERIFY(!item.errorMessage() && !item.outputURL());
    }

    // Only the header is read: a file cut off inside its pixel data still gives its size.
    void truncatedPixelDataStillGivesDimensions()
    {
        auto bytes = test::readFileBytes(test::samplePhoto("astronaut.png"));
        const std::string idat = "IDAT";
        const auto at = std::search(bytes.begin(), bytes.end(), idat.begin(), idat.end());
        QVERIFY(at != bytes.end() && bytes.end() - at > 200);
        bytes.erase(at + 100, bytes.end());
        const fs::path file = dir_ / "cut.png";
        test::writeFileBytes(file, bytes);
        ImageItem item(file);
        QVERIFY(waitForHeader(item));
        QCOMPARE(item.pixelWidth(), 512);
        QCOMPARE(item.pixelHeight(), 512);
        QCOMPARE(item.status(), ProcessingStatus::waiting());
    }

    void unreadableThingsBecomeErrorRows_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("kind");
        QTest::newRow("text named .png") << "notes.png" << "text";
        QTest::newRow("empty file") << "empty.jpg" << "empty";
        QTest::newRow("zero height in header") << "flat.png" << "zeroHeight";
        QTest::newRow("folder named like an image") << "album.png" << "folder";
    }
    void unreadableThingsBecomeErrorRows()
    {
        QFETCH(QString, name);
        QFETCH(QString, kind);
        const fs::path file = dir_ / name.toStdString();
        if (kind == "text")
            writeText(file, "this is not a picture\n");
        else if (kind == "empty")
            writeText(file, "");
        else if (kind == "folder")
            fs::create_directory(file);
        else {
            auto bytes = test::readFileBytes(test::samplePhoto("astronaut.png"));
            std::fill(bytes.begin() + 20, bytes.begin() + 24, 0); // IHDR height
            test::writeFileBytes(file, bytes);
        }

        ImageItem item(file);
        QSignalSpy status(&item, &ImageItem::statusChanged);
        QVERIFY(waitForHeader(item));
        QCOMPARE(status.count(), 1);
        QCOMPARE(item.status(), ProcessingStatus::error(metadataError));
        QVERIFY2(!item.errorMessage(), "the initial error lives in the status only");
        QCOMPARE(item.pixelHeight(), 0);
        QCOMPARE(item.inputFormat(), QFileInfo(name).suffix());
        if (kind == "text")
            QCOMPARE(item.originalSize(), 22);
        if (kind == "folder")
            QVERIFY(item.originalSize() > 0);
    }

    void missingFileWaitsWithZeroSizes()
    {
        ImageItem item(dir_ / "gone" / "Photo.JPG");
        QVERIFY(!item.isReadingHeader());
        QCOMPARE(item.status(), ProcessingStatus::waiting());
        QCOMPARE(item.originalSize(), 0);
        QCOMPARE(item.pixelWidth(), 0);
        QCOMPARE(item.pixelHeight(), 0);
        QCOMPARE(item.inputFormat(), QStringLiteral("jpg"));
    }

    // The row keeps the path as given and takes the format from the name only.
    void identityAndName()
    {
        const fs::path photo = test::samplePhoto("rocket.jpg");
        const fs::path roundabout = photo.parent_path() / "." / photo.filename();
        ImageItem first(roundabout), second(roundabout);
        QCOMPARE(first.url().native(), roundabout.native());
        QVERIFY(first.id() != second.id());
        QVERIFY(first.id() != Uuid());

        QCOMPARE(ImageItem(dir_ / "noextension").inputFormat(), QString());
        QCOMPARE(ImageItem(dir_ / "archive.tar.GZ").inputFormat(), QStringLiteral("gz"));
        QCOMPARE(ImageItem(dir_ / "trailing.").inputFormat(), QString());

        // A JPEG named .png is read by content; its format is still the name's.
        const fs::path misnamed = dir_ / "really-a-jpeg.png";
        fs::copy_file(photo, misnamed, fs::copy_options::overwrite_existing);
        ImageItem item(misnamed);
        QVERIFY(waitForHeader(item));
        QCOMPARE(item.inputFormat(), QStringLiteral("png"));
        QCOMPARE(item.status(), ProcessingStatus::waiting());
        QVERIFY(item.pixelWidth() > 0);
    }

    // Making a row never waits on the file's content: the size arrives through the event loop.
    void headerArrivesAfterTheRowIsMade()
    {
        ImageItem item(test::samplePhoto("rocket.jpg"));
        QVERIFY(item.isReadingHeader());
        QCOMPARE(item.pixelWidth(), 0);
        QCOMPARE(item.status(), ProcessingStatus::waiting());
        QVERIFY(waitForHeader(item));
        QCOMPARE(QString::number(item.pixelWidth()),
                 QString::fromStdString(test::identifyFormat(test::samplePhoto("rocket.jpg"), "%w")));
    }

    // Once Start has taken a row, its job reports an unreadable file; a late header read must
    // not show a second, different failure first. Rows deleted mid-read are simply dropped.
    void lateHeaderLeavesAQueuedRowToItsRun()
    {
        const fs::path notes = writeText(dir_ / "queued-notes.png", "this is not a picture either\n");
        ImageItem item(notes);
        item.markQueued();
        QSignalSpy status(&item, &ImageItem::statusChanged);
        QVERIFY(waitForHeader(item));
        QCOMPARE(status.count(), 0);
        QCOMPARE(item.status(), ProcessingStatus::waiting());

        for (int i = 0; i < 50; ++i)
            delete new ImageItem(test::samplePhoto("astronaut.png"));
        ImageItem last(notes);
        QVERIFY(waitForHeader(last));
        QCOMPARE(last.status(), ProcessingStatus::error(metadataError));
    }

    // Equal assignments are stored silently; only a different value notifies, once.
    void notifiesOnlyOnChange()
    {
        ImageItem item(dir_ / "missing.png");
        QSignalSpy status(&item, &ImageItem::statusChanged);
        QSignalSpy output(&item, &ImageItem::outputURLChanged);
        QSignalSpy message(&item, &ImageItem::errorMessageChanged);

        item.setStatus(ProcessingStatus::waiting());
        item.setOutputURL(std::nullopt);
        item.setErrorMessage(std::nullopt);
        QCOMPARE(status.count() + output.count() + message.count(), 0);

        item.setStatus(ProcessingStatus::processing());
        item.setStatus(ProcessingStatus::processing());
        QCOMPARE(status.count(), 1);
        item.setStatus(ProcessingStatus::error("disk full"));
        item.setStatus(ProcessingStatus::error("disk full"));
        item.setStatus(ProcessingStatus::error("no space"));
        QCOMPARE(status.count(), 3);
        QCOMPARE(item.status().message(), QStringLiteral("no space"));

        item.setOutputURL(fs::path("/out/a-cutout.png"));
        item.setOutputURL(fs::path("/out/a-cutout.png"));
        item.setOutputURL(fs::path("/out/a-cutout-1.png"));
        QCOMPARE(output.count(), 2);
        QCOMPARE(item.outputURL()->native(), std::string("/out/a-cutout-1.png"));

        item.setErrorMessage(QString());
        item.setErrorMessage(QString());
        QCOMPARE(message.count(), 1); // absent → present-but-empty is a change
        item.setErrorMessage(QStringLiteral("warning"));
        item.setErrorMessage(std::nullopt);
        QCOMPARE(message.count(), 3);
        QCOMPARE(status.count(), 3);
        QCOMPARE(output.count(), 2);
    }

private:
    QTemporaryDir sandbox_;
    fs::path dir_;
};

QTEST_GUILESS_MAIN(ImageItemTests)
#include "ImageItemTests.moc"
