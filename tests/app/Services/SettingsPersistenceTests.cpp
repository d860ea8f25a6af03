// The preference store: what survives a restart (format and mask choice), what never does (the
// output folder), and how values written by hand or by other versions are read.
#include "app/Services/SettingsPersistence.h"

#include <QFile>
#include <QSettings>
#include <QTemporaryDir>
#include <QTest>

using namespace pelorin;

class SettingsPersistenceTests : public QObject {
    Q_OBJECT

    std::shared_ptr<QSettings> openStore() const
    {
        return std::make_shared<QSettings>(file_, QSettings::IniFormat);
    }

    // An INI file written as another program (or a person) would.
    std::shared_ptr<QSettings> storeWith(const QByteArray& iniText)
    {
        QFile ini(file_);
        if (!ini.open(QIODevice::WriteOnly | QIODevice::Truncate))
            return nullptr;
        ini.write("[General]\n" + iniText);
        ini.close();
        return openStore();
    }

private slots:
    void init()
    {
        sandbox_ = std::make_unique<QTemporaryDir>();
        QVERIFY(sandbox_->isValid());
        file_ = sandbox_->filePath(QStringLiteral("settings.ini"));
    }

    void emptyStoreGivesDefaults()
    {
        QCOMPARE(SettingsPersistence(openStore()).load(), ProcessingSettings());
        QCOMPARE(SettingsPersistence(nullptr).load(), ProcessingSettings());
        SettingsPersistence(nullptr).save(ProcessingSettings()); // no store: nothing to do, no crash
    }

    // Saved through one store object, read back through a fresh one on the same file, as after
    // a restart; the output folder is not among what comes back.
    void survivesRestart_data()
    {
        QTest::addColumn<int>("format");
        QTest::addColumn<bool>("mask");
        QTest::newRow("tiff with mask") << int(OutputFormat::tiff) << true;
        QTest::newRow("png without mask") << int(OutputFormat::png) << false;
    }
    void survivesRestart()
    {
        QFETCH(int, format);
        QFETCH(bool, mask);
        ProcessingSettings chosen;
        chosen.outputFormat = OutputFormat(format);
        chosen.exportMaskSeparately = mask;
        chosen.outputDirectory = "/tmp/elsewhere";
        SettingsPersistence(openStore()).save(chosen);

        const ProcessingSettings restored = SettingsPersistence(openStore()).load();
        QCOMPARE(restored.outputFormat, chosen.outputFormat);
        QCOMPARE(restored.exportMaskSeparately, mask);
        QVERIFY(!restored.outputDirectory);
        QCOMPARE(openStore()->allKeys(),
                 QStringList({SettingsPersistence::exportMaskSeparatelyKey, SettingsPersistence::outputFormatKey}));
        QCOMPARE(openStore()->value(SettingsPersistence::outputFormatKey).toString(),
                 format == int(OutputFormat::tiff) ? QStringLiteral("tiff") : QStringLiteral("png"));
    }

    // Both keys are rewritten on every save, whichever changed.
    void saveWritesBothKeys()
    {
        auto store = storeWith("org.pelorin.Pelorin.outputFormat=garbage\n");
        QVERIFY(store);
        SettingsPersistence persistence(store);
        persistence.save(ProcessingSettings());
        QCOMPARE(store->value(SettingsPersistence::outputFormatKey).toString(), QStringLiteral("png"));
        QVERIFY(store->contains(SettingsPersistence::exportMaskSeparatelyKey));
        QCOMPARE(store->value(SettingsPersistence::exportMaskSeparatelyKey).toBool(), false);
    }

    // Values written by hand or by other versions: the format is read exactly, the mask choice as
    // a boolean; one bad value does not spoil the other.
    void valuesAreReadStrictly_data()
    {
        QTest::addColumn<QByteArray>("format");
        QTest::addColumn<QByteArray>("mask");
        QTest::addColumn<int>("expectedFormat");
        QTest::addColumn<bool>("expectedMask");
        QTest::newRow("tiff, true") << QByteArray("tiff") << QByteArray("true") << int(OutputFormat::tiff) << true;
        QTest::newRow("upper case, YES") << QByteArray("TIFF") << QByteArray("YES") << int(OutputFormat::png) << true;
        QTest::newRow("other format, 0") << QByteArray("jpeg") << QByteArray("0") << int(OutputFormat::png) << false;
        QTest::newRow("bytes, garbage") << QByteArray("@ByteArray(tiff)") << QByteArray("maybe") << int(OutputFormat::png) << false;
        QTest::newRow("tiff, empty") << QByteArray("tiff") << QByteArray("") << int(OutputFormat::tiff) << false;
        QTest::newRow("empty, true") << QByteArray("") << QByteArray("true") << int(OutputFormat::png) << true;
    }
    void valuesAreReadStrictly()
    {
        QFETCH(QByteArray, format);
        QFETCH(QByteArray, mask);
        QFETCH(int, expectedFormat);
        QFETCH(bool, expectedMask);
        auto store = storeWith("org.pelorin.Pelorin.outputFormat=" + format + "\norg.pelorin.Pelorin.exportMaskSeparately=" + mask + "\n");
        QVERIFY(store);
        const auto settings = SettingsPersistence(store).load();
        QCOMPARE(int(settings.outputFormat), expectedFormat);
        QCOMPARE(settings.exportMaskSeparately, expectedMask);
    }

private:
    std::unique_ptr<QTemporaryDir> sandbox_;
    QString file_;
};

QTEST_GUILESS_MAIN(SettingsPersistenceTests)
#include "SettingsPersistenceTests.moc"
