#include "app/Views/FileListModel.h"

#include "app/Models/ImageItem.h"
#include "app/Services/ThumbnailCache.h"
#include "engine/Models/OutputFormat.h"
#include "app/ViewModels/ProcessingViewModel.h"
#include "app/Views/Icons.h"
#include "app/Views/TextStyles.h"

#include <QGuiApplication>
#include <QLocale>

namespace pelorin {

namespace {

constexpr qint64 megabyte = 1000 * 1000;
constexpr qint64 gigabyte = 1000 * megabyte;

QString statusLabel(FileListModel::StatusCell cell)
{
    using Cell = FileListModel::StatusCell;
    switch (cell) {
    case Cell::waiting:
        //: Status cell of a row that has not been processed yet
        //% "Waiting"
        return qtTrId("status.waiting");
    case Cell::processing:
        //: Accessibility label of the status cell of a row being processed
        //% "Processing"
        return qtTrId("status.processing");
    case Cell::cancelling:
        //: Accessibility label of the status cell of a row whose run is being cancelled
        //% "Cancelling"
        return qtTrId("status.cancelling");
    case Cell::done:
        //: Accessibility label of the status cell of a finished row
        //% "Done"
        return qtTrId("status.done");
    case Cell::doneWithWarning:
        //: Accessibility label of the status cell of a finished row whose mask file failed
        //% "Done with warning"
        return qtTrId("status.doneWithWarning");
    case Cell::cancelled:
        //: Accessibility label of the status cell of a cancelled row
        //% "Cancelled"
        return qtTrId("status.cancelled");
    case Cell::error:
        //: Accessibility label of the status cell of a failed row
        //% "Error"
        return qtTrId("status.error");
    }
    return {};
}

QIcon statusIcon(FileListModel::StatusCell cell)
{
    using Cell = FileListModel::StatusCell;
    switch (cell) {
    case Cell::cancelling: return Icons::named(QStringLiteral("hourglass"));
    case Cell::done: return Icons::named(QStringLiteral("checkmark-circle"));
    case Cell::doneWithWarning: return Icons::named(QStringLiteral("warning-badge"));
    case Cell::cancelled: return Icons::named(QStringLiteral("minus-circle"));
    case Cell::error: return Icons::named(QStringLiteral("exclamation-triangle"));
    case Cell::waiting:
    case Cell::processing: break;
    }
    return {};
}

// The text behind a warning or an error: shown only as tooltip and accessibility value.
QString statusMessage(const ImageItem& item, FileListModel::StatusCell cell)
{
    if (cell == FileListModel::StatusCell::doneWithWarning)
        return item.errorMessage().value_or(QString());
    if (cell == FileListModel::StatusCell::error)
        return item.status().message();
    return {};
}

} // namespace

FileListModel::FileListModel(ProcessingViewModel* viewModel, ThumbnailCache* thumbnails, QObject* parent)
    : QAbstractTableModel(parent),
      viewModel_(viewModel),
      thumbnails_(thumbnails)
{
    if (thumbnails_)
        connect(thumbnails_, &ThumbnailCache::thumbnailReady, this, &FileListModel::thumbnailReady);
    for (ImageItem* item : viewModel_->items())
        rows_.append(item);
    rebuildRowIndex();

    connect(viewModel_, &ProcessingViewModel::itemsChanged, this, &FileListModel::syncRows);
    connect(viewModel_, &ProcessingViewModel::itemChanged, this, &FileListModel::rowChanged);
    connect(
        viewModel_, &ProcessingViewModel::settingsChanged, this, [this] { columnChanged(outputColumn); });
    connect(viewModel_, &ProcessingViewModel::isCancellingChanged, this, [this] { columnChanged(statusColumn); });
}

int FileListModel::rowCount(const QModelIndex& parent) const
{
    return parent.isValid() ? 0 : static_cast<int>(rows_.size());
}

int FileListModel::columnCount(const QModelIndex& parent) const
{
    return parent.isValid() ? 0 : columnCount_;
}

ImageItem* FileListModel::itemAt(int row) const
{
    return row >= 0 && row < rows_.size() ? rows_[row].data() : nullptr;
}

std::optional<std::filesystem::path> FileListModel::finishedCutout(const ImageItem& item)
{
    if (item.status().kind() != ProcessingStatus::Kind::completed)
        return std::nullopt;
    return item.outputURL();
}

bool FileListModel::hasProcessingRow() const
{
    for (const auto& item : rows_)
        if (item && item->status().kind() == ProcessingStatus::Kind::processing)
            return true;
    return false;
}

FileListModel::StatusCell FileListModel::statusCell(const ImageItem& item, bool isCancelling)
{
    switch (item.status().kind()) {
    case ProcessingStatus::Kind::waiting: return StatusCell::waiting;
    case ProcessingStatus::Kind::processing: return isCancelling ? StatusCell::cancelling : StatusCell::processing;
    case ProcessingStatus::Kind::completed:
        return item.errorMessage().value_or(QString()).isEmpty() ? StatusCell::done : StatusCell::doneWithWarning;
    case ProcessingStatus::Kind::cancelled: return StatusCell::cancelled;
    case ProcessingStatus::Kind::error: return StatusCell::error;
    }
    return StatusCell::waiting;
}

QString FileListModel::formattedSize(qint64 bytes)
{
    if (bytes == 0) {
        //: Size column of an empty file: a zero byte count spelled out in the unit the other sizes use
        //% "Zero kB"
        return qtTrId("filelist.size.zero");
    }
    // As file sizes are usually shown: whole kilobytes, one decimal for megabytes, two beyond.
    const int precision = bytes < megabyte ? 0 : bytes < gigabyte ? 1 : 2;
    return QLocale().formattedDataSize(bytes, precision, QLocale::DataSizeSIFormat);
}

QVariant FileListModel::data(const QModelIndex& index, int role) const
{
    const ImageItem* item = index.isValid() ? itemAt(index.row()) : nullptr;
    if (!item)
        return {};
    const QPalette palette = QGuiApplication::palette();
    const QFont font = QGuiApplication::font();

    switch (index.column()) {
    case fileColumn: {
        const QString name = QString::fromStdString(item->url().filename().string());
        switch (role) {
        case Qt::DisplayRole:
        case Qt::AccessibleTextRole: return name;
        case Qt::ToolTipRole: return QString::fromStdString(item->url().string());
        case Qt::TextAlignmentRole: return QVariant::fromValue(Qt::AlignLeading | Qt::AlignVCenter);
        case sourceThumbnailRole: return thumbnails_ ? thumbnails_->thumbnail(item->url()) : QImage();
        case cutoutThumbnailRole: {
            const auto cutout = finishedCutout(*item);
            return thumbnails_ && cutout ? thumbnails_->thumbnail(*cutout) : QImage();
        }
        }
        return {};
    }
    case outputColumn:
        switch (role) {
        case Qt::DisplayRole:
        case Qt::AccessibleTextRole:
            return QString::fromUtf8(OutputFormats::displayName(viewModel_->settings().outputFormat));
        case Qt::FontRole: return TextStyles::captionFont(font);
        case Qt::ForegroundRole: return TextStyles::secondaryColor(palette);
        case Qt::TextAlignmentRole: return QVariant::fromValue(Qt::AlignLeading | Qt::AlignVCenter);
        }
        return {};
    case sizeColumn:
        switch (role) {
        case Qt::DisplayRole:
        case Qt::AccessibleTextRole: return formattedSize(item->originalSize());
        case Qt::FontRole: return TextStyles::captionFont(font);
        case Qt::TextAlignmentRole: return QVariant::fromValue(Qt::AlignTrailing | Qt::AlignVCenter);
        }
        return {};
    case statusColumn: {
        const StatusCell cell = statusCell(*item, viewModel_->isCancelling());
        switch (role) {
        case Qt::DisplayRole: return cell == StatusCell::waiting ? statusLabel(cell) : QString();
        case Qt::DecorationRole: return statusIcon(cell);
        case Qt::AccessibleTextRole: return statusLabel(cell);
        case Qt::AccessibleDescriptionRole:
        case Qt::ToolTipRole: {
            const QString message = statusMessage(*item, cell);
            return message.isEmpty() ? QVariant() : QVariant(message);
        }
        case Qt::FontRole: return TextStyles::captionFont(font);
        case Qt::ForegroundRole: return TextStyles::secondaryColor(palette);
        case Qt::TextAlignmentRole: return QVariant::fromValue(Qt::AlignHCenter | Qt::AlignVCenter);
        case statusCellRole: return static_cast<int>(cell);
        }
        return {};
    }
    }
    return {};
}

QVariant FileListModel::headerData(int section, Qt::Orientation orientation, int role) const
{
    if (orientation != Qt::Horizontal)
        return {};
    if (role == Qt::TextAlignmentRole) {
        switch (section) {
        case sizeColumn: return QVariant::fromValue(Qt::AlignTrailing | Qt::AlignVCenter);
        case statusColumn: return QVariant::fromValue(Qt::AlignHCenter | Qt::AlignVCenter);
        default: return QVariant::fromValue(Qt::AlignLeading | Qt::AlignVCenter);
        }
    }
    if (role == Qt::FontRole)
        return TextStyles::captionFont(QGuiApplication::font());
    if (role == Qt::ForegroundRole)
        return TextStyles::secondaryColor(QGuiApplication::palette());
    if (role != Qt::DisplayRole)
        return {};
    switch (section) {
    case fileColumn:
        //: Column header of the file names
        //% "File"
        return qtTrId("filelist.column.file");
    case outputColumn:
        //: Column header of the output format
        //% "Output"
        return qtTrId("filelist.column.output");
    case sizeColumn:
        //: Column header of the file sizes
        //% "Size"
        return qtTrId("filelist.column.size");
    case statusColumn:
        //: Column header of the row status
        //% "Status"
        return qtTrId("filelist.column.status");
    }
    return {};
}

void FileListModel::syncRows()
{
    const QList<ImageItem*>& now = viewModel_->items();
    const qsizetype before = rows_.size();
    qsizetype common = 0;
    while (common < before && common < now.size() && rows_[common] == now[common])
        ++common;

    if (common == before && common == now.size())
        return;
    if (common == before) {
        // Appended: the usual intake case, which keeps the selection and scroll position.
        beginInsertRows({}, static_cast<int>(before), static_cast<int>(now.size() - 1));
        for (qsizetype i = before; i < now.size(); ++i)
            rows_.append(now[i]);
        rebuildRowIndex();
        endInsertRows();
        return;
    }
    const qsizetype removed = before - now.size();
    bool oneBlockRemoved = removed > 0;
    for (qsizetype i = common; oneBlockRemoved && i < now.size(); ++i)
        oneBlockRemoved = rows_[i + removed] == now[i];
    if (oneBlockRemoved) {
        beginRemoveRows({}, static_cast<int>(common), static_cast<int>(common + removed - 1));
        rows_.remove(common, removed);
        rebuildRowIndex();
        endRemoveRows();
        return;
    }
    beginResetModel();
    rows_.clear();
    for (ImageItem* item : now)
        rows_.append(item);
    rebuildRowIndex();
    endResetModel();
}

void FileListModel::rebuildRowIndex()
{
    rowOf_.clear();
    rowOf_.reserve(rows_.size());
    for (qsizetype row = 0; row < rows_.size(); ++row)
        rowOf_.insert(rows_[row].data(), static_cast<int>(row));
    for (auto it = cutoutShown_.begin(); it != cutoutShown_.end();)
        it = rowOf_.contains(it.key()) ? std::next(it) : cutoutShown_.erase(it);
}

void FileListModel::rowChanged(ImageItem* item)
{
    const auto found = rowOf_.constFind(item);
    if (found == rowOf_.constEnd())
        return;
    if (const auto cutout = finishedCutout(*item); thumbnails_ && cutout) {
        QString& shown = cutoutShown_[item];
        const QString path = QString::fromStdString(cutout->string());
        if (shown != path) {
            thumbnails_->forget(*cutout);
            shown = path;
        }
    }
    emit dataChanged(index(*found, 0), index(*found, columnCount_ - 1));
}

void FileListModel::thumbnailReady(const QString& path)
{
    const std::filesystem::path file = path.toStdString();
    for (qsizetype row = 0; row < rows_.size(); ++row) {
        const ImageItem* item = rows_[row];
        if (item && (item->url() == file || finishedCutout(*item) == file)) {
            const QModelIndex cell = index(static_cast<int>(row), fileColumn);
            emit dataChanged(cell, cell, {sourceThumbnailRole, cutoutThumbnailRole});
        }
    }
}

void FileListModel::columnChanged(int column)
{
    if (rows_.isEmpty())
        return;
    emit dataChanged(index(0, column), index(static_cast<int>(rows_.size()) - 1, column));
}

} // namespace pelorin
