// The update check's window, opened from the application menu: it starts an
// UpdateCheck and shows its verdict, offering the download of a newer
// version or saying the application is up to date. A failed check says so:
// "检查更新失败：" and the reason.
#pragma once

#include <QtCore/QString>
#include <QtWidgets/QWidget>

#include "app/update/update_check.h"

class QLabel;
class QPushButton;
class QScrollArea;
class QTextBrowser;
class QTimer;

namespace ambrel::app {

class BusySpinner;

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
    bool isLoadUrl() const { return mCheck->running(); }
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
    void checkEnded(const UpdateVerdict& verdict);
    void showNewerVersion(const QString& info, const QString& download);

    UpdateCheck* mCheck = nullptr;
    QString mUrlDownload;
    QString mFailure;

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
