#include "app/about_window.h"

#include <QtCore/QCoreApplication>
#include <QtGui/QMouseEvent>
#include <QtGui/QPainter>
#include <QtGui/QShortcut>
#include <QtGui/QWindow>
#include <QtWidgets/QApplication>
#include <QtWidgets/QLabel>
#include <QtWidgets/QPlainTextEdit>

#include "app/app_config.h"
#include "app/custom_controls.h"
#include "app/images.h"
#include "app/services.h"

namespace ambrel::app {

namespace {

constexpr int kLogoSize = 48;
constexpr qreal kNameFontSize = 17;

}  // namespace

int widthForString(const QString& text, qreal fontSize, bool bold)
{
    QFont font = QApplication::font();
    font.setPointSizeF(fontSize);
    font.setBold(bold);
    const QFontMetrics metrics(font);
    return metrics.boundingRect(QRect(0, 0, 360, 10000), Qt::TextWordWrap, text).width();
}

QString licenceText()
{
    // The libraries the program is built on and ships with (as packages of the
    // system it runs on), with their licences.
    static const char* const kLibraries[][2] = {
        {"Qt 6", "LGPL-3.0"},         {"FFmpeg (libavcodec, libavutil, libswscale)", "LGPL-2.1+"},
        {"OpenCV", "Apache-2.0"},     {"libjpeg-turbo", "IJG, BSD-3-Clause, Zlib"},
        {"libpng", "libpng"},         {"libtiff", "libtiff"},
        {"OpenJPEG", "BSD-2-Clause"}, {"libdeflate", "MIT"},
        {"Little CMS", "MIT"},        {"zlib", "Zlib"},
        {"JsonCpp", "MIT"},           {"OpenSSL (libcrypto)", "Apache-2.0"},
    };
    QStringList lines;
    lines << QCoreApplication::translate("AboutWindow", "Ambrel 以 MIT 许可证发布。") << QString()
          << QCoreApplication::translate("AboutWindow", "使用的库及其许可证：");
    for (const auto& [library, licence] : kLibraries) {
        lines << QStringLiteral("%1 — %2").arg(QString::fromUtf8(library), QString::fromUtf8(licence));
    }
    return lines.join(u'\n');
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

    mLicences = new QPlainTextEdit(this);
    mLicences->setObjectName(QStringLiteral("Licences"));
    mLicences->setReadOnly(true);
    mLicences->setFont(small);
    mLicences->setFrameShape(QFrame::NoFrame);
    mLicences->setStyleSheet(QStringLiteral("background: rgb(247, 246, 251); color: rgb(80, 80, 90);"));

    // Escape and Ctrl+W close the window.
    for (const QKeySequence& keys : {QKeySequence(QKeySequence::Close), QKeySequence(Qt::Key_Escape)}) {
        connect(new QShortcut(keys, this), &QShortcut::activated, this, &QWidget::close);
    }

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
    mShowVersion->setGeometry(0, kTop - 130, kWidth, 22);

    // The name and the logo as a pair centred across the window. Positions
    // are measured from the bottom edge of the window's upper part (kTop).
    const QString name = QString::fromUtf8(config::kAppName);
    mAppName->setText(name);
    // Measured in the weight it is drawn in.
    const int nameWidth = widthForString(name, kNameFontSize, mAppName->font().bold()) + 5;
    const int nameX = kWidth / 2 - nameWidth / 2 + kLogoSize / 2;
    mAppName->setGeometry(nameX, kTop - 152 - 22, nameWidth, 22);
    mLogo->move(nameX - kLogoSize - 5, kTop - 139 - kLogoSize);

    const QString host = mOfficialSite.host().isEmpty() ? mOfficialSite.toString() : mOfficialSite.host();
    mOfficialButton->setDefaultTitle(QCoreApplication::translate("AboutWindow", "官网: %1").arg(host));
    mOfficialButton->setDefaultTitleColor(Qt::white);
    const int buttonWidth = std::max(160, mOfficialButton->sizeHint().width());
    mOfficialButton->setGeometry((kWidth - buttonWidth) / 2, kTop - 92, buttonWidth, 32);
    mOfficialButton->setVisible(!mOfficialSite.isEmpty());

    mCompanyTitle->setText(QString::fromUtf8(config::kRightsLine));
    // Under them the licences, then the rights line.
    mLicences->setPlainText(licenceText());
    const int licencesTop = mOfficialSite.isEmpty() ? kTop - 100 : kTop - 48;  // under the site's button, if any
    mLicences->setGeometry(24, licencesTop, kWidth - 48, kHeight - 44 - licencesTop);
    mCompanyTitle->setGeometry(0, kHeight - 32, kWidth, 20);
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
