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
    // presentation time (track units) -> sample index; several samples may share a time
    using PMap = std::multimap<std::int64_t, std::uint32_t>;

    // The boxes must outlive unravel(); the offset and edit boxes may be null.
    // Only the first `sampleCount` samples (those the track has) are timed.
    DecodePts(const TimeToSampleBox& timeToSample, const CompositionOffsetBox* compositionOffsets,
              const EditListBox* editList, std::size_t sampleCount);

    void unravel();

    // The presentation map in track units.
    const PMap& getPresentationMap() const { return mPresentationMap; }
    // The length of the presentation timeline in track units.
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

    const TimeToSampleBox& mTimeToSample;
    const CompositionOffsetBox* mCompositionOffsets;
    const EditListBox* mEditList;
    std::size_t mSampleCount;

    std::vector<MediaSample> mMedia;  // ascending media composition time
    PMap mPresentationMap;
    std::int64_t mCursor = 0;
    std::int64_t mSpan = 0;
};

}  // namespace ambrel::heif
