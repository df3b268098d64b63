#include "app/row_scan.h"

#include <QtCore/QFile>
#include <QtCore/QPointer>
#include <QtCore/QThreadPool>
#include <QtWidgets/QApplication>

#include <algorithm>
#include <sstream>

#include "app/app_log.h"
#include "app/file_table.h"
#include "convert/conversion_job.h"
#include "heiclib/reader/hevc_image_file_reader.h"
#include "pipeline/decode/extraction.h"
#include "pipeline/heif2jpg.h"

namespace ambrel::app {

namespace {

// The side of the thumbnails before the names in the list.
constexpr std::uint32_t kThumbnailSide = 40;

// The picture of the thumbnail image a file stores for its primary image
// (phones store one), its longer side at most `side` pixels; null when the
// file has none. Only the thumbnail is decoded, so a long list fills at once.
QImage storedThumbnail(const QByteArray& bytes, std::uint32_t side)
{
    std::istringstream input(bytes.toStdString());
    heif::HevcImageFileReader reader;
    reader.initialize(input);
    const heif::ContextId context = reader.getFileInformation().rootMetaBoxInformation.contextId;
    heif::IdVector thumbnails;
    reader.getReferencedToItemListByType(context, reader.getCoverImageItemId(context), heif::FourCCInt("thmb"),
                                         thumbnails);
    if (thumbnails.empty()) {
        return {};
    }
    pipeline::ConversionSettings settings;
    settings.format = pipeline::OutputFormat::Bmp;
    settings.keepExif = false;  // turned upright
    settings.maxSide = side;
    settings.itemId = thumbnails.front();
    const auto* data = reinterpret_cast<const std::uint8_t*>(bytes.constData());
    const pipeline::ConvertedFile file = pipeline::convertHeif(data, static_cast<std::size_t>(bytes.size()), settings);
    if (!file.ok) {
        return {};
    }
    return QImage::fromData(file.bytes.data(), static_cast<int>(file.bytes.size()), "BMP");
}

}  // namespace

void scanNewRows(FileTableModel& model, std::uint64_t& scannedUpTo)
{
    const QPointer<FileTableModel> self(&model);
    for (int row = 0; row < model.count(); ++row) {
        const std::uint64_t id = model.rowId(row);
        if (id <= scannedUpTo) {
            continue;
        }
        scannedUpTo = std::max(scannedUpTo, id);
        const std::string path = model.record(row).heicPath;
        QThreadPool::globalInstance()->start([self, id, path] {
            QString holds;
            QImage thumbnail;
            const GatheredLibraryLines gathered(QString::fromStdString(path));
            try {
                QFile file(QString::fromStdString(path));
                if (file.size() <= static_cast<qint64>(convert::kMaxSourceBytes) && file.open(QIODevice::ReadOnly)) {
                    const QByteArray bytes = file.readAll();
                    holds = holdsText(pipeline::listImages(reinterpret_cast<const std::uint8_t*>(bytes.constData()),
                                                           static_cast<std::size_t>(bytes.size())));
                    thumbnail = storedThumbnail(bytes, kThumbnailSide);
                }
            } catch (...) {
                // The worker thread's boundary. Not readable as HEIF: the
                // conversion will say why.
            }
            if (holds.isEmpty() && thumbnail.isNull()) {
                return;
            }
            QMetaObject::invokeMethod(
                qApp,
                [self, id, holds, thumbnail] {
                    if (self != nullptr) {
                        self->setHolds(id, holds);
                        self->setThumbnail(id, thumbnail);
                    }
                },
                Qt::QueuedConnection);
        });
    }
}

}  // namespace ambrel::app
