#include "app/Cli/RunSummary.h"

#include "app/Cli/CliOptions.h"

namespace pelorin::cli {

double RunSummary::imagesPerMinute() const
{
    if (elapsedSeconds <= 0)
        return 0;
    return (completed + completedWithWarning) * 60.0 / elapsedSeconds;
}

int RunSummary::exitStatus() const
{
    return failed == 0 && cancelled == 0 ? exitAllCompleted : exitSomeNotCompleted;
}

RunSummary RunSummary::tally(const QList<ImageItem*>& items, double elapsedSeconds)
{
    RunSummary summary;
    summary.elapsedSeconds = elapsedSeconds;
    for (const ImageItem* item : items) {
        switch (item->status().kind()) {
        case ProcessingStatus::Kind::completed:
            ++(item->errorMessage() ? summary.completedWithWarning : summary.completed);
            break;
        case ProcessingStatus::Kind::error: ++summary.failed; break;
        case ProcessingStatus::Kind::cancelled:
        case ProcessingStatus::Kind::waiting:
        case ProcessingStatus::Kind::processing:
            // A row the run never finished did not produce its cutout: the user must run it again.
            ++summary.cancelled;
            break;
        }
    }
    return summary;
}

} // namespace pelorin::cli
