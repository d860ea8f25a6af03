#include "app/Services/DropPayloadParser.h"

#include <QFile>
#include <QMimeData>
#include <QSysInfo>
#include <QUrl>

namespace pelorin::DropPayloadParser {

namespace {

// file:///p and file://localhost/p are local; so is file://<this machine>/p, which some X11
// programs send. A file URL naming another host is a network share we cannot open as a path.
bool namesThisMachine(const QUrl& url)
{
    const QString host = url.host();
    return host.isEmpty() || host.compare(QLatin1String("localhost"), Qt::CaseInsensitive) == 0
        || host.compare(QSysInfo::machineHostName(), Qt::CaseInsensitive) == 0;
}

} // namespace

std::vector<std::filesystem::path> fileURLs(const QMimeData& payload)
{
    std::vector<std::filesystem::path> files;
    if (!payload.hasUrls())
        return files;
    for (const QUrl& url : payload.urls()) {
        if (!url.isValid() || !url.isLocalFile() || !namesThisMachine(url))
            continue;
        const QString path = url.path(QUrl::FullyDecoded);
        if (path.isEmpty())
            continue;
        // encodeName gives the bytes the file system knows the name by.
        files.emplace_back(QFile::encodeName(path).toStdString());
    }
    return files;
}

} // namespace pelorin::DropPayloadParser
