// The main window's content on the real widgets, driven by a scripted batch processor: the two
// layouts, a run from Start to the footer's count, Cancel, the keys, Clear with and without the
// question, and cancelling when the window closes. Saves the window's screenshots.
#include "app/Views/ContentView.h"
#include "app/Views/SummaryView.h"
#include "support/WindowTestSupport.h"

#include <QMessageBox>
#include <QPushButton>
#include <QToolButton>

using namespace pelorin;
using namespace pelorin::uitest;
using Event = BatchProcessingEvent;

namespace {

// The content as the window shows it: 700×600, active, so window-wide keys reach it.
struct Window {
    QueueFixture fixture;
    ContentView view{fixture.vm.get()};

    Window()
    {
        view.resize(700, 600);
        view.show();
        view.activateWindow();
    }
    QPushButton* button(const char* name) const { return view.findChild<QPushButton*>(QString::fromLatin1(name)); }
    QPushButton* primary() const { return button("primaryButton"); }
    QPushButton* clear() const { return button("clearButton"); }
    QPushButton* open() const { return button("openInFileManagerButton"); }
    QWidget* summary() const { return view.findChild<QWidget*>(QStringLiteral("summaryArea")); }
    void key(int key, Qt::KeyboardModifiers modifiers = Qt::NoModifier)
    {
        QTest::keyClick(QApplication::focusWidget() ? QApplication::focusWidget() : &view,
                        static_cast<Qt::Key>(key), modifiers);
    }
    SummaryView* footer() const { return view.findChild<SummaryView*>(); }
};

} // namespace

class ContentViewTests : public QObject {
    Q_OBJECT

private slots:
    void initTestCase()
    {
        loadEnglishCatalogues();
    }

    void layoutsFollowTheQueue()
    {
        Window window;
        QVERIFY(QTest::qWaitForWindowActive(&window.view));
        QVERIFY(!window.view.isShowingQueue());
        QVERIFY(window.view.minimumSize() == QSize(640, 520));
        saveScreenshot(&window.view, QStringLiteral("window-empty"));

        window.fixture.queue(3);
        QVERIFY(window.view.isShowingQueue());
        QVERIFY(!window.summary()->isVisible()); // nothing done, no run: no footer
        QVERIFY(!window.open()->isEnabled());
        QCOMPARE(window.primary()->text(), QStringLiteral("Start"));

        auto* gear = window.view.findChild<QToolButton*>(QStringLiteral("gearButton"));
        QVERIFY(gear && !gear->icon().isNull());
        QSignalSpy settingsRequested(&window.view, &ContentView::settingsRequested);
        gear->click();
        QCOMPARE(settingsRequested.count(), 1);

        window.fixture.vm->clearItems();
        QVERIFY(!window.view.isShowingQueue());
    }

    // Start → running → events → idle, with the footer's count and the button's three forms.
    void runFromStartToFooterCount()
    {
        Window window;
        QVERIFY(QTest::qWaitForWindowActive(&window.view));
        window.fixture.queue(3);
        QTest::mouseClick(window.primary(), Qt::LeftButton);
        QCOMPARE(window.fixture.processor->runs.size(), size_t(1));
        QVERIFY(window.fixture.vm->isProcessing());
        QCOMPARE(window.primary()->text(), QStringLiteral("Cancel"));
        QCOMPARE(window.primary()->accessibleName(), QStringLiteral("Cancel"));
        QVERIFY(window.primary()->isEnabled());
        QVERIFY(!window.clear()->isEnabled());
        QVERIFY(window.summary()->isVisible()); // a run always shows the footer

        window.fixture.send({Event::started(window.fixture.job(0)), Event::started(window.fixture.job(1)),
                             Event::completed(window.fixture.job(0), window.fixture.output(0))});
        QCOMPARE(window.footer()->progressText(), QStringLiteral("1 of 3 processed"));
        QVERIFY(window.open()->isEnabled());
        saveScreenshot(&window.view, QStringLiteral("window-mid-run"));

        window.fixture.send({Event::completedWithWarning(window.fixture.job(1), window.fixture.output(1),
                                                         BatchProcessingError::writeFailed("photo-2-cutout-mask.png", "disk full")),
                             Event::started(window.fixture.job(2)),
                             Event::failed(window.fixture.job(2), BatchProcessingError::sourceImageUnreadable(
                                                                      window.fixture.dir / "photo-3.png"))},
                            true);
        QTRY_VERIFY(!window.fixture.vm->isProcessing());
        QCOMPARE(window.primary()->text(), QStringLiteral("Start"));
        QVERIFY(window.primary()->isEnabled()); // the failed row can be retried
        QVERIFY(window.clear()->isEnabled());
        QVERIFY(window.summary()->isVisible()); // stays: rows completed
        QCOMPARE(window.footer()->progressText(), QStringLiteral("2 of 3 processed"));
        window.fixture.vm->setOutputDirectory(window.fixture.dir / "Cutouts"); // shows Reset too
        saveScreenshot(&window.view, QStringLiteral("window-finished-with-failure-and-warning"));
    }

    // Escape and the button cancel once; afterwards the button reads "Cancelling…" and is inert.
    void cancelTurnsIntoCancelling()
    {
        Window window;
        QVERIFY(QTest::qWaitForWindowActive(&window.view));
        window.fixture.queue(2);
        window.key(Qt::Key_Escape); // idle: Escape cancels nothing and starts nothing
        QVERIFY(window.fixture.processor->runs.empty());
        window.key(Qt::Key_Return);
        QCOMPARE(window.fixture.processor->runs.size(), size_t(1));
        window.fixture.send({Event::started(window.fixture.job(0))});

        window.key(Qt::Key_Escape);
        QCOMPARE(window.fixture.cancels(), 1);
        QVERIFY(window.fixture.vm->isCancelling());
        QCOMPARE(window.primary()->text(), QStringLiteral("Cancelling…"));
        QCOMPARE(window.primary()->accessibleName(), QStringLiteral("Cancelling…"));
        QVERIFY(!window.primary()->isEnabled());
        QVERIFY(!window.primary()->icon().isNull()); // the spinner
        QCOMPARE(window.footer()->processingLabel(), QStringLiteral("Cancelling…"));
        saveScreenshot(&window.view, QStringLiteral("window-cancelling"));

        window.key(Qt::Key_Escape);
        QTest::mouseClick(window.primary(), Qt::LeftButton);
        window.key(Qt::Key_Return);
        QCOMPARE(window.fixture.cancels(), 1);
        QCOMPARE(window.fixture.processor->runs.size(), size_t(1));

        window.fixture.send({Event::cancelled(window.fixture.job(0)), Event::cancelled(window.fixture.job(1))}, true);
        QTRY_COMPARE(window.primary()->text(), QStringLiteral("Start"));
        QVERIFY(window.primary()->isEnabled());
        QVERIFY(!window.summary()->isVisible()); // nothing completed
    }

    // Return only while Start is enabled; Ctrl+Shift+O only while Open in File Manager is.
    void keysRespectDisabledButtons()
    {
        Window window;
        QVERIFY(QTest::qWaitForWindowActive(&window.view));
        window.fixture.queue(1);
        window.key(Qt::Key_O, Qt::ControlModifier | Qt::ShiftModifier);
        QVERIFY(window.fixture.opened.empty());

        window.key(Qt::Key_Enter);
        QCOMPARE(window.fixture.processor->runs.size(), size_t(1));
        window.fixture.send({Event::completed(window.fixture.job(0), window.fixture.output(0))}, true);
        QTRY_VERIFY(!window.fixture.vm->isProcessing());
        QVERIFY(!window.primary()->isEnabled()); // everything done: nothing to start
        window.key(Qt::Key_Return);
        QCOMPARE(window.fixture.processor->runs.size(), size_t(1));

        QVERIFY(window.open()->isEnabled());
        window.key(Qt::Key_O, Qt::ControlModifier | Qt::ShiftModifier);
        QCOMPARE(window.fixture.opened.size(), size_t(1));
    }

    void clearAsksFromFiveRows()
    {
        Window window;
        QVERIFY(QTest::qWaitForWindowActive(&window.view));
        window.fixture.queue(4);
        QTest::mouseClick(window.clear(), Qt::LeftButton);
        QVERIFY(!window.view.clearConfirmation());
        QVERIFY(!window.fixture.vm->hasItems());
        QVERIFY(!window.view.isShowingQueue());

        window.fixture.queue(5);
        auto kept = std::make_shared<bool>(false);
        answerModal(QStringLiteral("Keep"), kept);
        QTest::mouseClick(window.clear(), Qt::LeftButton);
        QPointer<QMessageBox> question = window.view.clearConfirmation();
        QVERIFY(question);
        QTRY_VERIFY(*kept);
        QTRY_VERIFY(!question);
        QCOMPARE(window.fixture.vm->items().size(), 5);
        for (int i = 1; i <= 5; ++i) // clearing never touches the files
            QVERIFY(std::filesystem::exists(window.fixture.dir / ("photo-" + std::to_string(i) + ".png")));

        auto cleared = std::make_shared<bool>(false);
        answerModal(QStringLiteral("Clear All"), cleared);
        QTest::mouseClick(window.clear(), Qt::LeftButton);
        QTRY_VERIFY(*cleared);
        QTRY_VERIFY(!window.fixture.vm->hasItems());
        QVERIFY(!window.view.isShowingQueue());
    }

    // Closing the window cancels the run; a window without a run closes quietly.
    void closingCancelsTheRun()
    {
        Window window;
        QVERIFY(QTest::qWaitForWindowExposed(&window.view));
        window.fixture.queue(2);
        window.primary()->click();
        QVERIFY(window.fixture.vm->isProcessing());
        window.view.close();
        QCOMPARE(window.fixture.cancels(), 1);
        QVERIFY(window.fixture.vm->isCancelling());
    }
};

QTEST_MAIN(ContentViewTests)
#include "ContentViewTests.moc"
