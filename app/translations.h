// The languages of the application. The texts in the code are Chinese; an
// English translation is built into the program and used whenever the
// user's language is not Chinese, and Qt's own texts (the buttons of its
// dialogs) follow the same language.
#pragma once

#include <QtCore/QLocale>

namespace ambrel::app {

// Whether the window speaks Chinese (the source texts) for this locale.
[[nodiscard]] bool usesSourceLanguage(const QLocale& locale);

// Installs the translations for `locale` in the application, replacing the
// ones installed before. Widgets made afterwards take the new texts.
// Returns false when a translation the language needs could not be loaded
// (the texts then stay as written in the code).
bool installTranslations(const QLocale& locale);
// Removes what installTranslations installed: the texts as written in the code.
void removeTranslations();

}  // namespace ambrel::app
