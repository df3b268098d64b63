// Screen-sized copies of the pictures a job has just written, so that the
// preview of a large output opens at once instead of decoding the whole file
// again. Each copy is kept as a JPEG in memory, under a total budget (the
// oldest go first), and is used only while the file on disk is still the
// one it was made for (same size and modification time).
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <optional>

#include <QtCore/QByteArray>
#include <QtCore/QDateTime>
#include <QtCore/QSize>
#include <QtCore/QString>
#include <QtGui/QImage>

namespace ambrel::app {

// JPEG files up to this many pixels preview at once from the file itself
// (decoded at a reduced size); larger ones, and every lossless file, are
// worth a reduced copy.
inline constexpr std::uint64_t kQuickJpegPixels = 24'000'000;

class PreviewCache
{
public:
    explicit PreviewCache(std::size_t budgetBytes = std::size_t(64) << 20) : mBudget(budgetBytes) {}

    // Keeps `picture` (the whole output reduced, upright) for the file at
    // `path`, whose picture is `fullSize`. Safe to call from any thread; the
    // encoding is done by the caller's thread.
    void put(const QString& path, const QImage& picture, const QSize& fullSize);

    struct Picture
    {
        QImage image;
        QSize fullSize;
    };
    // The copy for `path`, reduced to fit `bound` (never enlarged); nothing
    // when there is none or the file has changed since.
    [[nodiscard]] std::optional<Picture> find(const QString& path, const QSize& bound) const;

    void clear();
    [[nodiscard]] std::size_t bytes() const;

private:
    struct Entry
    {
        QString path;
        qint64 fileSize = 0;
        QDateTime modified;
        QSize fullSize;
        QByteArray jpeg;
    };
    std::size_t mBudget;
    mutable std::mutex mMutex;
    std::deque<Entry> mEntries;  // oldest first
    std::size_t mBytes = 0;
};

// The application's cache, shared by the job and the preview window.
PreviewCache& previewCache();

}  // namespace ambrel::app
