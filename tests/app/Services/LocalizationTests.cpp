// Localised texts: placeholder filling, the process-wide localizer, and the Qt catalogue behind it
// (embedded, ID-based, agreeing with the English templates the engine passes).
#include "engine/Common/Localization.h"
#include "engine/Services/BatchProcessingError.h"
#include "app/Services/QtLocalizer.h"

#include <QCoreApplication>
#include <QTest>

#include <atomic>
#include <thread>

using namespace pelorin;

namespace {

std::vector<BatchProcessingError> everyBatchError()
{
    return {BatchProcessingError::sourceImageUnreadable("/holiday/IMG 1.heic"),
            BatchProcessingError::maskGenerationFailed("model missing"),
            BatchProcessingError::compositeFailed(""),
            BatchProcessingError::writeFailed("/out/a-cutout.png", "Disk full"),
            BatchProcessingError::unsupportedOutputFormat(OutputFormat::tiff)};
}

} // namespace

class LocalizationTests : public QObject {
    Q_OBJECT

private slots:
    void cleanup() { setLocalizer({}); }

    void fillPlaceholders_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QString>("expected");
        QTest::newRow("in order") << "Failed to write %1: %2" << QStringList{"a.png", "Disk full"}
                                  << "Failed to write a.png: Disk full";
        QTest::newRow("reordered, repeated") << "%2-%1-%2" << QStringList{"a", "b"} << "b-a-b";
        QTest::newRow("one pass") << "%1 %2" << QStringList{"%2", "x"} << "%2 x";
        QTest::newRow("missing argument kept") << "%1 and %3" << QStringList{"a"} << "a and %3";
        QTest::newRow("percent percent, %0") << "100%% %1 %0" << QStringList{"done"} << "100%% done %0";
        QTest::newRow("two digits") << "%10|%1" << QStringList{"1", "2", "3", "4", "5", "6", "7", "8", "9", "ten"}
                                    << "ten|1";
        QTest::newRow("two digits, too few") << "%12" << QStringList{"a"} << "%12";
    }
    void fillPlaceholders()
    {
        QFETCH(QString, text);
        QFETCH(QStringList, arguments);
        QFETCH(QString, expected);
        std::vector<std::string> args;
        for (const auto& argument : arguments)
            args.push_back(argument.toStdString());
        QCOMPARE(QString::fromStdString(pelorin::fillPlaceholders(text.toStdString(), args)), expected);
    }

    void localizerIsReplaceable()
    {
        QCOMPARE(localized("k", "Hello %1", {"you"}), std::string("Hello you"));
        setLocalizer([](std::string_view key, std::string_view, const std::vector<std::string>& a) {
            return std::string(key) + ":" + a.at(0);
        });
        QCOMPARE(localized("k", "Hello %1", {"you"}), std::string("k:you"));
        // A throwing catalogue falls back to English rather than losing the message.
        setLocalizer([](std::string_view, std::string_view, const std::vector<std::string>& a) -> std::string {
            return a.at(5);
        });
        QCOMPARE(localized("k", "Hello %1", {"you"}), std::string("Hello you"));
        setLocalizer({});
        QCOMPARE(localized("k", "Hello %1", {"you"}), std::string("Hello you"));
    }

    // Texts are formed on worker threads while the application may swap the localizer.
    void concurrentUse()
    {
        std::atomic<bool> wrong = false;
        std::vector<std::thread> threads;
        for (int t = 0; t < 4; ++t)
            threads.emplace_back([&] {
                for (int i = 0; i < 2000; ++i) {
                    const auto text = localized("k", "v %1", {"x"});
                    if (text != "v x" && text != "V x")
                        wrong = true;
                }
            });
        for (int i = 0; i < 500; ++i)
            setLocalizer(i % 2 ? Localizer{} : Localizer([](auto, auto, const auto& a) { return "V " + a.at(0); }));
        for (auto& thread : threads)
            thread.join();
        QVERIFY(!wrong);
    }

    // The embedded catalogue wins over the caller's template, unknown keys fall back to it, and
    // each batch error reads the same through the catalogue as from the engine's own template.
    void catalogueAgreesWithEngine()
    {
        QVERIFY(loadTranslations(*QCoreApplication::instance()));
        QCOMPARE(qtTrId("viewmodel.error.unknownFallback"), QStringLiteral("Unknown error"));
        std::vector<std::string> english;
        for (const auto& error : everyBatchError())
            english.push_back(error.errorDescription());

        installQtLocalizer();
        QCOMPARE(localized("batch.error.writeFailed", "template %2 %1", {"a.png", "Disk full"}),
                 std::string("Failed to write a.png: Disk full"));
        QCOMPARE(localized("no.such.key", "Plain %1", {"text"}), std::string("Plain text"));
        for (size_t i = 0; i < english.size(); ++i)
            QCOMPARE(QString::fromStdString(everyBatchError()[i].errorDescription()), QString::fromStdString(english[i]));
    }
};

QTEST_GUILESS_MAIN(LocalizationTests)
#include "LocalizationTests.moc"
