#include "app/Views/TextStyles.h"

namespace pelorin::TextStyles {

namespace {

QFont scaled(const QFont& base, qreal factor, QFont::Weight weight = QFont::Normal)
{
    QFont font = base;
    if (base.pointSizeF() > 0)
        font.setPointSizeF(base.pointSizeF() * factor);
    else
        font.setPixelSize(qRound(base.pixelSize() * factor));
    font.setWeight(weight);
    return font;
}

} // namespace

QFont title2Font(const QFont& base)
{
    return scaled(base, 1.35);
}

QFont subheadlineFont(const QFont& base)
{
    return scaled(base, 0.92);
}

QFont captionFont(const QFont& base)
{
    return scaled(base, 0.85);
}

QColor secondaryColor(const QPalette& palette)
{
    return palette.color(QPalette::PlaceholderText);
}

QColor tertiaryColor(const QPalette& palette)
{
    return withOpacity(palette.color(QPalette::PlaceholderText), 0.75);
}

QColor accentColor(const QPalette& palette)
{
    return palette.color(QPalette::Highlight);
}

QColor withOpacity(QColor color, qreal opacity)
{
    color.setAlphaF(color.alphaF() * opacity);
    return color;
}

} // namespace pelorin::TextStyles
