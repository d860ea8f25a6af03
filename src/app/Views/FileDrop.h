// FileDrop: what both drop zones do with a drag. A drag that carries URLs is welcomed; a drop is
// always accepted, its local files are read from the payload at once (the payload dies with the
// event) and handed to intake once the event has returned, so rows appear after the gesture ends.
// GUI thread only.
#pragma once

class QMimeData;
class QObject;

namespace pelorin {

class ProcessingViewModel;

namespace FileDrop {

// True when the drag carries a URL list, whatever the URLs name.
bool carriesUrls(const QMimeData* payload);

// Queues addFiles with the payload's local files. Nothing happens if `context` or the view model
// is destroyed before the queued call runs.
void deliver(const QMimeData& payload, ProcessingViewModel* viewModel, QObject* context);

} // namespace FileDrop
} // namespace pelorin
