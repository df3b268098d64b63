// JPEG 2000 outputs as pictures for the preview. Qt has no reader for them,
// so they are decoded with OpenJPEG, the library that writes them, at the
// smallest resolution level that still fills the preview.
#pragma once

#include <QtCore/QSize>
#include <QtCore/QString>
#include <QtGui/QImage>

namespace ambrel::app {

// Whether `head`, the first bytes of a file, start a JP2 file or a bare
// JPEG 2000 codestream.
[[nodiscard]] bool isJpeg2000(const QByteArray& head);

// The picture of the JPEG 2000 file at `path`, decoded at a reduced level
// when `bound` allows (never below it, so the caller scales it down to fit),
// grey, RGB or either with alpha, at 8 bits; a null image when the file
// cannot be read. `fullSize`, when given, receives the whole picture's size.
[[nodiscard]] QImage loadJpeg2000Image(const QString& path, const QSize& bound, QSize* fullSize = nullptr);

}  // namespace ambrel::app
