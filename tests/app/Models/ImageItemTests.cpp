// Queue rows: what is known when a row is made (size, format from the name), the header size that
// arrives from a worker thread and the status it decides.
#include "app/Models/ImageItem.h"

#include "support/TestSupport.h"

#include <QFileInfo>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

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
    void initTestCase() { dir_ = fs::path(sandbox_.path().toStdString()); }

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
        fs::path file = dir_ / name.toStdString();
        if (name.endsWith(".png") || name.endsWith(".jpg"))
            file = test::samplePhoto(name.toStdString());
        else
            QCOMPARE(
                test::runCommand(name.endsWith(".heic")
                                     ? "heif-enc -q 60 -o " + test::shellQuote(file) + " " + test::shellQuote(chelsea)
                                     : "convert " + test::shellQuote(chelsea) + " " + test::shellQuote(file))
                    .exitCode,
                0);

        ImageItem item(file);
        QVERIFY(waitForHeader(item));
        QCOMPARE(item.status(), ProcessingStatus::waiting());
        QCOMPARE(QStringLiteral("%1 %2").arg(item.pixelWidth()).arg(item.pixelHeight()),
                 QString::fromStdString(test::identifyFormat(file, "%w %h")));
        QCOMPARE(item.originalSize(), static_cast<qint64>(fs::file_size(file)));
        QCOMPARE(item.inputFormat(), QFileInfo(name).suffix().toLower());
    }

    void unreadableThingsBecomeErrorRows_data()
    {
        QTest::addColumn<QString>("name");
        QTest::newRow("text named .png") << "notes.png";
        QTest::newRow("zero height in header") << "flat.png";
    }
    void unreadableThingsBecomeErrorRows()
    {
        QFETCH(QString, name);
        const fs::path file = dir_ / name.toStdString();
        if (name == "notes.png") {
            writeText(file, "this is not a picture\n");
        } else {
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
        QVERIFY(item.originalSize() > 0);
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

private:
    QTemporaryDir sandbox_;
    fs::path dir_;
};

QTEST_GUILESS_MAIN(ImageItemTests)
#include "ImageItemTests.moc"
