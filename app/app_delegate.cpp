#include "app/app_delegate.h"

#include <QtCore/QStandardPaths>
#include <QtGui/QAction>
#include <QtWidgets/QApplication>

#include "app/about_window.h"
#include "app/app_config.h"
#include "app/app_log.h"
#include "app/custom_controls.h"
#include "app/main_window.h"
#include "app/preview_window.h"
#include "app/services.h"
#include "app/stats/usage_statistics.h"
#include "app/taskbar_progress.h"
#include "app/update/check_update_window.h"
#include "app/user_info.h"
#include "app/view_controller.h"

namespace ambrel::app {

void applyApplicationLook(QApplication& app)
{
    // The desktop's style, palette (light or dark) and font size stay as the
    // user set them; the windows keep their own colours only where they have
    // them (the start button, the links, the banner in a light palette).
    app.installEventFilter(new CopyPasteKeys(&app));
}

AppDelegate::AppDelegate() : mDialogs(std::make_unique<QtDialogs>()), mDesktop(std::make_unique<QtDesktopServices>()) {}

AppDelegate::~AppDelegate() = default;

void AppDelegate::applicationDidFinishLaunching(const QStringList& files)
{
    redirectNSlogToDocumentFolder();
    routeLibraryLogs();
    appLog(QStringLiteral("%1 %2 started")
               .arg(QString::fromUtf8(config::kAppName), QString::fromUtf8(config::kAppVersion)));
    userInfo();  // the settings store, which the statistics keep their marks in
    openMainWindow(files);
    startUsageStatistics();
}

void AppDelegate::redirectNSlogToDocumentFolder()
{
    const QString dataFolder = QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation);
    redirectStandardStreams(dataFolder);
}

void AppDelegate::startUsageStatistics()
{
    if (!deployedStatsHost().isEmpty()) {
        // Reports go out only with the user's consent, asked once (no by default).
        QString consent = userInfo().ReadData(settings_key::kStatisticsConsent);
        if (consent.isEmpty()) {
            const int answer = mDialogs->runAlert(
                mMainWindow.get(), Alert{QCoreApplication::translate("AppDelegate", "使用统计"),
                                         QCoreApplication::translate(
                                             "AppDelegate",
                                             "是否允许 Ambrel 发送匿名的使用统计（程序版本、系统版本、每天是否使用）？"
                                             "\n以后可以在菜单中更改。"),
                                         {QCoreApplication::translate("AppDelegate", "不发送"),
                                          QCoreApplication::translate("AppDelegate", "允许发送")}});
            consent = answer == 1 ? QStringLiteral("1") : QStringLiteral("0");
            userInfo().WriteData(consent, settings_key::kStatisticsConsent);
        }
        QAction* menu = mMainWindow->MenuStatistics();
        menu->setVisible(true);
        menu->setChecked(consent == QLatin1String("1"));
        connect(menu, &QAction::toggled, this, [this](bool allowed) {
            userInfo().WriteData(allowed ? QStringLiteral("1") : QStringLiteral("0"), settings_key::kStatisticsConsent);
            appLog(QStringLiteral("usage statistics %1 by the user").arg(allowed ? "allowed" : "refused"));
            if (allowed && mUsageStatistics == nullptr) {
                sendUsageStatistics();
            }
        });
        if (consent != QLatin1String("1")) {
            appLog(QStringLiteral("usage statistics not sent: the user has not allowed them"));
            return;
        }
    }
    sendUsageStatistics();
}

void AppDelegate::sendUsageStatistics()
{
    UsageOptions options;
    options.log = appLog;
    mUsageStatistics = std::make_unique<UsageStatistics>(settingsAccessOf(userInfo()), std::move(options));
    mUsageStatistics->start();  // returns at once; the answers arrive later
}

void AppDelegate::openMainWindow(const QStringList& files)
{
    mPreview = std::make_unique<PreviewWindow>();
    mTaskbar = std::make_unique<TaskbarProgress>();
    auto* view =
        new ViewController(ControllerServices{*mDialogs, *mDesktop, *mPreview, userInfo(), {}, {}, mTaskbar.get()});
    mMainWindow = std::make_unique<MainWindow>(view);
    connect(mMainWindow->MenuAbout(), &QAction::triggered, this, &AppDelegate::MenuAboutEvent);
    connect(mMainWindow->MenuCheckUpdate(), &QAction::triggered, this, &AppDelegate::CheckUpdateEvent);
    // A build without an update server has nothing to check against.
    mMainWindow->MenuCheckUpdate()->setVisible(!deployedUpdateAddress().isEmpty());
    // Closing the main window ends the application, whatever else is open.
    connect(mMainWindow.get(), &MainWindow::closed, qApp, &QCoreApplication::quit, Qt::QueuedConnection);
    mMainWindow->show();
    if (!files.isEmpty()) {
        view->addGivenPaths(files);
    }
}

UserInfo& AppDelegate::userInfo()
{
    if (mUserInfo == nullptr) {
        mUserInfo = std::make_unique<UserInfo>(userCacheFolder());
    }
    return *mUserInfo;
}

ViewController* AppDelegate::viewController() const
{
    return mMainWindow != nullptr ? mMainWindow->viewController() : nullptr;
}

void AppDelegate::MenuAboutEvent()
{
    if (mAbout == nullptr) {
        mAbout = std::make_unique<AboutWindow>(*mDesktop, QString::fromUtf8(config::kOfficialSite));
    }
    mAbout->Show();
}

void AppDelegate::CheckUpdateEvent()
{
    if (mCheckUpdate == nullptr) {
        UpdateCheckOptions options;
        options.openUrl = [this](const QUrl& url) { mDesktop->openUrl(url); };
        options.log = appLog;
        mCheckUpdate = std::make_unique<NSWindowControllerCheckUpdateApp>(std::move(options));
    }
    mCheckUpdate->Show();
}

}  // namespace ambrel::app
