#include "heiclib/reader/decode_pts.h"

#include <algorithm>
#include <limits>
#include <stdexcept>
#include <string>

#include "heiclib/heif_limits.h"

#include "heiclib/boxes/movie_boxes.h"
#include "heiclib/boxes/sample_table_boxes.h"

namespace ambrel::heif {

namespace {

// Edit durations may be as large as the file says; the timeline saturates
// instead of wrapping. Both values are not negative.
std::int64_t addSaturating(std::int64_t a, std::int64_t b)
{
    return b > std::numeric_limits<std::int64_t>::max() - a ? std::numeric_limits<std::int64_t>::max() : a + b;
}

}  // namespace

DecodePts::DecodePts(const TimeToSampleBox& timeToSample, const CompositionOffsetBox* compositionOffsets,
                     const EditListBox* editList, std::size_t sampleCount, std::uint32_t mediaTimescale,
                     std::uint32_t movieTimescale)
    : mTimeToSample(timeToSample), mCompositionOffsets(compositionOffsets), mEditList(editList),
      mSampleCount(sampleCount), mMediaTimescale(mediaTimescale == 0 ? 1 : mediaTimescale),
      mMovieTimescale(movieTimescale == 0 ? 1 : movieTimescale)
{}

std::int64_t DecodePts::toMediaUnits(std::uint64_t movieDuration) const
{
    // Whole seconds and the rest apart, so that no product overflows before
    // the result itself would; a result past 63 bits saturates.
    constexpr auto kMax = static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max());
    const std::uint64_t seconds = movieDuration / mMovieTimescale;
    const std::uint64_t rest = movieDuration % mMovieTimescale;
    if (seconds > kMax / mMediaTimescale) {
        return std::numeric_limits<std::int64_t>::max();
    }
    const std::uint64_t media = seconds * mMediaTimescale + rest * mMediaTimescale / mMovieTimescale;
    return static_cast<std::int64_t>(std::min(media, kMax));
}

void DecodePts::unravel()
{
    mMedia.clear();
    mPresentationMap.clear();
    mCursor = 0;
    mSpan = 0;

    const std::vector<std::uint64_t> decodeTimes = mTimeToSample.getSampleDecodeTimes();
    std::vector<std::int64_t> offsets;
    if (mCompositionOffsets != nullptr) {
        offsets = mCompositionOffsets->getSampleCompositionOffsets();
    }
    // Times for samples the track does not have are of no use.
    const std::size_t count = std::min<std::size_t>(decodeTimes.size(), mSampleCount);
    mMedia.reserve(count);
    for (std::size_t i = 0; i < count; ++i) {
        const std::int64_t offset = i < offsets.size() ? offsets[i] : 0;
        mMedia.push_back({static_cast<std::int64_t>(decodeTimes[i]) + offset, static_cast<std::uint32_t>(i)});
    }
    std::stable_sort(mMedia.begin(), mMedia.end(),
                     [](const MediaSample& a, const MediaSample& b) { return a.time < b.time; });

    if (mEditList == nullptr) {
        for (const auto& sample : mMedia) {
            place(sample.time, sample.index);
        }
        if (mMedia.size() >= 2) {
            const std::int64_t last = mMedia.back().time;
            mSpan = last + (last - mMedia[mMedia.size() - 2].time);
        }
        return;
    }

    auto apply = [this](std::int64_t duration, std::int64_t mediaTime, std::int32_t rate) {
        if (mediaTime == -1) {
            applyEmptyEdit(duration);
        } else if (rate == 0) {
            applyDwell(mediaTime, duration);
        } else if (mediaTime >= 0) {
            applyShift(mediaTime, duration);
        }
    };
    for (const auto& entry : mEditList->getEntriesVersion0()) {
        apply(toMediaUnits(entry.segmentDuration), entry.mediaTime, entry.mediaRateInteger);
    }
    for (const auto& entry : mEditList->getEntriesVersion1()) {
        apply(toMediaUnits(entry.segmentDuration), entry.mediaTime, entry.mediaRateInteger);
    }
    mSpan = mCursor;
}

void DecodePts::place(std::int64_t time, std::uint32_t sampleIndex)
{
    if (mPresentationMap.size() >= limits::kMaxPresentationEntries) {
        throw std::runtime_error("DecodePts: the edit list places more than " +
                                 std::to_string(limits::kMaxPresentationEntries) + " samples");
    }
    mPresentationMap.emplace(time, sampleIndex);
}

void DecodePts::applyEmptyEdit(std::int64_t duration)
{
    mCursor = addSaturating(mCursor, duration);
}

void DecodePts::applyDwell(std::int64_t mediaTime, std::int64_t duration)
{
    if (mMedia.empty()) {
        mCursor = addSaturating(mCursor, duration);
        return;
    }
    auto it =
        std::find_if(mMedia.begin(), mMedia.end(), [mediaTime](const MediaSample& s) { return s.time >= mediaTime; });
    const MediaSample& sample = it != mMedia.end() ? *it : mMedia.back();
    place(mCursor, sample.index);
    mCursor = addSaturating(mCursor, duration);
}

void DecodePts::applyShift(std::int64_t mediaTime, std::int64_t duration)
{
    const std::int64_t end = addSaturating(mediaTime, duration);
    for (std::size_t i = 0; i < mMedia.size(); ++i) {
        const std::int64_t t = mMedia[i].time;
        if (t < mediaTime || t >= end) {
            continue;
        }
        if (t != mediaTime && i > 0 && mMedia[i - 1].time < mediaTime) {
            // The earlier sample straddles the start of the segment.
            place(mCursor, mMedia[i - 1].index);
            mCursor = addSaturating(mCursor, t - mediaTime);
        }
        place(mCursor, mMedia[i].index);
        const std::int64_t next = i + 1 < mMedia.size() ? std::min(mMedia[i + 1].time, end) : end;
        mCursor = addSaturating(mCursor, next - t);
    }
}

}  // namespace ambrel::heif
