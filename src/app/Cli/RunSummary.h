// RunSummary: the final tally of a pelorin-cli run, taken from the rows' statuses at the end, and
// the exit status it implies. A plain value.
#pragma once

#include "app/Models/ImageItem.h"

#include <QList>

namespace pelorin::cli {

struct RunSummary {
    int completed = 0;            // completed without a warning
    int completedWithWarning = 0; // cutout written, a sidecar failed
    int failed = 0;               // error rows, including files unreadable at intake
    int cancelled = 0;            // cancelled, or left unfinished by a run that ended
    double elapsedSeconds = 0;

    int total() const { return completed + completedWithWarning + failed + cancelled; }
    // Cutouts written per minute of wall-clock time; 0 when no time was measured.
    double imagesPerMinute() const;
    // 0 when every row completed (warnings included), otherwise 1.
    int exitStatus() const;

    static RunSummary tally(const QList<ImageItem*>& items, double elapsedSeconds);
};

} // namespace pelorin::cli
