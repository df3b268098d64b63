// The sample table ('stbl') of a track and the tables inside it: decode and
// composition timing, sample-to-chunk mapping, sample sizes, chunk offsets,
// sync samples, and sample groups with the direct reference ('refs') entries
// of image sequences.
//
// Run-length tables are expanded into per-sample lists. Every expansion is
// bounded by kMaxSamples so a few hostile bytes cannot make the parser
// allocate without limit.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "heiclib/box.h"
#include "heiclib/box_factory.h"
#include "heiclib/boxes/sample_entry_boxes.h"
#include "heiclib/heif_limits.h"

namespace ambrel::heif {

// Upper bound on the number of samples any per-sample list of one track may
// hold. A table that expands to more is refused with std::runtime_error.
inline constexpr std::uint64_t kMaxSamples = limits::kMaxSamplesPerTrack;

class MemoryBudget;

// 'stts': decoding time deltas, run-length coded.
class TimeToSampleBox : public FullBox
{
public:
    struct Entry
    {
        std::uint32_t sampleCount = 0;
        std::uint32_t sampleDelta = 0;
    };

    TimeToSampleBox();

    const std::vector<Entry>& getEntries() const { return mEntries; }
    void addEntry(const Entry& entry) { mEntries.push_back(entry); }

    // One decode time per sample: 0 for the first, then the running sum of the
    // deltas. Throws std::runtime_error when the samples exceed kMaxSamples.
    std::vector<std::uint64_t> getSampleDecodeTimes() const;

    void writeBox(BitStream& output) override;
    void parseBox(BitStream& input) override;

private:
    std::vector<Entry> mEntries;
};

// 'ctts': composition offsets, run-length coded; unsigned in version 0,
// signed in version 1.
class CompositionOffsetBox : public FullBox
{
public:
    struct EntryVersion0
    {
        std::uint32_t sampleCount = 0;
        std::uint32_t sampleOffset = 0;
    };
    struct EntryVersion1
    {
        std::uint32_t sampleCount = 0;
        std::int32_t sampleOffset = 0;
    };

    CompositionOffsetBox();

    const std::vector<EntryVersion0>& getEntriesVersion0() const { return mEntriesVersion0; }
    const std::vector<EntryVersion1>& getEntriesVersion1() const { return mEntriesVersion1; }
    // Throw std::runtime_error when the entry does not match the box's version
    // or the entries already held.
    void addEntryVersion0(const EntryVersion0& entry);
    void addEntryVersion1(const EntryVersion1& entry);

    // One offset per sample (version 0: the unsigned values; version 1: the
    // signed ones; other versions: empty). Throws std::runtime_error when the
    // samples exceed kMaxSamples.
    std::vector<std::int64_t> getSampleCompositionOffsets() const;

    void writeBox(BitStream& output) override;
    // Versions other than 0 and 1 read the entry count and no entries.
    void parseBox(BitStream& input) override;

private:
    std::vector<EntryVersion0> mEntriesVersion0;
    std::vector<EntryVersion1> mEntriesVersion1;
};

// 'cslg': relation between composition and decoding timelines (32-bit layout).
class CompositionToDecodeBox : public FullBox
{
public:
    CompositionToDecodeBox();

    std::int32_t getCompositionToDtsShift() const { return mCompositionToDtsShift; }
    void setCompositionToDtsShift(std::int32_t value) { mCompositionToDtsShift = value; }
    std::int32_t getLeastDecodeToDisplayDelta() const { return mLeastDecodeToDisplayDelta; }
    void setLeastDecodeToDisplayDelta(std::int32_t value) { mLeastDecodeToDisplayDelta = value; }
    std::int32_t getGreatestDecodeToDisplayDelta() const { return mGreatestDecodeToDisplayDelta; }
    void setGreatestDecodeToDisplayDelta(std::int32_t value) { mGreatestDecodeToDisplayDelta = value; }
    std::int32_t getCompositionStartTime() const { return mCompositionStartTime; }
    void setCompositionStartTime(std::int32_t value) { mCompositionStartTime = value; }
    std::int32_t getCompositionEndTime() const { return mCompositionEndTime; }
    void setCompositionEndTime(std::int32_t value) { mCompositionEndTime = value; }

    void writeBox(BitStream& output) override;
    void parseBox(BitStream& input) override;

private:
    std::int32_t mCompositionToDtsShift = 0;
    std::int32_t mLeastDecodeToDisplayDelta = 0;
    std::int32_t mGreatestDecodeToDisplayDelta = 0;
    std::int32_t mCompositionStartTime = 0;
    std::int32_t mCompositionEndTime = 0;
};

// 'stsc': which chunk each sample lies in and which sample description applies.
class SampleToChunkBox : public FullBox
{
public:
    struct Entry
    {
        std::uint32_t firstChunk = 0;
        std::uint32_t samplesPerChunk = 0;
        std::uint32_t sampleDescriptionIndex = 0;
    };
    // One record per sample after decodeEntries.
    struct DecodedEntry
    {
        std::uint32_t chunkIndex = 0;  // 1-based chunk number
        std::uint32_t samplesPerChunk = 0;
        std::uint32_t sampleDescriptionIndex = 0;
    };

    SampleToChunkBox();

    const std::vector<Entry>& getEntries() const { return mEntries; }
    void addEntry(const Entry& entry) { mEntries.push_back(entry); }

    // Expands the entries into one record per sample for a track of
    // `chunkCount` chunks. Throws std::runtime_error "A SampleToChunkBox
    // without entries" (no chunks or no entries), "SampleToChunkBox first entry
    // first_chunk != 1", "Invalid first_chunk value in SampleToChunkBox entry.
    // Must be greater than previous", and also when the last entry starts
    // beyond chunkCount + 1 or the samples would exceed `maxSamples`.
    // The per-sample records are charged to `budget` when one is given.
    void decodeEntries(std::uint32_t chunkCount, std::uint64_t maxSamples = kMaxSamples,
                       MemoryBudget* budget = nullptr);
    const std::vector<DecodedEntry>& getDecodedEntries() const { return mDecodedEntries; }

    // From the decoded list, by 0-based sample index; an index past its end
    // throws std::out_of_range.
    std::uint32_t getSampleDescriptionIndex(std::uint32_t sampleIndex) const;
    // The 1-based chunk number of the sample.
    std::uint32_t getSampleChunkIndex(std::uint32_t sampleIndex) const;

    void writeBox(BitStream& output) override;
    void parseBox(BitStream& input) override;

private:
    std::vector<Entry> mEntries;
    std::vector<DecodedEntry> mDecodedEntries;
};

// 'stsz': sample sizes, either one size for all samples or one per sample.
class SampleSizeBox : public FullBox
{
public:
    SampleSizeBox();

    // 0 when the sizes differ and are listed one per sample.
    std::uint32_t getSampleSize() const { return mSampleSize; }
    void setSampleSize(std::uint32_t size) { mSampleSize = size; }
    std::uint32_t getSampleCount() const { return mSampleCount; }
    void setSampleCount(std::uint32_t count) { mSampleCount = count; }
    std::vector<std::uint32_t> getEntrySizes() const { return mEntrySizes; }
    void setEntrySizes(const std::vector<std::uint32_t>& sizes) { mEntrySizes = sizes; }

    void writeBox(BitStream& output) override;
    // With a common sample size the list gets sample-count copies of it; a
    // count above kMaxSamples then throws std::runtime_error.
    void parseBox(BitStream& input) override;

private:
    std::uint32_t mSampleSize = 0;
    std::uint32_t mSampleCount = 0;
    std::vector<std::uint32_t> mEntrySizes;
};

// 'stco' (32-bit offsets) or 'co64' (64-bit offsets): the file offset of every
// chunk. The box type tells which width is on file.
class ChunkOffsetBox : public FullBox
{
public:
    ChunkOffsetBox();  // type 'stco'

    std::vector<std::uint64_t> getChunkOffsets() const { return mChunkOffsets; }
    std::uint32_t getChunkCount() const { return static_cast<std::uint32_t>(mChunkOffsets.size()); }
    // Switches the box type to 'co64' when an offset needs more than 32 bits,
    // to 'stco' otherwise.
    void setChunkOffsets(const std::vector<std::uint64_t>& offsets);

    void writeBox(BitStream& output) override;
    void parseBox(BitStream& input) override;

private:
    std::vector<std::uint64_t> mChunkOffsets;
};

// 'stss': the sample numbers of the sync samples.
class SyncSampleBox : public FullBox
{
public:
    SyncSampleBox();

    std::vector<std::uint32_t> getSyncSamples() const { return mSyncSamples; }
    void addSample(std::uint32_t sampleNumber) { mSyncSamples.push_back(sampleNumber); }

    void writeBox(BitStream& output) override;
    void parseBox(BitStream& input) override;

private:
    std::vector<std::uint32_t> mSyncSamples;
};

// One entry of a sample group description. Not a box: its bytes sit inside
// the 'sgpd' box without a header.
class SampleGroupEntry
{
public:
    virtual ~SampleGroupEntry() = default;
    // Bytes the entry occupies when written.
    virtual std::uint32_t getSize() const = 0;
    virtual void writeEntry(BitStream& output) = 0;
    virtual void parseEntry(BitStream& input) = 0;
};

// A 'refs' entry: a sample id and the ids of the samples it directly references.
class DirectReferenceSampleListEntry : public SampleGroupEntry
{
public:
    static constexpr std::size_t MAX_REFERENCES = 255;

    std::uint32_t getSampleId() const { return mSampleId; }
    void setSampleId(std::uint32_t sampleId) { mSampleId = sampleId; }
    std::vector<std::uint32_t> getDirectReferenceSampleIds() const { return mDirectReferenceSampleIds; }
    // Throws std::runtime_error "Too many entries in referenceSampleIds" for
    // 256 or more ids.
    void setDirectReferenceSampleIds(const std::vector<std::uint32_t>& ids);

    // 5 bytes plus 4 per reference.
    std::uint32_t getSize() const override;
    void writeEntry(BitStream& output) override;
    // Sample id (32 bits), count (8 bits), count ids (32 bits each).
    void parseEntry(BitStream& input) override;

private:
    std::uint32_t mSampleId = 0;
    std::vector<std::uint32_t> mDirectReferenceSampleIds;
};

// 'sgpd': the descriptions of one grouping type. Only "refs" entries are
// understood; entries of other grouping types are logged and skipped.
class SampleGroupDescriptionBox : public FullBox
{
public:
    SampleGroupDescriptionBox();  // version 1, so entries carry their lengths

    std::string getGroupingType() const { return mGroupingType; }
    // Throws std::runtime_error unless the text is exactly 4 characters.
    void setGroupingType(const std::string& groupingType);
    std::uint32_t getDefaultLength() const { return mDefaultLength; }
    void setDefaultLength(std::uint32_t length) { mDefaultLength = length; }
    // Version 2 only: the sample description index of samples in no group.
    std::uint32_t getDefaultSampleDescriptionIndex() const { return mDefaultSampleDescriptionIndex; }
    void setDefaultSampleDescriptionIndex(std::uint32_t index) { mDefaultSampleDescriptionIndex = index; }

    void addEntry(std::unique_ptr<SampleGroupEntry> entry) { mEntries.push_back(std::move(entry)); }
    std::uint32_t getEntryCount() const { return static_cast<std::uint32_t>(mEntries.size()); }
    // 1-based; throws std::out_of_range for 0 or an index past the end.
    const SampleGroupEntry& getEntry(std::uint32_t index) const;
    // 1-based index of the first "refs" entry with this sample id; throws
    // std::runtime_error "SampleGroupDescriptionBox::getEntryIndexOfSampleId:
    // no entry for sampleId found." when there is none.
    std::uint32_t getEntryIndexOfSampleId(std::uint32_t sampleId) const;

    void writeBox(BitStream& output) override;
    void parseBox(BitStream& input) override;

private:
    std::string mGroupingType;
    std::uint32_t mDefaultLength = 0;
    std::uint32_t mDefaultSampleDescriptionIndex = 0;
    std::vector<std::unique_ptr<SampleGroupEntry>> mEntries;
};

// 'sbgp': which group description each sample belongs to, run-length coded.
class SampleToGroupBox : public FullBox
{
public:
    struct Entry
    {
        std::uint32_t sampleCount = 0;
        std::uint32_t groupDescriptionIndex = 0;
    };

    SampleToGroupBox();

    std::string getGroupingType() const { return mGroupingType; }
    // Throws std::runtime_error unless the text is exactly 4 characters.
    void setGroupingType(const std::string& groupingType);
    std::uint32_t getGroupingTypeParameter() const { return mGroupingTypeParameter; }
    void setGroupingTypeParameter(std::uint32_t parameter) { mGroupingTypeParameter = parameter; }

    std::uint32_t getEntryCount() const { return static_cast<std::uint32_t>(mEntries.size()); }
    const std::vector<Entry>& getEntries() const { return mEntries; }
    // Appends an entry and extends the per-sample list; throws
    // std::runtime_error when the samples would exceed kMaxSamples.
    void addEntry(const Entry& entry);

    // By 0-based sample index; 0 (no group) past the end.
    std::uint32_t getSampleGroupDescriptionIndex(std::uint32_t sampleIndex) const;
    // 0-based index of the first sample mapped to the group description index;
    // throws std::runtime_error "SampleToGroupBox::getSampleId: no entry for
    // requested sample id" when no sample is.
    std::uint32_t getSampleId(std::uint32_t groupDescriptionIndex) const;
    std::uint32_t getNumberOfSamples() const { return static_cast<std::uint32_t>(mSampleGroupIndices.size()); }

    void writeBox(BitStream& output) override;
    // Throws std::runtime_error "Read an empty SampleToGroupBox without
    // entries." for an entry count of 0.
    void parseBox(BitStream& input) override;

private:
    std::string mGroupingType;
    std::uint32_t mGroupingTypeParameter = 0;
    std::vector<Entry> mEntries;
    std::vector<std::uint32_t> mSampleGroupIndices;  // one per sample
};

// 'stbl': the sample tables of one track. After its children are read, the
// sample-to-chunk table is decoded against the chunk count, so a sample table
// without chunk offsets or without 'stsc' entries fails to parse.
class SampleTableBox : public Box
{
public:
    SampleTableBox();

    const SampleDescriptionBox& getSampleDescriptionBox() const { return mSampleDescriptionBox; }
    SampleDescriptionBox& getSampleDescriptionBox() { return mSampleDescriptionBox; }
    const TimeToSampleBox& getTimeToSampleBox() const { return mTimeToSampleBox; }
    TimeToSampleBox& getTimeToSampleBox() { return mTimeToSampleBox; }
    const SampleToChunkBox& getSampleToChunkBox() const { return mSampleToChunkBox; }
    SampleToChunkBox& getSampleToChunkBox() { return mSampleToChunkBox; }
    const ChunkOffsetBox& getChunkOffsetBox() const { return mChunkOffsetBox; }
    ChunkOffsetBox& getChunkOffsetBox() { return mChunkOffsetBox; }
    const SampleSizeBox& getSampleSizeBox() const { return mSampleSizeBox; }
    SampleSizeBox& getSampleSizeBox() { return mSampleSizeBox; }

    // Optional tables: nullptr when the track has none.
    std::shared_ptr<SyncSampleBox> getSyncSampleBox() const { return mSyncSampleBox; }
    void setSyncSampleBox(std::shared_ptr<SyncSampleBox> box) { mSyncSampleBox = std::move(box); }
    std::shared_ptr<CompositionOffsetBox> getCompositionOffsetBox() const { return mCompositionOffsetBox; }
    void setCompositionOffsetBox(std::shared_ptr<CompositionOffsetBox> box) { mCompositionOffsetBox = std::move(box); }
    std::shared_ptr<CompositionToDecodeBox> getCompositionToDecodeBox() const { return mCompositionToDecodeBox; }
    void setCompositionToDecodeBox(std::shared_ptr<CompositionToDecodeBox> box)
    {
        mCompositionToDecodeBox = std::move(box);
    }

    // The held 'sgpd' when its grouping type equals the text; throws
    // std::runtime_error "SampleGroupDescriptionBox with groupingType=" + type
    // + " not found." otherwise (also when none is held).
    const SampleGroupDescriptionBox& getSampleGroupDescriptionBox(const std::string& groupingType) const;
    void setSampleGroupDescriptionBox(std::unique_ptr<SampleGroupDescriptionBox> box)
    {
        mSampleGroupDescriptionBox = std::move(box);
    }
    const std::vector<SampleToGroupBox>& getSampleToGroupBoxes() const { return mSampleToGroupBoxes; }
    void addSampleToGroupBox(const SampleToGroupBox& box) { mSampleToGroupBoxes.push_back(box); }

    void writeBox(BitStream& output) override;
    void parseBox(BitStream& input) override;

private:
    SampleDescriptionBox mSampleDescriptionBox;
    TimeToSampleBox mTimeToSampleBox;
    SampleToChunkBox mSampleToChunkBox;
    ChunkOffsetBox mChunkOffsetBox;
    SampleSizeBox mSampleSizeBox;
    std::shared_ptr<SyncSampleBox> mSyncSampleBox;
    std::shared_ptr<CompositionOffsetBox> mCompositionOffsetBox;
    std::shared_ptr<CompositionToDecodeBox> mCompositionToDecodeBox;
    std::unique_ptr<SampleGroupDescriptionBox> mSampleGroupDescriptionBox;  // a later 'sgpd' replaces it
    std::vector<SampleToGroupBox> mSampleToGroupBoxes;
    ChildOrder mChildOrder;

    // The member that models a child of this type; nullptr for an optional
    // table not held and for other types.
    Box* modelledChild(FourCCInt type);
};

}  // namespace ambrel::heif
