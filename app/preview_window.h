// The preview: a window of the application that shows a converted file
// (JPEG, PNG, BMP, JPEG 2000 or TIFF) and is toggled by the rows' preview
// buttons.
#pragma once

#include <QtCore/QUrl>
#include <QtGui/QImage>
#include <QtWidgets/QWidget>

#include "app/services.h"

class QLabel;

namespace ambrel::app {

// Decodes an output file with Qt's image readers (JPEG, PNG, BMP, TIFF and
// WebP, the last two through the image-format plugins) or, for JPEG 2000,
// with OpenJPEG; a null image when it cannot be read.
[[nodiscard]] QImage loadPreviewImage(const QString& path);
// The same picture made to fit in `bound` (never enlarged). JPEG files are
// decoded at the reduced size (JPEG 2000 at a reduced level) and PNG files a
// row at a time, so a large
// picture never takes its full size in memory; the other formats are
// decoded whole and then reduced.
// `fullSize`, when given, receives the size of the whole picture.
[[nodiscard]] QImage loadPreviewImage(const QString& path, const QSize& bound, QSize* fullSize = nullptr);

class PreviewWindow : public QWidget, public PreviewPanel
{
    Q_OBJECT
public:
    explicit PreviewWindow(QWidget* parent = nullptr);

    // Closes the window when it is open; otherwise opens it on the file. The
    // file becomes the current item either way.
    void previewFile(const QUrl& file) override;

    const QUrl& currentItem() const { return mItem; }
    // The picture shown, at most the screen's size; null while loading, when
    // the file could not be read, and once the window is closed.
    const QImage& image() const { return mImage; }
    // The picture is being decoded (on a worker thread); the window shows
    // that it is busy meanwhile.
    bool loading() const { return mLoading; }

protected:
    void paintEvent(QPaintEvent* event) override;
    void closeEvent(QCloseEvent* event) override;

private:
    void load();
    void showLoaded(const QImage& image, const QSize& fullSize);
    void release();

    QUrl mItem;
    QImage mImage;
    bool mLoading = false;
    quint64 mGeneration = 0;  // which load a decoded picture belongs to
    QString mMessage;         // shown when there is no picture
    QLabel* mCaption = nullptr;
};

}  // namespace ambrel::app
