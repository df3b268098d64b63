#include "app/main_window.h"

#include <QtCore/QCoreApplication>
#include <QtGui/QCloseEvent>
#include <QtGui/QWindow>
#include <QtWidgets/QApplication>
#include <QtWidgets/QMenuBar>

#include "app/images.h"
#include "app/view_controller.h"

namespace ambrel::app {

MainWindow::MainWindow(ViewController* view, QWidget* parent)
    : QMainWindow(parent, Qt::Window | Qt::WindowTitleHint | Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                              Qt::WindowCloseButtonHint | Qt::CustomizeWindowHint),
      mView(view)
{
    setObjectName(QStringLiteral("MainWindow"));
    setWindowTitle(QStringLiteral("Ambrel"));
    setWindowIcon(applicationIcon());
    setCentralWidget(view);

    QMenu* menu = menuBar()->addMenu(QStringLiteral("Ambrel"));
    mMenuAbout = menu->addAction(QCoreApplication::translate("MainWindow", "关于我们"));
    mMenuAbout->setObjectName(QStringLiteral("MenuAbout"));
    mMenuCheckUpdate = menu->addAction(QCoreApplication::translate("MainWindow", "检查更新…"));
    mMenuCheckUpdate->setObjectName(QStringLiteral("MenuCheckUpdate"));
    mMenuStatistics = menu->addAction(QCoreApplication::translate("MainWindow", "发送使用统计"));
    mMenuStatistics->setObjectName(QStringLiteral("MenuStatistics"));
    mMenuStatistics->setCheckable(true);
    mMenuStatistics->setVisible(false);
    menu->addSeparator();
    QAction* quit = menu->addAction(QCoreApplication::translate("MainWindow", "退出"));
    quit->setShortcut(QKeySequence::Quit);
    quit->setMenuRole(QAction::QuitRole);
    connect(quit, &QAction::triggered, this, &QWidget::close);
    connect(view, &ViewController::readyToClose, this, &QWidget::close, Qt::QueuedConnection);

    // The smallest window still shows every control whole, in any language:
    // the layout's own minimum, never less.
    setMinimumSize(minimumSizeHint().expandedTo(QSize(820, 560)));
    resize(sizeHint().expandedTo(QSize(960, 680)));
}

void MainWindow::closeEvent(QCloseEvent* event)
{
    // During a job the window stays until its worker has ended.
    if (mView != nullptr && !mView->windowShouldClose()) {
        event->ignore();
        return;
    }
    event->accept();
    emit closed();
}

void MainWindow::mousePressEvent(QMouseEvent* event)
{
    if (event->button() == Qt::LeftButton && windowHandle() != nullptr) {
        windowHandle()->startSystemMove();
    }
}

}  // namespace ambrel::app
