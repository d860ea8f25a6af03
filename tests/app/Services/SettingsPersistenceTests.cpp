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

    void formatIsReadExactly_data()
    {
        QTest::addColumn<QByteArray>("stored");
        QTest::addColumn<int>("expected");
        QTest::newRow("tiff") << QByteArray("tiff") << int(OutputFormat::tiff);
        QTest::newRow("upper case") << QByteArray("TIFF") << int(OutputFormat::png);
        QTest::newRow("other format") << QByteArray("jpeg") << int(OutputFormat::png);
        QTest::newRow("bytes") << QByteArray("@ByteArray(tiff)") << int(OutputFormat::png);
        QTest::newRow("empty") << QByteArray("") << int(OutputFormat::png);
    }
    void formatIsReadExactly()
    {
        QFETCH(QByteArray, stored);
        QFETCH(int, expected);
        auto store = storeWith("org.pelorin.Pelorin.outputFormat=" + stored + "\n");
        QVERIFY(store);
        QCOMPARE(int(SettingsPersistence(store).load().outputFormat), expected);
    }

    void maskIsReadAsBoolean_data()
    {
        QTest::addColumn<QByteArray>("stored");
        QTest::addColumn<bool>("expected");
        QTest::newRow("true") << QByteArray("true") << true;
        QTest::newRow("YES") << QByteArray("YES") << true;
        QTest::newRow("0") << QByteArray("0") << false;
        QTest::newRow("garbage") << QByteArray("maybe") << false;
        QTest::newRow("empty") << QByteArray("") << false;
    }
    void maskIsReadAsBoolean()
    {
        QFETCH(QByteArray, stored);
        QFETCH(bool, expected);
        auto store = storeWith("org.pelorin.Pelorin.outputFormat=tiff\norg.pelorin.Pelorin.exportMaskSeparately=" + stored + "\n");
        QVERIFY(store);
        const auto settings = SettingsPersistence(store).load();
        QCOMPARE(settings.exportMaskSeparately, expected);
        QCOMPARE(settings.outputFormat, OutputFormat::tiff); // one bad value does not spoil the other
    }

private:
    std::unique_ptr<QTemporaryDir> sandbox_;
    QString file_;
};

QTEST_GUILESS_MAIN(SettingsPersistenceTests)
#include "SettingsPersistenceTests.moc"
