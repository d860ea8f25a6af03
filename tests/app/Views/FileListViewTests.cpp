// The file list and its footer: status cells for every status, middle elision, sizes, row updates
// (Output following the format among them) without rebuilding, no drops, Delete.

#include "app/Views/FileListModel.h"
#include "app/Views/FileListView.h"
#include "app/Views/Icons.h"
#include "app/Views/SummaryView.h"
#include "support/WindowTestSupport.h"

#include <QAction>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QHeaderView>
#include <QMenu>
#include <QMimeData>
#include <QVBoxLayout>

#include <fstream>

using namespace pelorin;
using namespace pelorin::uitest;

namespace {

QVariant cell(FileListView& view, int row, int column, int role = Qt::DisplayRole)
{
    return view.model()->index(row, column).data(role);
}

bool sameSymbol(const QIcon& shown, const QString& name)
{
    return !shown.isNull() && shown.pixmap(16).toImage() == Icons::named(name).pixmap(16).toImage();
}

} // namespace

class FileListViewTests : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() { loadEnglishCatalogues(); }

    // One run puts rows into every status; the cell shows symbol, tooltip and accessible texts.
    void statusCellsForEveryStatus()
    {
        QueueFixture fixture;
        fixture.queue(7);
        QWidget window;
        auto* layout = new QVBoxLayout(&window);
        layout->setContentsMargins(0, 0, 0, 0);
        layout->setSpacing(0);
        auto* view = new FileListView(fixture.vm.get(), &window);
        auto* summary = new SummaryView(fixture.vm.get(), &window);
        layout->addWidget(view);
        layout->addWidget(summary);
        window.resize(640, 360);
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));

        fixture.vm->startProcessing();
        QVERIFY(fixture.vm->isProcessing());
        const BatchProcessingError warning = BatchProcessingError::writeFailed(fixture.dir / "photo-5-cutout-mask.png", "disk full");
        const BatchProcessingError failure = BatchProcessingError::maskGenerationFailed("no subject");
        fixture.send({BatchProcessingEvent::started(fixture.job(1)),
                      BatchProcessingEvent::completed(fixture.job(2), fixture.output(2)),
                      BatchProcessingEvent::completed(fixture.job(3), fixture.output(3)),
                      BatchProcessingEvent::completedWithWarning(fixture.job(4), fixture.output(4), warning),
                      BatchProcessingEvent::cancelled(fixture.job(5)),
                      BatchProcessingEvent::failed(fixture.job(6), failure)});
        fixture.vm->items()[3]->setErrorMessage(QString()); // an empty warning is no warning

        const QString warningText = *fixture.vm->items()[4]->errorMessage();
        const QString errorText = fixture.vm->items()[6]->status().message();
        QVERIFY(!warningText.isEmpty() && !errorText.isEmpty());

        struct Expected {
            QString label;
            QString symbol;
            QString message;
        };
        const QList<Expected> expected = {
            {QStringLiteral("Waiting"), {}, {}},
            {QStringLiteral("Processing"), {}, {}},
            {QStringLiteral("Done"), QStringLiteral("checkmark-circle"), {}},
            {QStringLiteral("Done"), QStringLiteral("checkmark-circle"), {}},
            {QStringLiteral("Done with warning"), QStringLiteral("warning-badge"), warningText},
            {QStringLiteral("Cancelled"), QStringLiteral("minus-circle"), {}},
            {QStringLiteral("Error"), QStringLiteral("exclamation-triangle"), errorText},
        };
        const int status = FileListModel::statusColumn;
        for (int row = 0; row < expected.size(); ++row) {
            const Expected& want = expected[row];
            QCOMPARE(cell(*view, row, status, Qt::AccessibleTextRole).toString(), want.label);
            QCOMPARE(cell(*view, row, status, Qt::ToolTipRole).toString(), want.message);
            QCOMPARE(cell(*view, row, status, Qt::AccessibleDescriptionRole).toString(), want.message);
            const QIcon symbol = cell(*view, row, status, Qt::DecorationRole).value<QIcon>();
            if (want.symbol.isEmpty())
                QVERIFY2(symbol.isNull(), qPrintable(want.label));
            else
                QVERIFY2(sameSymbol(symbol, want.symbol), qPrintable(want.label));
            // Messages live only in tooltips and accessibility values, never as row text.
            for (int column = 0; column < 4; ++column)
                QVERIFY(want.message.isEmpty() || !cell(*view, row, column).toString().contains(want.message));
        }
        QCOMPARE(cell(*view, 0, status).toString(), QStringLiteral("Waiting"));
        QVERIFY(view->isSpinnerTurning());
        QCOMPARE(summary->progressText(), QStringLiteral("3 of 7 processed"));
        QCOMPARE(summary->processingLabel(), QStringLiteral("Processing…"));
        QVERIFY(summary->isSpinnerTurning());
        saveScreenshot(&window, QStringLiteral("filelist-every-status"));

        // After Cancel the processing row waits with an hourglass and nothing turns in the list.
        fixture.vm->cancelProcessing();
        QVERIFY(fixture.vm->isCancelling());
        QCOMPARE(cell(*view, 1, status, Qt::AccessibleTextRole).toString(), QStringLiteral("Cancelling"));
        QVERIFY(sameSymbol(cell(*view, 1, status, Qt::DecorationRole).value<QIcon>(), QStringLiteral("hourglass")));
        QVERIFY(!view->isSpinnerTurning());
        QCOMPARE(summary->processingLabel(), QStringLiteral("Cancelling…"));
        saveScreenshot(&window, QStringLiteral("filelist-cancelling"));

        fixture.send({BatchProcessingEvent::cancelled(fixture.job(0)), BatchProcessingEvent::cancelled(fixture.job(1))},
                     /*finish=*/true);
        QTRY_VERIFY(!fixture.vm->isProcessing());
        QCOMPARE(summary->processingLabel(), QString());
        QVERIFY(!summary->isSpinnerTurning());
        QCOMPARE(summary->progressText(), QStringLiteral("3 of 7 processed"));
        saveScreenshot(&window, QStringLiteral("filelist-finished"));
    }

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
        QVERIFY2(shown.contains(QChar(0x2026)), qPrintable(shown));
        QVERIFY(shown.startsWith(QStringLiteral("holiday-")));
        QVERIFY(shown.endsWith(QStringLiteral("-final-edit.png")));
        QVERIFY(view.fontMetrics().horizontalAdvance(shown) <= view.columnWidth(FileListModel::fileColumn));
        QCOMPARE(cell(view, 0, FileListModel::fileColumn, Qt::ToolTipRole).toString(),
                 QString::fromStdString((fixture.dir / longName).string()));
        QCOMPARE(view.shownFileName(1), QStringLiteral("short.png"));
        saveScreenshot(&view, QStringLiteral("filelist-long-name"));
    }

    void sizesUseDecimalUnitsAndSpellOutZero()
    {
        QueueFixture fixture;
        std::ofstream(fixture.dir / "empty.png").flush();
        fixture.vm->addFiles({fixture.dir / "empty.png"});
        FileListView view(fixture.vm.get());
        QCOMPARE(fixture.vm->items()[0]->originalSize(), 0);
        QCOMPARE(cell(view, 0, FileListModel::sizeColumn).toString(), QStringLiteral("Zero kB"));
        QLocale::setDefault(QLocale(QLocale::English, QLocale::UnitedStates));
        QCOMPARE(FileListModel::formattedSize(999), QStringLiteral("999 bytes"));
        QCOMPARE(FileListModel::formattedSize(1500), QStringLiteral("2 kB"));
        QCOMPARE(FileListModel::formattedSize(2'345'678), QStringLiteral("2.3 MB"));
        QCOMPARE(FileListModel::formattedSize(3'210'000'000), QStringLiteral("3.21 GB"));
    }

    // Appending and removing rows move only those rows; a status change repaints one row.
    void rowsUpdateWithoutRebuilding()
    {
        QueueFixture fixture;
        fixture.queue(2);
        FileListView view(fixture.vm.get());
        QAbstractItemModel* model = view.model();
        QSignalSpy reset(model, &QAbstractItemModel::modelReset);
        QSignalSpy inserted(model, &QAbstractItemModel::rowsInserted);
        QSignalSpy removed(model, &QAbstractItemModel::rowsRemoved);
        QSignalSpy changed(model, &QAbstractItemModel::dataChanged);

        fixture.vm->addFiles({fixture.image("more-1.png"), fixture.image("more-2.png")});
        QCOMPARE(model->rowCount(), 4);
        QCOMPARE(inserted.count(), 1);
        QCOMPARE(inserted[0][1].toInt(), 2);
        QCOMPARE(inserted[0][2].toInt(), 3);

        fixture.vm->items()[2]->setStatus(ProcessingStatus::error(QStringLiteral("broken")));
        QCOMPARE(changed.count(), 1);
        QCOMPARE(changed[0][0].value<QModelIndex>().row(), 2);
        QCOMPARE(changed[0][1].value<QModelIndex>().row(), 2);
        QCOMPARE(cell(view, 2, FileListModel::statusColumn, Qt::ToolTipRole).toString(), QStringLiteral("broken"));

        fixture.vm->removeItem(fixture.vm->items()[1]);
        QCOMPARE(removed.count(), 1);
        QCOMPARE(removed[0][1].toInt(), 1);
        QCOMPARE(model->rowCount(), 3);
        QCOMPARE(cell(view, 1, FileListModel::fileColumn).toString(), QStringLiteral("more-1.png"));

        // A format change repaints the Output column of every row, finished ones too.
        fixture.vm->items()[0]->setStatus(ProcessingStatus::completed());
        fixture.vm->updateOutputFormat(OutputFormat::tiff);
        for (int row = 0; row < 3; ++row)
            QCOMPARE(cell(view, row, FileListModel::outputColumn).toString(), QStringLiteral("TIFF"));
        const auto first = changed.last().at(0).value<QModelIndex>(), last = changed.last().at(1).value<QModelIndex>();
        QCOMPARE(first.column(), int(FileListModel::outputColumn));
        QCOMPARE(last.column(), int(FileListModel::outputColumn));
        QCOMPARE(last.row() - first.row() + 1, 3);

        fixture.vm->clearItems();
        QCOMPARE(model->rowCount(), 0);
        QCOMPARE(reset.count(), 0);
    }

    void dropOnTheListAddsNothing()
    {
        QueueFixture fixture;
        fixture.queue(1);
        const fs::path extra = fixture.image("extra.png");
        FileListView view(fixture.vm.get());
        view.resize(400, 200);
        view.show();
        QMimeData data;
        data.setUrls({QUrl::fromLocalFile(QString::fromStdString(extra.string()))});
        const QPoint point = view.viewport()->rect().center();
        QDragEnterEvent enter(point, Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(view.viewport(), &enter);
        QVERIFY(!enter.isAccepted());
        QDropEvent dropped(point, Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(view.viewport(), &dropped);
        QCoreApplication::processEvents();
        QCOMPARE(fixture.vm->items().size(), 1);
    }

    void deleteInTheContextMenuRemovesThatRow()
    {
        QueueFixture fixture;
        fixture.queue(3);
        FileListView view(fixture.vm.get());
        view.resize(500, 300);
        view.show();
        QVERIFY(QTest::qWaitForWindowExposed(&view));
        const ImageItem* target = fixture.vm->items()[1];
        QPointer<QMenu> menu = view.showContextMenu(view.visualRect(view.model()->index(1, 0)).center());
        QVERIFY(menu);
        QCOMPARE(menu->actions().size(), 1);
        QCOMPARE(menu->actions()[0]->text(), QStringLiteral("Delete"));
        menu->actions()[0]->trigger();
        menu->close();
        QCOMPARE(fixture.vm->items().size(), 2);
        QVERIFY(!fixture.vm->items().contains(const_cast<ImageItem*>(target)));
        QTRY_VERIFY(!menu);

        QVERIFY(!view.showContextMenu(QPoint(10, view.viewport()->height() - 5)));
    }
};

QTEST_MAIN(FileListViewTests)
#include "FileListViewTests.moc"
