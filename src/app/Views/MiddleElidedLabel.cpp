#include "app/Views/MiddleElidedLabel.h"

#include <QEvent>
#include <QFontMetrics>

namespace pelorin {

MiddleElidedLabel::MiddleElidedLabel(QWidget* parent) : QLabel(parent)
{
    setTextFormat(Qt::PlainText);
    setWordWrap(false);
    setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Fixed);
}

void MiddleElidedLabel::setFullText(const QString& text)
{
    if (text == fullText_ && !text.isEmpty())
        return;
    fullText_ = text;
    setAccessibleName(text);
    updateGeometry();
    elide();
}

QSize MiddleElidedLabel::sizeHint() const
{
    const QMargins margins = contentsMargins();
    return {fontMetrics().horizontalAdvance(fullText_) + margins.left() + margins.right(), QLabel::sizeHint().height()};
}

QSize MiddleElidedLabel::minimumSizeHint() const
{
    return {0, QLabel::minimumSizeHint().height()};
}

void MiddleElidedLabel::resizeEvent(QResizeEvent* event)
{
    QLabel::resizeEvent(event);
    elide();
}

void MiddleElidedLabel::changeEvent(QEvent* event)
{
    QLabel::changeEvent(event);
    if (event->type() == QEvent::FontChange)
        elide();
}

void MiddleElidedLabel::elide()
{
    const int width = contentsRect().width();
    setText(fontMetrics().elidedText(fullText_, Qt::ElideMiddle, width));
}

} // namespace pelorin
