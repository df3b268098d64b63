#include "app/translations.h"

#include <QtCore/QCoreApplication>
#include <QtCore/QLibraryInfo>
#include <QtCore/QTranslator>

#include <memory>

#include "app/app_log.h"

namespace ambrel::app {

namespace {

// The translators installed in the application, owned here for as long as
// they are installed.
struct InstalledTranslators
{
    std::unique_ptr<QTranslator> application;
    std::unique_ptr<QTranslator> qt;
};

InstalledTranslators& installed()
{
    static InstalledTranslators translators;
    return translators;
}

}  // namespace

void removeTranslations()
{
    InstalledTranslators& translators = installed();
    for (std::unique_ptr<QTranslator>* translator : {&translators.application, &translators.qt}) {
        if (*translator != nullptr) {
            QCoreApplication::removeTranslator(translator->get());
            translator->reset();
        }
    }
}

bool usesSourceLanguage(const QLocale& locale)
{
    return locale.language() == QLocale::Chinese;
}

bool installTranslations(const QLocale& locale)
{
    removeTranslations();
    InstalledTranslators& translators = installed();
    const bool chinese = usesSourceLanguage(locale);
    bool complete = true;

    if (!chinese) {
        auto english = std::make_unique<QTranslator>();
        if (english->load(QStringLiteral(":/i18n/ambrel_en.qm"))) {
            QCoreApplication::installTranslator(english.get());
            translators.application = std::move(english);
        } else {
            appLog(QStringLiteral("the English texts cannot be loaded"));
            complete = false;
        }
    }

    // Qt's own texts in the window's language: Chinese as the locale names
    // it (simplified or traditional), else English.
    const QLocale qtLocale = chinese ? locale : QLocale(QLocale::English, QLocale::UnitedStates);
    auto qt = std::make_unique<QTranslator>();
    if (qt->load(qtLocale, QStringLiteral("qtbase"), QStringLiteral("_"),
                 QLibraryInfo::path(QLibraryInfo::TranslationsPath))) {
        QCoreApplication::installTranslator(qt.get());
        translators.qt = std::move(qt);
    } else if (chinese) {
        // Qt's texts are English without a translation; only Chinese misses one.
        appLog(QStringLiteral("Qt's Chinese texts cannot be loaded"));
        complete = false;
    }
    return complete;
}

}  // namespace ambrel::app
