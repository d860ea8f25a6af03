// The update check against real file:// feeds: newer, same and older versions, broken feeds, a
// missing feed; the "can check" flag around a check; and the view model's refusal to create an
// updater in a test harness.
#include "app/Services/QtLocalizer.h"
#include "app/Services/UpdaterFeed.h"
#include "app/ViewModels/UpdaterViewModel.h"
#include "support/ScopedEnvironment.h"

#include <QFile>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

using namespace pelorin;
using Kind = UpdateCheckResult::Kind;

namespace {

constexpr auto currentVersion = "1.4.2";

} // namespace

class UpdaterTests : public QObject {
    Q_OBJECT

private:
    QTemporaryDir sandbox_;

    QUrl writeFeed(const QString& name, const QByteArray& content)
    {
        QFile file(sandbox_.filePath(name));
        if (!file.open(QIODevice::WriteOnly) || file.write(content) != content.size())
            qFatal("cannot write the feed %s", qPrintable(file.fileName()));
        return QUrl::fromLocalFile(file.fileName());
    }

    // Runs one check to its end and returns its single result.
    static UpdateCheckResult check(Updater& updater)
    {
        QSignalSpy finished(&updater, &Updater::checkFinished);
        updater.checkForUpdates();
        if (!finished.wait(10000) || finished.size() != 1)
            qFatal("the check did not finish exactly once");
        return finished.at(0).at(0).value<UpdateCheckResult>();
    }

private slots:
    void initTestCase()
    {
        QVERIFY(sandbox_.isValid());
        QVERIFY(loadTranslations(*QCoreApplication::instance()));
    }

    void feedVersionDecidesTheResult_data()
    {
        QTest::addColumn<QString>("feedVersion");
        QTest::addColumn<Kind>("kind");
        QTest::newRow("newer patch") << "1.4.3" << Kind::updateAvailable;
        QTest::newRow("newer by number, not by text") << "1.10.0" << Kind::updateAvailable;
        QTest::newRow("same") << "1.4.2" << Kind::upToDate;
        QTest::newRow("same, shorter") << "1.4.2.0" << Kind::upToDate;
        QTest::newRow("older") << "1.3.9" << Kind::upToDate;
        QTest::newRow("older major") << "0.99" << Kind::upToDate;
    }
    void feedVersionDecidesTheResult()
    {
        QFETCH(QString, feedVersion);
        QFETCH(Kind, kind);
        const QByteArray feed = "{\"version\": \"" + feedVersion.toUtf8() + "\", \"url\": \"https://pelorin.org/download\"}";
        UpdaterFeed updater(writeFeed(QStringLiteral("feed.json"), feed), QString::fromLatin1(currentVersion));

        const UpdateCheckResult result = check(updater);
        QCOMPARE(result.kind, kind);
        QCOMPARE(result.latestVersion, feedVersion);
        const QString message = UpdaterViewModel::resultMessage(result);
        if (kind == Kind::updateAvailable) {
            QCOMPARE(result.downloadURL, QUrl(QStringLiteral("https://pelorin.org/download")));
            QCOMPARE(message, QStringLiteral("A newer version, Pelorin %1, is available at https://pelorin.org/download").arg(feedVersion));
        } else {
            QVERIFY(result.downloadURL.isEmpty());
            QCOMPARE(message, QStringLiteral("Pelorin 1.4.2 is up to date."));
        }
    }

    void brokenFeedsAreReportedAsInvalid_data()
    {
        QTest::addColumn<QByteArray>("feed");
        QTest::newRow("not JSON") << QByteArray("<html>502 Bad Gateway</html>");
        QTest::newRow("empty file") << QByteArray();
        QTest::newRow("array") << QByteArray("[\"1.5.0\", \"https://pelorin.org\"]");
        QTest::newRow("no url") << QByteArray("{\"version\": \"1.5.0\"}");
        QTest::newRow("no version") << QByteArray("{\"url\": \"https://pelorin.org\"}");
        QTest::newRow("version is a number") << QByteArray("{\"version\": 2, \"url\": \"https://pelorin.org\"}");
        QTest::newRow("version with words") << QByteArray("{\"version\": \"2.0-beta\", \"url\": \"https://pelorin.org\"}");
        QTest::newRow("version beyond int") << QByteArray("{\"version\": \"99999999999\", \"url\": \"https://pelorin.org\"}");
        QTest::newRow("relative url") << QByteArray("{\"version\": \"1.5.0\", \"url\": \"/download\"}");
        QTest::newRow("script url") << QByteArray("{\"version\": \"1.5.0\", \"url\": \"javascript:alert(1)\"}");
        QTest::newRow("too large") << QByteArray("{\"version\": \"1.5.0\", \"url\": \"https://pelorin.org\", \"pad\": \"")
                                          + QByteArray(UpdaterFeed::maximumFeedSize, 'x') + QByteArray("\"}");
    }
    void brokenFeedsAreReportedAsInvalid()
    {
        QFETCH(QByteArray, feed);
        UpdaterFeed updater(writeFeed(QStringLiteral("broken.json"), feed), QString::fromLatin1(currentVersion));
        const UpdateCheckResult result = check(updater);
        QCOMPARE(result.kind, Kind::invalidFeed);
        QVERIFY(result.downloadURL.isEmpty());
        QCOMPARE(UpdaterViewModel::resultMessage(result),
                 QStringLiteral("Could not check for updates: the update information is not valid."));
        QVERIFY(updater.canCheckForUpdates());
    }

    void missingFeedIsReportedWithTheReason()
    {
        UpdaterFeed updater(QUrl::fromLocalFile(sandbox_.filePath(QStringLiteral("absent.json"))),
                            QString::fromLatin1(currentVersion));
        const UpdateCheckResult result = check(updater);
        QCOMPARE(result.kind, Kind::unreachable);
        QVERIFY2(result.networkError.contains(QStringLiteral("absent.json")), qPrintable(result.networkError));
        const QString message = UpdaterViewModel::resultMessage(result);
        QVERIFY2(message.startsWith(QStringLiteral("Could not check for updates: ")) && message.contains(result.networkError),
                 qPrintable(message));
    }

    void flagIsFalseWhileACheckRuns()
    {
        UpdaterFeed updater(writeFeed(QStringLiteral("flag.json"), "{\"version\": \"1.4.2\", \"url\": \"https://pelorin.org\"}"),
                            QString::fromLatin1(currentVersion));
        QVERIFY(updater.canCheckForUpdates());
        QSignalSpy flag(&updater, &Updater::canCheckForUpdatesChanged);
        QSignalSpy finished(&updater, &Updater::checkFinished);

        updater.checkForUpdates();
        QVERIFY(!updater.canCheckForUpdates());
        updater.checkForUpdates(); // ignored: one check at a time
        QVERIFY(finished.wait(10000));
        QTest::qWait(50);
        QCOMPARE(finished.size(), 1);
        QCOMPARE(flag.size(), 2);
        QCOMPARE(flag.at(0).at(0).toBool(), false);
        QCOMPARE(flag.at(1).at(0).toBool(), true);
        QVERIFY(updater.canCheckForUpdates());

        UpdaterFeed unconfigured(QUrl(), QString::fromLatin1(currentVersion));
        QSignalSpy never(&unconfigured, &Updater::checkFinished);
        QVERIFY(!unconfigured.canCheckForUpdates());
        unconfigured.checkForUpdates();
        QTest::qWait(50);
        QCOMPARE(never.size(), 0);
    }

    void environmentNamesTheFeed()
    {
        const QString path = sandbox_.filePath(QStringLiteral("env.json"));
        {
            ScopedEnvironment feed("PELORIN_UPDATE_FEED", path.toUtf8());
            QCOMPARE(UpdaterFeed::configuredFeedURL(), QUrl::fromLocalFile(path));
        }
        {
            ScopedEnvironment feed("PELORIN_UPDATE_FEED", QByteArray("https://pelorin.org/feed.json"));
            QCOMPARE(UpdaterFeed::configuredFeedURL(), QUrl(QStringLiteral("https://pelorin.org/feed.json")));
        }
    }

    void testHarnessGetsNoUpdater_data()
    {
        QTest::addColumn<QByteArray>("value");
        QTest::newRow("empty value") << QByteArray("");
        QTest::newRow("a path") << QByteArray("/tmp/run.xctestconfiguration");
    }
    void testHarnessGetsNoUpdater()
    {
        QFETCH(QByteArray, value);
        ScopedEnvironment harness("XCTestConfigurationFilePath", value);
        int made = 0;
        UpdaterViewModel viewModel([&] {
            ++made;
            return std::make_unique<UpdaterFeed>(writeFeed(QStringLiteral("h.json"), "{}"), QStringLiteral("1.0"));
        });
        QCOMPARE(made, 0);
        QVERIFY(viewModel.updater() == nullptr);
        QVERIFY(!viewModel.canCheckForUpdates());
        QSignalSpy finished(&viewModel, &UpdaterViewModel::checkFinished);
        viewModel.checkForUpdates();
        QTest::qWait(50);
        QCOMPARE(finished.size(), 0);
    }
};

QTEST_GUILESS_MAIN(UpdaterTests)
#include "UpdaterTests.moc"
