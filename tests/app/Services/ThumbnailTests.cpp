// Pictures for the screen, checked against ImageMagick and exiftool: a camera's EXIF preview is
// used instead of a decode, upright and without its letterbox bars; a 16-bit Adobe RGB TIFF with an
// orientation comes out upright in sRGB as ImageMagick converts it; the thumbnail cache keeps to
// its byte limit when a thousand files are asked for at once, and serves the newest request first.
#include "app/Services/DisplayImage.h"
#include "app/Services/ThumbnailCache.h"
#include "app/Services/ThumbnailRenderer.h"
#include "support/TestSupport.h"

#include <QSignalSpy>
#include <QtTest>

using namespace pelorin;
using test::runCommand;
using test::shellQuote;

class ThumbnailTests : public QObject {
    Q_OBJECT

    test::TemporaryDirectory dir;

    std::string at(const std::string& name) const { return shellQuote((dir / name).string()); }
    static void run(const std::string& command) { QCOMPARE(runCommand(command + " >/dev/null").exitCode, 0); }

private slots:
    void embeddedPreviewIsShownUprightWithoutBars()
    {
        // A grey landscape photo whose preview is red, letterboxed into 4:3 as cameras do; turned 90°.
        run("convert -size 600x400 xc:gray50 " + at("photo.jpg"));
        run("convert -size 160x106 xc:red -background black -gravity center -extent 160x120 " + at("preview.jpg"));
        run("exiftool -overwrite_original -Orientation#=6 '-ThumbnailImage<=" + (dir / "preview.jpg").string() + "' "
            + at("photo.jpg"));

        const auto thumbnail = ThumbnailRenderer::render(dir / "photo.jpg", 80);
        QVERIFY(thumbnail);
        QCOMPARE(thumbnail->height(), 80);
        QVERIFY2(qAbs(thumbnail->width() - 53) <= 1, "upright and in the photo's aspect");
        int dark = 0;
        for (int y = 0; y < thumbnail->height(); ++y)
            for (int x = 0; x < thumbnail->width(); ++x)
                dark += qGray(thumbnail->pixel(x, y)) < 40;
        // Uncropped bars would darken a tenth of it.
        QVERIFY2(dark < thumbnail->width() * thumbnail->height() / 40, qPrintable(QString::number(dark)));
        QVERIFY(qRed(thumbnail->pixel(26, 40)) > 200 && qGreen(thumbnail->pixel(26, 40)) < 60);

        // Without a preview the photo itself is decoded (at a reduced scale).
        run("exiftool -overwrite_original -ThumbnailImage= " + at("photo.jpg"));
        const auto decoded = ThumbnailRenderer::render(dir / "photo.jpg", 80);
        QVERIFY(decoded);
        QCOMPARE(decoded->size(), QSize(53, 80));
        QVERIFY(qAbs(qRed(decoded->pixel(26, 40)) - 128) < 8);
    }

    void wideGamutSixteenBitTiffIsShownAsImageMagickConvertsIt()
    {
        // Stored: an Adobe RGB 16-bit picture, left half green-ish, right half purple-ish, turned by
        // orientation 6. ImageMagick (lcms) turns it upright and into sRGB as the oracle.
        const std::string profiles = "/usr/share/color/icc/ghostscript/";
        run("convert -size 30x40 'xc:rgb(20%,60%,25%)' -size 30x40 'xc:rgb(60%,25%,50%)' +append -depth 16 -profile "
            + profiles + "a98.icc -orient RightTop -compress none " + at("wide.tif"));
        run("convert " + at("wide.tif") + " -auto-orient -profile " + profiles + "srgb.icc -depth 8 "
            + at("oracle.png"));

        const auto shown = DisplayImage::load(dir / "wide.tif");
        QVERIFY2(shown, shown ? "" : qPrintable(shown.error()));
        QImage oracle((dir / "oracle.png").c_str());
        QCOMPARE(shown->size(), QSize(40, 60));
        QCOMPARE(oracle.size(), shown->size());
        int worst = 0;
        for (const QPoint p : {QPoint(20, 10), QPoint(20, 50), QPoint(2, 2), QPoint(37, 57)}) {
            const QRgb ours = shown->pixel(p), theirs = oracle.pixel(p);
            worst = std::max({worst, qAbs(qRed(ours) - qRed(theirs)), qAbs(qGreen(ours) - qGreen(theirs)),
                              qAbs(qBlue(ours) - qBlue(theirs))});
        }
        QVERIFY2(worst <= 3, qPrintable(QString::number(worst)));
        // The conversion matters: the stored numbers of the green half, shown as they are, differ.
        QVERIFY(qAbs(qRed(oracle.pixel(20, 10)) - 51) > 10);
    }

    void cacheKeepsToItsLimitAndServesTheNewestFirst()
    {
        constexpr int files = 1000, side = 96;
        for (int i = 0; i < files; ++i) {
            QImage pixels(side, side, QImage::Format_RGB32);
            pixels.fill(QColor::fromHsv(i % 360, 200, 200));
            QVERIFY(pixels.save(QString::fromStdString((dir / ("f" + std::to_string(i) + ".png")).string())));
        }
        const qsizetype limit = 40 * side * side * 4;
        ThumbnailCache cache(side, limit);
        QSignalSpy ready(&cache, &ThumbnailCache::thumbnailReady);
        // A fast scroll from the top to the bottom of the list.
        for (int i = 0; i < files; ++i)
            QVERIFY(cache.thumbnail(dir / ("f" + std::to_string(i) + ".png")).isNull());
        // The newest maxPending, and those the worker took while the requests were still coming (a
        // few, or a few dozen in a sanitizer build): never the hundreds that were dropped.
        QTRY_VERIFY_WITH_TIMEOUT(ready.count() >= int(ThumbnailCache::maxPending), 30000);
        QTest::qWait(100);
        QVERIFY(ready.count() < files / 2);

        const QString last = QString::fromStdString((dir / "f999.png").string());
        int lastAt = 0;
        while (ready[lastAt][0].toString() != last)
            ++lastAt;
        // In order of asking it would come last; how many the worker took early depends on the machine.
        QVERIFY2(lastAt < ready.count() / 2, "the row asked for last is rendered among the first");
        QVERIFY(cache.cachedBytes() <= limit);
        QVERIFY(cache.cachedBytes() >= limit - side * side * 4);

        // Rows dropped from the queue are asked for again when painted again.
        QVERIFY(cache.thumbnail(dir / "f0.png").isNull());
        QTRY_VERIFY(cache.contains(dir / "f0.png"));
        QCOMPARE(cache.thumbnail(dir / "f0.png").pixel(5, 5), QColor::fromHsv(0, 200, 200).rgb());
    }
};

QTEST_MAIN(ThumbnailTests)
#include "ThumbnailTests.moc"
