// Run control driven by a scripted processor whose event stream each test feeds by hand (or from a
// worker thread). The real processor behind the same view model is run end to end by CliTests.
#include "app/Services/FileService.h"
#include "app/ViewModels/ProcessingViewModel.h"
#include "support/ScriptedProcessor.h"

#include <QImage>
#include <QTemporaryDir>
#include <QtTest>

#include <atomic>
#include <fstream>
#include <thread>

using namespace pelorin;
namespace fs = std::filesystem;
using Kind = ProcessingStatus::Kind;
using Event = BatchProcessingEvent;

namespace {

using test::ScriptedProcessor;

struct MemorySettings final : SettingsPersisting {
    ProcessingSettings stored;
    mutable std::vector<ProcessingSettings> saves;
    ProcessingSettings load() const override { return stored; }
    void save(const ProcessingSettings& settings) const override { saves.push_back(settings); }
};

struct Fixture {
    QTemporaryDir tmp;
    fs::path dir = tmp.path().toStdString();
    std::shared_ptr<ScriptedProcessor> processor = std::make_shared<ScriptedProcessor>();
    std::shared_ptr<FileService> files = std::make_shared<FileService>();
    std::shared_ptr<MemorySettings> store = std::make_shared<MemorySettings>();
    std::vector<fs::path> opened;
    std::unique_ptr<ProcessingViewModel> vm;

    explicit Fixture(ProcessingSettings stored = {})
    {
        store->stored = stored;
        vm = std::make_unique<ProcessingViewModel>(processor, files, store,
                                                   [this](const fs::path& folder) { opened.push_back(folder); });
    }
    // A readable 4×4 image (PNG bytes whatever the name says: sources are opened by content).
    fs::path image(const std::string& name) const
    {
        const fs::path path = dir / name;
        fs::create_directories(path.parent_path());
        QImage pixels(4, 4, QImage::Format_RGB32);
        pixels.fill(Qt::red);
        pixels.save(QString::fromStdString(path.string()), "PNG");
        return path;
    }
    ScriptedProcessor::Run& run() { return processor->runs.back(); }
    ImageItem* row(int i) const { return vm->items().at(i); }
    // Events are applied on the GUI thread once the event loop runs.
    void send(std::initializer_list<Event> events, bool finish = false)
    {
        for (const auto& event : events)
            run().events.yield(event);
        if (finish)
            run().events.finish();
        QCoreApplication::processEvents();
    }
    QStringList names(bool masks = false)
    {
        QStringList result;
        for (const auto& job : run().jobs) {
            const auto& url = masks ? job.maskOutputURL() : std::optional(job.outputURL());
            result.append(url ? QString::fromStdString(url->filename().string()) : QStringLiteral("-"));
        }
        return result;
    }
};

} // namespace

class ProcessingViewModelTests : public QObject {
    Q_OBJECT

private slots:
    // Names from the source's stem; ".." and forbidden characters never reach the output name, but a
    // dot carrying a combining mark is another character and stays.
    void cutoutBaseNames()
    {
        const std::pair<const char16_t*, const char16_t*> cases[] = {
            {u"/p/Beach day.HEIC", u"Beach day-cutout"},
            {u"/p/a.b.jpg", u"a.b-cutout"},
            {u"/p/a:b.png", u"a_b-cutout"},
            {u"/p/a..b.png", u"a_b-cutout"},
            {u"/p/a...b.png", u"a_.b-cutout"},
            {u"/p/a.\u0301.c.png", u"a.\u0301.c-cutout"},
            {u"/p/", u"image-cutout"},
            {u"/p/.фото 写真.png", u".фото 写真-cutout"},
        };
        for (const auto& [source, base] : cases)
            QCOMPARE(ProcessingViewModel::cutoutBaseName(fs::path(QString::fromUtf16(source).toStdString())),
                     QString::fromUtf16(base));
    }

    void addFilesQueuesEachFileOnceInOneChange()
    {
        Fixture f;
        const fs::path a = f.image("a.png"), b = f.image("sub/b.jpg");
        f.image("sub/.hidden.png");
        std::ofstream(f.dir / "notes.gif") << "x";
        QSignalSpy changes(f.vm.get(), &ProcessingViewModel::itemsChanged);

        f.vm->addFiles({a, f.dir / "sub", f.dir / "sub/../a.png", f.dir / "notes.gif", f.dir / "missing.png"});
        QCOMPARE(changes.count(), 1);
        QCOMPARE(f.vm->items().size(), 2);
        QCOMPARE(f.row(0)->url(), a); // kept as given, first position wins
        QCOMPARE(f.row(1)->url(), b);

        f.vm->addFiles({f.dir / "./sub/b.jpg", f.dir});
        QCOMPARE(f.vm->items().size(), 2);
    }

    // Beside the sources, names on disk are never reused and masks follow their cutout's final name.
    void startNamesOutputsUniquely()
    {
        Fixture f({OutputFormat::png, std::nullopt, true});
        f.vm->addFiles({f.image("photo.jpg"), f.image("photo.png")});
        std::ofstream(f.dir / "photo-cutout.png") << "x";
        std::ofstream(f.dir / "photo-cutout-1-mask.png") << "x";
        f.vm->startProcessing();
        QCOMPARE(f.names(), (QStringList{"photo-cutout-1.png", "photo-cutout-2.png"}));
        QCOMPARE(f.names(true), (QStringList{"photo-cutout-1-mask-1.png", "photo-cutout-2-mask.png"}));
    }

    void eventsUpdateTheirRowsOnly()
    {
        Fixture f;
        f.vm->addFiles({f.image("a.png"), f.image("b.png"), f.image("c.png"), f.image("d.png")});
        QSignalSpy processing(f.vm.get(), &ProcessingViewModel::isProcessingChanged);
        QSignalSpy finished(f.vm.get(), &ProcessingViewModel::processingFinished);
        QSignalSpy rowChanges(f.vm.get(), &ProcessingViewModel::itemChanged);
        f.vm->startProcessing();
        f.vm->addFiles({f.image("late.png")});
        const Uuid a = f.row(0)->id(), b = f.row(1)->id(), c = f.row(2)->id(), d = f.row(3)->id();

        f.send({Event::started(a), Event::started(b), Event::started(Uuid::random()), Event::started(f.row(4)->id())});
        QCOMPARE(f.row(0)->status().kind(), Kind::processing);
        QCOMPARE(f.row(4)->status().kind(), Kind::waiting); // added after Start: not part of this run
        QCOMPARE(rowChanges.count(), 2);

        const fs::path out = f.dir / "a-cutout.png";
        f.send(
            {Event::completed(a, out),
             Event::completedWithWarning(b, f.dir / "b-cutout.png",
                                         BatchProcessingError::writeFailed(f.dir / "b-cutout-mask.png", "Disk full")),
             Event::failed(c, BatchProcessingError::sourceImageUnreadable(f.dir / "c.png")), Event::cancelled(d)});
        QCOMPARE(f.row(0)->status(), ProcessingStatus::completed());
        QCOMPARE(f.row(0)->outputURL(), std::optional(out));
        QCOMPARE(f.row(1)->status(), ProcessingStatus::completed());
        QCOMPARE(f.row(1)->errorMessage(),
                 std::optional(QStringLiteral("Failed to write b-cutout-mask.png: Disk full")));
        QCOMPARE(f.row(2)->status(), ProcessingStatus::error(QStringLiteral("Could not read source image at c.png.")));
        QCOMPARE(f.row(2)->errorMessage(), std::optional(f.row(2)->status().message()));
        QCOMPARE(f.row(3)->status(), ProcessingStatus::cancelled());
        QCOMPARE(f.vm->completedCount(), 2);
        QVERIFY(f.vm->isProcessing()); // until the stream finishes
        QCOMPARE(finished.count(), 0);

        f.send({}, true);
        QVERIFY(!f.vm->isProcessing());
        QCOMPARE(processing.count(), 2);
        QCOMPARE(finished.count(), 1);
        // Open in File Manager: the folder of the first written cutout, else the chosen folder.
        f.vm->openOutputFolder();
        f.vm->setOutputDirectory(f.dir / "chosen");
        f.vm->openOutputFolder();
        QCOMPARE(f.opened, (std::vector<fs::path>{f.dir, f.dir / "chosen"}));
    }

    void startRerunsOnlyUnfinishedRows()
    {
        Fixture f;
        f.vm->addFiles({f.image("a.png"), f.image("b.png"), f.image("c.png"), f.image("d.png"), f.image("e.png")});
        QSignalSpy itemChanges(f.vm.get(), &ProcessingViewModel::itemsChanged);
        f.vm->startProcessing();
        const auto ids = [&] {
            std::vector<Uuid> v;
            for (auto* r : f.vm->items())
                v.push_back(r->id());
            return v;
        }();
        f.send({Event::completed(ids[0], f.dir / "a-cutout.png"),
                Event::failed(ids[1], BatchProcessingError::compositeFailed("x")), Event::cancelled(ids[2]),
                Event::started(ids[3])});

        // While the run goes on, the queue keeps its rows and a second Start is refused.
        f.vm->clearItems();
        f.vm->removeItem(f.row(0));
        f.vm->startProcessing();
        QCOMPARE(f.vm->items().size(), 5);
        QCOMPARE(itemChanges.count(), 0);
        QCOMPARE(f.processor->runs.size(), size_t(1));
        f.vm->addFiles({f.image("late.png")});
        f.send({Event::cancelled(ids[4])}, true); // the row of ids[3] never gets its final event

        QVERIFY(f.vm->canStartProcessing());
        f.vm->startProcessing();
        QCOMPARE(f.names(), (QStringList{"b-cutout.png", "c-cutout.png", "e-cutout.png", "late-cutout.png"}));
        QCOMPARE(f.row(1)->status(), ProcessingStatus::waiting());
        QVERIFY(!f.row(1)->errorMessage());
        QCOMPARE(f.row(3)->status(), ProcessingStatus::processing());
        f.send({Event::completed(ids[1], {}), Event::completed(ids[2], {}), Event::completed(ids[4], {}),
                Event::completed(f.row(5)->id(), {})},
               true);

        f.vm->removeItem(f.row(3)); // the stuck row: afterwards everything is done
        QVERIFY(!f.vm->canStartProcessing());
        f.vm->startProcessing();
        QCOMPARE(f.processor->runs.size(), size_t(2));
    }

    void cancelAsksTheRunAndWaitsForItsEnd()
    {
        Fixture f;
        f.vm->cancelProcessing(); // no run: nothing
        QVERIFY(!f.vm->isCancelling());
        f.vm->addFiles({f.image("a.png"), f.image("b.png")});
        f.vm->startProcessing();
        QSignalSpy cancelling(f.vm.get(), &ProcessingViewModel::isCancellingChanged);
        f.vm->cancelProcessing();
        f.vm->cancelProcessing();
        QCOMPARE(f.run().cancels->load(), 2);
        QCOMPARE(cancelling.count(), 1);
        QVERIFY(f.vm->isCancelling() && f.vm->isProcessing());
        f.send({Event::completed(f.row(0)->id(), f.dir / "a-cutout.png"), Event::cancelled(f.row(1)->id())}, true);
        QVERIFY(!f.vm->isCancelling() && !f.vm->isProcessing());
        QCOMPARE(f.row(1)->status(), ProcessingStatus::cancelled());

        // On quit: the processor winds down on its own thread while the view model waits; its
        // events are applied in the order they were sent.
        f.vm->addFiles({f.image("c.png"), f.image("d.png"), f.image("e.png")});
        std::thread winder;
        f.processor->onCancel = [&winder](const ScriptedProcessor::Run& run) {
            winder = std::thread([run] {
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
                for (const auto& job : run.jobs) {
                    run.events.yield(Event::started(job.id()));
                    run.events.yield(Event::cancelled(job.id()));
                }
                run.events.finish();
            });
        };
        f.vm->startProcessing();
        QVERIFY(f.vm->cancelAndWait(5000));
        winder.join();
        for (int i = 1; i < 5; ++i)
            QCOMPARE(f.row(i)->status(), ProcessingStatus::cancelled());

        // A run that ignores the request is given up on at the deadline.
        f.processor->onCancel = nullptr;
        f.vm->startProcessing();
        QElapsedTimer clock;
        clock.start();
        QVERIFY(!f.vm->cancelAndWait(100));
        QVERIFY(clock.elapsed() >= 100 && clock.elapsed() < 3000);
        QVERIFY(f.vm->isProcessing());
    }

    void destroyingDuringARunCancelsIt()
    {
        Fixture f;
        f.vm->addFiles({f.image("a.png"), f.image("b.png")});
        f.vm->startProcessing();
        const auto run = f.run();
        std::atomic<bool> stop = false;
        std::thread producer([run, &stop] {
            while (!stop) {
                run.events.yield(Event::started(run.jobs[0].id()));
                std::this_thread::sleep_for(std::chrono::microseconds(50));
            }
        });
        QTRY_COMPARE(f.row(0)->status(), ProcessingStatus::processing());
        f.vm.reset(); // while events keep arriving and wake-ups are queued
        QCOMPARE(run.cancels->load(), 1);
        QVERIFY(!run.events.yield(Event::cancelled(run.jobs[1].id()))); // the stream was dropped
        QCoreApplication::processEvents();
        stop = true;
        producer.join();
    }

    // The chosen folder is never stored; format and mask choices are, at once.
    void settingsAreSavedButNotTheFolder()
    {
        Fixture f({OutputFormat::tiff, std::nullopt, true});
        QCOMPARE(f.vm->settings(), f.store->stored);
        QVERIFY(!f.vm->canOpenOutputFolder());
        f.vm->setOutputDirectory(f.dir / "chosen");
        f.vm->resetOutputDirectory();
        QVERIFY(f.store->saves.empty());
        f.vm->exportMaskSeparatelyBinding().set(false);
        f.vm->setOutputFormatRawValue(QStringLiteral("TIFF")); // not a format: ignored
        f.vm->setOutputFormatRawValue(QStringLiteral("png"));
        QCOMPARE(f.store->saves,
                 (std::vector<ProcessingSettings>{{OutputFormat::tiff, std::nullopt, false},
                                                  {OutputFormat::png, std::nullopt, false}}));
    }
};

QTEST_GUILESS_MAIN(ProcessingViewModelTests)
#include "ProcessingViewModelTests.moc"
