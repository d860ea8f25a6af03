// SettingsPersistence: the output format and the mask and edge choices, kept in a QSettings store
// between launches (the application passes its per-user store; tests pass one over a temporary
// file). The output folder is never stored. Use from one thread at a time, like the QSettings it wraps.
#pragma once

#include "app/Services/SettingsPersisting.h"

#include <QString>

#include <memory>

class QSettings;

namespace pelorin {

class SettingsPersistence final : public SettingsPersisting {
public:
    static inline const QString outputFormatKey = QStringLiteral("org.pelorin.Pelorin.outputFormat");
    static inline const QString exportMaskSeparatelyKey = QStringLiteral("org.pelorin.Pelorin.exportMaskSeparately");
    static inline const QString refineEdgesKey = QStringLiteral("org.pelorin.Pelorin.refineEdges");

    // Shares the store; a null store loads the defaults and saves nothing.
    explicit SettingsPersistence(std::shared_ptr<QSettings> store);

    // Format: exactly "png" or "tiff" stored as text, else PNG. Mask: the stored value read as a
    // Boolean (true, a non-zero number, or "true"/"yes"/"1" in any case), false when absent.
    // Refine edges: read the same way, the settings' default when absent.
    ProcessingSettings load() const override;
    // Writes every key every time and flushes the store to disk.
    void save(const ProcessingSettings& settings) const override;

private:
    std::shared_ptr<QSettings> store_;
};

} // namespace pelorin
