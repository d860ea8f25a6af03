// ProcessingViewModel: the one observable object behind the window and the command-line tool. It
// owns the queue and the settings, turns waiting rows into jobs with unique output names, follows
// the batch processor's events on the GUI thread in stream order, and offers the queue operations
// and derived values the views enable their controls by. GUI thread only.
#pragma once

#include "app/Models/ImageItem.h"
#include "engine/Models/ProcessingSettings.h"
#include "engine/Services/BatchProcessing.h"
#include "app/Services/FileServicing.h"
#include "app/Services/SettingsPersisting.h"

#include <QList>
#include <QObject>
#include <QPointer>
#include <QString>

#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <unordered_map>

namespace pelorin {

class ProcessingViewModel final : public QObject {
    Q_OBJECT
    Q_PROPERTY(bool isProcessing READ isProcessing NOTIFY isProcessingChanged)
    Q_PROPERTY(bool isCancelling READ isCancelling NOTIFY isCancellingChanged)
    Q_PROPERTY(bool hasItems READ hasItems NOTIFY itemsChanged)
    Q_PROPERTY(QString outputFormat READ outputFormatRawValue WRITE setOutputFormatRawValue NOTIFY settingsChanged)
    Q_PROPERTY(
        bool exportMaskSeparately READ exportMaskSeparately WRITE updateExportMaskSeparately NOTIFY settingsChanged)
    Q_PROPERTY(bool refineEdges READ refineEdges WRITE updateRefineEdges NOTIFY settingsChanged)

public:
    using OpenFolder = std::function<void(const std::filesystem::path&)>;

    // A two-way view of one setting for a picker or a toggle.
    template <typename T>
    struct Binding {
        std::function<T()> get;
        std::function<void(T)> set;
    };

    // `batchProcessor` null → the standard BatchProcessor; `openFolder` empty → the desktop's file
    // manager. `fileService` and `persistence` must not be null. Loads the settings from
    // `persistence` last. Destroying the view model during a run cancels the run.
    ProcessingViewModel(std::shared_ptr<const BatchProcessing> batchProcessor,
                        std::shared_ptr<const FileServicing> fileService,
                        std::shared_ptr<const SettingsPersisting> persistence, OpenFolder openFolder = {},
                        QObject* parent = nullptr);
    ~ProcessingViewModel() override;

    // --- observed state
    // Rows are owned by the view model (QObject children) and deleted when removed.
    const QList<ImageItem*>& items() const { return items_; }
    const ProcessingSettings& settings() const { return settings_; }
    bool isProcessing() const { return isProcessing_; }
    bool isCancelling() const { return isCancelling_; }

    // --- derived
    bool hasItems() const { return !items_.isEmpty(); }
    int completedCount() const;
    bool canStartProcessing() const;
    bool canOpenOutputFolder() const;

    // --- intake
    // Expands folders, skips unsupported and already-queued files, appends new rows at once; their
    // pixel sizes follow from worker threads (see ImageItem), so the call never reads file contents.
    void addFiles(const std::vector<std::filesystem::path>& urls);

    // --- run control (each does nothing when its guard fails)
    void startProcessing();
    void cancelProcessing();
    void clearItems();
    void removeItem(const ImageItem* item);
    void openOutputFolder();

    // Cancels a run and waits, processing its events, until its stream has finished or `timeoutMs`
    // passed; true when idle afterwards. For quitting without leaving temporary files behind.
    bool cancelAndWait(int timeoutMs);

    // --- settings
    void updateOutputFormat(OutputFormat format);
    void updateExportMaskSeparately(bool exportMask);
    void updateRefineEdges(bool refine);
    void setOutputDirectory(const std::filesystem::path& directory);
    void resetOutputDirectory();
    Binding<OutputFormat> outputFormatBinding();
    Binding<bool> exportMaskSeparatelyBinding();
    QString outputFormatRawValue() const;
    void setOutputFormatRawValue(const QString& raw);
    bool exportMaskSeparately() const { return settings_.exportMaskSeparately; }
    bool refineEdges() const { return settings_.refineEdges; }

    // --- naming
    // File name without extension, sanitised ("image" when nothing is left), plus "-cutout".
    static QString cutoutBaseName(const std::filesystem::path& sourceURL);
    // "/", "\", ":" and NUL become "_", then ".." becomes "_" until none is left.
    static QString sanitizedFilenameSegment(const QString& segment);

signals:
    void itemsChanged();
    void settingsChanged();
    void isProcessingChanged();
    void isCancellingChanged();
    // Any observed field of any row changed (status, output, message), so derived values may have.
    void itemChanged(pelorin::ImageItem* item);
    // The run's stream finished and the run was wound down.
    void processingFinished();

private:
    class RunFollower;

    // Takes the run's buffered events, in stream order, on the GUI thread; winds the run down
    // once its stream has finished.
    void drainEvents();
    void apply(const BatchProcessingEvent& event);
    void processingDidFinish();
    void setProcessing(bool value);
    void setCancelling(bool value);
    void adopt(ImageItem* item);

    std::shared_ptr<const BatchProcessing> batchProcessor_;
    std::shared_ptr<const FileServicing> fileService_;
    std::shared_ptr<const SettingsPersisting> persistence_;
    OpenFolder openFolder_;

    QList<ImageItem*> items_;
    ProcessingSettings settings_;
    bool isProcessing_ = false;
    bool isCancelling_ = false;
    std::unique_ptr<RunFollower> processingTask_;
    std::function<void()> processingHandleCancel_;
    std::unordered_map<Uuid, QPointer<ImageItem>> itemsByID_;
};

} // namespace pelorin
