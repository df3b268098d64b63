#include "app/preview_window.h"

#include <QtCore/QFile>
#include <QtCore/QFileInfo>
#include <QtCore/QLocale>
#include <QtGui/QPainter>
#include <QtWidgets/QLabel>
#include <QtWidgets/QVBoxLayout>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <exception>

#include "app/images.h"
#include "convert/file_list.h"

namespace ambrel::app {

QImage loadPreviewImage(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        return {};
    }
    const QByteArray bytes = file.readAll();
    if (bytes.isEmpty()) {
        return {};
    }
    try {
        const cv::Mat encoded(1, static_cast<int>(bytes.size()), CV_8UC1, const_cast<char*>(bytes.constData()));
        // A JPEG is shown turned by its EXIF orientation; the other formats
        // are written upright and may hold alpha and 16-bit samples, which
        // only an unchanged read keeps.
        const bool jpeg = bytes.size() > 2 && static_cast<unsigned char>(bytes[0]) == 0xFF &&
                          static_cast<unsigned char>(bytes[1]) == 0xD8;
        cv::Mat picture = cv::imdecode(encoded, jpeg ? cv::IMREAD_COLOR : cv::IMREAD_UNCHANGED);
        if (picture.empty()) {
            return {};
        }
        if (picture.depth() == CV_16U) {
            cv::Mat narrow;
            picture.convertTo(narrow, CV_8U, 1.0 / 257.0);
            picture = narrow;
        }
        if (picture.depth() != CV_8U) {
            return {};
        }
        switch (picture.channels()) {
        case 1:
            return QImage(picture.data, picture.cols, picture.rows, static_cast<qsizetype>(picture.step),
                          QImage::Format_Grayscale8)
                .convertToFormat(QImage::Format_RGB32);
        case 3:
            return QImage(picture.data, picture.cols, picture.rows, static_cast<qsizetype>(picture.step),
                          QImage::Format_BGR888)
                .convertToFormat(QImage::Format_RGB32);
        case 4: {
            cv::Mat rgba;
            cv::cvtColor(picture, rgba, cv::COLOR_BGRA2RGBA);
            return QImage(rgba.data, rgba.cols, rgba.rows, static_cast<qsizetype>(rgba.step), QImage::Format_RGBA8888)
                .convertToFormat(QImage::Format_ARGB32_Premultiplied);
        }
        default: return {};
        }
    } catch (const std::exception&) {
        return {};
    }
}

namespace {

const QColor kBackdrop(40, 40, 44);
constexpr int kCaptionHeight = 34;

}  // namespace

PreviewWindow::PreviewWindow(QWidget* parent) : QWidget(parent, Qt::Window)
{
    setObjectName(QStringLiteral("PreviewWindow"));
    setAttribute(Qt::WA_QuitOnClose, false);
    setWindowIcon(applicationIcon());
    resize(760, 560);
    setMinimumSize(320, 240);

    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addStretch(1);
    mCaption = new QLabel(this);
    mCaption->setFixedHeight(kCaptionHeight);
    mCaption->setAlignment(Qt::AlignCenter);
    mCaption->setStyleSheet(QStringLiteral("color: rgb(220, 220, 226); background-color: rgb(28, 28, 31);"));
    layout->addWidget(mCaption);
}

void PreviewWindow::previewFile(const QUrl& file)
{
    mItem = file;
    if (isVisible()) {
        close();
        return;
    }
    load();
    show();
    raise();
    activateWindow();
}

void PreviewWindow::load()
{
    const QString path = mItem.toLocalFile();
    const QFileInfo info(path);
    mImage = loadPreviewImage(path);
    setWindowTitle(info.fileName());
    if (mImage.isNull()) {
        mMessage = info.exists() ? QStringLiteral("无法显示这个文件") : QStringLiteral("文件不存在");
        mCaption->setText(path);
    } else {
        mMessage.clear();
        mCaption->setText(QStringLiteral("%1    %2 × %3    %4")
                              .arg(info.fileName())
                              .arg(mImage.width())
                              .arg(mImage.height())
                              .arg(QString::fromStdString(convert::byteText(static_cast<std::uint64_t>(info.size())))));
    }
    update();
}

void PreviewWindow::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    const QRect area = rect().adjusted(0, 0, 0, -kCaptionHeight);
    painter.fillRect(area, kBackdrop);
    if (mImage.isNull()) {
        painter.setPen(QColor(190, 190, 196));
        painter.drawText(area, Qt::AlignCenter, mMessage);
        return;
    }
    // Fitted into the window, never enlarged.
    const QRect inner = area.adjusted(16, 16, -16, -16);
    QSize size = mImage.size();
    if (size.width() > inner.width() || size.height() > inner.height()) {
        size.scale(inner.size(), Qt::KeepAspectRatio);
    }
    const QRect target(inner.left() + (inner.width() - size.width()) / 2,
                       inner.top() + (inner.height() - size.height()) / 2, size.width(), size.height());
    painter.setRenderHint(QPainter::SmoothPixmapTransform);
    painter.drawImage(target, mImage);
}

}  // namespace ambrel::app
