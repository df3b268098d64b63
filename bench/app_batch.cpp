// ambrel-app-batch FOLDER OUTPUT [QUALITY]: converts a folder of HEIF files
// with the desktop application, as a person would: the main window shown,
// the folder dropped on the list, "save to" set to OUTPUT through the folder
// panel, JPG at QUALITY (10 to 100 in tens, default 90) chosen in the quality
// list, and the start button pressed. Nobody has to be there: the panels
// answer by themselves, and the window needs no screen with
// QT_QPA_PLATFORM=offscreen. Prints "milliseconds converted finished|stopped": the time
// from the press to the end of the job, as the window reports it.
//
// The settings the window keeps go into the cache folder of the user running
// it: compare.sh points XDG_CACHE_HOME at a folder of its own.
#include <QtCore/QElapsedTimer>
#include <QtCore/QFileInfo>
#include <QtCore/QTemporaryDir>
#include <QtCore/QTimer>
#include <QtWidgets/QApplication>

#include <cstdio>
#include <cstdlib>
#include <optional>

#include "app/main_window.h"
#include "app/preview_window.h"
#include "app/services.h"
#include "app/user_info.h"
#include "app/view_controller.h"

namespace {

// The panels answer at once: the folder chosen is the output folder; alerts
// (the summary at the end) are taken as read.
class AnsweringDialogs : public ambrel::app::Dialogs
{
public:
    explicit AnsweringDialogs(QString folder) : mFolder(std::move(folder)) {}
    int runAlert(QWidget* /*parent*/, const ambrel::app::Alert& alert) override
    {
        std::fprintf(stderr, "ambrel-app-batch: alert: %s %s\n", qPrintable(alert.messageText),
                     qPrintable(alert.informativeText));
        return 0;
    }
    void showSheetAlert(QWidget* /*parent*/, const ambrel::app::Alert& /*alert*/) override {}
    QStringList openHeicPanel(QWidget* /*anchor*/) override { return {}; }
    std::optional<QString> chooseFolder(QWidget* /*parent*/, const QString& /*startFolder*/) override
    {
        return mFolder;
    }

private:
    QString mFolder;
};

class NoDesktop : public ambrel::app::DesktopServices
{
public:
    void openUrl(const QUrl& /*url*/) override {}
};

}  // namespace

int main(int argc, char** argv)
{
    QApplication app(argc, argv);
    const QStringList arguments = QCoreApplication::arguments();
    if (arguments.size() < 3 || arguments.size() > 4) {
        std::fprintf(stderr, "usage: ambrel-app-batch FOLDER OUTPUT [QUALITY]\n");
        return 2;
    }
    const QString input = QFileInfo(arguments[1]).absoluteFilePath();
    const QString output = QFileInfo(arguments[2]).absoluteFilePath();
    const int quality = arguments.size() == 4 ? arguments[3].toInt() : 90;
    if (quality < 10 || quality > 100 || quality % 10 != 0) {
        std::fprintf(stderr, "ambrel-app-batch: the quality is 10 to 100 in tens\n");
        return 2;
    }

    AnsweringDialogs dialogs(output);
    NoDesktop desktop;
    ambrel::app::PreviewWindow preview;
    ambrel::app::UserInfo userInfo(ambrel::app::userCacheFolder());
    QTemporaryDir jobCache;
    auto* view = new ambrel::app::ViewController(
        ambrel::app::ControllerServices{dialogs, desktop, preview, userInfo, {}, jobCache.path()});
    ambrel::app::MainWindow window(view);
    window.show();

    int status = 1;
    QElapsedTimer clock;
    QObject::connect(view, &ambrel::app::ViewController::jobEnded, &app, [&](bool finished, int converted) {
        const qint64 milliseconds = clock.elapsed();
        std::printf("%lld %d %s\n", static_cast<long long>(milliseconds), converted, finished ? "finished" : "stopped");
        status = finished ? 0 : 1;
        QCoreApplication::quit();
    });
    QTimer::singleShot(0, view, [&] {
        view->dragDropViewFileList({input});
        view->SaveCustomPathBTEvent();
        view->SelectPathBtEvent();
        view->OutFormatEvent(0);  // JPG
        view->ImageSizeEvent(9);  // 100 %
        view->ImageQualityEvent(quality / 10 - 1);
        clock.start();
        view->AmbrelBtEvent();
        if (view->isStopTo()) {
            std::fprintf(stderr, "ambrel-app-batch: the job did not start\n");
            QCoreApplication::exit(1);
        }
    });
    const int loop = QApplication::exec();
    return loop != 0 ? loop : status;
}
