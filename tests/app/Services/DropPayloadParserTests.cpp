// Drop payloads: which uri-list entries become local file paths, and in what order.
#include "app/Services/DropPayloadParser.h"

#include <QMimeData>
#include <QSysInfo>
#include <QTest>
#include <QUrl>

#include <memory>

using namespace pelorin;

namespace {

QStringList parsed(const QMimeData& payload)
{
    QStringList list;
    for (const auto& path : DropPayloadParser::fileURLs(payload))
        list << QString::fromStdString(path.string());
    return list;
}

std::unique_ptr<QMimeData> withUriList(const QByteArray& text)
{
    auto payload = std::make_unique<QMimeData>();
    payload->setData(QStringLiteral("text/uri-list"), text);
    return payload;
}

} // namespace

class DropPayloadParserTests : public QObject {
    Q_OBJECT

private slots:
    // Local files in payload order, decoded to the names on disk; everything else dropped.
    void keepsLocalFilesInOrder()
    {
        QMimeData payload;
        payload.setUrls({QUrl::fromLocalFile("/photos/b.png"), QUrl("https://example.org/c.png"),
                         QUrl::fromLocalFile("/photos/My Trip/ä ö.jpg"), QUrl("sftp://host/d.png"),
                         QUrl::fromLocalFile("/photos/a.png"), QUrl::fromLocalFile("/photos/b.png")});
        QCOMPARE(parsed(payload), QStringList({"/photos/b.png", "/photos/My Trip/ä ö.jpg", "/photos/a.png",
                                               "/photos/b.png"}));
    }

    // What file managers actually put on the wire: CRLF lines, comments, percent escapes, hosts.
    void rawUriList()
    {
        const QByteArray host = QSysInfo::machineHostName().toUtf8();
        const auto payload = withUriList("# dragged from a file manager\r\n"
                                         "file:///home/u/a%20b.png\r\n"
                                         "file://localhost/home/u/c.jpg\r\n"
                                         "file://" + host + "/home/u/d.tif\r\n"
                                         "file://fileserver/share/e.png\r\n"
                                         "mailto:someone@example.org\r\n"
                                         "file:\r\n");
        QCOMPARE(parsed(*payload), QStringList({"/home/u/a b.png", "/home/u/c.jpg", "/home/u/d.tif"}));
    }

    void nothingUsable()
    {
        QMimeData text;
        text.setText(QStringLiteral("/home/u/a.png"));
        QVERIFY(parsed(text).isEmpty());
        QVERIFY(parsed(QMimeData()).isEmpty());
        QVERIFY(parsed(*withUriList("")).isEmpty());
    }
};

QTEST_GUILESS_MAIN(DropPayloadParserTests)
#include "DropPayloadParserTests.moc"
