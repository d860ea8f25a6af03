#include "app/Views/FileDropTarget.h"

#include "app/Views/FileDrop.h"

#include <QDragEnterEvent>
#include <QDropEvent>

namespace pelorin {

FileDropTarget::FileDropTarget(ProcessingViewModel* viewModel, QWidget* parent)
    : QWidget(parent), viewModel_(viewModel)
{
    setAcceptDrops(true);
}

void FileDropTarget::dragEnterEvent(QDragEnterEvent* event)
{
    if (!FileDrop::carriesUrls(event->mimeData()))
        return;
    event->acceptProposedAction();
    setTargeted(true);
}

void FileDropTarget::dragMoveEvent(QDragMoveEvent* event)
{
    if (FileDrop::carriesUrls(event->mimeData()))
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
    if (event->mimeData())
        FileDrop::deliver(*event->mimeData(), viewModel_, this);
}

void FileDropTarget::setTargeted(bool targeted)
{
    if (isTargeted_ == targeted)
        return;
    isTargeted_ = targeted;
    update();
}

} // namespace pelorin
