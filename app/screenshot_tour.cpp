#include "app/screenshot_tour.h"

#include <QtCore/QDir>
#include <QtCore/QTimer>
#include <QtWidgets/QApplication>
#include <QtWidgets/QMessageBox>

#include "app/about_window.h"
#include "app/app_delegate.h"
#include "app/app_log.h"
#include "app/main_window.h"
#include "app/preview_window.h"
#include "app/view_controller.h"

namespace ambrel::app {

ScreenshotTour::ScreenshotTour(AppDelegate& app, const QString& folder, const QStringList& files, QObject* parent)
    : QObject(parent), mApp(app), mFolder(folder), mFiles(files)
{}

void ScreenshotTour::start()
{
    QDir().mkpath(mFolder);
    after(800, &ScreenshotTour::emptyWindow);
}

void ScreenshotTour::after(int milliseconds, void (ScreenshotTour::*step)())
{
    QTimer::singleShot(milliseconds, this, step);
}

void ScreenshotTour::grab(QWidget* widget, const QString& name)
{
    const QString path = QDir(mFolder).filePath(name);
    if (widget == nullptr || !widget->grab().save(path, "PNG")) {
        appLog(QStringLiteral("screenshot %1 not saved").arg(path));
        mFailed = true;
        return;
    }
    appLog(QStringLiteral("screenshot %1").arg(path));
}

void ScreenshotTour::emptyWindow()
{
    grab(mApp.mainWindow(), QStringLiteral("main-empty.png"));
    convert();
}

void ScreenshotTour::convert()
{
    ViewController* view = mApp.viewController();
    view->addGivenPaths(mFiles);
    connect(
        view, &ViewController::jobEnded, this, [this] { after(800, &ScreenshotTour::afterJob); },
        Qt::SingleShotConnection);
    view->AmbrelBtEvent();
}

void ScreenshotTour::afterJob()
{
    grab(mApp.mainWindow(), QStringLiteral("main-after-job.png"));
    for (QMessageBox* box : mApp.mainWindow()->findChildren<QMessageBox*>()) {
        if (box->isVisible()) {
            grab(box, QStringLiteral("summary-alert.png"));
            box->close();
        }
    }
    preview();
}

void ScreenshotTour::preview()
{
    ViewController* view = mApp.viewController();
    for (int row = 0; row < view->model().count(); ++row) {
        if (rowStateOf(view->model().record(row)) == RowState::Converted) {
            view->PreViewEvent(row);
            after(800, &ScreenshotTour::about);
            return;
        }
    }
    appLog(QStringLiteral("screenshot tour: no row was converted"));
    mFailed = true;
    about();
}

void ScreenshotTour::about()
{
    if (mApp.previewWindow()->isVisible()) {
        grab(mApp.previewWindow(), QStringLiteral("preview.png"));
        mApp.previewWindow()->close();
    }
    mApp.MenuAboutEvent();
    after(800, &ScreenshotTour::finish);
}

void ScreenshotTour::finish()
{
    grab(mApp.aboutWindow(), QStringLiteral("about.png"));
    QCoreApplication::exit(mFailed ? 1 : 0);
}

}  // namespace ambrel::app
