// The list's thumbnails and the viewer on the real widgets: thumbnails of the rows in view (and
// only those) appear, a cutout's over a checkerboard; a thousand rows stay within the cache and
// 200 MiB; the viewer opens with Space, switches backgrounds, splits with a dragged divider, zooms
// and pans, steps between rows, shows a failed row's error, and opens outputs; the row menu opens
// the cutout, the mask and the folder. Last, a real run of the model on photographs for the
// screenshots.
#include "app/Services/ThumbnailCache.h"
#include "app/Views/Checkerboard.h"
#include "app/Views/ContentView.h"
#include "app/Views/FileListDelegate.h"
#include "app/Views/FileListModel.h"
#include "app/Views/FileListView.h"
#include "app/Views/ImageViewer.h"
#include "app/Views/ViewerCanvas.h"
#include "support/TestSupport.h"
#include "support/WindowTestSupport.h"

#include <QAction>
#include <QMenu>
#include <QScrollBar>
#include <QToolButton>

#include <fstream>

using namespace pelorin;
using namespace pelorin::uitest;
using Event = BatchProcessingEvent;

namespace {

const QColor sourceColor(0, 160, 0);
const QColor cutoutColor(230, 120, 20);

// The list as the window shows it, with the URLs it asked the desktop to open.
struct List : QueueFixture {
    std::vector<QUrl> openedUrls;
    FileListView view{vm.get(), nullptr, [this](const QUrl& url) { openedUrls.push_back(url); }};

    List()
    {
        view.resize(520, 320);
        view.show();
        QVERIFY(QTest::qWaitForWindowExposed(&view));
    }
    ImageItem* item(int row) const { return vm->items()[row]; }
    bool thumbnailShown(int row) const { return view.thumbnails()->contains(item(row)->url()); }
    QColor pixel(QWidget* widget, QPointF at) const { return widget->grab().toImage().pixelColor(at.toPoint()); }
};

// A 400×300 source in `sourceColor` and, once asked, its cutout: the left 40 % transparent.
void writeCutout(const fs::path& path)
{
    QImage cutout(400, 300, QImage::Format_ARGB32);
    cutout.fill(cutoutColor);
    for (int y = 0; y < 300; ++y)
        for (int x = 0; x < 160; ++x)
            cutout.setPixelColor(x, y, Qt::transparent);
    QVERIFY(cutout.save(QString::fromStdString(path.string())));
}

QPointF at(ViewerCanvas* canvas, double fx, double fy)
{
    const QRectF r = canvas->pictureRect();
    return {r.left() + fx * r.width(), r.top() + fy * r.height()};
}

bool checkered(const QColor& c)
{
    return c == Checkerboard::lightSquare || c == Checkerboard::darkSquare;
}

bool near(const QColor& a, const QColor& b)
{
    return qAbs(a.red() - b.red()) < 6 && qAbs(a.green() - b.green()) < 6 && qAbs(a.blue() - b.blue()) < 6;
}

qint64 residentMiB()
{
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);)
        if (line.rfind("VmRSS:", 0) == 0)
            return std::stoll(line.substr(6)) / 1024;
    return -1;
}

} // namespace

class ViewerTests : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() { loadEnglishCatalogues(); }

    void thumbnailsAppearForRowsInViewWithinTheCache()
    {
        List list;
        list.queue(1000);
        const int lastShown = list.view.indexAt(QPoint(5, list.view.viewport()->height() - 2)).row();
        QVERIFY(lastShown > 2 && lastShown < 20);
        for (int row = 0; row <= lastShown; ++row)
            QTRY_VERIFY(list.thumbnailShown(row));
        QVERIFY(!list.thumbnailShown(999)); // never painted, never made

        auto* delegate = static_cast<FileListDelegate*>(list.view.itemDelegate());
        const QRect cell = list.view.visualRect(list.view.model()->index(0, FileListModel::fileColumn));
        QVERIFY(near(list.pixel(list.view.viewport(), delegate->thumbnailBox(cell, 0).center()), QColor(40, 120, 200)));

        list.vm->startProcessing();
        writeCutout(list.output(0));
        list.send({Event::started(list.job(0)), Event::completed(list.job(0), list.output(0))});
        QTRY_VERIFY(list.view.thumbnails()->contains(list.output(0)));
        QTRY_VERIFY(near(list.pixel(list.view.viewport(), delegate->thumbnailBox(cell, 1).center() + QPoint(10, 0)),
                         cutoutColor));
        const QColor behind =
            list.pixel(list.view.viewport(), delegate->thumbnailBox(cell, 1).center() - QPoint(12, 0));
        QVERIFY2(checkered(behind), qPrintable(behind.name()));

        // Scrolled to the end and back to the middle of a thousand rows: within the cache and 200 MiB.
        for (int value : {list.view.verticalScrollBar()->maximum(), list.view.verticalScrollBar()->maximum() / 2}) {
            list.view.verticalScrollBar()->setValue(value);
            const int top = list.view.indexAt(QPoint(5, 5)).row();
            QTRY_VERIFY(list.thumbnailShown(top) && list.thumbnailShown(top + 3));
        }
        QVERIFY(list.view.thumbnails()->cachedBytes() <= list.view.thumbnails()->byteLimit());
#if !defined(__SANITIZE_ADDRESS__) // shadow memory and quarantine inflate it there; the plain build checks
        QVERIFY2(residentMiB() < 200, qPrintable(QString::number(residentMiB())));
#endif
    }

    void viewerShowsRowsBackgroundsSplitAndZoom()
    {
        List list;
        QImage source(400, 300, QImage::Format_RGB32);
        source.fill(sourceColor);
        for (const char* name : {"done.png", "failed.png", "waiting.png"})
            QVERIFY(source.save(QString::fromStdString((list.dir / name).string())));
        list.vm->addFiles({list.dir / "done.png", list.dir / "failed.png", list.dir / "waiting.png"});
        list.vm->startProcessing();
        writeCutout(list.output(0));
        list.send({Event::completed(list.job(0), list.output(0)),
                   Event::failed(list.job(1), BatchProcessingError::maskGenerationFailed("no subject")),
                   Event::cancelled(list.job(2))},
                  true);

        list.view.setCurrentIndex(list.view.model()->index(0, 0));
        QTest::keyClick(&list.view, Qt::Key_Space);
        ImageViewer* viewer = list.view.viewer();
        QVERIFY(viewer && viewer->isVisible());
        QTRY_VERIFY(!viewer->isLoading());
        ViewerCanvas* canvas = viewer->canvas();
        QVERIFY(!canvas->source().isNull() && !canvas->cutout().isNull());
        QVERIFY(canvas->isFitting() && canvas->zoom() == 1.0); // small pictures stay at 100 %

        // Backgrounds, behind the transparent left part.
        const QPointF clear = at(canvas, 0.2, 0.5);
        auto button = [&](const char* name) { return viewer->findChild<QToolButton*>(QString::fromLatin1(name)); };
        QVERIFY(checkered(list.pixel(canvas, clear)));
        button("whiteButton")->click();
        QCOMPARE(list.pixel(canvas, clear), QColor(Qt::white));
        button("blackButton")->click();
        QCOMPARE(list.pixel(canvas, clear), QColor(Qt::black));
        canvas->setCustomColor(QColor(10, 20, 200));
        QCOMPARE(list.pixel(canvas, clear), QColor(10, 20, 200));
        QTest::keyClick(viewer, Qt::Key_B); // after the colour comes the checkerboard again
        QCOMPARE(canvas->background(), ViewerCanvas::Background::checkerboard);
        QVERIFY(near(list.pixel(canvas, at(canvas, 0.7, 0.5)), cutoutColor));

        // Split: the source left of the divider; dragged left, the cutout shows there again.
        QTest::keyClick(viewer, Qt::Key_S);
        QVERIFY(canvas->showsSplit());
        QVERIFY(near(list.pixel(canvas, clear), sourceColor));
        QVERIFY(near(list.pixel(canvas, at(canvas, 0.7, 0.5)), cutoutColor));
        QTest::mousePress(canvas, Qt::LeftButton, {}, at(canvas, 0.5, 0.3).toPoint());
        QTest::mouseMove(canvas, at(canvas, 0.1, 0.3).toPoint());
        QTest::mouseRelease(canvas, Qt::LeftButton, {}, at(canvas, 0.1, 0.3).toPoint());
        QVERIFY(qAbs(canvas->dividerPosition() - 0.1) < 0.01);
        QVERIFY(checkered(list.pixel(canvas, clear)));
        saveScreenshot(viewer, QStringLiteral("viewer-split-synthetic"));

        // Zoom: once the picture outgrows the view, the wheel keeps the point under the cursor.
        for (int i = 0; i < 4; ++i)
            QTest::keyClick(viewer, Qt::Key_Plus);
        QVERIFY(canvas->pictureRect().width() > canvas->width() && !canvas->isFitting());
        const QPointF cursor = at(canvas, 0.6, 0.4);
        QWheelEvent wheel(cursor, canvas->mapToGlobal(cursor), {}, QPoint(0, 240), Qt::NoButton, Qt::NoModifier,
                          Qt::NoScrollPhase, false);
        QApplication::sendEvent(canvas, &wheel);
        QVERIFY(qAbs(canvas->zoom() - std::pow(1.25, 6)) < 1e-9);
        QVERIFY((at(canvas, 0.6, 0.4) - cursor).manhattanLength() < 1);
        const QPointF before = canvas->pictureRect().topLeft();
        QTest::mousePress(canvas, Qt::LeftButton, {}, QPoint(canvas->width() * 3 / 4, 100));
        QTest::mouseMove(canvas, QPoint(canvas->width() * 3 / 4 - 40, 70));
        QTest::mouseRelease(canvas, Qt::LeftButton, {}, QPoint(canvas->width() * 3 / 4 - 40, 70));
        QCOMPARE(canvas->pictureRect().topLeft(), before + QPointF(-40, -30));
        QTest::keyClick(viewer, Qt::Key_1);
        QCOMPARE(canvas->zoom(), 1.0);
        QTest::keyClick(viewer, Qt::Key_F);
        QVERIFY(canvas->isFitting() && QRectF(canvas->rect()).contains(canvas->pictureRect()));

        // Return opens a finished row's cutout; Right shows the failed row's error, then the cancelled row.
        QTest::keyClick(viewer, Qt::Key_Return);
        QCOMPARE(list.openedUrls,
                 std::vector<QUrl>{QUrl::fromLocalFile(QString::fromStdString(list.output(0).string()))});
        QTest::keyClick(viewer, Qt::Key_Right);
        QCOMPARE(viewer->currentRow(), 1);
        QCOMPARE(list.view.currentIndex().row(), 1);
        QVERIFY2(viewer->message().contains(list.item(1)->status().message()), qPrintable(viewer->message()));
        QTRY_VERIFY(!viewer->isLoading());
        QVERIFY(canvas->cutout().isNull() && !canvas->source().isNull());
        QTest::keyClick(viewer, Qt::Key_Return);
        QCOMPARE(list.openedUrls.size(), size_t(1));
        QTest::keyClick(viewer, Qt::Key_Right);
        QTest::keyClick(viewer, Qt::Key_Right); // already the last row
        QCOMPARE(viewer->currentRow(), 2);
        QVERIFY(viewer->message().startsWith(QStringLiteral("Cancelled")));
        QTest::keyClick(viewer, Qt::Key_Left);
        QCOMPARE(viewer->currentRow(), 1);

        QTest::keyClick(viewer, Qt::Key_Escape);
        QVERIFY(!viewer->isVisible());
        list.view.activateWindow();
        const QPoint third = list.view.visualRect(list.view.model()->index(2, 0)).center();
        QTest::mouseClick(list.view.viewport(), Qt::LeftButton, {}, third);
        QTest::mouseDClick(list.view.viewport(), Qt::LeftButton, {}, third);
        QVERIFY(viewer->isVisible() && viewer->currentRow() == 2);
        QTest::keyClick(viewer, Qt::Key_Space);
        QVERIFY(!viewer->isVisible());
    }

    void rowMenuOpensOutputs()
    {
        List list;
        list.queue(2);
        list.vm->updateExportMaskSeparately(true);
        list.vm->startProcessing();
        const fs::path mask = list.run().jobs[0].maskOutputURL().value();
        writeCutout(list.output(0));
        writeCutout(mask);
        list.send({Event::completed(list.job(0), list.output(0))});

        auto menuOf = [&](int row) {
            return list.view.showContextMenu(list.view.visualRect(list.view.model()->index(row, 0)).center());
        };
        auto url = [](const fs::path& path) { return QUrl::fromLocalFile(QString::fromStdString(path.string())); };
        QMenu* done = menuOf(0);
        const QList<QAction*> actions = done->actions();
        QCOMPARE(actions[1]->text(), QStringLiteral("Open Cutout"));
        for (int i : {1, 2, 3})
            actions[i]->trigger();
        done->close();
        QCOMPARE(list.openedUrls,
                 (std::vector<QUrl>{url(list.output(0)), url(mask), url(list.output(0).parent_path())}));

        QMenu* waiting = menuOf(1);
        QVERIFY(!waiting->actions()[1]->isEnabled() && !waiting->actions()[2]->isEnabled());
        waiting->actions()[0]->trigger(); // Preview
        QVERIFY(list.view.viewer()->isVisible() && list.view.viewer()->currentRow() == 1);
        waiting->close();
    }

    // The real model on photographs: the list mid-run, then the viewer's three views of a cutout.
    void screenshotsOfARealRun()
    {
        QTemporaryDir tmp;
        const fs::path dir = tmp.path().toStdString();
        std::vector<fs::path> photos;
        for (const char* name : {"motorcycle_left.png", "chelsea.png", "rocket.jpg", "grace_hopper.jpg"}) {
            photos.push_back(dir / name);
            fs::copy_file(test::samplePhoto(name), photos.back());
        }
        ProcessingViewModel vm(nullptr, std::make_shared<FileService>(),
                               std::make_shared<SettingsPersistence>(nullptr));
        ContentView window(&vm);
        window.resize(760, 460);
        window.show();
        vm.addFiles(photos);
        vm.startProcessing();
        auto* list = window.findChild<FileListView*>();
        QTRY_VERIFY_WITH_TIMEOUT(
            vm.items()[0]->outputURL() && list->thumbnails()->contains(*vm.items()[0]->outputURL()), 120000);
        saveScreenshot(&window, QStringLiteral("list-thumbnails-mid-run"));
        QTRY_VERIFY_WITH_TIMEOUT(!vm.isProcessing(), 120000);
        QCOMPARE(vm.completedCount(), 4);

        list->openViewer(0);
        ImageViewer* viewer = list->viewer();
        viewer->resize(900, 640);
        QTRY_VERIFY(!viewer->isLoading());
        saveScreenshot(viewer, QStringLiteral("viewer-checkerboard"));
        QTest::keyClick(viewer, Qt::Key_S);
        saveScreenshot(viewer, QStringLiteral("viewer-split"));
    }
};

QTEST_MAIN(ViewerTests)
#include "ViewerTests.moc"
