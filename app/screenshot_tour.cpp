#include "app/screenshot_tour.h"

#include <QtCore/QDir>
#include <QtCore/QElapsedTimer>
#include <QtCore/QFileInfo>
#include <QtCore/QTimer>
#include <QtGui/QScreen>
#include <QtWidgets/QApplication>
#include <QtWidgets/QMessageBox>
#include <QtWidgets/QProgressBar>
#include <QtWidgets/QTableView>
#include <QtWidgets/QToolTip>

#include "app/about_window.h"
#include "app/app_delegate.h"
#include "app/app_log.h"
#include "app/file_table.h"
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

void ScreenshotTour::grabScreen(QWidget* widget, int below, const QString& name)
{
    const QString path = QDir(mFolder).filePath(name);
    QScreen* screen = widget != nullptr ? widget->screen() : nullptr;
    if (screen == nullptr) {
        appLog(QStringLiteral("screenshot %1 not saved: no screen").arg(path));
        mFailed = true;
        return;
    }
    const QRect frame = widget->frameGeometry().adjusted(0, 0, 0, below).intersected(screen->geometry());
    if (!screen->grabWindow(0, frame.x(), frame.y(), frame.width(), frame.height()).save(path, "PNG")) {
        appLog(QStringLiteral("screenshot %1 not saved").arg(path));
        mFailed = true;
        return;
    }
    appLog(QStringLiteral("screenshot %1").arg(path));
}

void ScreenshotTour::convert()
{
    ViewController* view = mApp.viewController();
    view->addGivenPaths(mFiles);
    connect(
        view, &ViewController::jobEnded, this,
        [this] {
            if (!mJobGrabbed) {
                appLog(QStringLiteral("screenshot tour: the job ended before it could be seen at work"));
                mFailed = true;
            }
            after(800, &ScreenshotTour::afterJob);
        },
        Qt::SingleShotConnection);
    view->AmbrelBtEvent();
    after(20, &ScreenshotTour::watchJob);
}

// The window at work: once a file is done and the next one is being
// converted, so that both the progress and the row's state show.
void ScreenshotTour::watchJob()
{
    ViewController* view = mApp.viewController();
    if (mJobGrabbed || !view->workerBusy()) {
        return;
    }
    bool converting = false;
    for (int row = 0; row < view->model().count(); ++row) {
        converting = converting ||
                     view->model().index(row, FileTableModel::StateColumn).data(FileTableModel::RowStateRole).toInt() ==
                         static_cast<int>(RowState::Converting);
    }
    if (converting && view->progressBar()->value() >= 1) {
        grab(mApp.mainWindow(), QStringLiteral("main-converting.png"));
        mJobGrabbed = true;
        return;
    }
    after(20, &ScreenshotTour::watchJob);
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
    // The reason of the first failed row, as its tooltip shows it.
    ViewController* view = mApp.viewController();
    for (int row = 0; row < view->model().count(); ++row) {
        if (rowStateOf(view->model().record(row)) == RowState::Failed) {
            QTableView* table = view->tableView();
            const QModelIndex cell = view->model().index(row, FileTableModel::StateColumn);
            const QRect rect = table->visualRect(cell);
            const QPoint at = table->viewport()->mapToGlobal(QPoint(rect.left() + 24, rect.center().y()));
            // Selected, so that the line under the list gives its details.
            table->setCurrentIndex(view->model().index(row, FileTableModel::NameColumn));
            table->setFocus();
            QToolTip::showText(at, cell.data(Qt::ToolTipRole).toString(), table->viewport());
            after(600, &ScreenshotTour::failedReason);
            return;
        }
    }
    appLog(QStringLiteral("screenshot tour: no row failed"));
    mFailed = true;
    preview();
}

void ScreenshotTour::failedReason()
{
    grabScreen(mApp.mainWindow(), 0, QStringLiteral("failed-reason.png"));
    QToolTip::hideText();
    // The smallest the window can be made.
    mNormalSize = mApp.mainWindow()->size();
    mApp.mainWindow()->resize(mApp.mainWindow()->minimumSize());
    after(600, &ScreenshotTour::smallestWindow);
}

void ScreenshotTour::smallestWindow()
{
    grab(mApp.mainWindow(), QStringLiteral("main-smallest.png"));
    mApp.mainWindow()->resize(mNormalSize);
    preview();
}

// The largest converted file, to show that a big picture opens at once.
void ScreenshotTour::preview()
{
    ViewController* view = mApp.viewController();
    int largest = -1;
    qint64 largestSize = -1;
    for (int row = 0; row < view->model().count(); ++row) {
        const NSAmbrelData& record = view->model().record(row);
        if (rowStateOf(record) == RowState::Converted) {
            const qint64 size = QFileInfo(QString::fromStdString(record.toPath)).size();
            if (size > largestSize) {
                largest = row;
                largestSize = size;
            }
        }
    }
    if (largest < 0) {
        appLog(QStringLiteral("screenshot tour: no row was converted"));
        mFailed = true;
        about();
        return;
    }
    mPreviewStarted.start();
    view->PreViewEvent(largest);
    after(50, &ScreenshotTour::previewShown);
}

void ScreenshotTour::previewShown()
{
    PreviewWindow* window = mApp.previewWindow();
    if (window->isVisible() && window->loading() && ++mPreviewWaits < 400) {
        after(50, &ScreenshotTour::previewShown);
        return;
    }
    appLog(
        QStringLiteral("screenshot tour: the preview showed its picture after %1 ms").arg(mPreviewStarted.elapsed()));
    after(300, &ScreenshotTour::about);
}

void ScreenshotTour::about()
{
    if (mApp.previewWindow()->isVisible()) {
        grab(mApp.previewWindow(), QStringLiteral("preview-large.png"));
        mApp.previewWindow()->close();
    }
    mApp.MenuAboutEvent();
    after(800, &ScreenshotTour::stopJob);
}

// A second job, stopped as soon as it starts: the summary says what was done and what was not.
void ScreenshotTour::stopJob()
{
    grab(mApp.aboutWindow(), QStringLiteral("about.png"));
    mApp.aboutWindow()->close();
    ViewController* view = mApp.viewController();
    view->tableView()->clearSelection();
    view->tableView()->setCurrentIndex({});
    connect(
        view, &ViewController::jobEnded, this, [this] { after(800, &ScreenshotTour::finish); },
        Qt::SingleShotConnection);
    view->AmbrelBtEvent();
    view->AmbrelBtEvent();
}

void ScreenshotTour::finish()
{
    for (QMessageBox* box : mApp.mainWindow()->findChildren<QMessageBox*>()) {
        if (box->isVisible()) {
            grab(box, QStringLiteral("summary-stopped.png"));
            box->close();
        }
    }
    QCoreApplication::exit(mFailed ? 1 : 0);
}

}  // namespace ambrel::app
