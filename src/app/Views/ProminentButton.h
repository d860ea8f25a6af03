// ProminentButton: a push button filled with a tint (the accent colour unless told otherwise) and
// drawn with white text and icon, for the main action of a bar or a dialog. Disabled, it keeps its
// tint, faded. GUI thread only.
#pragma once

#include <QColor>
#include <QPushButton>

namespace pelorin {

class ProminentButton final : public QPushButton {
    Q_OBJECT
public:
    explicit ProminentButton(const QString& text = {}, QWidget* parent = nullptr);

    // An invalid colour means the palette's accent (highlight) colour.
    void setTint(const QColor& tint);
    QColor tint() const;

    // The smaller padding of buttons that sit in a settings row.
    void setCompact(bool compact);

protected:
    void changeEvent(QEvent* event) override;

private:
    void restyle();

    QColor tint_;
    bool compact_ = false;
};

} // namespace pelorin
