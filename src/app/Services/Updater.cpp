#include "app/Services/Updater.h"

namespace pelorin {

// Anchors the interface's vtable and meta-object in one translation unit.
Updater::Updater(QObject* parent) : QObject(parent) {}

Updater::~Updater() = default;

} // namespace pelorin
