// The update check: a small window, opened from the application menu, that
// asks the update server for its newest version and either offers the
// download or says the application is up to date.
//
// The server answers GET <update address>/macos/newversionex.htm with a JSON
// object: "version" (dot-separated numbers), "info" (release notes) and
// "download" (the address the update button opens).
//
// A check that fails (no server, a network error, no complete answer within
// the deadline, an answer over 64 KB, one that cannot be read, or a download
// address that is neither https nor on the update server itself) says so in
// the window: "检查更新失败：" and the reason. Only a readable answer with a
// version that is not newer says "已经是最新版本！".
#pragma once

#include <QtCore/QCoreApplication>
#include <QtCore/QPointer>
#include <QtCore/QString>
#include <QtCore/QUrl>
#include <QtWidgets/QWidget>

#include <atomic>
#include <chrono>
#include <functional>

#include "app/common/reply_limits.h"

class QLabel;
class QNetworkAccessManager;
class QNetworkReply;
class QPushButton;
class QScrollArea;
class QTextBrowser;
class QTimer;

namespace ambrel::app {

class BusySpinner;

// The path of the update document on the update server.
inline constexpr const char* kUpdateDocumentPath = "/macos/newversionex.htm";

// The verdict of a failed check: "%1" is the reason.
inline QString updateCheckFailed(const QString& reason)
{
    return QCoreApplication::translate("CheckUpdate", "检查更新失败：%1").arg(reason);
}

// Whether `download` may be offered to the user: an https address with a
// host, or an address with the update server's own scheme, host and port.
[[nodiscard]] bool isAcceptableDownloadAddress(const QUrl& download, const QUrl& updateServer);

// The update server's address compiled in (AMBREL_UPDATE_URL); empty when
// the build has none.
QString deployedUpdateAddress();
// The application's version compiled in (the CMake project version).
QString deployedApplicationVersion();

struct UpdateCheckOptions
{
    // Scheme, host and optional port, without the document's path. Empty:
    // no request is made and every check ends as a failed one (the menu item
    // is hidden in such a build).
    QString updateAddress = deployedUpdateAddress();
    // The version the server's "version" is compared with.
    QString currentVersion = deployedApplicationVersion();
    // How long a request may go without progress before it fails.
    std::chrono::milliseconds timeout{10000};
    // How long a whole request may take, however steadily data trickles in.
    std::chrono::milliseconds deadline = kAnswerDeadline;
    // The tick of the timer that watches for the end of a request.
    std::chrono::milliseconds tick{1000};
    // Opens the download address; QDesktopServices::openUrl when empty.
    std::function<void(const QUrl&)> openUrl;
    // Writes one log line; standard error when empty.
    std::function<void(const QString&)> log;
};

class NSWindowControllerCheckUpdateApp : public QWidget
{
    Q_OBJECT
public:
    using Options = UpdateCheckOptions;

    explicit NSWindowControllerCheckUpdateApp(Options options = Options(), QWidget* parent = nullptr);
    ~NSWindowControllerCheckUpdateApp() override;

    // Shows the window and starts a new check.
    void Show();
    // One check: resets the window, starts the timer and sends the request.
    // A check still running is abandoned.
    void CheckUpdate();
    // The timer's tick: once the request has ended without offering a newer
    // version, says the application is up to date, or that the check failed
    // and why.
    void TimerLoad();
    // Opens the download address of the last newer version, if there is one.
    void UpdateButtonEvent();

    // True while a request runs.
    bool isLoadUrl() const { return mIsLoadUrl.load(); }
    const QString& strUrlDownload() const { return mUrlDownload; }
    // Why the last check failed (shown after "检查更新失败："); empty when
    // it did not.
    const QString& failureReason() const { return mFailure; }

    QLabel* NewVersionTitle() const { return mNewVersionTitle; }
    QScrollArea* NewVersionTitleScrollView() const { return mNewVersionTitleScrollView; }
    QTextBrowser* UpdateInfo() const { return mUpdateInfo; }
    QPushButton* UpdateAppButton() const { return mUpdateAppButton; }
    QPushButton* CloesButton() const { return mCloesButton; }
    BusySpinner* LoadingShow() const { return mLoadingShow; }
    QTimer* NSTimerLoad() const { return mTimerLoad; }

    static constexpr int kWidth = 460;
    static constexpr int kHeight = 300;

protected:
    void mousePressEvent(QMouseEvent* event) override;
    void paintEvent(QPaintEvent* event) override;

private:
    void windowDidLoad();
    void setLanguage();
    void answerArrived(QNetworkReply* reply);
    void showNewerVersion(const QString& info, const QString& download);
    void fail(const QString& reason, const QString& logLine);
    void abandonRequest();
    void log(const QString& line) const;

    Options mOptions;
    QNetworkAccessManager* mNetwork = nullptr;
    QPointer<QNetworkReply> mReply;
    std::atomic<bool> mIsLoadUrl{false};
    QString mUrlDownload;
    QString mFailure;
    QUrl mServer;

    QLabel* mNewVersionTitle = nullptr;
    QScrollArea* mNewVersionTitleScrollView = nullptr;
    QTextBrowser* mUpdateInfo = nullptr;
    QPushButton* mUpdateAppButton = nullptr;
    QPushButton* mCloesButton = nullptr;
    BusySpinner* mLoadingShow = nullptr;
    QTimer* mTimerLoad = nullptr;
};

// A turning ring of dots shown while something runs.
class BusySpinner : public QWidget
{
    Q_OBJECT
public:
    explicit BusySpinner(QWidget* parent = nullptr);

    void startAnimation();
    void stopAnimation();
    bool isAnimating() const;

    QSize sizeHint() const override { return {36, 36}; }

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QTimer* mTurn = nullptr;
    int mStep = 0;
};

}  // namespace ambrel::app
