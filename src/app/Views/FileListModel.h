// FileListModel: the queue as a four-column table (File, Output, Size, Status) for FileListView.
// It mirrors the view model's rows and keeps no state of its own beyond that mirror: a changed row
// repaints only its own cells, a format change only the Output column, and the table is rebuilt
// only when rows were neither just appended nor removed as one block. With a thumbnail cache, the
// File column also offers the source's thumbnail and, once the row is done, the cutout's.
// GUI thread only; the view model must outlive the model.
#pragma once

#include <QAbstractTableModel>
#include <QHash>
#include <QList>
#include <QPointer>

#include <filesystem>
#include <optional>

namespace pelorin {

class ImageItem;
class ProcessingViewModel;
class ThumbnailCache;

class FileListModel final : public QAbstractTableModel {
    Q_OBJECT
public:
    enum Column { fileColumn, outputColumn, sizeColumn, statusColumn, columnCount_ };

    // What the status cell shows; follows the row's status and, while processing, cancelling.
    enum class StatusCell { waiting, processing, cancelling, done, doneWithWarning, cancelled, error };

    enum Role {
        // StatusCell as int, on the Status column.
        statusCellRole = Qt::UserRole + 1,
        // QImage on the File column: null until rendered (asking queues it).
        sourceThumbnailRole,
        cutoutThumbnailRole,
    };

    // `thumbnails` may be null (no thumbnails) and must outlive the model otherwise.
    explicit FileListModel(ProcessingViewModel* viewModel, ThumbnailCache* thumbnails = nullptr,
                           QObject* parent = nullptr);

    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role = Qt::DisplayRole) const override;

    // The row's item; null outside the table or once the row's item is gone.
    ImageItem* itemAt(int row) const;
    // The item's row; -1 when it is not in the table.
    int rowOf(const ImageItem* item) const { return rowOf_.value(item, -1); }
    ThumbnailCache* thumbnails() const { return thumbnails_; }
    // The cutout a finished row wrote; absent for any other row.
    static std::optional<std::filesystem::path> finishedCutout(const ImageItem& item);
    bool hasProcessingRow() const;

    static StatusCell statusCell(const ImageItem& item, bool isCancelling);
    // Decimal (SI) units: bytes, whole KB, MB with one decimal, larger with two; zero in words.
    static QString formattedSize(qint64 bytes);

private:
    void syncRows();
    void rebuildRowIndex();
    void rowChanged(ImageItem* item);
    void columnChanged(int column);
    void thumbnailReady(const QString& path);

    ProcessingViewModel* viewModel_;
    ThumbnailCache* thumbnails_;
    // The cutout each row's thumbnail was last asked for: a rerun may write a new file of that name.
    QHash<const ImageItem*, QString> cutoutShown_;
    QList<QPointer<ImageItem>> rows_;
    QHash<const ImageItem*, int> rowOf_;
};

} // namespace pelorin
