// MiddleElidedLabel: a one-line label that shortens its text with an ellipsis in the middle when
// it is narrower than the text, so both the start and the end of a path stay readable. It can
// shrink to nothing; its size hint is the whole text. GUI thread only.
#pragma once

#include <QLabel>

namespace pelorin {

class MiddleElidedLabel final : public QLabel {
    Q_OBJECT
public:
    explicit MiddleElidedLabel(QWidget* parent = nullptr);

    // The text to show; what is drawn is this text elided to the current width.
    void setFullText(const QString& text);
    const QString& fullText() const { return fullText_; }

    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;

protected:
    void resizeEvent(QResizeEvent* event) override;
    void changeEvent(QEvent* event) override;

private:
    void elide();

    QString fullText_;
};

} // namespace pelorin
