// Presentation timestamps of one track: decode times from 'stts',
// composition offsets from 'ctts', and the edit list unravelled into one
// presentation timeline.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <utility>
#include <vector>

namespace ambrel::heif {

class TimeToSampleBox;
class CompositionOffsetBox;
class EditListBox;

class DecodePts
{
public:
    // presentation time (media units) -> sample index; several samples may share a time
    using PMap = std::multimap<std::int64_t, std::uint32_t>;

    // The boxes must outlive unravel(); the offset and edit boxes may be null.
    // Only the first `sampleCount` samples (those the track has) are timed.
    // Sample times and edit media times count in the media timescale (the
    // track's 'mdhd'), edit segment durations in the movie timescale ('mvhd'):
    // the durations are brought to media units, so the presentation map and
    // the span are in media units. Both timescales must not be 0.
    DecodePts(const TimeToSampleBox& timeToSample, const CompositionOffsetBox* compositionOffsets,
              const EditListBox* editList, std::size_t sampleCount, std::uint32_t mediaTimescale = 1,
              std::uint32_t movieTimescale = 1);

    void unravel();

    // The presentation map in media units.
    const PMap& getPresentationMap() const { return mPresentationMap; }
    // The length of the presentation timeline in media units.
    std::int64_t getSpan() const { return mSpan; }

private:
    struct MediaSample
    {
        std::int64_t time;
        std::uint32_t index;
    };

    // Enters a sample into the presentation map; refuses beyond the limit.
    void place(std::int64_t time, std::uint32_t sampleIndex);
    void applyEmptyEdit(std::int64_t duration);
    void applyDwell(std::int64_t mediaTime, std::int64_t duration);
    void applyShift(std::int64_t mediaTime, std::int64_t duration);
    // An edit's segment duration (movie units) in media units.
    [[nodiscard]] std::int64_t toMediaUnits(std::uint64_t movieDuration) const;

    const TimeToSampleBox& mTimeToSample;
    const CompositionOffsetBox* mCompositionOffsets;
    const EditListBox* mEditList;
    std::size_t mSampleCount;
    std::uint32_t mMediaTimescale;
    std::uint32_t mMovieTimescale;

    std::vector<MediaSample> mMedia;  // ascending media composition time
    PMap mPresentationMap;
    std::int64_t mCursor = 0;
    std::int64_t mSpan = 0;
};

}  // namespace ambrel::heif
