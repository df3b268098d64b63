// The main window: the main view, the application menu, no zoom button,
// movable by its background.
#pragma once

#include <QtWidgets/QMainWindow>

class QAction;

namespace ambrel::app {

class ViewController;

class MainWindow : public QMainWindow
{
    Q_OBJECT
public:
    explicit MainWindow(ViewController* view, QWidget* parent = nullptr);

    ViewController* viewController() const { return mView; }
    QAction* MenuAbout() const { return mMenuAbout; }
    QAction* MenuCheckUpdate() const { return mMenuCheckUpdate; }
    // "Send usage statistics", checkable; hidden in a build without a statistics server.
    QAction* MenuStatistics() const { return mMenuStatistics; }

signals:
    // The window was closed: the application ends.
    void closed();

protected:
    void closeEvent(QCloseEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;

private:
    ViewController* mView;
    QAction* mMenuAbout = nullptr;
    QAction* mMenuCheckUpdate = nullptr;
    QAction* mMenuStatistics = nullptr;
};

}  // namespace ambrel::app
