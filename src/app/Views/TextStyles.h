// TextStyles: the few font and colour roles the drop zones, list and footer share (title, caption,
// secondary/tertiary text, accent), derived from the application's font and palette so they follow
// the desktop's settings. Pure functions; GUI thread only (fonts, palettes).
#pragma once

#include <QColor>
#include <QFont>
#include <QPalette>

namespace pelorin::TextStyles {

QFont title2Font(const QFont& base);
QFont subheadlineFont(const QFont& base);
QFont captionFont(const QFont& base);

// De-emphasised text and monochrome symbols (the palette's placeholder-text colour).
QColor secondaryColor(const QPalette& palette);
// Less emphasis still, for captions under controls.
QColor tertiaryColor(const QPalette& palette);
// The desktop's highlight colour, used for drag-hover feedback.
QColor accentColor(const QPalette& palette);
// `color` with its alpha multiplied by `opacity`.
QColor withOpacity(QColor color, qreal opacity);

} // namespace pelorin::TextStyles
