// FileListDelegate: draws the file list's cells: file names shortened in the middle so both the
// start and the extension stay readable, status symbols centred in their cell, and the turning
// spinner for rows being processed. Rows get 6 px of vertical padding. GUI thread only; the
// spinner must outlive the delegate.
#pragma once

#include <QStyledItemDelegate>

namespace pelorin {

class SpinnerIcon;

class FileListDelegate final : public QStyledItemDelegate {
    Q_OBJECT
public:
    FileListDelegate(const SpinnerIcon* spinner, QObject* parent = nullptr);

    void paint(QPainter* painter, const QStyleOptionViewItem& option, const QModelIndex& index) const override;
    QSize sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const override;

    // The file name as drawn in a cell of `cellWidth` pixels with `metrics`.
    static QString elidedFileName(const QString& name, const QFontMetrics& metrics, int cellWidth);

protected:
    void initStyleOption(QStyleOptionViewItem* option, const QModelIndex& index) const override;

private:
    const SpinnerIcon* spinner_;
};

} // namespace pelorin
