// The settings bar and the settings sheet on the real widgets: folder text, Reset, the folder
// picker, format pickers kept in step with each other and the list, the sheet's keys and tabs.
#include "app/Views/FileListModel.h"
#include "app/Views/FileListView.h"
#include "app/Views/FormatPicker.h"
#include "app/Views/MiddleElidedLabel.h"
#include "app/Views/SettingsBar.h"
#include "app/Views/SettingsSheet.h"
#include "support/WindowTestSupport.h"

#include <QCheckBox>
#include <QFileDialog>
#include <QLabel>
#include <QPushButton>
#include <QTabWidget>

using namespace pelorin;
using namespace pelorin::uitest;

namespace {

QAbstractButton* segment(QWidget* root, OutputFormat format)
{
    auto* picker = root->findChild<FormatPicker*>(QStringLiteral("formatPicker"));
    return picker ? picker->segment(format) : nullptr;
}

QStringList outputCells(const FileListView& list)
{
    const FileListModel* model = list.fileListModel();
    QStringList cells;
    for (int row = 0; row < model->rowCount(); ++row)
        cells << model->index(row, FileListModel::outputColumn).data().toString();
    return cells;
}

} // namespace

class SettingsViewsTests : public QObject {
    Q_OBJECT

private slots:
    void initTestCase()
    {
        loadEnglishCatalogues();
    }

    void displayPath_data()
    {
        QTest::addColumn<QString>("folder");
        QTest::addColumn<QString>("home");
        QTest::addColumn<QString>("expected");
        QTest::newRow("none") << QString() << "/home/ann" << "(same folder as input)";
        QTest::newRow("home itself") << "/home/ann" << "/home/ann" << "~";
        QTest::newRow("home with trailing slash") << "/home/ann/" << "/home/ann" << "~";
        QTest::newRow("two levels inside") << "/home/ann/Pictures/Cutouts" << "/home/ann" << "~/Pictures/Cutouts";
        QTest::newRow("sibling extending the name") << "/home/annex/out" << "/home/ann" << "/home/annex/out";
        QTest::newRow("sibling, same length prefix") << "/home/ann2" << "/home/ann" << "/home/ann2";
        QTest::newRow("elsewhere") << "/srv/export" << "/home/ann" << "/srv/export";
        QTest::newRow("non-ASCII names count characters")
            << QString::fromUtf8("/home/jürgen/Fotos/Ärger") << QString::fromUtf8("/home/jürgen")
            << QString::fromUtf8("~/Fotos/Ärger");
    }

    void displayPath()
    {
        QFETCH(QString, folder);
        QFETCH(QString, home);
        QFETCH(QString, expected);
        std::optional<std::filesystem::path> chosen;
        if (!folder.isNull())
            chosen = folder.toStdString();
        QCOMPARE(SettingsBar::outputDirectoryDisplayPath(chosen, home.toStdString()), expected);
    }

    // The bar follows the chosen folder: text, tooltip and Reset appear and go together.
    void barFolderRowAndReset()
    {
        QueueFixture fixture;
        QTemporaryDir home;
        const QByteArray savedHome = qgetenv("HOME");
        qputenv("HOME", home.path().toUtf8());
        const auto restoreHome = qScopeGuard([&] { qputenv("HOME", savedHome); });
        const std::filesystem::path inside = std::filesystem::path(home.path().toStdString()) / "Pictures" / "Cutouts";
        std::filesystem::create_directories(inside);

        SettingsBar bar(fixture.vm.get());
        bar.resize(680, bar.sizeHint().height());
        bar.show();
        auto* folder = bar.findChild<MiddleElidedLabel*>(QStringLiteral("outputFolderLabel"));
        auto* reset = bar.findChild<QPushButton*>(QStringLiteral("resetOutputButton"));
        QVERIFY(folder && reset);
        QCOMPARE(folder->fullText(), QStringLiteral("(same folder as input)"));
        QVERIFY(folder->toolTip().isEmpty());
        QVERIFY(!reset->isVisible());

        fixture.vm->setOutputDirectory(inside);
        QCOMPARE(folder->fullText(), QStringLiteral("~/Pictures/Cutouts"));
        QCOMPARE(folder->toolTip(), QString::fromStdString(inside.string()));
        QVERIFY(reset->isVisible());

        // A folder too long for the row is shortened in the middle; the tooltip keeps it whole.
        const std::filesystem::path deep = std::filesystem::path("/srv") / std::string(300, 'x') / "end";
        fixture.vm->setOutputDirectory(deep);
        QCOMPARE(folder->fullText(), QString::fromStdString(deep.string()));
        QVERIFY(folder->text().startsWith(QStringLiteral("/srv/x")));
        QVERIFY(folder->text().endsWith(QStringLiteral("/end")));
        QVERIFY(folder->text().contains(QChar(0x2026)));
        QVERIFY(folder->geometry().right() <= bar.width());

        QTest::mouseClick(reset, Qt::LeftButton);
        QVERIFY(!fixture.vm->settings().outputDirectory);
        QCOMPARE(folder->fullText(), QStringLiteral("(same folder as input)"));
        QVERIFY(folder->toolTip().isEmpty());
        QVERIFY(!reset->isVisible());
    }

    // Change Folder opens a picker for one folder; choosing sets it, cancelling changes nothing.
    void changeFolderThroughPicker()
    {
        QueueFixture fixture;
        QTemporaryDir target;
        SettingsBar bar(fixture.vm.get());
        bar.show();
        auto* change = bar.findChild<QPushButton*>(QStringLiteral("changeFolderButton"));
        QVERIFY(change);

        QTest::mouseClick(change, Qt::LeftButton);
        QPointer<QFileDialog> picker = bar.directoryPicker();
        QVERIFY(picker && picker->isVisible());
        QCOMPARE(picker->fileMode(), QFileDialog::Directory);
        QVERIFY(picker->testOption(QFileDialog::ShowDirsOnly));
        picker->reject();
        QTRY_VERIFY(!picker);
        QVERIFY(!fixture.vm->settings().outputDirectory);

        QTest::mouseClick(change, Qt::LeftButton);
        picker = bar.directoryPicker();
        QVERIFY(picker);
        picker->setDirectory(target.path());
        picker->selectFile(target.path());
        static_cast<QDialog*>(picker.data())->accept(); // protected in QFileDialog
        QTRY_VERIFY(!picker);
        QVERIFY(fixture.vm->settings().outputDirectory);
        QCOMPARE(std::filesystem::path(*fixture.vm->settings().outputDirectory).lexically_normal(),
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
        auto* note = sheet.findChild<QLabel*>(QStringLiteral("formatNote"));
        QVERIFY(note);
        const QString pngNote = note->text();
        QVERIFY(segment(&bar, OutputFormat::png)->isChecked());
        QVERIFY(segment(&sheet, OutputFormat::png)->isChecked());
        QCOMPARE(outputCells(list), QStringList({QStringLiteral("PNG"), QStringLiteral("PNG")}));

        QTest::mouseClick(segment(&bar, OutputFormat::tiff), Qt::LeftButton);
        QCOMPARE(fixture.vm->settings().outputFormat, OutputFormat::tiff);
        QVERIFY(segment(&sheet, OutputFormat::tiff)->isChecked());
        QVERIFY(!segment(&sheet, OutputFormat::png)->isChecked());
        QVERIFY(note->text() != pngNote);
        QCOMPARE(outputCells(list), QStringList({QStringLiteral("TIFF"), QStringLiteral("TIFF")}));

        QTest::mouseClick(segment(&sheet, OutputFormat::png), Qt::LeftButton);
        QCOMPARE(fixture.vm->settings().outputFormat, OutputFormat::png);
        QVERIFY(segment(&bar, OutputFormat::png)->isChecked());
        QCOMPARE(note->text(), pngNote);
        QCOMPARE(outputCells(list), QStringList({QStringLiteral("PNG"), QStringLiteral("PNG")}));
    }

    void maskToggleFollowsSettings()
    {
        QueueFixture fixture;
        SettingsSheet sheet(fixture.vm.get());
        auto* toggle = sheet.findChild<QCheckBox*>(QStringLiteral("exportMaskToggle"));
        QVERIFY(toggle && !toggle->isChecked());
        toggle->click();
        QVERIFY(fixture.vm->settings().exportMaskSeparately);
        fixture.vm->updateExportMaskSeparately(false);
        QVERIFY(!toggle->isChecked());
        // "<basename>" is shown as written, not swallowed as markup.
        bool footerFound = false;
        for (QLabel* label : sheet.findChildren<QLabel*>())
            footerFound |= label->text() == QStringLiteral("Saves <basename>-mask.png alongside the main output.")
                && label->textFormat() == Qt::PlainText;
        QVERIFY(footerFound);
    }

    // Escape closes, Return presses Done, and every opening starts on the Output tab.
    void sheetKeysAndTabs()
    {
        QueueFixture fixture;
        QWidget window;
        window.resize(700, 600);
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        SettingsSheet sheet(fixture.vm.get(), &window);

        sheet.open();
        QVERIFY(QTest::qWaitForWindowActive(&sheet));
        saveScreenshot(&sheet, QStringLiteral("settings-sheet-output"));
        sheet.tabs()->setCurrentIndex(1);
        saveScreenshot(&sheet, QStringLiteral("settings-sheet-mask"));

        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Escape);
        QVERIFY(!sheet.isVisible());

        sheet.open();
        QVERIFY(QTest::qWaitForWindowActive(&sheet));
        QCOMPARE(sheet.tabs()->currentIndex(), 0);
        QSignalSpy accepted(&sheet, &QDialog::accepted);
        // Return reaches Done from inside a tab as well.
        sheet.tabs()->setCurrentIndex(1);
        auto* toggle = sheet.findChild<QCheckBox*>(QStringLiteral("exportMaskToggle"));
        toggle->setFocus();
        QTest::keyClick(toggle, Qt::Key_Return);
        QCOMPARE(accepted.count(), 1);
        QVERIFY(!sheet.isVisible());
        QVERIFY(!fixture.vm->settings().exportMaskSeparately);

        sheet.open();
        QCOMPARE(sheet.tabs()->currentIndex(), 0);
        sheet.doneButton()->click();
        QCOMPARE(accepted.count(), 2);
    }
};

QTEST_MAIN(SettingsViewsTests)
#include "SettingsViewsTests.moc"
