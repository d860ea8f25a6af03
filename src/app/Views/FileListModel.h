// FileListModel: the queue as a four-column table (File, Output, Size, Status) for FileListView.
// It mirrors the view model's rows and keeps no state of its own beyond that mirror: a changed row
// repaints only its own cells, a format change only the Output column, and the table is rebuilt
// only when rows were neither just appended nor removed as one block.
// GUI thread only; the view model must outlive the model.
#pragma once

#include <QAbstractTableModel>
#include <QHash>
#include <QList>
#include <QPointer>

namespace pelorin {

class ImageItem;
class ProcessingViewModel;

class FileListModel final : public QAbstractTableModel {
    Q_OBJECT
public:
    enum Column { fileColumn, outputColumn, sizeColumn, statusColumn, columnCount_ };

    // What the status cell shows; follows the row's status and, while processing, cancelling.
    enum class StatusCell { waiting, processing, cancelling, done, doneWithWarning, cancelled, error };

    enum Role {
        // StatusCell as int, on the Status column.
        statusCellRole = Qt::UserRole + 1,
    };

    explicit FileListModel(ProcessingViewModel* viewModel, QObject* parent = nullptr);

    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role = Qt::DisplayRole) const override;

    // The row's item; null outside the table or once the row's item is gone.
    ImageItem* itemAt(int row) const;
    bool hasProcessingRow() const;

    static StatusCell statusCell(const ImageItem& item, bool isCancelling);
    // Decimal (SI) units: bytes, whole KB, MB with one decimal, larger with two; zero in words.
    static QString formattedSize(qint64 bytes);

private:
    void syncRows();
    void rebuildRowIndex();
    void rowChanged(ImageItem* item);
    void columnChanged(int column);

    ProcessingViewModel* viewModel_;
    QList<QPointer<ImageItem>> rows_;
    QHash<const ImageItem*, int> rowOf_;
};

} // namespace pelorin
