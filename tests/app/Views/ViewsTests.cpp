// The window's views on the real widgets, driven by a scripted batch processor: the content's two
// layouts, a run from Start to the footer's count, Cancel, the keys, Clear with and without the
// question, closing during a run; the drop zones (what a drop adds and when, the hover feedback,
// the chooser, the gear); the file list's cells, elision, row updates and Delete; the settings bar
// and sheet. Saves screenshots.
#include "app/Views/ContentView.h"
#include "app/Views/DropZoneCompact.h"
#include "app/Views/DropZoneView.h"
#include "app/Views/FileListModel.h"
#include "app/Views/FileListView.h"
#include "app/Services/ThumbnailCache.h"
#include "app/Views/FormatPicker.h"
#include "app/Views/Icons.h"
#include "app/Views/MiddleElidedLabel.h"
#include "app/Views/SettingsBar.h"
#include "app/Views/SettingsSheet.h"
#include "app/Views/SummaryView.h"
#include "app/Views/TextStyles.h"
#include "support/WindowTestSupport.h"

#include <QAction>
#include <QCheckBox>
#include <QDragEnterEvent>
#include <QFileDialog>
#include <QLabel>
#include <QMenu>
#include <QMessageBox>
#include <QMimeData>
#include <QPushButton>
#include <QTabWidget>
#include <QToolButton>

#include <fstream>

using namespace pelorin;
using namespace pelorin::uitest;
using Event = BatchProcessingEvent;

namespace {

// The content as the window shows it: 700×600, active, so window-wide keys reach it.
struct Window : QueueFixture {
    ContentView view{vm.get()};

    Window()
    {
        view.resize(700, 600);
        view.show();
        view.activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(&view));
    }
    QPushButton* button(const char* name) const { return view.findChild<QPushButton*>(QString::fromLatin1(name)); }
    QPushButton* primary() const { return button("primaryButton"); }
    QPushButton* clear() const { return button("clearButton"); }
    QPushButton* open() const { return button("openInFileManagerButton"); }
    QWidget* summary() const { return view.findChild<QWidget*>(QStringLiteral("summaryArea")); }
    SummaryView* footer() const { return view.findChild<SummaryView*>(); }
    void key(int key, Qt::KeyboardModifiers modifiers = Qt::NoModifier)
    {
        QTest::keyClick(QApplication::focusWidget() ? QApplication::focusWidget() : &view, static_cast<Qt::Key>(key),
                        modifiers);
    }
};

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

// Whether any pixel of the row `y` from x0 to x1 is (nearly) `target`.
bool rowShowsColor(const QImage& image, int y, int x0, int x1, QColor target)
{
    for (int x = x0; x < x1; ++x) {
        const QColor c = image.pixelColor(x, y);
        if (std::abs(c.red() - target.red()) + std::abs(c.green() - target.green()) + std::abs(c.blue() - target.blue())
            < 40)
            return true;
    }
    return false;
}

QVariant cell(FileListView& view, int row, int column, int role = Qt::DisplayRole)
{
    return view.model()->index(row, column).data(role);
}

bool sameSymbol(const QIcon& shown, const QString& name)
{
    return !shown.isNull() && shown.pixmap(16).toImage() == Icons::named(name).pixmap(16).toImage();
}

QAbstractButton* segment(QWidget* root, OutputFormat format)
{
    auto* picker = root->findChild<FormatPicker*>(QStringLiteral("formatPicker"));
    return picker ? picker->segment(format) : nullptr;
}

} // namespace

class ViewsTests : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() { loadEnglishCatalogues(); }

    // Start → running → events → idle, with the footer's count and the button's three forms;
    // Ctrl+Shift+O only once Open in File Manager is enabled.
    void runFromStartToFooterCount()
    {
        Window window;
        QVERIFY(!window.view.isShowingQueue());
        saveScreenshot(&window.view, QStringLiteral("window-empty"));
        window.queue(3);
        QVERIFY(window.view.isShowingQueue());
        QVERIFY(!window.summary()->isVisible()); // nothing done, no run: no footer
        QVERIFY(!window.open()->isEnabled());
        window.key(Qt::Key_O, Qt::ControlModifier | Qt::ShiftModifier);
        QVERIFY(window.opened.empty());
        QCOMPARE(window.primary()->text(), QStringLiteral("Start"));

        auto* gear = window.view.findChild<QToolButton*>(QStringLiteral("gearButton"));
        QVERIFY(gear && !gear->icon().isNull());
        QSignalSpy settingsRequested(&window.view, &ContentView::settingsRequested);
        gear->click();
        QCOMPARE(settingsRequested.count(), 1);

        QTest::mouseClick(window.primary(), Qt::LeftButton);
        QCOMPARE(window.processor->runs.size(), size_t(1));
        QCOMPARE(window.primary()->text(), QStringLiteral("Cancel"));
        QCOMPARE(window.primary()->accessibleName(), QStringLiteral("Cancel"));
        QVERIFY(window.primary()->isEnabled() && !window.clear()->isEnabled());
        QVERIFY(window.summary()->isVisible()); // a run always shows the footer

        window.send({Event::started(window.job(0)), Event::started(window.job(1)),
                     Event::completed(window.job(0), window.output(0))});
        QCOMPARE(window.footer()->progressText(), QStringLiteral("1 of 3 processed"));
        QVERIFY(window.open()->isEnabled());
        window.key(Qt::Key_O, Qt::ControlModifier | Qt::ShiftModifier);
        QCOMPARE(window.opened.size(), size_t(1));
        saveScreenshot(&window.view, QStringLiteral("window-mid-run"));

        window.send(
            {Event::completedWithWarning(window.job(1), window.output(1),
                                         BatchProcessingError::writeFailed("photo-2-cutout-mask.png", "disk full")),
             Event::started(window.job(2)),
             Event::failed(window.job(2), BatchProcessingError::sourceImageUnreadable(window.dir / "photo-3.png"))},
            true);
        QTRY_VERIFY(!window.vm->isProcessing());
        QCOMPARE(window.primary()->text(), QStringLiteral("Start"));
        QVERIFY(window.primary()->isEnabled()); // the failed row can be retried
        QVERIFY(window.clear()->isEnabled());
        QVERIFY(window.summary()->isVisible()); // stays: rows completed
        QCOMPARE(window.footer()->progressText(), QStringLiteral("2 of 3 processed"));
        window.vm->setOutputDirectory(window.dir / "Cutouts"); // shows Reset too
        saveScreenshot(&window.view, QStringLiteral("window-finished-with-failure-and-warning"));
    }

    // Escape and the button cancel once; afterwards the button reads "Cancelling…" and is inert.
    // Closing the window cancels too.
    void cancelTurnsIntoCancelling()
    {
        Window window;
        window.queue(2);
        window.key(Qt::Key_Escape); // idle: Escape cancels nothing and starts nothing
        QVERIFY(window.processor->runs.empty());
        window.key(Qt::Key_Enter); // the keypad's Enter starts as Return does
        QCOMPARE(window.processor->runs.size(), size_t(1));
        window.send({Event::started(window.job(0))});

        window.key(Qt::Key_Escape);
        QCOMPARE(window.cancels(), 1);
        QCOMPARE(window.primary()->text(), QStringLiteral("Cancelling…"));
        QCOMPARE(window.primary()->accessibleName(), QStringLiteral("Cancelling…"));
        QVERIFY(!window.primary()->isEnabled());
        QVERIFY(!window.primary()->icon().isNull()); // the spinner
        QCOMPARE(window.footer()->processingLabel(), QStringLiteral("Cancelling…"));
        saveScreenshot(&window.view, QStringLiteral("window-cancelling"));

        window.key(Qt::Key_Escape);
        QTest::mouseClick(window.primary(), Qt::LeftButton);
        window.key(Qt::Key_Return);
        QCOMPARE(window.cancels(), 1);
        QCOMPARE(window.processor->runs.size(), size_t(1));

        window.send({Event::cancelled(window.job(0)), Event::cancelled(window.job(1))}, true);
        QTRY_COMPARE(window.primary()->text(), QStringLiteral("Start"));
        QVERIFY(window.primary()->isEnabled());
        QVERIFY(!window.summary()->isVisible()); // nothing completed

        // Closing the window cancels a run.
        window.key(Qt::Key_Return);
        window.view.close();
        QCOMPARE(window.cancels(), 1);
        QVERIFY(window.vm->isCancelling());
    }

    // Up to four rows clear at once; from five a question comes first. Files are never touched.
    void clearAsksFromFiveRows()
    {
        Window window;
        window.queue(4);
        QTest::mouseClick(window.clear(), Qt::LeftButton);
        QVERIFY(!window.view.clearConfirmation());
        QVERIFY(!window.view.isShowingQueue());

        window.queue(5);
        auto kept = std::make_shared<bool>(false);
        answerModal(QStringLiteral("Keep"), kept);
        QTest::mouseClick(window.clear(), Qt::LeftButton);
        QPointer<QMessageBox> question = window.view.clearConfirmation();
        QVERIFY(question);
        QTRY_VERIFY(*kept && !question);
        QCOMPARE(window.vm->items().size(), 5);

        auto cleared = std::make_shared<bool>(false);
        answerModal(QStringLiteral("Clear All"), cleared);
        QTest::mouseClick(window.clear(), Qt::LeftButton);
        QTRY_VERIFY(*cleared && !window.vm->hasItems());
        QVERIFY(!window.view.isShowingQueue());
        QVERIFY(std::filesystem::exists(window.dir / "photo-5.png"));
    }

    void zones_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::newRow("large") << QStringLiteral("large");
        QTest::newRow("compact") << QStringLiteral("compact");
    }

    // The hover state shows in the pixels: an accent frame and tint, and leaving restores the look.
    // A drop adds its files and folders once the drop event has returned; one with nothing usable
    // is accepted and adds nothing; a drag without URLs is refused.
    void dragAndDrop_data() { zones_data(); }
    void dragAndDrop()
    {
        QFETCH(QString, kind);
        QueueFixture fixture;
        const fs::path first = fixture.image("first.png");
        fs::create_directories(fixture.dir / "album" / "nested");
        fixture.image("album/second.png");
        fixture.image("album/nested/third.png");
        std::ofstream(fixture.dir / "album" / "notes.txt") << "not an image";
        const bool large = kind == QLatin1String("large");
        const std::unique_ptr<FileDropTarget> zone(
            large ? static_cast<FileDropTarget*>(new DropZoneView(fixture.vm.get()))
                  : new DropZoneCompact(fixture.vm.get()));
        zone->resize(500, large ? 400 : zone->sizeHint().height());
        zone->show();
        QVERIFY(QTest::qWaitForWindowExposed(zone.get()));
        const QColor accent = TextStyles::accentColor(zone->palette());
        // The top edge of the frame: 20 px in for the large zone, the widget's edge for the compact one.
        const int frameRow = large ? 21 : 0;
        const QImage idle = zone->grab().toImage();
        QVERIFY(!rowShowsColor(idle, frameRow, 40, 460, accent));

        auto data = std::make_unique<QMimeData>();
        data->setUrls(
            {local(first), local(fixture.dir / "album"), QUrl(QStringLiteral("https://example.org/remote.png"))});
        QDragEnterEvent enter(QPoint(100, 10), Qt::CopyAction, data.get(), Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(zone.get(), &enter);
        QVERIFY(enter.isAccepted() && zone->isTargeted());
        const QImage hovered = zone->grab().toImage();
        QVERIFY(rowShowsColor(hovered, frameRow, 40, 460, accent));
        // A faint accent tint inside, where the idle background was.
        const QColor tint = hovered.pixelColor(hovered.width() / 2, 2 + frameRow + 4);
        QVERIFY2(tint != idle.pixelColor(idle.width() / 2, 2 + frameRow + 4), qPrintable(tint.name()));
        saveScreenshot(zone.get(), QStringLiteral("dropzone-%1-hover").arg(kind));
        QDragLeaveEvent leave;
        QApplication::sendEvent(zone.get(), &leave);
        QVERIFY(!zone->isTargeted());
        QCOMPARE(zone->grab().toImage(), idle);
        saveScreenshot(zone.get(), QStringLiteral("dropzone-%1").arg(kind));

        QVERIFY(drop(zone.get(), *data));
        data.reset();                            // the payload is gone once the drop event returns
        QCOMPARE(fixture.vm->items().size(), 0); // nothing yet: intake runs after the drop returns
        QTRY_COMPARE(fixture.vm->items().size(), 3);
        QCOMPARE(fixture.vm->items()[0]->url(), first);
        QVERIFY(!zone->isTargeted());

        QMimeData unusable;
        unusable.setUrls(
            {local(fixture.dir / "album" / "notes.txt"), QUrl(QStringLiteral("https://example.org/a.png"))});
        QVERIFY(drop(zone.get(), unusable));
        QCoreApplication::processEvents();
        QCOMPARE(fixture.vm->items().size(), 3);
        QMimeData text;
        text.setText(QStringLiteral("/tmp/picture.png"));
        QDragEnterEvent refused(QPoint(10, 10), Qt::CopyAction, &text, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(zone.get(), &refused);
        QVERIFY(!refused.isAccepted() && !zone->isTargeted());
    }

    // The gear asks for settings. Select Files opens a multi-file image chooser whose choice goes to
    // intake.
    void largeZoneButtons()
    {
        QueueFixture fixture;
        fixture.image("a.png");
        fixture.image("b.png");
        DropZoneView zone(fixture.vm.get());
        zone.show();
        auto* gear = zone.findChild<QToolButton*>(QStringLiteral("dropZoneGearButton"));
        QVERIFY(gear && !gear->icon().isNull());
        QSignalSpy settings(&zone, &DropZoneView::settingsRequested);
        gear->click();
        QCOMPARE(settings.count(), 1);

        zone.findChild<QPushButton*>(QStringLiteral("selectFilesButton"))->click();
        QFileDialog* chooser = zone.fileChooser();
        QVERIFY(chooser);
        QCOMPARE(chooser->fileMode(), QFileDialog::ExistingFiles);
        // The first filter takes every supported image, upper-case extensions too.
        const QString images = chooser->nameFilters().first();
        QVERIFY(images.contains(QStringLiteral("*.JPG")) && images.contains(QStringLiteral("*.heif")));
        chooser->setDirectory(QString::fromStdString(fixture.dir.string()));
        chooser->selectFile(QStringLiteral("\"a.png\" \"b.png\""));
        static_cast<QDialog*>(chooser)->accept();
        QCOMPARE(fixture.vm->items().size(), 2);
        QCOMPARE(fixture.vm->items()[1]->url().filename(), fs::path("b.png"));
    }

    // One run puts rows into every status; the cell shows symbol, tooltip and accessible texts, the
    // messages read through the catalogues.
    void statusCellsForEveryStatus()
    {
        QueueFixture fixture;
        fixture.queue(7);
        FileListView view(fixture.vm.get());
        view.resize(640, 300);
        view.show();
        QVERIFY(QTest::qWaitForWindowExposed(&view));

        fixture.vm->startProcessing();
        const BatchProcessingError warning =
            BatchProcessingError::writeFailed(fixture.dir / "photo-5-cutout-mask.png", "disk full");
        const BatchProcessingError failure = BatchProcessingError::maskGenerationFailed("no subject");
        fixture.send({Event::started(fixture.job(1)), Event::completed(fixture.job(2), fixture.output(2)),
                      Event::completed(fixture.job(3), fixture.output(3)),
                      Event::completedWithWarning(fixture.job(4), fixture.output(4), warning),
                      Event::cancelled(fixture.job(5)), Event::failed(fixture.job(6), failure)});
        fixture.vm->items()[3]->setErrorMessage(QString()); // an empty warning is no warning

        struct Expected {
            QString label, symbol, message;
        };
        const QList<Expected> expected = {
            {QStringLiteral("Waiting"), {}, {}},
            {QStringLiteral("Processing"), {}, {}},
            {QStringLiteral("Done"), QStringLiteral("checkmark-circle"), {}},
            {QStringLiteral("Done"), QStringLiteral("checkmark-circle"), {}},
            {QStringLiteral("Done with warning"), QStringLiteral("warning-badge"),
             QStringLiteral("Failed to write photo-5-cutout-mask.png: disk full")},
            {QStringLiteral("Cancelled"), QStringLiteral("minus-circle"), {}},
            {QStringLiteral("Error"), QStringLiteral("exclamation-triangle"),
             QStringLiteral("Background mask generation failed: no subject")},
        };
        const int status = FileListModel::statusColumn;
        for (int row = 0; row < expected.size(); ++row) {
            const Expected& want = expected[row];
            QCOMPARE(cell(view, row, status, Qt::AccessibleTextRole).toString(), want.label);
            QCOMPARE(cell(view, row, status, Qt::ToolTipRole).toString(), want.message);
            QCOMPARE(cell(view, row, status, Qt::AccessibleDescriptionRole).toString(), want.message);
            const QIcon symbol = cell(view, row, status, Qt::DecorationRole).value<QIcon>();
            QVERIFY2(want.symbol.isEmpty() ? symbol.isNull() : sameSymbol(symbol, want.symbol), qPrintable(want.label));
            // Messages live only in tooltips and accessibility values, never as row text.
            for (int column = 0; column < 4; ++column)
                QVERIFY(want.message.isEmpty() || !cell(view, row, column).toString().contains(want.message));
        }
        QVERIFY(view.isSpinnerTurning());
        saveScreenshot(&view, QStringLiteral("filelist-every-status"));

        // After Cancel the processing row waits with an hourglass and nothing turns in the list.
        fixture.vm->cancelProcessing();
        QCOMPARE(cell(view, 1, status, Qt::AccessibleTextRole).toString(), QStringLiteral("Cancelling"));
        QVERIFY(sameSymbol(cell(view, 1, status, Qt::DecorationRole).value<QIcon>(), QStringLiteral("hourglass")));
        QVERIFY(!view.isSpinnerTurning());
    }

    // A long name is shortened in the middle to fit its column; the tooltip keeps the whole path.
    void longNameIsElidedInTheMiddleWithFullPathTooltip()
    {
        QueueFixture fixture;
        const std::string longName = "holiday-" + std::string(120, 'x') + "-final-edit.png";
        fixture.vm->addFiles({fixture.image(longName), fixture.image("short.png")});
        FileListView view(fixture.vm.get());
        view.resize(640, 200);
        view.show();
        QVERIFY(QTest::qWaitForWindowExposed(&view));
        const QString shown = view.shownFileName(0);
        QVERIFY2(shown.startsWith(QStringLiteral("holiday-")) && shown.contains(QChar(0x2026))
                     && shown.endsWith(QStringLiteral("-final-edit.png")),
                 qPrintable(shown));
        QVERIFY(view.fontMetrics().horizontalAdvance(shown) <= view.columnWidth(FileListModel::fileColumn));
        QCOMPARE(cell(view, 0, FileListModel::fileColumn, Qt::ToolTipRole).toString(),
                 QString::fromStdString((fixture.dir / longName).string()));
        QCOMPARE(view.shownFileName(1), QStringLiteral("short.png"));
        saveScreenshot(&view, QStringLiteral("filelist-long-name"));
    }

    // Appending and removing rows (Delete in a row's menu) move only those rows; a status change
    // repaints one row; clearing does not reset the model.
    void rowsUpdateWithoutRebuilding()
    {
        QueueFixture fixture;
        fixture.queue(2);
        FileListView view(fixture.vm.get());
        view.resize(500, 300);
        view.show();
        QVERIFY(QTest::qWaitForWindowExposed(&view));
        QAbstractItemModel* model = view.model();
        QSignalSpy reset(model, &QAbstractItemModel::modelReset);
        QSignalSpy inserted(model, &QAbstractItemModel::rowsInserted);
        QSignalSpy removed(model, &QAbstractItemModel::rowsRemoved);
        QSignalSpy changed(model, &QAbstractItemModel::dataChanged);

        fixture.vm->addFiles({fixture.image("more-1.png"), fixture.image("more-2.png")});
        QCOMPARE(model->rowCount(), 4);
        QCOMPARE(inserted.count(), 1);
        QCOMPARE(QPair(inserted[0][1].toInt(), inserted[0][2].toInt()), QPair(2, 3));

        // Thumbnails arriving change only their own roles; rows changing name none.
        QTRY_VERIFY(std::all_of(fixture.vm->items().begin(), fixture.vm->items().end(),
                                [&](const ImageItem* item) { return view.thumbnails()->contains(item->url()); }));
        changed.clear();
        fixture.vm->items()[2]->setStatus(ProcessingStatus::error(QStringLiteral("broken")));
        QCOMPARE(changed.count(), 1);
        QCOMPARE(QPair(changed[0][0].value<QModelIndex>().row(), changed[0][1].value<QModelIndex>().row()),
                 QPair(2, 2));
        QCOMPARE(cell(view, 2, FileListModel::statusColumn, Qt::ToolTipRole).toString(), QStringLiteral("broken"));

        QPointer<QMenu> menu = view.showContextMenu(view.visualRect(model->index(1, 0)).center());
        QVERIFY(menu);
        QCOMPARE(menu->actions().last()->text(), QStringLiteral("Delete"));
        menu->actions().last()->trigger();
        menu->close();
        QTRY_VERIFY(!menu);
        QCOMPARE(removed.count(), 1);
        QCOMPARE(removed[0][1].toInt(), 1);
        QCOMPARE(cell(view, 1, FileListModel::fileColumn).toString(), QStringLiteral("more-1.png"));
        QVERIFY(!view.showContextMenu(QPoint(10, view.viewport()->height() - 5))); // below the rows

        fixture.vm->clearItems();
        QCOMPARE(model->rowCount(), 0);
        QCOMPARE(reset.count(), 0);
    }

    // "~" stands for the home folder only where whole names match; names count as characters.
    void displayPath()
    {
        const std::vector<std::pair<const char*, const char*>> cases = {
            {"/home/jürgen", "~"},
            {"/home/jürgen/", "~"},
            {"/home/jürgen/Fotos/Ärger", "~/Fotos/Ärger"},
            {"/home/jürgenx/out", "/home/jürgenx/out"},
        };
        for (const auto& [folder, expected] : cases)
            QCOMPARE(SettingsBar::outputDirectoryDisplayPath(std::filesystem::path(folder), "/home/jürgen"),
                     QString::fromUtf8(expected));
    }

    // The bar follows the chosen folder: text, tooltip and Reset appear and go together; a folder
    // too long for the row is shortened in the middle, the tooltip keeps it whole.
    void barFolderRowAndReset()
    {
        QueueFixture fixture;
        SettingsBar bar(fixture.vm.get());
        bar.resize(680, bar.sizeHint().height());
        bar.show();
        auto* folder = bar.findChild<MiddleElidedLabel*>(QStringLiteral("outputFolderLabel"));
        auto* reset = bar.findChild<QPushButton*>(QStringLiteral("resetOutputButton"));
        QVERIFY(folder && reset);
        const auto expectNoFolder = [&] {
            QCOMPARE(folder->fullText(), QStringLiteral("(same folder as input)"));
            QVERIFY(folder->toolTip().isEmpty() && !reset->isVisible());
        };
        expectNoFolder();

        const std::filesystem::path deep = std::filesystem::path("/srv") / std::string(300, 'x') / "end";
        fixture.vm->setOutputDirectory(deep);
        QCOMPARE(folder->fullText(), QString::fromStdString(deep.string()));
        QCOMPARE(folder->toolTip(), QString::fromStdString(deep.string()));
        QVERIFY(reset->isVisible());
        QVERIFY(folder->text().startsWith(QStringLiteral("/srv/x")) && folder->text().endsWith(QStringLiteral("/end")));
        QVERIFY(folder->text().contains(QChar(0x2026)));
        QVERIFY(folder->geometry().right() <= bar.width());

        QTest::mouseClick(reset, Qt::LeftButton);
        QVERIFY(!fixture.vm->settings().outputDirectory);
        expectNoFolder();

        // Change Folder opens a picker for one folder; choosing sets it.
        QTest::mouseClick(bar.findChild<QPushButton*>(QStringLiteral("changeFolderButton")), Qt::LeftButton);
        QPointer<QFileDialog> picker = bar.directoryPicker();
        QVERIFY(picker && picker->isVisible());
        QCOMPARE(picker->fileMode(), QFileDialog::Directory);
        QVERIFY(picker->testOption(QFileDialog::ShowDirsOnly));
        QTemporaryDir target;
        picker->setDirectory(target.path());
        picker->selectFile(target.path());
        static_cast<QDialog*>(picker.data())->accept(); // protected in QFileDialog
        QTRY_VERIFY(!picker);
        QCOMPARE(std::filesystem::path(fixture.vm->settings().outputDirectory.value()).lexically_normal(),
                 std::filesystem::path(target.path().toStdString()).lexically_normal());
    }

    // The bar, the sheet (picker and note) and the list's Output column always agree.
    void formatPickersStayInStep()
    {
        QueueFixture fixture;
        fixture.queue(2);
        SettingsBar bar(fixture.vm.get());
        SettingsSheet sheet(fixture.vm.get());
        FileListView list(fixture.vm.get());
        bar.show();
        sheet.show();
        list.show();
        const auto lastOutputCell = [&] {
            return list.model()->index(1, FileListModel::outputColumn).data().toString();
        };
        auto* note = sheet.findChild<QLabel*>(QStringLiteral("formatNote"));
        QVERIFY(note);
        const QString pngNote = note->text();
        QVERIFY(segment(&bar, OutputFormat::png)->isChecked() && segment(&sheet, OutputFormat::png)->isChecked());

        QTest::mouseClick(segment(&bar, OutputFormat::tiff), Qt::LeftButton);
        QCOMPARE(fixture.vm->settings().outputFormat, OutputFormat::tiff);
        QVERIFY(segment(&sheet, OutputFormat::tiff)->isChecked() && !segment(&sheet, OutputFormat::png)->isChecked());
        QVERIFY(note->text() != pngNote);
        QCOMPARE(lastOutputCell(), QStringLiteral("TIFF"));

        QTest::mouseClick(segment(&sheet, OutputFormat::png), Qt::LeftButton);
        QCOMPARE(fixture.vm->settings().outputFormat, OutputFormat::png);
        QVERIFY(segment(&bar, OutputFormat::png)->isChecked());
        QCOMPARE(note->text(), pngNote);
        QCOMPARE(lastOutputCell(), QStringLiteral("PNG"));
    }

    // The mask toggle follows the settings both ways, its note shown as written. Escape closes,
    // Return presses Done, and every opening starts on the Output tab.
    void sheetToggleKeysAndTabs()
    {
        QueueFixture fixture;
        QWidget window;
        window.resize(700, 600);
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        SettingsSheet sheet(fixture.vm.get(), &window);
        auto* toggle = sheet.findChild<QCheckBox*>(QStringLiteral("exportMaskToggle"));
        QVERIFY(toggle && !toggle->isChecked());
        toggle->click();
        QVERIFY(fixture.vm->settings().exportMaskSeparately);
        fixture.vm->updateExportMaskSeparately(false);
        QVERIFY(!toggle->isChecked());
        auto* refine = sheet.findChild<QCheckBox*>(QStringLiteral("refineEdgesToggle"));
        QVERIFY(refine && refine->isChecked() == fixture.vm->settings().refineEdges);
        refine->click();
        QCOMPARE(fixture.vm->settings().refineEdges, refine->isChecked());
        fixture.vm->updateRefineEdges(!refine->isChecked());
        QCOMPARE(refine->isChecked(), fixture.vm->settings().refineEdges);
        // "<basename>" is not swallowed as markup.
        const auto labels = sheet.findChildren<QLabel*>();
        QVERIFY(std::any_of(labels.begin(), labels.end(), [](const QLabel* label) {
            return label->text() == QStringLiteral("Saves <basename>-mask.png alongside the main output.")
                && label->textFormat() == Qt::PlainText;
        }));

        sheet.open();
        QVERIFY(QTest::qWaitForWindowActive(&sheet));
        saveScreenshot(&sheet, QStringLiteral("settings-sheet-output"));
        sheet.tabs()->setCurrentIndex(1);
        saveScreenshot(&sheet, QStringLiteral("settings-sheet-mask"));

        QTRY_VERIFY(QApplication::focusWidget()); // set once the sheet's show events are handled
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Escape);
        QVERIFY(!sheet.isVisible());

        sheet.open();
        QVERIFY(QTest::qWaitForWindowActive(&sheet));
        QCOMPARE(sheet.tabs()->currentIndex(), 0);
        QSignalSpy accepted(&sheet, &QDialog::accepted);
        // Return reaches Done from inside a tab as well.
        sheet.tabs()->setCurrentIndex(1);
        toggle->setFocus();
        QTest::keyClick(toggle, Qt::Key_Return);
        QCOMPARE(accepted.count(), 1);
        QVERIFY(!sheet.isVisible());
        QVERIFY(!fixture.vm->settings().exportMaskSeparately);
    }
};

QTEST_MAIN(ViewsTests)
#include "ViewsTests.moc"
