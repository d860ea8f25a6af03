#include "app/ViewModels/ProcessingViewModel.h"

#include "engine/Common/Localization.h"
#include "engine/Services/BatchProcessor.h"
#include "app/ViewModels/RunFollower.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDesktopServices>
#include <QTextBoundaryFinder>
#include <QTimer>
#include <QUrl>

#include <algorithm>
#include <unordered_set>

namespace pelorin {

namespace {

QString fromPath(const std::filesystem::path& path)
{
    return QString::fromStdString(path.string());
}

// The text of an error or warning for a row: its description, or the generic fallback.
QString rowText(const std::optional<BatchProcessingError>& error)
{
    std::string text = error ? error->errorDescription() : std::string();
    if (text.empty())
        text = localized("viewmodel.error.unknownFallback", "Unknown error");
    return QString::fromStdString(text);
}

// The characters a file name segment must not carry: separators of this and other systems, and NUL.
bool isForbiddenCharacter(QStringView cluster)
{
    return cluster == u"/" || cluster == u"\\" || cluster == u":" || cluster == QStringView(u"\0", 1);
}

} // namespace

ProcessingViewModel::ProcessingViewModel(std::shared_ptr<const BatchProcessing> batchProcessor,
                                         std::shared_ptr<const FileServicing> fileService,
                                         std::shared_ptr<const SettingsPersisting> persistence, OpenFolder openFolder,
                                         QObject* parent)
    : QObject(parent),
      batchProcessor_(batchProcessor ? std::move(batchProcessor) : std::make_shared<const BatchProcessor>()),
      fileService_(std::move(fileService)),
      persistence_(std::move(persistence)),
      openFolder_(openFolder ? std::move(openFolder) : OpenFolder([](const std::filesystem::path& folder) {
          QDesktopServices::openUrl(QUrl::fromLocalFile(fromPath(folder)));
      }))
{
    settings_ = persistence_->load();
}

ProcessingViewModel::~ProcessingViewModel()
{
    // The run must not outlive its consumer: stop it, and cut the wake-ups before the rows and
    // this object are freed. Dropping the stream cancels the run as well; asking first makes the
    // intent plain to any processor.
    if (processingHandleCancel_)
        processingHandleCancel_();
    processingTask_.reset();
    itemsByID_.clear();
}

// --- derived

int ProcessingViewModel::completedCount() const
{
    return static_cast<int>(std::count_if(
        items_.begin(), items_.end(),
        [](const ImageItem* item) { return item->status().kind() == ProcessingStatus::Kind::completed; }));
}

bool ProcessingViewModel::canStartProcessing() const
{
    return hasItems() && !isProcessing_ && completedCount() < items_.size();
}

bool ProcessingViewModel::canOpenOutputFolder() const
{
    return settings_.outputDirectory.has_value()
        || std::any_of(
               items_.begin(), items_.end(), [](const ImageItem* item) { return item->outputURL().has_value(); });
}

// --- intake

void ProcessingViewModel::addFiles(const std::vector<std::filesystem::path>& urls)
{
    const std::vector<std::filesystem::path> files = fileService_->collectImageFiles(urls);

    std::unordered_set<std::string> known;
    known.reserve(static_cast<size_t>(items_.size()) + files.size());
    for (const ImageItem* item : items_)
        known.insert(standardizedPath(item->url()));

    QList<ImageItem*> newItems;
    for (const auto& file : files) {
        if (!known.insert(standardizedPath(file)).second)
            continue;
        auto* item = new ImageItem(file);
        adopt(item);
        newItems.append(item);
    }

    items_.append(newItems);
    emit itemsChanged();
}

void ProcessingViewModel::adopt(ImageItem* item)
{
    item->setParent(this);
    connect(
        item, &ImageItem::statusChanged, this, [this, item] { emit itemChanged(item); });
    connect(
        item, &ImageItem::outputURLChanged, this, [this, item] { emit itemChanged(item); });
    connect(item, &ImageItem::errorMessageChanged, this, [this, item] { emit itemChanged(item); });
}

// --- run control

void ProcessingViewModel::startProcessing()
{
    if (items_.isEmpty() || isProcessing_ || processingTask_)
        return;
    if (completedCount() == items_.size())
        return;

    for (ImageItem* item : items_) {
        const auto kind = item->status().kind();
        if (kind == ProcessingStatus::Kind::cancelled || kind == ProcessingStatus::Kind::error) {
            item->setStatus(ProcessingStatus::waiting());
            item->setErrorMessage(std::nullopt);
        }
    }

    // Names handed out during this Start, so two jobs never share an output before either exists.
    std::unordered_set<std::string> reservedPaths;
    const std::string ext(OutputFormats::fileExtension(settings_.outputFormat));
    std::vector<ProcessingJob> jobs;
    for (ImageItem* item : items_) {
        if (item->status().kind() != ProcessingStatus::Kind::waiting)
            continue;
        // The job's own decode judges the file now, whatever a header read still under way finds.
        item->markQueued();
        const std::filesystem::path folder = settings_.outputDirectory.value_or(item->url().parent_path());
        const std::string baseName = cutoutBaseName(item->url()).toStdString();

        std::filesystem::path outputURL = fileService_->uniqueOutputURL(folder, baseName, ext, reservedPaths);
        reservedPaths.insert(standardizedPath(outputURL));

        std::optional<std::filesystem::path> maskOutputURL;
        if (settings_.exportMaskSeparately) {
            const std::string maskBaseName = outputURL.stem().string() + "-mask";
            maskOutputURL = fileService_->uniqueOutputURL(folder, maskBaseName, "png", reservedPaths);
            reservedPaths.insert(standardizedPath(*maskOutputURL));
        }
        item->setMaskURL(maskOutputURL);
        jobs.emplace_back(item->id(), item->url(), std::move(outputURL), std::move(maskOutputURL),
                          settings_.outputFormat, settings_.refineEdges);
    }
    if (jobs.empty())
        return;

    // A folder that cannot be made is not reported here: its jobs fail with the writer's error.
    std::unordered_set<std::string> ensured;
    for (const auto& job : jobs) {
        const std::filesystem::path folder = job.outputURL().parent_path();
        if (ensured.insert(folder.string()).second)
            (void)fileService_->ensureDirectory(folder);
    }

    setProcessing(true);
    BatchProcessingHandle handle = batchProcessor_->process(std::move(jobs));
    processingHandleCancel_ = std::move(handle.cancelImpl);
    itemsByID_.clear();
    for (ImageItem* item : items_)
        itemsByID_[item->id()] = item;
    processingTask_ = std::make_unique<RunFollower>(std::move(handle.events), this, [this] { drainEvents(); });
}

void ProcessingViewModel::drainEvents()
{
    RunFollower* run = processingTask_.get();
    if (!run)
        return;
    run->beginDrain();
    while (auto event = run->next()) {
        apply(*event);
        // A slot reacting to the change may have pumped events and wound this run down.
        if (processingTask_.get() != run)
            return;
    }
    if (run->isDrained())
        processingDidFinish();
}

void ProcessingViewModel::apply(const BatchProcessingEvent& event)
{
    const auto found = itemsByID_.find(event.jobId());
    if (found == itemsByID_.end() || !found->second)
        return;
    ImageItem* item = found->second;
    switch (event.kind()) {
    case BatchProcessingEvent::Kind::started: item->setStatus(ProcessingStatus::processing()); break;
    case BatchProcessingEvent::Kind::completed:
        item->setOutputURL(event.outputURL());
        item->setErrorMessage(std::nullopt);
        item->setStatus(ProcessingStatus::completed());
        break;
    case BatchProcessingEvent::Kind::completedWithWarning:
        item->setOutputURL(event.outputURL());
        item->setErrorMessage(rowText(event.error()));
        item->setMaskURL(std::nullopt);
        item->setStatus(ProcessingStatus::completed());
        break;
    case BatchProcessingEvent::Kind::failed: {
        const QString text = rowText(event.error());
        item->setMaskURL(std::nullopt);
        item->setErrorMessage(text);
        item->setStatus(ProcessingStatus::error(text));
        break;
    }
    case BatchProcessingEvent::Kind::cancelled:
        item->setMaskURL(std::nullopt);
        item->setStatus(ProcessingStatus::cancelled());
        break;
    }
}

void ProcessingViewModel::processingDidFinish()
{
    // The run's state is gone before anyone hears the flags change, so a listener may start the
    // next run at once. The follower is destroyed on return, after the last use of its stream.
    std::unique_ptr<RunFollower> finished = std::move(processingTask_);
    processingHandleCancel_ = nullptr;
    itemsByID_.clear();
    setProcessing(false);
    setCancelling(false);
    emit processingFinished();
}

void ProcessingViewModel::cancelProcessing()
{
    if (!isProcessing_ || !processingHandleCancel_)
        return;
    setCancelling(true);
    processingHandleCancel_();
}

bool ProcessingViewModel::cancelAndWait(int timeoutMs)
{
    if (!isProcessing_)
        return true;
    cancelProcessing();

    const QDeadlineTimer deadline(std::max(timeoutMs, 0));
    // Wakes the wait below when the deadline passes with nothing else happening; re-armed in case
    // it fires a little early.
    QTimer alarm;
    alarm.setSingleShot(true);
    alarm.setTimerType(Qt::PreciseTimer);
    QPointer<ProcessingViewModel> self(this);
    while (self && isProcessing_ && !deadline.hasExpired()) {
        if (!alarm.isActive())
            alarm.start(static_cast<int>(std::max<qint64>(deadline.remainingTime(), 1)));
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents | QEventLoop::ExcludeUserInputEvents);
    }
    return !self || !isProcessing_;
}

void ProcessingViewModel::clearItems()
{
    if (isProcessing_)
        return;
    const QList<ImageItem*> removed = std::exchange(items_, {});
    emit itemsChanged();
    qDeleteAll(removed);
}

void ProcessingViewModel::removeItem(const ImageItem* item)
{
    if (isProcessing_ || !item)
        return;
    const Uuid id = item->id();
    QList<ImageItem*> removed;
    QList<ImageItem*> kept;
    for (ImageItem* row : items_)
        (row->id() == id ? removed : kept).append(row);
    items_ = std::move(kept);
    emit itemsChanged();
    qDeleteAll(removed);
}

void ProcessingViewModel::openOutputFolder()
{
    std::optional<std::filesystem::path> folder = settings_.outputDirectory;
    if (!folder) {
        for (const ImageItem* item : items_) {
            if (item->outputURL()) {
                folder = item->outputURL()->parent_path();
                break;
            }
        }
    }
    if (folder)
        openFolder_(*folder);
}

void ProcessingViewModel::setProcessing(bool value)
{
    if (isProcessing_ == value)
        return;
    isProcessing_ = value;
    emit isProcessingChanged();
}

void ProcessingViewModel::setCancelling(bool value)
{
    if (isCancelling_ == value)
        return;
    isCancelling_ = value;
    emit isCancellingChanged();
}

// --- settings

void ProcessingViewModel::updateOutputFormat(OutputFormat format)
{
    settings_.outputFormat = format;
    emit settingsChanged();
    persistence_->save(settings_);
}

void ProcessingViewModel::updateExportMaskSeparately(bool exportMask)
{
    settings_.exportMaskSeparately = exportMask;
    emit settingsChanged();
    persistence_->save(settings_);
}

void ProcessingViewModel::updateRefineEdges(bool refine)
{
    settings_.refineEdges = refine;
    emit settingsChanged();
    persistence_->save(settings_);
}

void ProcessingViewModel::setOutputDirectory(const std::filesystem::path& directory)
{
    settings_.outputDirectory = directory;
    emit settingsChanged();
}

void ProcessingViewModel::resetOutputDirectory()
{
    settings_.outputDirectory.reset();
    emit settingsChanged();
}

ProcessingViewModel::Binding<OutputFormat> ProcessingViewModel::outputFormatBinding()
{
    return {[this] { return settings_.outputFormat; }, [this](OutputFormat format) { updateOutputFormat(format); }};
}

ProcessingViewModel::Binding<bool> ProcessingViewModel::exportMaskSeparatelyBinding()
{
    return {[this] { return settings_.exportMaskSeparately; },
            [this](bool value) { updateExportMaskSeparately(value); }};
}

QString ProcessingViewModel::outputFormatRawValue() const
{
    const std::string_view raw = OutputFormats::rawValue(settings_.outputFormat);
    return QString::fromLatin1(raw.data(), static_cast<qsizetype>(raw.size()));
}

void ProcessingViewModel::setOutputFormatRawValue(const QString& raw)
{
    if (const auto format = OutputFormats::fromRawValue(raw.toStdString()))
        updateOutputFormat(*format);
}

// --- naming

QString ProcessingViewModel::cutoutBaseName(const std::filesystem::path& sourceURL)
{
    QString base = sanitizedFilenameSegment(fromPath(sourceURL.stem()));
    if (base.isEmpty())
        base = QStringLiteral("image");
    return base + QStringLiteral("-cutout");
}

QString ProcessingViewModel::sanitizedFilenameSegment(const QString& segment)
{
    // Work on user-perceived characters: a slash or a dot carrying a combining mark is another
    // character and is left alone.
    QStringList clusters;
    QTextBoundaryFinder finder(QTextBoundaryFinder::Grapheme, segment);
    qsizetype start = 0;
    for (qsizetype end = finder.toNextBoundary(); end != -1; end = finder.toNextBoundary()) {
        if (end > start) {
            const QStringView cluster = QStringView(segment).mid(start, end - start);
            clusters.append(isForbiddenCharacter(cluster) ? QStringLiteral("_") : cluster.toString());
        }
        start = end;
    }

    // ".." would climb out of the folder; replace pairs left to right until none is left.
    const QString dot = QStringLiteral(".");
    bool replaced = true;
    while (replaced) {
        replaced = false;
        QStringList next;
        for (qsizetype i = 0; i < clusters.size(); ++i) {
            if (i + 1 < clusters.size() && clusters[i] == dot && clusters[i + 1] == dot) {
                next.append(QStringLiteral("_"));
                ++i;
                replaced = true;
            } else {
                next.append(clusters[i]);
            }
        }
        clusters = std::move(next);
    }
    return clusters.join(QString());
}

} // namespace pelorin
