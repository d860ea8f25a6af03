#include "app/Views/FileDrop.h"

#include "app/Services/DropPayloadParser.h"
#include "app/ViewModels/ProcessingViewModel.h"

#include <QMimeData>
#include <QPointer>
#include <QTimer>

namespace pelorin::FileDrop {

bool carriesUrls(const QMimeData* payload)
{
    return payload && payload->hasUrls();
}

void deliver(const QMimeData& payload, ProcessingViewModel* viewModel, QObject* context)
{
    auto files = DropPayloadParser::fileURLs(payload);
    QTimer::singleShot(0, context, [viewModel = QPointer<ProcessingViewModel>(viewModel), files = std::move(files)] {
        if (viewModel)
            viewModel->addFiles(files);
    });
}

} // namespace pelorin::FileDrop
