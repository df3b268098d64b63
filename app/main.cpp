// ambrel: converts HEIC photos into JPEG, PNG, BMP, TIFF or JPEG 2000 files.
//
//   ambrel [FILE...]                  opens the window with the files listed
//   ambrel --screenshots DIR FILE...  saves pictures of the window into DIR
//   ambrel --help | --version         prints and exits, with or without a display
#include <QtCore/QCommandLineParser>
#include <QtCore/QCoreApplication>
#include <QtWidgets/QApplication>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>

#include "app/app_config.h"
#include "app/app_delegate.h"
#include "app/images.h"
#include "app/screenshot_tour.h"
#include "app/translations.h"

namespace {

struct CommandLine
{
    QCommandLineParser parser;
    QCommandLineOption help;
    QCommandLineOption version;
    QCommandLineOption screenshots{
        QStringLiteral("screenshots"),
        QStringLiteral("Convert the files and save pictures of the windows into <folder>, then quit."),
        QStringLiteral("folder")};

    CommandLine() : help(parser.addHelpOption()), version(parser.addVersionOption())
    {
        parser.setApplicationDescription(
            QStringLiteral("Converts HEIC photos into JPEG, PNG, BMP, TIFF or JPEG 2000 files."));
        parser.addOption(screenshots);
        parser.addPositionalArgument(QStringLiteral("files"), QStringLiteral("HEIC files or folders to list."),
                                     QStringLiteral("[FILE...]"));
    }
};

// Answers --help and --version, which need no window: the window system is
// not started yet, so they work without a display (over ssh, in a package
// build, for help2man). Returns the exit status when the program ends here.
// Qt's own options (-platform, -style...) are only known to QApplication,
// which takes them out of the arguments later; anything else is checked then.
std::optional<int> answerWithoutDisplay(int argc, char** argv)
{
    const QCoreApplication probe(argc, argv);
    CommandLine commandLine;
    static_cast<void>(commandLine.parser.parse(QCoreApplication::arguments()));
    if (commandLine.parser.isSet(commandLine.help) || commandLine.parser.isSet(QStringLiteral("help-all"))) {
        std::fputs(qPrintable(commandLine.parser.helpText()), stdout);
        return 0;
    }
    if (commandLine.parser.isSet(commandLine.version)) {
        // One line "PROGRAM VERSION", like the command-line programs.
        std::printf("ambrel %s\n", ambrel::app::config::kAppVersion);
        return 0;
    }
    return std::nullopt;
}

// Whether a window system can be reached: a display named in the
// environment, or a platform chosen (QT_QPA_PLATFORM, -platform). Without
// one, Qt would abort the program.
bool windowSystemNamed(int argc, char** argv)
{
    for (const char* variable : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"}) {
        const char* value = std::getenv(variable);
        if (value != nullptr && *value != '\0') {
            return true;
        }
    }
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "-platform") == 0 || std::strcmp(argv[i], "--platform") == 0) {
            return true;
        }
    }
    return false;
}

}  // namespace

int main(int argc, char** argv)
{
    QCoreApplication::setApplicationName(QString::fromUtf8(ambrel::app::config::kAppName));
    QCoreApplication::setApplicationVersion(QString::fromUtf8(ambrel::app::config::kAppVersion));
    if (const auto status = answerWithoutDisplay(argc, argv)) {
        return *status;
    }
    if (!windowSystemNamed(argc, argv)) {
        std::fputs(
            "ambrel: no display (neither DISPLAY nor WAYLAND_DISPLAY is set), so the window cannot open; "
            "ambrel-convert converts files without one\n",
            stderr);
        return 1;
    }

    QApplication app(argc, argv);
    QApplication::setDesktopFileName(QStringLiteral("ambrel"));
    QApplication::setWindowIcon(ambrel::app::applicationIcon());
    ambrel::app::applyApplicationLook(app);
    ambrel::app::installTranslations(QLocale::system());

    CommandLine commandLine;
    commandLine.parser.process(app);  // a usage error prints and exits here, before the log takes the streams

    ambrel::app::AppDelegate delegate;
    if (commandLine.parser.isSet(commandLine.screenshots)) {
        delegate.applicationDidFinishLaunching({});
        auto* tour = new ambrel::app::ScreenshotTour(delegate, commandLine.parser.value(commandLine.screenshots),
                                                     commandLine.parser.positionalArguments(), &app);
        tour->start();
    } else {
        delegate.applicationDidFinishLaunching(commandLine.parser.positionalArguments());
    }
    return QApplication::exec();
}
