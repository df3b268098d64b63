#include "app/update/check_update_window.h"

#include <QtCore/QCoreApplication>
#include <QtCore/QJsonDocument>
#include <QtCore/QJsonObject>
#include <QtCore/QTimer>
#include <QtGui/QDesktopServices>
#include <QtGui/QMouseEvent>
#include <QtGui/QPainter>
#include <QtGui/QWindow>
#include <QtNetwork/QNetworkAccessManager>
#include <QtNetwork/QNetworkReply>
#include <QtNetwork/QNetworkRequest>
#include <QtWidgets/QApplication>
#include <QtWidgets/QGridLayout>
#include <QtWidgets/QHBoxLayout>
#include <QtWidgets/QLabel>
#include <QtWidgets/QPushButton>
#include <QtWidgets/QScrollArea>
#include <QtWidgets/QTextBrowser>

#include "app/common/log_line.h"
#include "app/update/version_compare.h"

namespace ambrel::app {

QString deployedUpdateAddress()
{
    return QString::fromUtf8(AMBREL_UPDATE_URL);
}

QString deployedApplicationVersion()
{
    return QString::fromUtf8(AMBREL_UPDATE_APP_VERSION);
}

NSWindowControllerCheckUpdateApp::NSWindowControllerCheckUpdateApp(Options options, QWidget* parent)
    : QWidget(parent, Qt::Window | Qt::WindowTitleHint | Qt::WindowCloseButtonHint | Qt::CustomizeWindowHint),
      mOptions(std::move(options)), mNetwork(new QNetworkAccessManager(this))
{
    setObjectName(QStringLiteral("NSWindowControllerCheckUpdateApp"));
    setAttribute(Qt::WA_QuitOnClose, false);
    setFixedSize(kWidth, kHeight);

    mNewVersionTitle = new QLabel(this);
    mNewVersionTitle->setObjectName(QStringLiteral("NewVersionTitle"));
    mNewVersionTitle->setAlignment(Qt::AlignCenter);
    mNewVersionTitle->setWordWrap(true);
    QFont titleFont = mNewVersionTitle->font();
    titleFont.setPointSizeF(titleFont.pointSizeF() * 1.3);
    titleFont.setBold(true);
    mNewVersionTitle->setFont(titleFont);
    mNewVersionTitle->setMinimumHeight(32);

    mUpdateInfo = new QTextBrowser(this);
    mUpdateInfo->setObjectName(QStringLiteral("UpdateInfo"));
    mUpdateInfo->setOpenLinks(false);

    // Shown with the verdict when the application is up to date, over the
    // (then empty) notes: the application's icon.
    mNewVersionTitleScrollView = new QScrollArea(this);
    mNewVersionTitleScrollView->setObjectName(QStringLiteral("NewVersionTitleScrollView"));
    mNewVersionTitleScrollView->setWidgetResizable(true);
    auto* icon = new QLabel;
    icon->setAlignment(Qt::AlignCenter);
    icon->setPixmap(QApplication::windowIcon().pixmap(96, 96));
    icon->setStyleSheet(QStringLiteral("background: white;"));
    mNewVersionTitleScrollView->setWidget(icon);

    mLoadingShow = new BusySpinner(this);
    mLoadingShow->setObjectName(QStringLiteral("LoadingShow"));

    mUpdateAppButton = new QPushButton(this);
    mUpdateAppButton->setObjectName(QStringLiteral("UpdateAppButton"));
    connect(mUpdateAppButton, &QPushButton::clicked, this, &NSWindowControllerCheckUpdateApp::UpdateButtonEvent);
    mCloesButton = new QPushButton(this);
    mCloesButton->setObjectName(QStringLiteral("CloesButton"));
    connect(mCloesButton, &QPushButton::clicked, this, &QWidget::close);

    auto* layout = new QGridLayout(this);
    layout->setContentsMargins(20, 16, 20, 16);
    layout->setVerticalSpacing(12);
    layout->addWidget(mNewVersionTitle, 0, 0);
    // The notes, the up-to-date area and the spinner share one place.
    layout->addWidget(mUpdateInfo, 1, 0);
    layout->addWidget(mNewVersionTitleScrollView, 1, 0);
    layout->addWidget(mLoadingShow, 1, 0, Qt::AlignCenter);
    layout->setRowStretch(1, 1);
    auto* buttons = new QHBoxLayout;
    buttons->addStretch(1);
    buttons->addWidget(mUpdateAppButton);
    buttons->addWidget(mCloesButton);
    layout->addLayout(buttons, 2, 0);

    mTimerLoad = new QTimer(this);
    mTimerLoad->setObjectName(QStringLiteral("NSTimerLoad"));
    mTimerLoad->setInterval(static_cast<int>(mOptions.tick.count()));
    connect(mTimerLoad, &QTimer::timeout, this, &NSWindowControllerCheckUpdateApp::TimerLoad);

    windowDidLoad();
}

NSWindowControllerCheckUpdateApp::~NSWindowControllerCheckUpdateApp()
{
    abandonRequest();
}

void NSWindowControllerCheckUpdateApp::windowDidLoad()
{
    // No minimise or zoom button (the window flags); movable by its background.
    setLanguage();
}

void NSWindowControllerCheckUpdateApp::setLanguage()
{
    // The check itself starts from Show(), which follows at once.
    setWindowTitle(QCoreApplication::translate("CheckUpdate", "检查更新"));
    mUpdateAppButton->setText(QCoreApplication::translate("CheckUpdate", "立即更新"));
    mCloesButton->setText(QCoreApplication::translate("CheckUpdate", "关闭"));
    mUpdateAppButton->hide();
    mNewVersionTitle->hide();
    mNewVersionTitleScrollView->hide();
}

void NSWindowControllerCheckUpdateApp::Show()
{
    show();
    raise();
    activateWindow();
    CheckUpdate();
}

void NSWindowControllerCheckUpdateApp::CheckUpdate()
{
    setWindowTitle(QCoreApplication::translate("CheckUpdate", "检查更新"));
    mUpdateAppButton->setText(QCoreApplication::translate("CheckUpdate", "立即更新"));
    mCloesButton->setText(QCoreApplication::translate("CheckUpdate", "关闭"));
    for (QPushButton* button : {mUpdateAppButton, mCloesButton}) {
        QPalette palette = button->palette();
        palette.setColor(QPalette::ButtonText, Qt::black);
        button->setPalette(palette);
    }

    mIsLoadUrl = true;
    mLoadingShow->show();
    mLoadingShow->raise();
    mLoadingShow->startAnimation();
    mNewVersionTitle->hide();
    mUpdateAppButton->hide();
    mNewVersionTitleScrollView->hide();
    mUpdateInfo->clear();

    mTimerLoad->stop();
    mTimerLoad->start();

    abandonRequest();
    mFailure.clear();
    mUrlDownload.clear();
    QString address = mOptions.updateAddress;
    while (address.endsWith(u'/')) {
        address.chop(1);
    }
    if (address.isEmpty()) {
        fail(QCoreApplication::translate("CheckUpdate", "未配置更新服务器"),
             QStringLiteral("update check skipped: this build has no update server"));
        mIsLoadUrl = false;
        return;
    }
    mServer = QUrl(address);
    QNetworkRequest request(QUrl(address + QString::fromLatin1(kUpdateDocumentPath)));
    request.setTransferTimeout(static_cast<int>(mOptions.timeout.count()));
    QNetworkReply* reply = mNetwork->get(request);
    limitReply(reply, kMaxAnswerBytes, mOptions.deadline);
    mReply = reply;
    connect(reply, &QNetworkReply::finished, this, [this, reply] { answerArrived(reply); });
}

bool isAcceptableDownloadAddress(const QUrl& download, const QUrl& updateServer)
{
    if (!download.isValid() || download.isRelative() || download.host().isEmpty()) {
        return false;
    }
    if (download.scheme() == QLatin1String("https")) {
        return true;
    }
    return download.scheme() == updateServer.scheme() && download.host() == updateServer.host() &&
           download.port(-1) == updateServer.port(-1);
}

void NSWindowControllerCheckUpdateApp::answerArrived(QNetworkReply* reply)
{
    reply->deleteLater();
    if (reply != mReply) {
        return;  // a check that a later one replaced
    }
    mReply = nullptr;
    mIsLoadUrl = false;

    switch (replyLimit(reply)) {
    case ReplyLimit::TooLarge:
        fail(QCoreApplication::translate("CheckUpdate", "更新服务器的回答过大"),
             QStringLiteral("update check failed: the answer is larger than %1 bytes").arg(kMaxAnswerBytes));
        return;
    case ReplyLimit::DeadlinePassed:
        fail(QCoreApplication::translate("CheckUpdate", "更新服务器响应超时"),
             QStringLiteral("update check failed: no complete answer within %1 ms").arg(mOptions.deadline.count()));
        return;
    case ReplyLimit::None: break;
    }
    if (reply->error() != QNetworkReply::NoError) {
        // Cancelled here means the idle time-out: the server went quiet.
        const bool quiet =
            reply->error() == QNetworkReply::OperationCanceledError || reply->error() == QNetworkReply::TimeoutError;
        const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
        const QString reason =
            quiet         ? QCoreApplication::translate("CheckUpdate", "更新服务器响应超时")
            : status != 0 ? QCoreApplication::translate("CheckUpdate", "更新服务器返回错误（HTTP %1）").arg(status)
                          : QCoreApplication::translate("CheckUpdate", "无法连接更新服务器");
        fail(reason, QStringLiteral("update check failed: %1").arg(quotedForLog(reply->errorString())));
        return;
    }

    const QByteArray data = reply->readAll();
    QJsonParseError error{};
    const QJsonDocument document = QJsonDocument::fromJson(data, &error);
    const QJsonObject answer = document.object();
    const QJsonValue version = answer.value(QStringLiteral("version"));
    if (data.isEmpty() || error.error != QJsonParseError::NoError || !document.isObject() || !version.isString()) {
        fail(QCoreApplication::translate("CheckUpdate", "更新服务器的回答无法识别"),
             QStringLiteral("update check failed: unreadable answer %1").arg(quotedForLog(QString::fromUtf8(data))));
        return;
    }
    if (!isVersionBiggerThanVersion(version.toString(), mOptions.currentVersion)) {
        return;  // up to date: the next tick says so
    }
    const QString download = answer.value(QStringLiteral("download")).toString();
    if (!isAcceptableDownloadAddress(QUrl(download, QUrl::StrictMode), mServer)) {
        fail(QCoreApplication::translate("CheckUpdate", "更新服务器给出的下载地址无效"),
             QStringLiteral("update check failed: download address %1 is neither https nor on the update server")
                 .arg(quotedForLog(download)));
        return;
    }
    showNewerVersion(answer.value(QStringLiteral("info")).toString(), download);
}

void NSWindowControllerCheckUpdateApp::fail(const QString& reason, const QString& logLine)
{
    // The next tick shows the verdict, as it does for an up-to-date answer.
    mFailure = reason;
    log(logLine);
}

void NSWindowControllerCheckUpdateApp::showNewerVersion(const QString& info, const QString& download)
{
    mNewVersionTitle->setText(QCoreApplication::translate("CheckUpdate", "软件已经更新，您是否立即升级？"));
    if (!info.isEmpty()) {
        mUpdateInfo->setPlainText(info);
    }
    mNewVersionTitle->show();
    mUpdateAppButton->show();
    mUrlDownload = download;
    mTimerLoad->stop();
    mLoadingShow->stopAnimation();
    mLoadingShow->hide();
}

void NSWindowControllerCheckUpdateApp::TimerLoad()
{
    if (mIsLoadUrl) {
        return;
    }
    mTimerLoad->stop();
    mLoadingShow->stopAnimation();
    mLoadingShow->hide();
    mUpdateAppButton->hide();
    mNewVersionTitle->show();
    if (!mFailure.isEmpty()) {
        mNewVersionTitleScrollView->hide();
        mNewVersionTitle->setText(updateCheckFailed(mFailure));
        return;
    }
    mNewVersionTitleScrollView->show();
    mNewVersionTitle->setText(QCoreApplication::translate("CheckUpdate", "已经是最新版本！"));
}

void NSWindowControllerCheckUpdateApp::UpdateButtonEvent()
{
    if (mUrlDownload.isEmpty()) {
        return;
    }
    // Parsed as it was when the answer was checked.
    const QUrl url(mUrlDownload, QUrl::StrictMode);
    if (mOptions.openUrl) {
        mOptions.openUrl(url);
    } else {
        QDesktopServices::openUrl(url);
    }
}

void NSWindowControllerCheckUpdateApp::abandonRequest()
{
    if (QNetworkReply* reply = mReply) {
        mReply = nullptr;
        reply->disconnect(this);
        reply->abort();
        reply->deleteLater();
    }
}

void NSWindowControllerCheckUpdateApp::log(const QString& line) const
{
    logLine(mOptions.log, line);
}

void NSWindowControllerCheckUpdateApp::mousePressEvent(QMouseEvent* event)
{
    if (event->button() == Qt::LeftButton && windowHandle() != nullptr) {
        windowHandle()->startSystemMove();
    }
}

void NSWindowControllerCheckUpdateApp::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    painter.fillRect(rect(), Qt::white);
}

BusySpinner::BusySpinner(QWidget* parent) : QWidget(parent), mTurn(new QTimer(this))
{
    setFixedSize(sizeHint());
    mTurn->setInterval(80);
    connect(mTurn, &QTimer::timeout, this, [this] {
        mStep = (mStep + 1) % 12;
        update();
    });
}

void BusySpinner::startAnimation()
{
    mTurn->start();
}

void BusySpinner::stopAnimation()
{
    mTurn->stop();
}

bool BusySpinner::isAnimating() const
{
    return mTurn->isActive();
}

void BusySpinner::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.translate(width() / 2.0, height() / 2.0);
    const qreal radius = std::min(width(), height()) / 2.0 - 3;
    for (int i = 0; i < 12; ++i) {
        // The dot at the current step is the darkest; the others fade behind it.
        const int age = (mStep - i + 12) % 12;
        painter.setBrush(QColor(80, 80, 90, 255 - age * 18));
        painter.setPen(Qt::NoPen);
        painter.save();
        painter.rotate(i * 30.0);
        painter.drawEllipse(QPointF(0, -radius), 2.6, 2.6);
        painter.restore();
    }
}

}  // namespace ambrel::app
