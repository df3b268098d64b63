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

// Decodes an image file of any of the output formats; a null image when it
// cannot be read.
QImage loadPreviewImage(const QString& path);

class PreviewWindow : public QWidget, public PreviewPanel
{
    Q_OBJECT
public:
    explicit PreviewWindow(QWidget* parent = nullptr);

    // Closes the window when it is open; otherwise opens it on the file. The
    // file becomes the current item either way.
    void previewFile(const QUrl& file) override;

    const QUrl& currentItem() const { return mItem; }
    // The picture shown; null when the file could not be read.
    const QImage& image() const { return mImage; }

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    void load();

    QUrl mItem;
    QImage mImage;
    QString mMessage;  // shown when there is no picture
    QLabel* mCaption = nullptr;
};

}  // namespace ambrel::app
