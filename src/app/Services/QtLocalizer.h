// QtLocalizer: backs the engine's localisation hook with Qt's ID-based translation, so engine
// texts (batch errors) and Qt-layer texts come from one catalogue.
#pragma once

class QCoreApplication;

namespace pelorin {

// Routes pelorin::localized through qtTrId: the catalogue's text for the key when it has one,
// otherwise the English template; then %1… are filled. Thread-safe like qtTrId. Call once at start.
void installQtLocalizer();

// Installs the core and window catalogues for the user's language, each falling back to the English
// one embedded in the program (":/i18n/pelorin_en.qm", ":/i18n/pelorin_ui_en.qm"), so ID-based
// texts never show as bare ids. Translators are owned by `application`. False when a catalogue
// could not be loaded at all.
bool loadTranslations(QCoreApplication& application);

} // namespace pelorin
