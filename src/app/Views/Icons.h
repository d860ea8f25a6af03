// Icons: the window's symbols by our own short names ("gear", "scissors", …). The desktop's
// freedesktop icon theme supplies a symbol when it has a matching name; otherwise (and always for
// the status symbols, whose colour carries meaning) our bundled SVGs from icons.qrc do, so the
// window is complete under the offscreen platform and on a desktop without a theme.
// GUI thread only (QIcon, QPixmap).
//
// Names: gear, scissors, plus-circle, doc, play, stop, hourglass, folder (monochrome, secondary
// grey); checkmark-circle (green), warning-badge (orange), exclamation-triangle (red),
// minus-circle (grey).
#pragma once

#include <QColor>
#include <QIcon>
#include <QString>
#include <QStringList>

namespace pelorin::Icons {

// The themed icon when the theme has it, else the bundled one; a null icon for an unknown name.
QIcon named(const QString& name);

// The bundled symbol with every painted pixel recoloured to `color` (alpha kept), for glyphs on
// coloured backgrounds, e.g. a white "play" on an accent button. Null for an unknown name.
QIcon tinted(const QString& name, const QColor& color);

// ":/icons/<name>.svg", whether or not it exists.
QString resourcePath(const QString& name);

} // namespace pelorin::Icons
