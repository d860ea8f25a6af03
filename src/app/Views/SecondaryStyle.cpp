#include "app/Views/SecondaryStyle.h"

#include "app/Views/TextStyles.h"

#include <QPalette>
#include <QWidget>

namespace pelorin::SecondaryStyle {

void apply(QWidget* widget)
{
    QPalette palette = widget->palette();
    const QColor secondary = TextStyles::secondaryColor(palette);
    palette.setColor(QPalette::WindowText, secondary);
    palette.setColor(QPalette::Text, secondary);
    widget->setPalette(palette);
}

} // namespace pelorin::SecondaryStyle
