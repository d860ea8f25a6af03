#include "app/Cli/JsonReporter.h"

#include <QJsonArray>
#include <QJsonDocument>

#include <cmath>

namespace pelorin::cli {

namespace {

QString eventName(RowEvent::Kind kind)
{
    switch (kind) {
    case RowEvent::Kind::started: return QStringLiteral("started");
    case RowEvent::Kind::completed: return QStringLiteral("completed");
    case RowEvent::Kind::completedWithWarning: return QStringLiteral("completedWithWarning");
    case RowEvent::Kind::failed: return QStringLiteral("failed");
    case RowEvent::Kind::cancelled: return QStringLiteral("cancelled");
    }
    return QStringLiteral("unknown");
}

double rounded(double value, int decimals)
{
    const double scale = std::pow(10.0, decimals);
    return std::round(value * scale) / scale;
}

} // namespace

JsonReporter::JsonReporter(std::FILE* out) : out_(out) {}

void JsonReporter::runStarted(const RunProgress& progress)
{
    emitObject({{"event", "queued"}, {"total", progress.total}});
}

void JsonReporter::rowChanged(const RowEvent& event, const RunProgress&)
{
    QJsonObject object{{"event", eventName(event.kind)}, {"file", displayPath(event.source)}};
    if (event.output)
        object.insert("output", displayPath(*event.output));
    if (event.kind == RowEvent::Kind::failed)
        object.insert("error", event.message);
    else if (event.kind == RowEvent::Kind::completedWithWarning)
        object.insert("warning", event.message);
    emitObject(object);
}

void JsonReporter::cancelling()
{
    emitObject({{"event", "cancelling"}});
}

void JsonReporter::runFinished(const RunSummary& summary)
{
    emitObject({{"event", "summary"},
                {"total", summary.total()},
                {"completed", summary.completed},
                {"completedWithWarning", summary.completedWithWarning},
                {"failed", summary.failed},
                {"cancelled", summary.cancelled},
                {"seconds", rounded(summary.elapsedSeconds, 3)},
                {"imagesPerMinute", rounded(summary.imagesPerMinute(), 2)},
                {"exitStatus", summary.exitStatus()}});
}

void JsonReporter::emitObject(QJsonObject object)
{
    // QJsonObject sorts its keys; the event kind goes first so a line reads at a glance.
    const QJsonValue kind = object.take(QStringLiteral("event"));
    const QByteArray kindJson = QJsonDocument(QJsonArray{kind}).toJson(QJsonDocument::Compact).chopped(1).mid(1);
    const QByteArray rest = QJsonDocument(object).toJson(QJsonDocument::Compact).mid(1);
    const QByteArray line = "{\"event\":" + kindJson + (object.isEmpty() ? "" : ",") + rest + '\n';
    std::fwrite(line.constData(), 1, static_cast<size_t>(line.size()), out_);
    std::fflush(out_);
}

} // namespace pelorin::cli
