#include "heiclib/boxes/sample_table_boxes.h"

#include <stdexcept>
#include <string>

#include "heiclib/box_factory.h"
#include "heiclib/box_types.h"
#include "heiclib/log.h"
#include "heiclib/memory_budget.h"

namespace ambrel::heif {

namespace {

// Adds `count` samples to a running total that must stay within `maximum`;
// throws std::runtime_error naming `what` otherwise. Never overflows.
void addSamples(std::uint64_t& total, std::uint64_t count, std::uint64_t maximum, const char* what)
{
    if (total > maximum || count > maximum - total) {
        throw std::runtime_error(std::string(what) + ": the table expands to more than " + std::to_string(maximum) +
                                 " samples");
    }
    total += count;
}

// Grouping types are four bytes on file.
void writeGroupingType(BitStream& output, const std::string& groupingType)
{
    for (std::size_t i = 0; i < 4; ++i) {
        output.writeUInt8(i < groupingType.size() ? static_cast<std::uint8_t>(groupingType[i]) : 0);
    }
}

}  // namespace

// --- TimeToSampleBox ---------------------------------------------------------

TimeToSampleBox::TimeToSampleBox() : FullBox(boxtype::kStts, 0, 0) {}

std::vector<std::uint64_t> TimeToSampleBox::getSampleDecodeTimes() const
{
    std::uint64_t total = 0;
    for (const auto& entry : mEntries) {
        addSamples(total, entry.sampleCount, kMaxSamples, "TimeToSampleBox::getSampleDecodeTimes");
    }
    std::vector<std::uint64_t> times;
    times.reserve(total);
    std::uint64_t time = 0;
    for (const auto& entry : mEntries) {
        for (std::uint32_t i = 0; i < entry.sampleCount; ++i) {
            times.push_back(time);
            time += entry.sampleDelta;
        }
    }
    return times;
}

void TimeToSampleBox::writeBox(BitStream& output)
{
    writeFullHeader(output);
    output.writeUInt32(static_cast<std::uint32_t>(mEntries.size()));
    for (const auto& entry : mEntries) {
        output.writeUInt32(entry.sampleCount);
        output.writeUInt32(entry.sampleDelta);
    }
    finalizeSize(output);
}

void TimeToSampleBox::parseBox(BitStream& input)
{
    parseFullHeader(input);
    const std::uint32_t entryCount = input.readUInt32();
    input.requireEntries(entryCount, 8, "TimeToSampleBox::parseBox");
    mEntries.clear();
    mEntries.reserve(entryCount);
    for (std::uint32_t i = 0; i < entryCount; ++i) {
        Entry entry;
        entry.sampleCount = input.readUInt32();
        entry.sampleDelta = input.readUInt32();
        mEntries.push_back(entry);
    }
}

// --- CompositionOffsetBox ------------------------------------------------------

CompositionOffsetBox::CompositionOffsetBox() : FullBox(boxtype::kCtts, 0, 0) {}

void CompositionOffsetBox::addEntryVersion0(const EntryVersion0& entry)
{
    if (getVersion() != 0 || !mEntriesVersion1.empty()) {
        throw std::runtime_error("Invalid attempt to add version0 CompositionOffsetBox entries.");
    }
    mEntriesVersion0.push_back(entry);
}

void CompositionOffsetBox::addEntryVersion1(const EntryVersion1& entry)
{
    if (getVersion() != 1 || !mEntriesVersion0.empty()) {
        throw std::runtime_error("Invalid attempt to add version1 CompositionOffsetBox entries.");
    }
    mEntriesVersion1.push_back(entry);
}

namespace {

template <typename Entry>
std::vector<std::int64_t> expandOffsets(const std::vector<Entry>& entries)
{
    std::uint64_t total = 0;
    for (const auto& entry : entries) {
        addSamples(total, entry.sampleCount, kMaxSamples, "CompositionOffsetBox::getSampleCompositionOffsets");
    }
    std::vector<std::int64_t> offsets;
    offsets.reserve(total);
    for (const auto& entry : entries) {
        offsets.insert(offsets.end(), entry.sampleCount, static_cast<std::int64_t>(entry.sampleOffset));
    }
    return offsets;
}

}  // namespace

std::vector<std::int64_t> CompositionOffsetBox::getSampleCompositionOffsets() const
{
    if (getVersion() == 0) {
        return expandOffsets(mEntriesVersion0);
    }
    if (getVersion() == 1) {
        return expandOffsets(mEntriesVersion1);
    }
    return {};
}

void CompositionOffsetBox::writeBox(BitStream& output)
{
    writeFullHeader(output);
    if (getVersion() == 0) {
        output.writeUInt32(static_cast<std::uint32_t>(mEntriesVersion0.size()));
        for (const auto& entry : mEntriesVersion0) {
            output.writeUInt32(entry.sampleCount);
            output.writeUInt32(entry.sampleOffset);
        }
    } else {
        output.writeUInt32(static_cast<std::uint32_t>(mEntriesVersion1.size()));
        for (const auto& entry : mEntriesVersion1) {
            output.writeUInt32(entry.sampleCount);
            output.writeUInt32(static_cast<std::uint32_t>(entry.sampleOffset));
        }
    }
    finalizeSize(output);
}

void CompositionOffsetBox::parseBox(BitStream& input)
{
    parseFullHeader(input);
    const std::uint32_t entryCount = input.readUInt32();
    mEntriesVersion0.clear();
    mEntriesVersion1.clear();
    if (getVersion() == 0) {
        input.requireEntries(entryCount, 8, "CompositionOffsetBox::parseBox");
        mEntriesVersion0.reserve(entryCount);
        for (std::uint32_t i = 0; i < entryCount; ++i) {
            EntryVersion0 entry;
            entry.sampleCount = input.readUInt32();
            entry.sampleOffset = input.readUInt32();
            mEntriesVersion0.push_back(entry);
        }
    } else if (getVersion() == 1) {
        input.requireEntries(entryCount, 8, "CompositionOffsetBox::parseBox");
        mEntriesVersion1.reserve(entryCount);
        for (std::uint32_t i = 0; i < entryCount; ++i) {
            EntryVersion1 entry;
            entry.sampleCount = input.readUInt32();
            entry.sampleOffset = static_cast<std::int32_t>(input.readUInt32());
            mEntriesVersion1.push_back(entry);
        }
    }
}

// --- CompositionToDecodeBox --------------------------------------------------

CompositionToDecodeBox::CompositionToDecodeBox() : FullBox(boxtype::kCslg, 0, 0) {}

void CompositionToDecodeBox::writeBox(BitStream& output)
{
    writeFullHeader(output);
    output.writeUInt32(static_cast<std::uint32_t>(mCompositionToDtsShift));
    output.writeUInt32(static_cast<std::uint32_t>(mLeastDecodeToDisplayDelta));
    output.writeUInt32(static_cast<std::uint32_t>(mGreatestDecodeToDisplayDelta));
    output.writeUInt32(static_cast<std::uint32_t>(mCompositionStartTime));
    output.writeUInt32(static_cast<std::uint32_t>(mCompositionEndTime));
    finalizeSize(output);
}

void CompositionToDecodeBox::parseBox(BitStream& input)
{
    parseFullHeader(input);
    mCompositionToDtsShift = static_cast<std::int32_t>(input.readUInt32());
    mLeastDecodeToDisplayDelta = static_cast<std::int32_t>(input.readUInt32());
    mGreatestDecodeToDisplayDelta = static_cast<std::int32_t>(input.readUInt32());
    mCompositionStartTime = static_cast<std::int32_t>(input.readUInt32());
    mCompositionEndTime = static_cast<std::int32_t>(input.readUInt32());
}

// --- SampleToChunkBox -----------------------------------------------------------

SampleToChunkBox::SampleToChunkBox() : FullBox(boxtype::kStsc, 0, 0) {}

void SampleToChunkBox::decodeEntries(std::uint32_t chunkCount, std::uint64_t maxSamples, MemoryBudget* budget)
{
    mDecodedEntries.clear();
    if (chunkCount == 0 || mEntries.empty()) {
        throw std::runtime_error("A SampleToChunkBox without entries");
    }
    if (mEntries.front().firstChunk != 1) {
        throw std::runtime_error("SampleToChunkBox first entry first_chunk != 1");
    }

    // First pass: validate the runs and bound the number of samples, so the
    // per-sample list is only allocated for a table that makes sense.
    std::vector<std::uint64_t> runEnds;  // one past the last chunk of each entry
    runEnds.reserve(mEntries.size());
    std::uint64_t total = 0;
    for (std::size_t i = 0; i < mEntries.size(); ++i) {
        const std::uint64_t first = mEntries[i].firstChunk;
        std::uint64_t end = 0;
        if (i + 1 < mEntries.size()) {
            end = mEntries[i + 1].firstChunk;
            if (end <= first) {
                throw std::runtime_error(
                    "Invalid first_chunk value in SampleToChunkBox entry. Must be greater than previous");
            }
        } else {
            end = std::uint64_t(chunkCount) + 1;
            if (first > end) {
                throw std::runtime_error("SampleToChunkBox::decodeEntries: last entry's first_chunk " +
                                         std::to_string(first) + " exceeds chunk count " + std::to_string(chunkCount) +
                                         " + 1");
            }
        }
        // At most 2^32 chunks of fewer than 2^32 samples: the product fits 64 bits.
        const std::uint64_t samples = (end - first) * mEntries[i].samplesPerChunk;
        addSamples(total, samples, maxSamples, "SampleToChunkBox::decodeEntries");
        runEnds.push_back(end);
    }

    if (budget != nullptr) {
        budget->charge(total * sizeof(DecodedEntry), "The sample-to-chunk records of 'stsc'");
    }
    mDecodedEntries.reserve(total);
    for (std::size_t i = 0; i < mEntries.size(); ++i) {
        const Entry& entry = mEntries[i];
        for (std::uint64_t chunk = entry.firstChunk; chunk < runEnds[i]; ++chunk) {
            const DecodedEntry record{static_cast<std::uint32_t>(chunk), entry.samplesPerChunk,
                                      entry.sampleDescriptionIndex};
            mDecodedEntries.insert(mDecodedEntries.end(), entry.samplesPerChunk, record);
        }
    }
}

std::uint32_t SampleToChunkBox::getSampleDescriptionIndex(std::uint32_t sampleIndex) const
{
    return mDecodedEntries.at(sampleIndex).sampleDescriptionIndex;
}

std::uint32_t SampleToChunkBox::getSampleChunkIndex(std::uint32_t sampleIndex) const
{
    return mDecodedEntries.at(sampleIndex).chunkIndex;
}

void SampleToChunkBox::writeBox(BitStream& output)
{
    writeFullHeader(output);
    output.writeUInt32(static_cast<std::uint32_t>(mEntries.size()));
    for (const auto& entry : mEntries) {
        output.writeUInt32(entry.firstChunk);
        output.writeUInt32(entry.samplesPerChunk);
        output.writeUInt32(entry.sampleDescriptionIndex);
    }
    finalizeSize(output);
}

void SampleToChunkBox::parseBox(BitStream& input)
{
    parseFullHeader(input);
    const std::uint32_t entryCount = input.readUInt32();
    input.requireEntries(entryCount, 12, "SampleToChunkBox::parseBox");
    mEntries.clear();
    mEntries.reserve(entryCount);
    for (std::uint32_t i = 0; i < entryCount; ++i) {
        Entry entry;
        entry.firstChunk = input.readUInt32();
        entry.samplesPerChunk = input.readUInt32();
        entry.sampleDescriptionIndex = input.readUInt32();
        mEntries.push_back(entry);
    }
}

// --- SampleSizeBox --------------------------------------------------------------

SampleSizeBox::SampleSizeBox() : FullBox(boxtype::kStsz, 0, 0) {}

void SampleSizeBox::writeBox(BitStream& output)
{
    writeFullHeader(output);
    output.writeUInt32(mSampleSize);
    if (mSampleSize != 0) {
        output.writeUInt32(mSampleCount);
    } else {
        output.writeUInt32(static_cast<std::uint32_t>(mEntrySizes.size()));
        for (auto size : mEntrySizes) {
            output.writeUInt32(size);
        }
    }
    finalizeSize(output);
}

void SampleSizeBox::parseBox(BitStream& input)
{
    parseFullHeader(input);
    mSampleSize = input.readUInt32();
    mSampleCount = input.readUInt32();
    mEntrySizes.clear();
    if (mSampleSize != 0) {
        // No table follows; the count alone says how many copies to make.
        if (mSampleCount > kMaxSamples) {
            throw std::runtime_error("SampleSizeBox::parseBox: sample count " + std::to_string(mSampleCount) +
                                     " exceeds the limit of " + std::to_string(kMaxSamples) + " samples");
        }
        if (input.memoryBudget() != nullptr) {
            // A few bytes of 'stsz' stand for up to a megabyte of sizes.
            input.memoryBudget()->charge(std::uint64_t(mSampleCount) * sizeof(std::uint32_t),
                                         "The sample sizes of 'stsz'");
        }
        mEntrySizes.assign(mSampleCount, mSampleSize);
        return;
    }
    input.requireEntries(mSampleCount, 4, "SampleSizeBox::parseBox");
    mEntrySizes.reserve(mSampleCount);
    for (std::uint32_t i = 0; i < mSampleCount; ++i) {
        mEntrySizes.push_back(input.readUInt32());
    }
}

// --- ChunkOffsetBox --------------------------------------------------------------

ChunkOffsetBox::ChunkOffsetBox() : FullBox(boxtype::kStco, 0, 0) {}

void ChunkOffsetBox::setChunkOffsets(const std::vector<std::uint64_t>& offsets)
{
    bool needs64 = false;
    for (auto offset : offsets) {
        needs64 = needs64 || offset > 0xffffffffu;
    }
    setType(needs64 ? boxtype::kCo64 : boxtype::kStco);
    mChunkOffsets = offsets;
}

void ChunkOffsetBox::writeBox(BitStream& output)
{
    writeFullHeader(output);
    output.writeUInt32(static_cast<std::uint32_t>(mChunkOffsets.size()));
    const bool is32 = getType() == boxtype::kStco;
    for (auto offset : mChunkOffsets) {
        if (is32) {
            output.writeUInt32(static_cast<std::uint32_t>(offset));
        } else {
            output.writeUInt64(offset);
        }
    }
    finalizeSize(output);
}

void ChunkOffsetBox::parseBox(BitStream& input)
{
    parseFullHeader(input);
    const std::uint32_t entryCount = input.readUInt32();
    const bool is32 = getType() == boxtype::kStco;
    input.requireEntries(entryCount, is32 ? 4 : 8, "ChunkOffsetBox::parseBox");
    mChunkOffsets.clear();
    mChunkOffsets.reserve(entryCount);
    for (std::uint32_t i = 0; i < entryCount; ++i) {
        mChunkOffsets.push_back(is32 ? input.readUInt32() : input.readUInt64());
    }
}

// --- SyncSampleBox ----------------------------------------------------------------

SyncSampleBox::SyncSampleBox() : FullBox(boxtype::kStss, 0, 0) {}

void SyncSampleBox::writeBox(BitStream& output)
{
    writeFullHeader(output);
    output.writeUInt32(static_cast<std::uint32_t>(mSyncSamples.size()));
    for (auto sample : mSyncSamples) {
        output.writeUInt32(sample);
    }
    finalizeSize(output);
}

void SyncSampleBox::parseBox(BitStream& input)
{
    parseFullHeader(input);
    const std::uint32_t entryCount = input.readUInt32();
    input.requireEntries(entryCount, 4, "SyncSampleBox::parseBox");
    mSyncSamples.clear();
    mSyncSamples.reserve(entryCount);
    for (std::uint32_t i = 0; i < entryCount; ++i) {
        mSyncSamples.push_back(input.readUInt32());
    }
}

// --- DirectReferenceSampleListEntry ----------------------------------------------

void DirectReferenceSampleListEntry::setDirectReferenceSampleIds(const std::vector<std::uint32_t>& ids)
{
    if (ids.size() > MAX_REFERENCES) {
        throw std::runtime_error("Too many entries in referenceSampleIds");
    }
    mDirectReferenceSampleIds = ids;
}

std::uint32_t DirectReferenceSampleListEntry::getSize() const
{
    return 5 + 4 * static_cast<std::uint32_t>(mDirectReferenceSampleIds.size());
}

void DirectReferenceSampleListEntry::writeEntry(BitStream& output)
{
    output.writeUInt32(mSampleId);
    output.writeUInt8(static_cast<std::uint8_t>(mDirectReferenceSampleIds.size()));
    for (auto id : mDirectReferenceSampleIds) {
        output.writeUInt32(id);
    }
}

void DirectReferenceSampleListEntry::parseEntry(BitStream& input)
{
    mSampleId = input.readUInt32();
    const std::uint8_t count = input.readUInt8();
    input.requireEntries(count, 4, "DirectReferenceSampleListEntry::parseEntry");
    mDirectReferenceSampleIds.clear();
    mDirectReferenceSampleIds.reserve(count);
    for (std::uint8_t i = 0; i < count; ++i) {
        mDirectReferenceSampleIds.push_back(input.readUInt32());
    }
}

// --- SampleGroupDescriptionBox ------------------------------------------------------

SampleGroupDescriptionBox::SampleGroupDescriptionBox() : FullBox(boxtype::kSgpd, 1, 0) {}

void SampleGroupDescriptionBox::setGroupingType(const std::string& groupingType)
{
    if (groupingType.size() != 4) {
        throw std::runtime_error(
            "SampleGroupDescriptionBox::setGroupingType: invalid grouping type length, must be 4 characters");
    }
    mGroupingType = groupingType;
}

const SampleGroupEntry& SampleGroupDescriptionBox::getEntry(std::uint32_t index) const
{
    if (index == 0 || index > mEntries.size()) {
        throw std::out_of_range("SampleGroupDescriptionBox::getEntry: index " + std::to_string(index) +
                                " out of range");
    }
    return *mEntries[index - 1];
}

std::uint32_t SampleGroupDescriptionBox::getEntryIndexOfSampleId(std::uint32_t sampleId) const
{
    for (std::size_t i = 0; i < mEntries.size(); ++i) {
        const auto* refs = dynamic_cast<const DirectReferenceSampleListEntry*>(mEntries[i].get());
        if (refs != nullptr && refs->getSampleId() == sampleId) {
            return static_cast<std::uint32_t>(i + 1);
        }
    }
    throw std::runtime_error("SampleGroupDescriptionBox::getEntryIndexOfSampleId: no entry for sampleId found.");
}

void SampleGroupDescriptionBox::writeBox(BitStream& output)
{
    writeFullHeader(output);
    writeGroupingType(output, mGroupingType);
    if (getVersion() >= 1) {
        output.writeUInt32(mDefaultLength);
    }
    if (getVersion() >= 2) {
        output.writeUInt32(mDefaultSampleDescriptionIndex);
    }
    output.writeUInt32(static_cast<std::uint32_t>(mEntries.size()));
    for (const auto& entry : mEntries) {
        if (getVersion() >= 1 && mDefaultLength == 0) {
            output.writeUInt32(entry->getSize());
        }
        entry->writeEntry(output);
    }
    finalizeSize(output);
}

void SampleGroupDescriptionBox::parseBox(BitStream& input)
{
    parseFullHeader(input);
    input.readFixedString(mGroupingType, 4);
    // Version 1 adds the default entry length; version 2 also the default
    // sample description index, which the reader does not use.
    const bool hasLengths = getVersion() >= 1;
    if (hasLengths) {
        mDefaultLength = input.readUInt32();
    }
    if (getVersion() >= 2) {
        mDefaultSampleDescriptionIndex = input.readUInt32();
    }
    const std::uint32_t entryCount = input.readUInt32();
    // With per-entry lengths each entry takes at least its 4-byte length; with
    // a default length, that many bytes. Without lengths the entries are taken
    // as at least one byte each, so a huge count cannot spin the loop.
    const std::uint64_t minimumEntryBytes = !hasLengths ? 1 : (mDefaultLength == 0 ? 4 : mDefaultLength);
    input.requireEntries(entryCount, minimumEntryBytes, "SampleGroupDescriptionBox::parseBox");
    mEntries.clear();

    const bool isRefs = mGroupingType == codetype::kRefs.getString();
    for (std::uint32_t i = 0; i < entryCount; ++i) {
        std::uint32_t length = hasLengths ? mDefaultLength : 0;
        if (hasLengths && mDefaultLength == 0) {
            length = input.readUInt32();
        }
        input.requireEntries(1, length, "SampleGroupDescriptionBox::parseBox");
        const std::uint32_t begin = input.getBytePosition();
        BitStream entryStream;
        input.copyRange(begin, begin + length, entryStream);
        input.advanceBytes(length);

        if (isRefs) {
            auto entry = std::make_unique<DirectReferenceSampleListEntry>();
            entry->parseEntry(entryStream);
            mEntries.push_back(std::move(entry));
        } else {
            log::warning("Skipping an entry of SampleGroupDescriptionBox of an unknown grouping type '" +
                         mGroupingType + "'.");
        }
    }
}

// --- SampleToGroupBox ----------------------------------------------------------------

SampleToGroupBox::SampleToGroupBox() : FullBox(boxtype::kSbgp, 0, 0) {}

void SampleToGroupBox::setGroupingType(const std::string& groupingType)
{
    if (groupingType.size() != 4) {
        throw std::runtime_error(
            "SampleToGroupBox::setGroupingType: invalid grouping type length, must be 4 characters");
    }
    mGroupingType = groupingType;
}

void SampleToGroupBox::addEntry(const Entry& entry)
{
    std::uint64_t total = mSampleGroupIndices.size();
    addSamples(total, entry.sampleCount, kMaxSamples, "SampleToGroupBox::addEntry");
    mEntries.push_back(entry);
    mSampleGroupIndices.insert(mSampleGroupIndices.end(), entry.sampleCount, entry.groupDescriptionIndex);
}

std::uint32_t SampleToGroupBox::getSampleGroupDescriptionIndex(std::uint32_t sampleIndex) const
{
    return sampleIndex < mSampleGroupIndices.size() ? mSampleGroupIndices[sampleIndex] : 0;
}

std::uint32_t SampleToGroupBox::getSampleId(std::uint32_t groupDescriptionIndex) const
{
    for (std::size_t i = 0; i < mSampleGroupIndices.size(); ++i) {
        if (mSampleGroupIndices[i] == groupDescriptionIndex) {
            return static_cast<std::uint32_t>(i);
        }
    }
    throw std::runtime_error("SampleToGroupBox::getSampleId: no entry for requested sample id");
}

void SampleToGroupBox::writeBox(BitStream& output)
{
    writeFullHeader(output);
    writeGroupingType(output, mGroupingType);
    if (getVersion() == 1) {
        output.writeUInt32(mGroupingTypeParameter);
    }
    output.writeUInt32(static_cast<std::uint32_t>(mEntries.size()));
    for (const auto& entry : mEntries) {
        output.writeUInt32(entry.sampleCount);
        output.writeUInt32(entry.groupDescriptionIndex);
    }
    finalizeSize(output);
}

void SampleToGroupBox::parseBox(BitStream& input)
{
    parseFullHeader(input);
    input.readFixedString(mGroupingType, 4);
    if (getVersion() == 1) {
        mGroupingTypeParameter = input.readUInt32();
    }
    const std::uint32_t entryCount = input.readUInt32();
    if (entryCount == 0) {
        throw std::runtime_error("Read an empty SampleToGroupBox without entries.");
    }
    input.requireEntries(entryCount, 8, "SampleToGroupBox::parseBox");
    mEntries.clear();
    mEntries.reserve(entryCount);
    std::uint64_t total = 0;
    for (std::uint32_t i = 0; i < entryCount; ++i) {
        Entry entry;
        entry.sampleCount = input.readUInt32();
        entry.groupDescriptionIndex = input.readUInt32();
        addSamples(total, entry.sampleCount, kMaxSamples, "SampleToGroupBox::parseBox");
        mEntries.push_back(entry);
    }

    mSampleGroupIndices.clear();
    if (input.memoryBudget() != nullptr) {
        input.memoryBudget()->charge(total * sizeof(std::uint32_t), "The sample group indices of 'sbgp'");
    }
    mSampleGroupIndices.reserve(total);
    for (const auto& entry : mEntries) {
        mSampleGroupIndices.insert(mSampleGroupIndices.end(), entry.sampleCount, entry.groupDescriptionIndex);
    }
}

// --- SampleTableBox --------------------------------------------------------------------

SampleTableBox::SampleTableBox() : Box(boxtype::kStbl) {}

const SampleGroupDescriptionBox& SampleTableBox::getSampleGroupDescriptionBox(const std::string& groupingType) const
{
    if (!mSampleGroupDescriptionBox || mSampleGroupDescriptionBox->getGroupingType() != groupingType) {
        throw std::runtime_error("SampleGroupDescriptionBox with groupingType=" + groupingType + " not found.");
    }
    return *mSampleGroupDescriptionBox;
}

void SampleTableBox::writeBox(BitStream& output)
{
    writeHeader(output);
    std::size_t groupsWritten = 0;
    mChildOrder.write(output,
                      {boxtype::kStsd, boxtype::kStts, boxtype::kCtts, boxtype::kCslg, boxtype::kStss, boxtype::kStsc,
                       boxtype::kStsz, boxtype::kStco, boxtype::kSgpd},
                      [this, &output, &groupsWritten](FourCCInt type, std::size_t n) {
                          if (type == boxtype::kSbgp) {
                              if (n < mSampleToGroupBoxes.size()) {
                                  mSampleToGroupBoxes[n].writeBox(output);
                                  ++groupsWritten;
                              }
                          } else if (Box* box = modelledChild(type)) {
                              // Of the tables the file lacked, only the
                              // optional ones set since are written.
                              const bool member = box == &mSampleDescriptionBox || box == &mTimeToSampleBox ||
                                                  box == &mSampleToChunkBox || box == &mSampleSizeBox ||
                                                  box == &mChunkOffsetBox;
                              if (n != ChildOrder::kNotRead || !member) {
                                  box->writeBox(output);
                              }
                          }
                      });
    // Sample-to-group boxes added in memory follow those read from the file.
    for (std::size_t i = groupsWritten; i < mSampleToGroupBoxes.size(); ++i) {
        mSampleToGroupBoxes[i].writeBox(output);
    }
    finalizeSize(output);
}

Box* SampleTableBox::modelledChild(FourCCInt type)
{
    switch (type.getUInt32()) {
    case boxtype::kStsd.getUInt32(): return &mSampleDescriptionBox;
    case boxtype::kStts.getUInt32(): return &mTimeToSampleBox;
    case boxtype::kStsc.getUInt32(): return &mSampleToChunkBox;
    case boxtype::kStsz.getUInt32(): return &mSampleSizeBox;
    case boxtype::kStco.getUInt32(): return &mChunkOffsetBox;
    case boxtype::kCo64.getUInt32(): return &mChunkOffsetBox;
    case boxtype::kCtts.getUInt32(): return mCompositionOffsetBox.get();
    case boxtype::kCslg.getUInt32(): return mCompositionToDecodeBox.get();
    case boxtype::kStss.getUInt32(): return mSyncSampleBox.get();
    case boxtype::kSgpd.getUInt32(): return mSampleGroupDescriptionBox.get();
    default: return nullptr;
    }
}

void SampleTableBox::parseBox(BitStream& input)
{
    parseHeader(input);
    mSampleToGroupBoxes.clear();
    mChildOrder.beginParse();
    forEachChildBox(input, [this](FourCCInt type, BitStream& child) {
        // The optional tables are made when they are found; a later one replaces an earlier one.
        if (type == boxtype::kCslg) {
            mCompositionToDecodeBox = std::make_shared<CompositionToDecodeBox>();
        } else if (type == boxtype::kCtts) {
            mCompositionOffsetBox = std::make_shared<CompositionOffsetBox>();
        } else if (type == boxtype::kSgpd) {
            mSampleGroupDescriptionBox = std::make_unique<SampleGroupDescriptionBox>();
        } else if (type == boxtype::kStss) {
            mSyncSampleBox = std::make_shared<SyncSampleBox>();
        }
        if (type == boxtype::kSbgp) {
            SampleToGroupBox box;
            box.parseBox(child);
            mSampleToGroupBoxes.push_back(std::move(box));
        } else if (Box* box = modelledChild(type)) {
            box->parseBox(child);
        } else {
            log::warning("Skipping unknown box of type '" + type.getString() + "' inside SampleTableBox");
            mChildOrder.noteRaw(type, child);
            return;
        }
        // Both chunk offset widths are the one chunk offset table.
        mChildOrder.noteModelled(type == boxtype::kCo64 ? boxtype::kStco : type);
    });
    mSampleToChunkBox.decodeEntries(mChunkOffsetBox.getChunkCount(), kMaxSamples, input.memoryBudget());
}

}  // namespace ambrel::heif
