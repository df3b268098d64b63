// The application: start-up (log file, usage statistics, the main window),
// the menu's items, the About window.
#pragma once

#include <QtCore/QObject>
#include <QtCore/QStringList>

#include <memory>

class QApplication;

namespace ambrel::app {

class AboutWindow;
class MainWindow;
class NSWindowControllerCheckUpdateApp;
class PreviewWindow;
class QtDesktopServices;
class QtDialogs;
class TaskbarProgress;
class UsageStatistics;
class UserInfo;
class ViewController;

// The application's look: the desktop's own style, palette and font, and the
// copy and paste keys of the text fields.
void applyApplicationLook(QApplication& app);

class AppDelegate : public QObject
{
    Q_OBJECT
public:
    AppDelegate();
    ~AppDelegate() override;

    // Start-up, in this order: the log goes to its file, the settings store
    // opens, the usage statistics start, the main window opens with the
    // given files listed.
    void applicationDidFinishLaunching(const QStringList& files);

    // Opens the main window (reading the settings) and lists the files.
    void openMainWindow(const QStringList& files);

    // Menu items.
    void MenuAboutEvent();
    // Shows the update check's window (made on first use) and starts a check.
    void CheckUpdateEvent();

    // The settings store, opened on first use.
    UserInfo& userInfo();
    MainWindow* mainWindow() const { return mMainWindow.get(); }
    ViewController* viewController() const;
    PreviewWindow* previewWindow() const { return mPreview.get(); }
    AboutWindow* aboutWindow() const { return mAbout.get(); }
    NSWindowControllerCheckUpdateApp* checkUpdateWindow() const { return mCheckUpdate.get(); }
    UsageStatistics* usageStatistics() const { return mUsageStatistics.get(); }

private:
    // Recreates ~/.local/share/Ambrel/Ambrel.log and sends the standard
    // streams there.
    void redirectNSlogToDocumentFolder();
    // Sends the usage statistics reports (installation and daily activity)
    // in the background, when the user allows it (asked once, in a build
    // with a statistics server); their marks go into the settings store.
    void startUsageStatistics();
    void sendUsageStatistics();

    std::unique_ptr<QtDialogs> mDialogs;
    std::unique_ptr<QtDesktopServices> mDesktop;
    std::unique_ptr<TaskbarProgress> mTaskbar;
    std::unique_ptr<UserInfo> mUserInfo;
    std::unique_ptr<PreviewWindow> mPreview;
    std::unique_ptr<MainWindow> mMainWindow;
    std::unique_ptr<AboutWindow> mAbout;
    std::unique_ptr<NSWindowControllerCheckUpdateApp> mCheckUpdate;
    // Uses mUserInfo, so it is declared (and destroyed) after it.
    std::unique_ptr<UsageStatistics> mUsageStatistics;
};

}  // namespace ambrel::app
