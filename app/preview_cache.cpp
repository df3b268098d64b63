#include "app/preview_cache.h"

#include <algorithm>

#include <QtCore/QBuffer>
#include <QtCore/QFileInfo>

namespace ambrel::app {

void PreviewCache::put(const QString& path, const QImage& picture, const QSize& fullSize)
{
    const QFileInfo info(path);
    if (picture.isNull() || !info.isFile()) {
        return;
    }
    Entry entry;
    entry.path = info.absoluteFilePath();
    entry.fileSize = info.size();
    entry.modified = info.lastModified();
    // The size as the picture shows: a turned photo's stored size is transposed.
    const bool pictureTall = picture.height() > picture.width();
    const bool sizeTall = fullSize.height() > fullSize.width();
    entry.fullSize = pictureTall != sizeTall && picture.width() != picture.height() ? fullSize.transposed() : fullSize;
    QBuffer buffer(&entry.jpeg);
    buffer.open(QIODevice::WriteOnly);
    if (!picture.save(&buffer, "JPEG", 90) || static_cast<std::size_t>(entry.jpeg.size()) > mBudget) {
        return;
    }
    const std::lock_guard lock(mMutex);
    const auto same =
        std::find_if(mEntries.begin(), mEntries.end(), [&](const Entry& kept) { return kept.path == entry.path; });
    if (same != mEntries.end()) {
        mBytes -= static_cast<std::size_t>(same->jpeg.size());
        mEntries.erase(same);
    }
    mBytes += static_cast<std::size_t>(entry.jpeg.size());
    mEntries.push_back(std::move(entry));
    while (mBytes > mBudget) {
        mBytes -= static_cast<std::size_t>(mEntries.front().jpeg.size());
        mEntries.pop_front();
    }
}

std::optional<PreviewCache::Picture> PreviewCache::find(const QString& path, const QSize& bound) const
{
    const QFileInfo info(path);
    QByteArray jpeg;
    QSize fullSize;
    {
        const std::lock_guard lock(mMutex);
        const auto kept = std::find_if(mEntries.begin(), mEntries.end(),
                                       [&](const Entry& entry) { return entry.path == info.absoluteFilePath(); });
        if (kept == mEntries.end() || !info.isFile() || kept->fileSize != info.size() ||
            kept->modified != info.lastModified()) {
            return std::nullopt;
        }
        jpeg = kept->jpeg;  // shared, not copied
        fullSize = kept->fullSize;
    }
    QImage image = QImage::fromData(jpeg, "JPEG");
    if (image.isNull()) {
        return std::nullopt;
    }
    if (bound.isValid() && (image.width() > bound.width() || image.height() > bound.height())) {
        image = image.scaled(bound, Qt::KeepAspectRatio, Qt::SmoothTransformation);
    }
    return Picture{std::move(image), fullSize};
}

void PreviewCache::clear()
{
    const std::lock_guard lock(mMutex);
    mEntries.clear();
    mBytes = 0;
}

std::size_t PreviewCache::bytes() const
{
    const std::lock_guard lock(mMutex);
    return mBytes;
}

PreviewCache& previewCache()
{
    static PreviewCache cache;
    return cache;
}

}  // namespace ambrel::app
