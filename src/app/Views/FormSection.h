// FormSection: one group of a settings form, drawn as a rounded panel on the window background
// (the grouped form look). Put the section's controls into contentLayout(). GUI thread only.
#pragma once

#include <QFrame>

class QVBoxLayout;

namespace pelorin {

class FormSection final : public QFrame {
    Q_OBJECT
public:
    explicit FormSection(QWidget* parent = nullptr);

    QVBoxLayout* contentLayout() const { return content_; }

private:
    QVBoxLayout* content_;
};

} // namespace pelorin
