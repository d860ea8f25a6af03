#include "app/Services/SettingsPersistence.h"

#include <QSettings>
#include <QVariant>

namespace pelorin {

namespace {

// Text stores (INI, the Linux default) give every value back as a string, so the Boolean reading
// has to accept the spellings people and other writers use, and nothing else.
bool readBoolean(const QVariant& value)
{
    switch (value.metaType().id()) {
    case QMetaType::Bool: return value.toBool();
    case QMetaType::Int:
    case QMetaType::UInt:
    case QMetaType::LongLong:
    case QMetaType::ULongLong:
    case QMetaType::Double:
    case QMetaType::Float: return value.toDouble() != 0.0;
    case QMetaType::QString: {
        const QString text = value.toString().trimmed();
        if (text.compare(QLatin1String("true"), Qt::CaseInsensitive) == 0
            || text.compare(QLatin1String("yes"), Qt::CaseInsensitive) == 0)
            return true;
        bool isNumber = false;
        const double number = text.toDouble(&isNumber);
        return isNumber && number != 0.0;
    }
    default: return false;
    }
}

} // namespace

SettingsPersistence::SettingsPersistence(std::shared_ptr<QSettings> store) : store_(std::move(store)) {}

ProcessingSettings SettingsPersistence::load() const
{
    ProcessingSettings settings;
    if (!store_)
        return settings;
    const QVariant format = store_->value(outputFormatKey);
    if (format.metaType().id() == QMetaType::QString) {
        if (auto stored = OutputFormats::fromRawValue(format.toString().toStdString()))
            settings.outputFormat = *stored;
    }
    if (store_->contains(exportMaskSeparatelyKey))
        settings.exportMaskSeparately = readBoolean(store_->value(exportMaskSeparatelyKey));
    if (store_->contains(refineEdgesKey))
        settings.refineEdges = readBoolean(store_->value(refineEdgesKey));
    return settings;
}

void SettingsPersistence::save(const ProcessingSettings& settings) const
{
    if (!store_)
        return;
    const auto raw = OutputFormats::rawValue(settings.outputFormat);
    store_->setValue(outputFormatKey, QString::fromUtf8(raw.data(), static_cast<qsizetype>(raw.size())));
    store_->setValue(exportMaskSeparatelyKey, settings.exportMaskSeparately);
    store_->setValue(refineEdgesKey, settings.refineEdges);
    // Written now rather than at exit, so a crash or a killed process keeps the user's choice.
    store_->sync();
}

} // namespace pelorin
