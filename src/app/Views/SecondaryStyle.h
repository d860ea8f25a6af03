// SecondaryStyle: gives a label the de-emphasised text colour of TextStyles::secondaryColor, for
// row labels, notes and footers of the settings views. GUI thread only.
#pragma once

class QWidget;

namespace pelorin::SecondaryStyle {

// Gives `widget` (and the children it draws text with) the secondary text colour.
void apply(QWidget* widget);

} // namespace pelorin::SecondaryStyle
