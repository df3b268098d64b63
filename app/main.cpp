// ambrel: converts HEIC photos into JPEG, PNG, BMP, TIFF or JPEG 2000 files.
//
//   ambrel [FILE...]                  opens the window with the files listed
//   ambrel --screenshots DIR FILE...  saves pictures of the window into DIR
#include <QtCore/QCommandLineParser>
#include <QtWidgets/QApplication>

#include "app/app_config.h"
#include "app/app_delegate.h"
#include "app/images.h"
#include "app/screenshot_tour.h"
#include "app/translations.h"

int main(int argc, char** argv)
{
    QApplication app(argc, argv);
    QApplication::setApplicationName(QString::fromUtf8(ambrel::app::config::kAppName));
    QApplication::setApplicationVersion(QString::fromUtf8(ambrel::app::config::kAppVersion));
    QApplication::setDesktopFileName(QStringLiteral("ambrel"));
    QApplication::setWindowIcon(ambrel::app::applicationIcon());
    ambrel::app::applyApplicationLook(app);
    ambrel::app::installTranslations(QLocale::system());

    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("Converts HEIC photos into JPEG, PNG, BMP, TIFF or JPEG 2000 files."));
    parser.addHelpOption();
    parser.addVersionOption();
    const QCommandLineOption screenshots(
        QStringLiteral("screenshots"),
        QStringLiteral("Convert the files and save pictures of the windows into <folder>, then quit."),
        QStringLiteral("folder"));
    parser.addOption(screenshots);
    parser.addPositionalArgument(QStringLiteral("files"), QStringLiteral("HEIC files or folders to list."),
                                 QStringLiteral("[FILE...]"));
    parser.process(app);  // --help and --version print and exit here, before the log takes the streams

    ambrel::app::AppDelegate delegate;
    if (parser.isSet(screenshots)) {
        delegate.applicationDidFinishLaunching({});
        auto* tour =
            new ambrel::app::ScreenshotTour(delegate, parser.value(screenshots), parser.positionalArguments(), &app);
        tour->start();
    } else {
        delegate.applicationDidFinishLaunching(parser.positionalArguments());
    }
    return QApplication::exec();
}
