// FileListDelegate: draws the file list's cells: file names shortened in the middle so both the
// start and the extension stay readable, status symbols centred in their cell, and the turning
// spinner for rows being processed. With thumbnails on, the File cell starts with the source's
// thumbnail and beside it the cutout's over a checkerboard (once the row is done), and rows grow to
// hold them. Rows get 6 px of vertical padding. GUI thread only; the spinner must outlive the
// delegate.
#pragma once

#include <QStyledItemDelegate>

namespace pelorin {

class SpinnerIcon;

class FileListDelegate final : public QStyledItemDelegate {
    Q_OBJECT
public:
    // Logical size of a thumbnail's square box.
    static constexpr int thumbnailSide = 36;

    FileListDelegate(const SpinnerIcon* spinner, QObject* parent = nullptr);

    void setShowsThumbnails(bool shows) { showsThumbnails_ = shows; }
    bool showsThumbnails() const { return showsThumbnails_; }
    // Width the thumbnails take at the start of the File cell (0 without thumbnails).
    int thumbnailsWidth() const;
    // Where the source's (0) or the cutout's (1) thumbnail box lies within a File cell.
    QRect thumbnailBox(const QRect& cell, int which) const;

    void paint(QPainter* painter, const QStyleOptionViewItem& option, const QModelIndex& index) const override;
    QSize sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const override;

    // The file name as drawn in a cell of `cellWidth` pixels with `metrics`.
    static QString elidedFileName(const QString& name, const QFontMetrics& metrics, int cellWidth);

protected:
    void initStyleOption(QStyleOptionViewItem* option, const QModelIndex& index) const override;

private:
    void paintThumbnails(QPainter* painter, const QRect& cell, const QModelIndex& index) const;

    const SpinnerIcon* spinner_;
    bool showsThumbnails_ = false;
};

} // namespace pelorin
