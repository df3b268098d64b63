#include "app/update/check_update_window.h"

#include <QtCore/QCoreApplication>
#include <QtCore/QTimer>
#include <QtGui/QDesktopServices>
#include <QtGui/QMouseEvent>
#include <QtGui/QPainter>
#include <QtGui/QWindow>
#include <QtWidgets/QApplication>
#include <QtWidgets/QGridLayout>
#include <QtWidgets/QHBoxLayout>
#include <QtWidgets/QLabel>
#include <QtWidgets/QPushButton>
#include <QtWidgets/QScrollArea>
#include <QtWidgets/QTextBrowser>

namespace ambrel::app {

NSWindowControllerCheckUpdateApp::NSWindowControllerCheckUpdateApp(Options options, QWidget* parent)
    : QWidget(parent, Qt::Window | Qt::WindowTitleHint | Qt::WindowCloseButtonHint | Qt::CustomizeWindowHint),
      mCheck(new UpdateCheck(std::move(options), this))
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
    mTimerLoad->setInterval(static_cast<int>(mCheck->options().tick.count()));
    connect(mTimerLoad, &QTimer::timeout, this, &NSWindowControllerCheckUpdateApp::TimerLoad);
    connect(mCheck, &UpdateCheck::finished, this, &NSWindowControllerCheckUpdateApp::checkEnded);

    windowDidLoad();
}

NSWindowControllerCheckUpdateApp::~NSWindowControllerCheckUpdateApp() = default;

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

    mLoadingShow->show();
    mLoadingShow->raise();
    mLoadingShow->startAnimation();
    mNewVersionTitle->hide();
    mUpdateAppButton->hide();
    mNewVersionTitleScrollView->hide();
    mUpdateInfo->clear();

    mTimerLoad->stop();
    mTimerLoad->start();

    mFailure.clear();
    mUrlDownload.clear();
    mCheck->start();
}

// The verdict of the check: a newer version shows at once, the others at
// the timer's next tick.
void NSWindowControllerCheckUpdateApp::checkEnded(const UpdateVerdict& verdict)
{
    switch (verdict.kind) {
    case UpdateVerdict::Kind::NewerVersion: showNewerVersion(verdict.info, verdict.download); break;
    case UpdateVerdict::Kind::Failed: mFailure = verdict.failure; break;
    case UpdateVerdict::Kind::UpToDate: break;
    }
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
    if (mCheck->running()) {
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
    if (mCheck->options().openUrl) {
        mCheck->options().openUrl(url);
    } else {
        QDesktopServices::openUrl(url);
    }
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
