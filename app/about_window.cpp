#include "app/about_window.h"

#include <QtCore/QCoreApplication>
#include <QtGui/QMouseEvent>
#include <QtGui/QPainter>
#include <QtGui/QWindow>
#include <QtWidgets/QApplication>
#include <QtWidgets/QLabel>

#include "app/app_config.h"
#include "app/custom_controls.h"
#include "app/images.h"
#include "app/services.h"

namespace ambrel::app {

namespace {

constexpr int kLogoSize = 48;
constexpr qreal kNameFontSize = 17;

}  // namespace

int widthForString(const QString& text, qreal fontSize)
{
    QFont font = QApplication::font();
    font.setPointSizeF(fontSize);
    const QFontMetrics metrics(font);
    return metrics.boundingRect(QRect(0, 0, 360, 10000), Qt::TextWordWrap, text).width();
}

AboutWindow::AboutWindow(DesktopServices& desktop, const QString& officialSite, QWidget* parent)
    : QWidget(parent, Qt::Window | Qt::WindowTitleHint | Qt::WindowCloseButtonHint | Qt::CustomizeWindowHint),
      mDesktop(desktop), mOfficialSite(officialSite)
{
    setObjectName(QStringLiteral("AboutWindow"));
    setAttribute(Qt::WA_QuitOnClose, false);
    setWindowIcon(applicationIcon());
    setFixedSize(kWidth, kHeight);

    mLogo = new QLabel(this);
    mLogo->setObjectName(QStringLiteral("Logo"));
    mLogo->setPixmap(applicationIcon().pixmap(kLogoSize, kLogoSize));
    mLogo->resize(kLogoSize, kLogoSize);

    mAppName = new QLabel(this);
    mAppName->setObjectName(QStringLiteral("AppName"));
    QFont nameFont = mAppName->font();
    nameFont.setPointSizeF(kNameFontSize);
    nameFont.setBold(true);
    mAppName->setFont(nameFont);

    mShowVersion = new QLabel(this);
    mShowVersion->setObjectName(QStringLiteral("ShowVersion"));
    mShowVersion->setAlignment(Qt::AlignCenter);
    mShowVersion->setStyleSheet(QStringLiteral("color: rgb(90, 90, 100);"));

    mOfficialButton = new LLCustomBtn(this);
    mOfficialButton->setObjectName(QStringLiteral("OfficialButton"));
    mOfficialButton->setRadius(6);
    mOfficialButton->setHandCursor(true);
    mOfficialButton->setDefaultBackgroundColor(colour::kMain);
    mOfficialButton->setSelectedBackgroundColor(QColor(92, 45, 166));
    connect(mOfficialButton, &LLCustomBtn::clicked, this, &AboutWindow::OfficialButtonEvent);

    mCompanyTitle = new QLabel(this);
    mCompanyTitle->setObjectName(QStringLiteral("CompanyTitle"));
    mCompanyTitle->setAlignment(Qt::AlignCenter);
    mCompanyTitle->setStyleSheet(QStringLiteral("color: rgb(150, 150, 158);"));
    QFont small = mCompanyTitle->font();
    small.setPointSizeF(small.pointSizeF() * 0.85);
    mCompanyTitle->setFont(small);

    windowDidLoad();
}

void AboutWindow::windowDidLoad()
{
    // No zoom or minimise button (the window flags); movable by its background.
    setLanguage();
}

void AboutWindow::setLanguage()
{
    setWindowTitle(QCoreApplication::translate("AboutWindow", "关于我们"));
    mShowVersion->setText(
        QCoreApplication::translate("AboutWindow", "主程序版本: %1").arg(QString::fromUtf8(config::kAppVersion)));
    mShowVersion->setGeometry(0, kHeight - 130, kWidth, 22);

    // The name and the logo as a pair centred across the window. Positions
    // are measured from the window's bottom edge.
    const QString name = QString::fromUtf8(config::kAppName);
    mAppName->setText(name);
    const int nameWidth = widthForString(name, kNameFontSize) + 5;
    const int nameX = kWidth / 2 - nameWidth / 2 + kLogoSize / 2;
    mAppName->setGeometry(nameX, kHeight - 152 - 22, nameWidth, 22);
    mLogo->move(nameX - kLogoSize - 5, kHeight - 139 - kLogoSize);

    const QString host = mOfficialSite.host().isEmpty() ? mOfficialSite.toString() : mOfficialSite.host();
    mOfficialButton->setDefaultTitle(QCoreApplication::translate("AboutWindow", "官网: %1").arg(host));
    mOfficialButton->setDefaultTitleColor(Qt::white);
    const int buttonWidth = std::max(160, mOfficialButton->sizeHint().width());
    mOfficialButton->setGeometry((kWidth - buttonWidth) / 2, kHeight - 92, buttonWidth, 32);
    mOfficialButton->setVisible(!mOfficialSite.isEmpty());

    mCompanyTitle->setText(QString::fromUtf8(config::kRightsLine));
    mCompanyTitle->setGeometry(0, kHeight - 36, kWidth, 20);
}

void AboutWindow::Show()
{
    show();
    raise();
    activateWindow();
}

void AboutWindow::OfficialButtonEvent()
{
    if (!mOfficialSite.isEmpty()) {
        mDesktop.openUrl(mOfficialSite);
    }
}

void AboutWindow::mousePressEvent(QMouseEvent* event)
{
    if (event->button() == Qt::LeftButton && windowHandle() != nullptr) {
        windowHandle()->startSystemMove();
    }
}

void AboutWindow::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    painter.fillRect(rect(), Qt::white);
    // A soft band of the main colour along the top.
    QLinearGradient band(0, 0, 0, 90);
    band.setColorAt(0, QColor(colour::kMain.red(), colour::kMain.green(), colour::kMain.blue(), 40));
    band.setColorAt(1, QColor(255, 255, 255, 0));
    painter.fillRect(QRect(0, 0, width(), 90), band);
}

}  // namespace ambrel::app
