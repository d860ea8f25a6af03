#include "app/Services/QtLocalizer.h"

#include "engine/Common/Localization.h"

#include <QByteArray>
#include <QCoreApplication>
#include <QLocale>
#include <QString>
#include <QTranslator>

namespace pelorin {

namespace {

const QString catalogueFolder = QStringLiteral(":/i18n");
// The core texts and the window's texts are separate catalogues, loaded side by side.
const QString catalogueNames[] = {QStringLiteral("pelorin"), QStringLiteral("pelorin_ui")};

std::string lookUp(std::string_view key, std::string_view englishTemplate, const std::vector<std::string>& arguments)
{
    // qtTrId needs a terminated id; it returns the id itself when no catalogue knows it.
    const QByteArray id(key.data(), static_cast<qsizetype>(key.size()));
    const QString translated = qtTrId(id.constData());
    if (translated == QString::fromUtf8(id))
        return fillPlaceholders(englishTemplate, arguments);
    return fillPlaceholders(translated.toStdString(), arguments);
}

} // namespace

void installQtLocalizer()
{
    setLocalizer(lookUp);
}

bool loadTranslations(QCoreApplication& application)
{
    bool allLoaded = true;
    for (const QString& name : catalogueNames) {
        auto* translator = new QTranslator(&application);
        const bool loaded = translator->load(QLocale(), name, QStringLiteral("_"), catalogueFolder)
            || translator->load(name + QStringLiteral("_en"), catalogueFolder);
        if (!loaded) {
            delete translator;
            allLoaded = false;
            continue;
        }
        QCoreApplication::installTranslator(translator);
    }
    return allLoaded;
}

} // namespace pelorin
