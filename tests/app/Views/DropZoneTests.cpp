// The two drop zones: what a drop adds and when, the hover feedback, the file chooser, the gear.

#include "app/Views/DropZoneCompact.h"
#include "app/Views/DropZoneView.h"
#include "app/Views/TextStyles.h"
#include "support/WindowTestSupport.h"

#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFileDialog>
#include <QLabel>
#include <QMimeData>
#include <QPushButton>
#include <QToolButton>

#include <fstream>

using namespace pelorin;
using namespace pelorin::uitest;

namespace {

std::unique_ptr<QMimeData> payload(const QList<QUrl>& urls)
{
    auto data = std::make_unique<QMimeData>();
    data->setUrls(urls);
    return data;
}

QUrl local(const fs::path& path)
{
    return QUrl::fromLocalFile(QString::fromStdString(path.string()));
}

// Sends enter + drop at the widget's centre, as a drag from another program would.
bool drop(QWidget* target, const QMimeData& data)
{
    const QPoint centre = target->rect().center();
    QDragEnterEvent enter(centre, Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(target, &enter);
    QDropEvent dropped(centre, Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(target, &dropped);
    return dropped.isAccepted();
}

QWidget* makeZone(const QString& kind, ProcessingViewModel* vm)
{
    if (kind == QLatin1String("large"))
        return new DropZoneView(vm);
    return new DropZoneCompact(vm);
}

bool isTargeted(QWidget* zone)
{
    if (auto* large = qobject_cast<DropZoneView*>(zone))
        return large->isTargeted();
    return qobject_cast<DropZoneCompact*>(zone)->isTargeted();
}

// How close `color` is to `target`, summed over the channels.
int distance(QColor color, QColor target)
{
    return std::abs(color.red() - target.red()) + std::abs(color.green() - target.green())
        + std::abs(color.blue() - target.blue());
}

// Whether any pixel of the row `y` from x0 to x1 is (nearly) the accent colour.
bool rowShowsColor(const QImage& image, int y, int x0, int x1, QColor target)
{
    for (int x = x0; x < x1; ++x) {
        if (distance(image.pixelColor(x, y), target) < 40)
            return true;
    }
    return false;
}

} // namespace

class DropZoneTests : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() { loadEnglishCatalogues(); }

    void zones_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::newRow("large") << QStringLiteral("large");
        QTest::newRow("compact") << QStringLiteral("compact");
    }

    void dropOfFilesAndFolderAddsRowsAfterTheGesture_data() { zones_data(); }
    void dropOfFilesAndFolderAddsRowsAfterTheGesture()
    {
        QFETCH(QString, kind);
        QueueFixture fixture;
        const fs::path first = fixture.image("first.png");
        fs::create_directories(fixture.dir / "album" / "nested");
        fixture.image("album/second.png");
        fixture.image("album/nested/third.png");
        std::ofstream(fixture.dir / "album" / "notes.txt") << "not an image";
        std::unique_ptr<QWidget> zone(makeZone(kind, fixture.vm.get()));
        zone->resize(400, 300);

        auto data = payload({local(first), local(fixture.dir / "album"), QUrl(QStringLiteral("https://example.org/remote.png"))});
        QVERIFY(drop(zone.get(), *data));
        data.reset(); // the payload is gone once the drop event returns
        QCOMPARE(fixture.vm->items().size(), 0); // nothing yet: intake runs after the drop returns
        QTRY_COMPARE(fixture.vm->items().size(), 3);
        QCOMPARE(fixture.vm->items()[0]->url(), first);
        QVERIFY(!isTargeted(zone.get()));

        // Nothing usable is still accepted and adds nothing; a drag without URLs is refused.
        const auto unusable = payload({local(fixture.dir / "album" / "notes.txt"), QUrl(QStringLiteral("https://example.org/a.png"))});
        QVERIFY(drop(zone.get(), *unusable));
        QCoreApplication::processEvents();
        QCOMPARE(fixture.vm->items().size(), 3);
        QMimeData text;
        text.setText(QStringLiteral("/tmp/picture.png"));
        QDragEnterEvent enter(QPoint(10, 10), Qt::CopyAction, &text, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(zone.get(), &enter);
        QVERIFY(!enter.isAccepted());
        QVERIFY(!isTargeted(zone.get()));
    }

    // The hover state shows in the pixels: an accent frame and tint, and leaving restores the look.
    void dragHoverTintsTheZone_data() { zones_data(); }
    void dragHoverTintsTheZone()
    {
        QFETCH(QString, kind);
        QueueFixture fixture;
        std::unique_ptr<QWidget> zone(makeZone(kind, fixture.vm.get()));
        zone->resize(500, kind == QLatin1String("large") ? 400 : zone->sizeHint().height());
        zone->show();
        QVERIFY(QTest::qWaitForWindowExposed(zone.get()));
        const QColor accent = TextStyles::accentColor(zone->palette());
        // The top edge of the frame: 20 px in for the large zone, the widget's edge for the compact one.
        const int frameRow = kind == QLatin1String("large") ? 21 : 0;
        const QImage idle = zone->grab().toImage();
        QVERIFY(!rowShowsColor(idle, frameRow, 40, 460, accent));

        const auto data = payload({QUrl::fromLocalFile(QStringLiteral("/tmp/x.png"))});
        QDragEnterEvent enter(QPoint(100, 10), Qt::CopyAction, data.get(), Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(zone.get(), &enter);
        QVERIFY(enter.isAccepted());
        QVERIFY(isTargeted(zone.get()));
        const QImage hovered = zone->grab().toImage();
        QVERIFY(rowShowsColor(hovered, frameRow, 40, 460, accent));
        // A faint accent tint inside: bluer than the idle background at the same spot.
        const QColor idleFill = idle.pixelColor(idle.width() / 2, 2 + frameRow + 4);
        const QColor tint = hovered.pixelColor(hovered.width() / 2, 2 + frameRow + 4);
        QVERIFY2(tint != idleFill, qPrintable(tint.name()));
        saveScreenshot(zone.get(), QStringLiteral("dropzone-%1-hover").arg(kind));

        QDragLeaveEvent leave;
        QApplication::sendEvent(zone.get(), &leave);
        QVERIFY(!isTargeted(zone.get()));
        QCOMPARE(zone->grab().toImage(), idle);
        saveScreenshot(zone.get(), QStringLiteral("dropzone-%1").arg(kind));
    }

    void gearAsksForSettings()
    {
        QueueFixture fixture;
        DropZoneView zone(fixture.vm.get());
        auto* gear = zone.findChild<QToolButton*>(QStringLiteral("dropZoneGearButton"));
        QVERIFY(gear && !gear->icon().isNull());
        QSignalSpy settings(&zone, &DropZoneView::settingsRequested);
        gear->click();
        QCOMPARE(settings.count(), 1);
    }

    // Select Files opens a multi-file image chooser whose choice goes to intake; cancelling adds nothing.
    void selectFilesChooserFeedsIntake()
    {
        QueueFixture fixture;
        const fs::path a = fixture.image("a.png");
        const fs::path b = fixture.image("b.png");
        DropZoneView zone(fixture.vm.get());
        zone.show();
        auto* button = zone.findChild<QPushButton*>(QStringLiteral("selectFilesButton"));

        button->click();
        QFileDialog* chooser = zone.fileChooser();
        QVERIFY(chooser);
        QCOMPARE(chooser->fileMode(), QFileDialog::ExistingFiles);
        // The first filter takes every supported image, upper-case extensions too.
        const QString images = chooser->nameFilters().first();
        QVERIFY(images.contains(QStringLiteral("*.JPG")) && images.contains(QStringLiteral("*.heif")));
        chooser->reject();
        QCoreApplication::processEvents();
        QCOMPARE(fixture.vm->items().size(), 0);

        button->click();
        chooser = zone.fileChooser();
        QVERIFY(chooser);
        chooser->setDirectory(QString::fromStdString(fixture.dir.string()));
        chooser->selectFile(QStringLiteral("\"a.png\" \"b.png\""));
        static_cast<QDialog*>(chooser)->accept();
        QCOMPARE(fixture.vm->items().size(), 2);
        QCOMPARE(fixture.vm->items()[0]->url().filename(), a.filename());
        QCOMPARE(fixture.vm->items()[1]->url().filename(), b.filename());
    }
};

QTEST_MAIN(DropZoneTests)
#include "DropZoneTests.moc"
