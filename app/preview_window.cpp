#include "app/preview_window.h"

#include <optional>

#include <QtCore/QCoreApplication>
#include <QtCore/QFile>
#include <QtCore/QFileInfo>
#include <QtCore/QLocale>
#include <QtCore/QPointer>
#include <QtCore/QThreadPool>
#include <QtGui/QCloseEvent>
#include <QtGui/QGuiApplication>
#include <QtGui/QImageReader>
#include <QtGui/QPainter>
#include <QtGui/QScreen>
#include <QtGui/QShortcut>
#include <QtWidgets/QLabel>
#include <QtWidgets/QVBoxLayout>

#include <malloc.h>
#include <png.h>

#include <algorithm>
#include <climits>
#include <cmath>
#include <csetjmp>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <vector>

#include "app/file_table.h"
#include "app/images.h"
#include "app/jpeg2000_preview.h"
#include "app/preview_cache.h"
#include "convert/file_list.h"

namespace ambrel::app {

QImage loadPreviewImage(const QString& path)
{
    // Outputs are the job's own files, but may be large: a whole 200 MP
    // picture as 64-bit samples takes 1.6 GB.
    QImageReader::setAllocationLimit(2048);
    QImageReader reader(path);
    if (!reader.canRead()) {
        return loadJpeg2000Image(path, QSize(INT_MAX, INT_MAX));  // null for anything else
    }
    // A JPEG is shown turned by its EXIF orientation; the other formats are
    // written upright. Alpha stays alpha and 16-bit samples show at 8 bits.
    reader.setAutoTransform(reader.format() == "jpeg");
    const QImage picture = reader.read();
    if (picture.isNull()) {
        return {};
    }
    return picture.convertToFormat(picture.hasAlphaChannel() ? QImage::Format_ARGB32_Premultiplied
                                                             : QImage::Format_RGB32);
}

namespace {

// `size` made to fit in `bound`, never enlarged, at least one pixel.
QSize fitted(QSize size, const QSize& bound)
{
    if (size.width() > bound.width() || size.height() > bound.height()) {
        size.scale(bound, Qt::KeepAspectRatio);
    }
    return size.expandedTo(QSize(1, 1));
}

bool startsWith(const QByteArray& bytes, const char* signature, int length)
{
    return bytes.size() >= length && std::memcmp(bytes.constData(), signature, static_cast<std::size_t>(length)) == 0;
}

// A JPEG decoded by libjpeg at a reduced scale (1/2 to 1/8 of the samples are
// computed), turned by its EXIF orientation.
QImage loadJpegPreview(const QString& path, const QSize& bound, QSize* fullSize)
{
    QImageReader reader(path, "jpeg");
    reader.setAutoTransform(true);
    const QSize stored = reader.size();
    if (!stored.isValid()) {
        return {};
    }
    const bool turned = (reader.transformation() & QImageIOHandler::TransformationRotate90) != 0;
    const QSize shown = turned ? stored.transposed() : stored;
    const QSize target = fitted(shown, bound);
    if (target != shown) {
        reader.setScaledSize(turned ? target.transposed() : target);
    }
    if (fullSize != nullptr) {
        *fullSize = shown;
    }
    return reader.read().convertToFormat(QImage::Format_RGB32);
}

// What the PNG reader below keeps across a decoding error (libpng returns
// to setjmp): everything that owns memory lives here, made before.
struct PngReading
{
    std::FILE* file = nullptr;
    png_structp png = nullptr;
    png_infop info = nullptr;
    std::vector<png_byte> row;
    std::vector<double> sums;  // premultiplied red, green, blue and alpha of each output pixel
    QImage image;

    ~PngReading()
    {
        if (png != nullptr) {
            png_destroy_read_struct(&png, info != nullptr ? &info : nullptr, nullptr);
        }
        if (file != nullptr) {
            std::fclose(file);
        }
    }
};

// Reads the rows of a non-interlaced PNG one at a time and averages every
// block of source pixels into one pixel of the reduced picture, so only a
// row of the file is held at once. A null image for an interlaced file (its
// rows come in passes) or an unreadable one.
QImage loadPngPreview(const QString& path, const QSize& bound, QSize* fullSize)
{
    PngReading r;
    r.file = std::fopen(QFile::encodeName(path).constData(), "rbe");
    if (r.file == nullptr) {
        return {};
    }
    r.png = png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    if (r.png == nullptr) {
        return {};
    }
    r.info = png_create_info_struct(r.png);
    if (r.info == nullptr) {
        return {};
    }
    // libpng's errors come back here.
    if (setjmp(png_jmpbuf(r.png)) != 0) {  // NOLINT(cert-err52-cpp): libpng's error model
        return {};
    }
    png_init_io(r.png, r.file);
    png_read_info(r.png, r.info);
    const png_uint_32 width = png_get_image_width(r.png, r.info);
    const png_uint_32 height = png_get_image_height(r.png, r.info);
    if (png_get_interlace_type(r.png, r.info) != PNG_INTERLACE_NONE || width == 0 || height == 0 || width > 1000000 ||
        height > 1000000) {
        return {};
    }
    // Every form of PNG as 8-bit RGBA.
    png_set_expand(r.png);
    png_set_strip_16(r.png);
    png_set_gray_to_rgb(r.png);
    png_set_filler(r.png, 0xFF, PNG_FILLER_AFTER);
    png_read_update_info(r.png, r.info);
    if (png_get_rowbytes(r.png, r.info) != static_cast<std::size_t>(width) * 4) {
        return {};
    }

    const QSize full(static_cast<int>(width), static_cast<int>(height));
    const QSize target = fitted(full, bound);
    if (fullSize != nullptr) {
        *fullSize = full;
    }
    const auto outWidth = static_cast<std::size_t>(target.width());
    r.row.resize(static_cast<std::size_t>(width) * 4);
    r.sums.assign(outWidth * 4, 0.0);
    r.image = QImage(target, QImage::Format_RGBA8888_Premultiplied);
    if (r.image.isNull()) {
        return {};
    }
    // Source column x goes to output column x * outWidth / width.
    std::vector<std::size_t> column(width);
    std::vector<double> perColumn(outWidth, 0.0);
    for (png_uint_32 x = 0; x < width; ++x) {
        column[x] = static_cast<std::size_t>(static_cast<std::uint64_t>(x) * outWidth / width);
        perColumn[column[x]] += 1.0;
    }
    const auto outHeight = static_cast<std::uint64_t>(target.height());
    std::uint64_t outRow = 0;
    double rowsInBand = 0;
    for (png_uint_32 y = 0; y < height; ++y) {
        png_read_row(r.png, r.row.data(), nullptr);
        for (png_uint_32 x = 0; x < width; ++x) {
            const png_byte* pixel = &r.row[static_cast<std::size_t>(x) * 4];
            const double alpha = pixel[3];
            double* sum = &r.sums[column[x] * 4];
            sum[0] += pixel[0] * alpha;
            sum[1] += pixel[1] * alpha;
            sum[2] += pixel[2] * alpha;
            sum[3] += alpha;
        }
        rowsInBand += 1;
        const std::uint64_t nextOutRow = (static_cast<std::uint64_t>(y) + 1) * outHeight / height;
        if (nextOutRow == outRow && y + 1 < height) {
            continue;
        }
        // The band of source rows for output row `outRow` is complete.
        uchar* out = r.image.scanLine(static_cast<int>(outRow));
        for (std::size_t ox = 0; ox < outWidth; ++ox) {
            const double count = perColumn[ox] * rowsInBand;
            const double* sum = &r.sums[ox * 4];
            for (int channel = 0; channel < 3; ++channel) {
                out[ox * 4 + static_cast<std::size_t>(channel)] =
                    static_cast<uchar>(std::lround(sum[channel] / 255.0 / count));
            }
            out[ox * 4 + 3] = static_cast<uchar>(std::lround(sum[3] / count));
        }
        std::fill(r.sums.begin(), r.sums.end(), 0.0);
        rowsInBand = 0;
        outRow = nextOutRow;
    }
    return r.image.convertToFormat(QImage::Format_ARGB32_Premultiplied);
}

const QColor kBackdrop(40, 40, 44);
constexpr int kCaptionHeight = 34;

}  // namespace

QImage loadPreviewImage(const QString& path, const QSize& bound, QSize* fullSize)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        return {};
    }
    const QByteArray head = file.read(8);
    file.close();
    QImage image;
    if (startsWith(head, "\xFF\xD8", 2)) {
        image = loadJpegPreview(path, bound, fullSize);
    } else if (startsWith(head, "\x89PNG\r\n\x1A\n", 8)) {
        image = loadPngPreview(path, bound, fullSize);
    } else if (isJpeg2000(head)) {
        // Decoded at a level at least as large as what is shown.
        image = loadJpeg2000Image(path, bound, fullSize);
        if (const QSize target = fitted(image.size(), bound); !image.isNull() && target != image.size()) {
            image = image.scaled(target, Qt::KeepAspectRatio, Qt::SmoothTransformation);
        }
    }
    if (!image.isNull()) {
        return image;
    }
    // The other formats (and an interlaced PNG): whole, then reduced.
    image = loadPreviewImage(path);
    if (fullSize != nullptr) {
        *fullSize = image.size();
    }
    const QSize target = fitted(image.size(), bound);
    if (image.isNull() || target == image.size()) {
        return image;
    }
    return image.scaled(target, Qt::KeepAspectRatio, Qt::SmoothTransformation);
}

PreviewWindow::PreviewWindow(QWidget* parent) : QWidget(parent, Qt::Window)
{
    setObjectName(QStringLiteral("PreviewWindow"));
    setAttribute(Qt::WA_QuitOnClose, false);
    // Escape and Ctrl+W close the window.
    for (const QKeySequence& keys : {QKeySequence(QKeySequence::Close), QKeySequence(Qt::Key_Escape)}) {
        connect(new QShortcut(keys, this), &QShortcut::activated, this, &QWidget::close);
    }
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

// Shows the window at once as busy and decodes the picture, reduced to the
// screen, on a worker thread.
void PreviewWindow::load()
{
    release();
    const QString path = mItem.toLocalFile();
    setWindowTitle(QFileInfo(path).fileName());
    mLoading = true;
    mMessage = QCoreApplication::translate("PreviewWindow", "正在打开…");
    mCaption->setText(path);
    update();

    const QScreen* shown = screen() != nullptr ? screen() : QGuiApplication::primaryScreen();
    const QSize bound = shown != nullptr ? shown->availableSize() * shown->devicePixelRatio() : QSize(1920, 1080);
    const quint64 generation = mGeneration;
    QPointer<PreviewWindow> window(this);
    QThreadPool::globalInstance()->start([window, path, bound, generation] {
        QSize fullSize;
        QImage image;
        // A picture the job has just written comes from its reduced copy.
        if (std::optional<PreviewCache::Picture> kept = previewCache().find(path, bound)) {
            image = std::move(kept->image);
            fullSize = kept->fullSize;
        } else {
            image = loadPreviewImage(path, bound, &fullSize);
        }
        QMetaObject::invokeMethod(
            qApp,
            [window, image = std::move(image), fullSize, generation] {
                // Dropped when the window was closed or another file taken meanwhile.
                if (window != nullptr && window->mGeneration == generation) {
                    window->showLoaded(image, fullSize);
                }
            },
            Qt::QueuedConnection);
    });
}

void PreviewWindow::showLoaded(const QImage& image, const QSize& fullSize)
{
    mLoading = false;
    mImage = image;
    const QString path = mItem.toLocalFile();
    const QFileInfo info(path);
    if (mImage.isNull()) {
        mMessage = info.exists() ? QCoreApplication::translate("PreviewWindow", "无法显示这个文件")
                                 : QCoreApplication::translate("PreviewWindow", "文件不存在");
        mCaption->setText(path);
    } else {
        mMessage.clear();
        mCaption->setText(QStringLiteral("%1    %2 × %3    %4")
                              .arg(info.fileName())
                              .arg(fullSize.width())
                              .arg(fullSize.height())
                              .arg(sizeText(info.size())));
    }
    update();
}

// The picture goes with the window; the memory it took goes back to the system.
void PreviewWindow::release()
{
    ++mGeneration;
    mLoading = false;
    mImage = QImage();
    malloc_trim(0);
}

void PreviewWindow::closeEvent(QCloseEvent* event)
{
    release();
    QWidget::closeEvent(event);
}

void PreviewWindow::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    const QRect area = rect().adjusted(0, 0, 0, -kCaptionHeight);
    painter.fillRect(area, kBackdrop);
    if (mImage.isNull()) {
        // The message: busy, or why there is no picture.
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
