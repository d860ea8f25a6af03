#include "app/Views/ProminentButton.h"

#include <QEvent>

namespace pelorin {

ProminentButton::ProminentButton(const QString& text, QWidget* parent) : QPushButton(text, parent)
{
    restyle();
}

void ProminentButton::setTint(const QColor& tint)
{
    tint_ = tint;
    restyle();
}

QColor ProminentButton::tint() const
{
    return tint_.isValid() ? tint_ : palette().color(QPalette::Highlight);
}

void ProminentButton::setCompact(bool compact)
{
    compact_ = compact;
    restyle();
}

void ProminentButton::changeEvent(QEvent* event)
{
    QPushButton::changeEvent(event);
    // Follow the accent colour when the application palette changes (light/dark switch).
    if (event->type() == QEvent::PaletteChange && !tint_.isValid())
        restyle();
}

void ProminentButton::restyle()
{
    const QColor base = tint();
    QColor faded = base;
    faded.setAlphaF(0.5);
    const QString padding = compact_ ? QStringLiteral("3px 10px") : QStringLiteral("5px 14px");
    const QString sheet =
        QStringLiteral(
            "QPushButton { background-color: %1; color: white; border: 1px solid %2; border-radius: 5px;"
            " padding: %3; }"
            "QPushButton:hover { background-color: %4; }"
            "QPushButton:pressed { background-color: %2; }"
            "QPushButton:disabled { background-color: %5; border-color: %5; color: rgba(255, 255, 255, 210); }"
            "QPushButton:focus { border-color: %2; }")
            .arg(base.name(), base.darker(125).name(), padding, base.lighter(110).name(), faded.name(QColor::HexArgb));
    // setStyleSheet sends a PaletteChange only for inherited palettes; guard against re-entry anyway.
    if (styleSheet() != sheet)
        setStyleSheet(sheet);
}

} // namespace pelorin
