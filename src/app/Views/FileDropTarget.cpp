#include "app/Views/FileDropTarget.h"

#include "app/Services/DropPayloadParser.h"
#include "app/ViewModels/ProcessingViewModel.h"

#include <QDragEnterEvent>
#include <QDropEvent>
#include <QMimeData>
#include <QPointer>
#include <QTimer>

namespace pelorin {
namespace {

// Welcomed whatever the URLs name; which of them are usable is intake's decision.
bool carriesUrls(const QMimeData* payload)
{
    return payload && payload->hasUrls();
}

} // namespace

FileDropTarget::FileDropTarget(ProcessingViewModel* viewModel, QWidget* parent) : QWidget(parent), viewModel_(viewModel)
{
    setAcceptDrops(true);
}

void FileDropTarget::dragEnterEvent(QDragEnterEvent* event)
{
    if (!carriesUrls(event->mimeData()))
        return;
    event->acceptProposedAction();
    setTargeted(true);
}

void FileDropTarget::dragMoveEvent(QDragMoveEvent* event)
{
    if (carriesUrls(event->mimeData()))
        event->acceptProposedAction();
}

void FileDropTarget::dragLeaveEvent(QDragLeaveEvent* event)
{
    setTargeted(false);
    QWidget::dragLeaveEvent(event);
}

void FileDropTarget::dropEvent(QDropEvent* event)
{
    setTargeted(false);
    event->acceptProposedAction();
    if (!event->mimeData())
        return;
    // The payload dies with the event: read its local files now, and hand them to intake once the
    // event has returned, so rows appear after the gesture ends.
    auto files = DropPayloadParser::fileURLs(*event->mimeData());
    QTimer::singleShot(0, this, [viewModel = QPointer<ProcessingViewModel>(viewModel_), files = std::move(files)] {
        if (viewModel)
            viewModel->addFiles(files);
    });
}

void FileDropTarget::setTargeted(bool targeted)
{
    if (isTargeted_ == targeted)
        return;
    isTargeted_ = targeted;
    update();
}

} // namespace pelorin
