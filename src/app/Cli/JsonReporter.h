// JsonReporter: machine-readable output of pelorin-cli (--json). Every event is one compact JSON
// object on its own line of stdout, flushed at once:
//   {"event":"queued","total":N}
//   {"event":"started","file":F}
//   {"event":"completed","file":F,"output":O}
//   {"event":"completedWithWarning","file":F,"output":O,"warning":W}
//   {"event":"failed","file":F,"error":E}
//   {"event":"cancelled","file":F}
//   {"event":"cancelling"}
//   {"event":"summary","total":N,"completed":N,"completedWithWarning":N,"failed":N,"cancelled":N,
//    "seconds":S,"imagesPerMinute":R,"exitStatus":X}
// Paths are written as given on the command line (outputs as the run named them).
#pragma once

#include "app/Cli/CliReporter.h"

#include <QJsonObject>

#include <cstdio>

namespace pelorin::cli {

class JsonReporter final : public CliReporter {
public:
    explicit JsonReporter(std::FILE* out = stdout);

    void runStarted(const RunProgress& progress) override;
    void rowChanged(const RowEvent& event, const RunProgress& progress) override;
    void tick(const RunProgress&) override {}
    void cancelling() override;
    void runFinished(const RunSummary& summary) override;

private:
    void emitObject(QJsonObject object);

    std::FILE* out_;
};

} // namespace pelorin::cli
