#include "app/Views/FormSection.h"

#include <QVBoxLayout>

namespace pelorin {

FormSection::FormSection(QWidget* parent) : QFrame(parent), content_(new QVBoxLayout(this))
{
    setObjectName(QStringLiteral("formSection"));
    // Scoped to this frame by name so the children keep their own look.
    setStyleSheet(QStringLiteral("QFrame#formSection { background: palette(base);"
                                 " border: 1px solid palette(midlight); border-radius: 8px; }"));
    content_->setContentsMargins(12, 10, 12, 10);
    content_->setSpacing(8);
}

} // namespace pelorin
