#include "heiclib/boxes/movie_boxes.h"

#include <stdexcept>

#include "heiclib/log.h"

namespace ambrel::heif {

namespace {

constexpr std::uint32_t kMatrixSize = 9;
constexpr std::uint32_t kIdentityMatrix[kMatrixSize] = {0x00010000, 0, 0, 0, 0x00010000, 0, 0, 0, 0x40000000};

// Times and durations: 64 bits in version 1, 32 bits otherwise.
std::uint64_t readTime(BitStream& input, bool wide)
{
    return wide ? input.readUInt64() : input.readUInt32();
}

void writeTime(BitStream& output, std::uint64_t value, bool wide)
{
    if (wide) {
        output.writeUInt64(value);
    } else {
        output.writeUInt32(static_cast<std::uint32_t>(value));
    }
}

}  // namespace

// --- MovieHeaderBox ------------------------------------------------------------

MovieHeaderBox::MovieHeaderBox() : FullBox("mvhd", 0, 0) {}

void MovieHeaderBox::setMatrix(const std::vector<std::uint32_t>& matrix)
{
    if (matrix.size() != kMatrixSize) {
        throw std::runtime_error("MovieHeaderBox::setMatrix: the matrix needs exactly 9 values");
    }
    mMatrix = matrix;
}

void MovieHeaderBox::writeBox(BitStream& output)
{
    writeFullHeader(output);
    const bool wide = getVersion() == 1;
    writeTime(output, mCreationTime, wide);
    writeTime(output, mModificationTime, wide);
    output.writeUInt32(mTimescale);
    writeTime(output, mDuration, wide);
    output.writeUInt32(0x00010000);  // rate 1.0
    output.writeUInt16(0x0100);      // volume 1.0
    output.writeUInt16(0);           // reserved
    output.writeUInt32(0);           // reserved
    output.writeUInt32(0);           // reserved
    for (auto value : mMatrix) {
        output.writeUInt32(value);
    }
    for (int i = 0; i < 6; ++i) {
        output.writeUInt32(0);  // pre-defined
    }
    output.writeUInt32(mNextTrackId);
    finalizeSize(output);
}

void MovieHeaderBox::parseBox(BitStream& input)
{
    parseFullHeader(input);
    if (getVersion() > 1) {
        throw std::runtime_error("MovieHeaderBox::parseBox() supports only 'mvhd' versions 0 and 1");
    }
    const bool wide = getVersion() == 1;
    mCreationTime = readTime(input, wide);
    mModificationTime = readTime(input, wide);
    mTimescale = input.readUInt32();
    mDuration = readTime(input, wide);
    input.readUInt32();  // rate
    input.readUInt16();  // volume
    input.readUInt16();  // reserved
    input.readUInt32();  // reserved
    input.readUInt32();  // reserved
    std::vector<std::uint32_t> matrix;
    matrix.reserve(kMatrixSize);
    for (std::uint32_t i = 0; i < kMatrixSize; ++i) {
        matrix.push_back(input.readUInt32());
    }
    mMatrix = std::move(matrix);
    for (int i = 0; i < 6; ++i) {
        input.readUInt32();  // pre-defined
    }
    mNextTrackId = input.readUInt32();
}

// --- TrackHeaderBox ---------------------------------------------------------------

TrackHeaderBox::TrackHeaderBox() : FullBox("tkhd", 0, 0) {}

void TrackHeaderBox::writeBox(BitStream& output)
{
    writeFullHeader(output);
    const bool wide = getVersion() == 1;
    writeTime(output, mCreationTime, wide);
    writeTime(output, mModificationTime, wide);
    output.writeUInt32(mTrackId);
    output.writeUInt32(0);  // reserved
    writeTime(output, mDuration, wide);
    output.writeUInt32(0);  // reserved
    output.writeUInt32(0);  // reserved
    output.writeUInt16(0);  // layer
    output.writeUInt16(mAlternateGroup);
    output.writeUInt16(0);  // volume: 0 for visual tracks
    output.writeUInt16(0);  // reserved
    for (auto value : kIdentityMatrix) {
        output.writeUInt32(value);
    }
    output.writeUInt32(mWidth);
    output.writeUInt32(mHeight);
    finalizeSize(output);
}

void TrackHeaderBox::parseBox(BitStream& input)
{
    parseFullHeader(input);
    const bool wide = getVersion() == 1;
    mCreationTime = readTime(input, wide);
    mModificationTime = readTime(input, wide);
    mTrackId = input.readUInt32();
    input.readUInt32();  // reserved
    mDuration = readTime(input, wide);
    input.readUInt32();  // reserved
    input.readUInt32();  // reserved
    input.readUInt16();  // layer
    mAlternateGroup = input.readUInt16();
    input.readUInt16();  // volume
    input.readUInt16();  // reserved
    for (std::uint32_t i = 0; i < kMatrixSize; ++i) {
        input.readUInt32();  // matrix
    }
    mWidth = input.readUInt32();
    mHeight = input.readUInt32();
}

// --- TrackReferenceTypeBox / TrackReferenceBox ---------------------------------------

TrackReferenceTypeBox::TrackReferenceTypeBox(FourCCInt referenceType) : Box(referenceType) {}

void TrackReferenceTypeBox::writeBox(BitStream& output)
{
    writeHeader(output);
    for (auto id : mTrackIds) {
        output.writeUInt32(id);
    }
    finalizeSize(output);
}

void TrackReferenceTypeBox::parseBox(BitStream& input)
{
    parseHeader(input);
    mTrackIds.clear();
    // The ids fill the box; the count follows from the bytes left.
    const std::uint32_t count = static_cast<std::uint32_t>(input.bytesRemaining()) / 4;
    input.requireEntries(count, 4, "TrackReferenceTypeBox::parseBox");
    mTrackIds.reserve(count);
    while (input.bytesRemaining() > 0) {
        mTrackIds.push_back(input.readUInt32());
    }
}

TrackReferenceBox::TrackReferenceBox() : Box("tref") {}

bool TrackReferenceBox::isReferenceTypePresent(FourCCInt referenceType) const
{
    for (const auto& box : mTrefTypeBoxes) {
        if (box.getType() == referenceType) {
            return true;
        }
    }
    return false;
}

void TrackReferenceBox::writeBox(BitStream& output)
{
    writeHeader(output);
    for (auto& box : mTrefTypeBoxes) {
        box.writeBox(output);
    }
    finalizeSize(output);
}

void TrackReferenceBox::parseBox(BitStream& input)
{
    parseHeader(input);
    mTrefTypeBoxes.clear();
    while (input.bytesRemaining() > 0) {
        FourCCInt type;
        BitStream child = input.readChildBox(type);
        TrackReferenceTypeBox box(type);
        box.parseBox(child);
        mTrefTypeBoxes.push_back(std::move(box));
    }
}

// --- EditListBox / EditBox ----------------------------------------------------------

EditListBox::EditListBox() : FullBox("elst", 0, 0) {}

void EditListBox::addEntry(const EntryVersion0& entry)
{
    if (getVersion() != 0 || !mEntriesVersion1.empty()) {
        throw std::runtime_error("Invalid attempt to add version0 EditListBox entries.");
    }
    mEntriesVersion0.push_back(entry);
}

void EditListBox::addEntry(const EntryVersion1& entry)
{
    if (getVersion() != 1 || !mEntriesVersion0.empty()) {
        throw std::runtime_error("Invalid attempt to add version1 EditList entries.");
    }
    mEntriesVersion1.push_back(entry);
}

std::uint32_t EditListBox::numberOfEntries() const
{
    if (getVersion() == 0) {
        return static_cast<std::uint32_t>(mEntriesVersion0.size());
    }
    if (getVersion() == 1) {
        return static_cast<std::uint32_t>(mEntriesVersion1.size());
    }
    throw std::runtime_error("Not supported EditListBox entry version (only 0 and 1 are supported).");
}

void EditListBox::writeBox(BitStream& output)
{
    writeFullHeader(output);
    if (getVersion() == 1) {
        output.writeUInt32(static_cast<std::uint32_t>(mEntriesVersion1.size()));
        for (const auto& entry : mEntriesVersion1) {
            output.writeUInt64(entry.segmentDuration);
            output.writeUInt64(static_cast<std::uint64_t>(entry.mediaTime));
            output.writeUInt16(static_cast<std::uint16_t>(entry.mediaRateInteger));
            output.writeUInt16(static_cast<std::uint16_t>(entry.mediaRateFraction));
        }
    } else {
        output.writeUInt32(static_cast<std::uint32_t>(mEntriesVersion0.size()));
        for (const auto& entry : mEntriesVersion0) {
            output.writeUInt32(entry.segmentDuration);
            output.writeUInt32(static_cast<std::uint32_t>(entry.mediaTime));
            output.writeUInt16(static_cast<std::uint16_t>(entry.mediaRateInteger));
            output.writeUInt16(static_cast<std::uint16_t>(entry.mediaRateFraction));
        }
    }
    finalizeSize(output);
}

void EditListBox::parseBox(BitStream& input)
{
    parseFullHeader(input);
    const std::uint32_t entryCount = input.readUInt32();
    mEntriesVersion0.clear();
    mEntriesVersion1.clear();
    if (getVersion() == 0) {
        input.requireEntries(entryCount, 12, "EditListBox::parseBox");
        mEntriesVersion0.reserve(entryCount);
        for (std::uint32_t i = 0; i < entryCount; ++i) {
            EntryVersion0 entry;
            entry.segmentDuration = input.readUInt32();
            entry.mediaTime = static_cast<std::int32_t>(input.readUInt32());
            entry.mediaRateInteger = static_cast<std::int16_t>(input.readUInt16());
            entry.mediaRateFraction = static_cast<std::int16_t>(input.readUInt16());
            mEntriesVersion0.push_back(entry);
        }
    } else if (getVersion() == 1) {
        input.requireEntries(entryCount, 20, "EditListBox::parseBox");
        mEntriesVersion1.reserve(entryCount);
        for (std::uint32_t i = 0; i < entryCount; ++i) {
            EntryVersion1 entry;
            entry.segmentDuration = input.readUInt64();
            entry.mediaTime = static_cast<std::int64_t>(input.readUInt64());
            entry.mediaRateInteger = static_cast<std::int16_t>(input.readUInt16());
            entry.mediaRateFraction = static_cast<std::int16_t>(input.readUInt16());
            mEntriesVersion1.push_back(entry);
        }
    }
}

EditBox::EditBox() : Box("edts") {}

void EditBox::writeBox(BitStream& output)
{
    writeHeader(output);
    if (mEditListBox) {
        mEditListBox->writeBox(output);
    }
    finalizeSize(output);
}

void EditBox::parseBox(BitStream& input)
{
    parseHeader(input);
    while (input.bytesRemaining() > 0) {
        FourCCInt type;
        BitStream child = input.readChildBox(type);
        if (type == FourCCInt("elst")) {
            auto box = std::make_shared<EditListBox>();
            box->parseBox(child);
            mEditListBox = std::move(box);
        }
    }
}

// --- MediaHeaderBox / VideoMediaHeaderBox ----------------------------------------------

MediaHeaderBox::MediaHeaderBox() : FullBox("mdhd", 0, 0) {}

void MediaHeaderBox::writeBox(BitStream& output)
{
    writeFullHeader(output);
    const bool wide = getVersion() == 1;
    writeTime(output, mCreationTime, wide);
    writeTime(output, mModificationTime, wide);
    output.writeUInt32(mTimescale);
    writeTime(output, mDuration, wide);
    output.writeUInt16(0x55c4);  // pad bit and language "und"
    output.writeUInt16(0);       // pre-defined
    finalizeSize(output);
}

void MediaHeaderBox::parseBox(BitStream& input)
{
    parseFullHeader(input);
    const bool wide = getVersion() == 1;
    mCreationTime = readTime(input, wide);
    mModificationTime = readTime(input, wide);
    mTimescale = input.readUInt32();
    mDuration = readTime(input, wide);
    input.readUInt16();  // pad and language
    input.readUInt16();  // pre-defined
}

VideoMediaHeaderBox::VideoMediaHeaderBox() : FullBox("vmhd", 0, 1) {}

void VideoMediaHeaderBox::writeBox(BitStream& output)
{
    writeFullHeader(output);
    for (int i = 0; i < 4; ++i) {
        output.writeUInt16(0);  // graphics mode and opcolor
    }
    finalizeSize(output);
}

void VideoMediaHeaderBox::parseBox(BitStream& input)
{
    parseFullHeader(input);
    for (int i = 0; i < 4; ++i) {
        input.readUInt16();  // graphics mode and opcolor
    }
}

// --- MediaInformationBox / MediaBox ------------------------------------------------------

MediaInformationBox::MediaInformationBox() : Box("minf") {}

void MediaInformationBox::writeBox(BitStream& output)
{
    writeHeader(output);
    mVideoMediaHeaderBox.writeBox(output);
    mDataInformationBox.writeBox(output);
    mSampleTableBox.writeBox(output);
    finalizeSize(output);
}

void MediaInformationBox::parseBox(BitStream& input)
{
    parseHeader(input);
    while (input.bytesRemaining() > 0) {
        FourCCInt type;
        BitStream child = input.readChildBox(type);
        if (type == FourCCInt("dinf")) {
            mDataInformationBox.parseBox(child);
        } else if (type == FourCCInt("stbl")) {
            mSampleTableBox.parseBox(child);
        } else if (type == FourCCInt("vmhd")) {
            mVideoMediaHeaderBox.parseBox(child);
        }
    }
}

MediaBox::MediaBox() : Box("mdia") {}

void MediaBox::writeBox(BitStream& output)
{
    writeHeader(output);
    mMediaHeaderBox.writeBox(output);
    mHandlerBox.writeBox(output);
    mMediaInformationBox.writeBox(output);
    finalizeSize(output);
}

void MediaBox::parseBox(BitStream& input)
{
    parseHeader(input);
    while (input.bytesRemaining() > 0) {
        FourCCInt type;
        BitStream child = input.readChildBox(type);
        if (type == FourCCInt("hdlr")) {
            mHandlerBox.parseBox(child);
        } else if (type == FourCCInt("minf")) {
            mMediaInformationBox.parseBox(child);
        } else if (type == FourCCInt("mdhd")) {
            mMediaHeaderBox.parseBox(child);
        }
    }
}

// --- TrackBox ----------------------------------------------------------------------------

TrackBox::TrackBox() : Box("trak") {}

void TrackBox::writeBox(BitStream& output)
{
    writeHeader(output);
    mTrackHeaderBox.writeBox(output);
    if (mHasTrackReferences) {
        mTrackReferenceBox.writeBox(output);
    }
    if (mEditBox) {
        mEditBox->writeBox(output);
    }
    mMediaBox.writeBox(output);
    finalizeSize(output);
}

void TrackBox::parseBox(BitStream& input)
{
    parseHeader(input);
    while (input.bytesRemaining() > 0) {
        FourCCInt type;
        BitStream child = input.readChildBox(type);
        if (type == FourCCInt("edts")) {
            auto box = std::make_shared<EditBox>();
            box->parseBox(child);
            mEditBox = std::move(box);
        } else if (type == FourCCInt("mdia")) {
            mMediaBox.parseBox(child);
        } else if (type == FourCCInt("tkhd")) {
            mTrackHeaderBox.parseBox(child);
        } else if (type == FourCCInt("tref")) {
            mTrackReferenceBox.parseBox(child);
            mHasTrackReferences = true;
        }
    }
}

// --- MovieBox ------------------------------------------------------------------------------

MovieBox::MovieBox() : Box("moov") {}

std::vector<TrackBox*> MovieBox::getTracks()
{
    std::vector<TrackBox*> tracks;
    tracks.reserve(mTracks.size());
    for (auto& track : mTracks) {
        tracks.push_back(track.get());
    }
    return tracks;
}

std::vector<const TrackBox*> MovieBox::getTracks() const
{
    std::vector<const TrackBox*> tracks;
    tracks.reserve(mTracks.size());
    for (const auto& track : mTracks) {
        tracks.push_back(track.get());
    }
    return tracks;
}

void MovieBox::writeBox(BitStream& output)
{
    writeHeader(output);
    mMovieHeaderBox.writeBox(output);
    for (auto& track : mTracks) {
        track->writeBox(output);
    }
    finalizeSize(output);
}

void MovieBox::parseBox(BitStream& input)
{
    parseHeader(input);
    mTracks.clear();
    mTrackErrors.clear();
    while (input.bytesRemaining() > 0) {
        FourCCInt type;
        BitStream child = input.readChildBox(type);
        if (type == FourCCInt("trak")) {
            auto track = std::make_unique<TrackBox>();
            try {
                track->parseBox(child);
            } catch (const std::exception& e) {
                // The track is bounded by its own size: the next one still reads.
                mTrackErrors.emplace_back(e.what());
                log::warning(std::string("Skipping a track that cannot be read: ") + e.what());
                continue;
            }
            // Only image tracks are kept; others are dropped silently.
            if (track->getMediaBox().getHandlerBox().getHandlerType() == "pict") {
                mTracks.push_back(std::move(track));
            }
        } else if (type == FourCCInt("mvhd")) {
            mMovieHeaderBox.parseBox(child);
        } else {
            log::warning("Skipping an unsupported box '" + type.getString() + "' inside movie box.");
        }
    }
}

// --- MediaDataBox ----------------------------------------------------------------------------

MediaDataBox::MediaDataBox() : Box("mdat") {}

std::uint64_t MediaDataBox::addData(const std::vector<std::uint8_t>& data)
{
    const std::uint64_t offset = mData.size();
    mData.insert(mData.end(), data.begin(), data.end());
    return offset;
}

void MediaDataBox::writeBox(BitStream& output)
{
    writeHeader(output);
    output.writeBytes(mData);
    finalizeSize(output);
}

void MediaDataBox::parseBox(BitStream& /*input*/)
{
    // Media data is reached through the sample tables' offsets; nothing is read here.
}

}  // namespace ambrel::heif
