#include "heiclib/boxes/movie_boxes.h"

#include <stdexcept>

#include "heiclib/box_factory.h"
#include "heiclib/box_types.h"
#include "heiclib/log.h"

namespace ambrel::heif {

namespace {

constexpr std::uint32_t kMatrixSize = 9;

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

MovieHeaderBox::MovieHeaderBox() : FullBox(boxtype::kMvhd, 0, 0) {}

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
    output.writeUInt32(mRate);
    output.writeUInt16(mVolume);
    output.writeUInt16(0);  // reserved
    output.writeUInt32(0);  // reserved
    output.writeUInt32(0);  // reserved
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
    mRate = input.readUInt32();
    mVolume = input.readUInt16();
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

TrackHeaderBox::TrackHeaderBox() : FullBox(boxtype::kTkhd, 0, 0) {}

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
    output.writeUInt16(mLayer);
    output.writeUInt16(mAlternateGroup);
    output.writeUInt16(mVolume);
    output.writeUInt16(0);  // reserved
    for (auto value : mMatrix) {
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
    mLayer = input.readUInt16();
    mAlternateGroup = input.readUInt16();
    mVolume = input.readUInt16();
    input.readUInt16();  // reserved
    for (auto& value : mMatrix) {
        value = input.readUInt32();
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

TrackReferenceBox::TrackReferenceBox() : Box(boxtype::kTref) {}

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
    forEachChildBox(input, [this](FourCCInt type, BitStream& child) {
        TrackReferenceTypeBox box(type);
        box.parseBox(child);
        mTrefTypeBoxes.push_back(std::move(box));
    });
}

// --- EditListBox / EditBox ----------------------------------------------------------

EditListBox::EditListBox() : FullBox(boxtype::kElst, 0, 0) {}

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

EditBox::EditBox() : Box(boxtype::kEdts) {}

void EditBox::writeBox(BitStream& output)
{
    writeHeader(output);
    mChildOrder.write(output, {boxtype::kElst}, [this, &output](FourCCInt, std::size_t) {
        if (mEditListBox) {
            mEditListBox->writeBox(output);
        }
    });
    finalizeSize(output);
}

void EditBox::parseBox(BitStream& input)
{
    parseHeader(input);
    mChildOrder.beginParse();
    forEachChildBox(input, [this](FourCCInt type, BitStream& child) {
        if (type == boxtype::kElst) {
            auto box = std::make_shared<EditListBox>();
            box->parseBox(child);
            mEditListBox = std::move(box);
            mChildOrder.noteModelled(type);
        } else {
            mChildOrder.noteRaw(type, child);
        }
    });
}

// --- MediaHeaderBox / VideoMediaHeaderBox ----------------------------------------------

MediaHeaderBox::MediaHeaderBox() : FullBox(boxtype::kMdhd, 0, 0) {}

void MediaHeaderBox::writeBox(BitStream& output)
{
    writeFullHeader(output);
    const bool wide = getVersion() == 1;
    writeTime(output, mCreationTime, wide);
    writeTime(output, mModificationTime, wide);
    output.writeUInt32(mTimescale);
    writeTime(output, mDuration, wide);
    output.writeUInt16(mLanguage);
    output.writeUInt16(0);  // pre-defined
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
    mLanguage = input.readUInt16();
    input.readUInt16();  // pre-defined
}

VideoMediaHeaderBox::VideoMediaHeaderBox() : FullBox(boxtype::kVmhd, 0, 1) {}

void VideoMediaHeaderBox::writeBox(BitStream& output)
{
    writeFullHeader(output);
    for (auto value : mGraphicsModeAndOpcolor) {
        output.writeUInt16(value);
    }
    finalizeSize(output);
}

void VideoMediaHeaderBox::parseBox(BitStream& input)
{
    parseFullHeader(input);
    for (auto& value : mGraphicsModeAndOpcolor) {
        value = input.readUInt16();
    }
}

// --- MediaInformationBox / MediaBox ------------------------------------------------------

MediaInformationBox::MediaInformationBox() : Box(boxtype::kMinf) {}

void MediaInformationBox::writeBox(BitStream& output)
{
    writeHeader(output);
    mChildOrder.write(output, {boxtype::kVmhd, boxtype::kDinf, boxtype::kStbl},
                      [this, &output](FourCCInt type, std::size_t occurrence) {
                          if (occurrence != ChildOrder::kNotRead) {
                              modelledChild(type)->writeBox(output);
                          }
                      });
    finalizeSize(output);
}

Box* MediaInformationBox::modelledChild(FourCCInt type)
{
    switch (type.getUInt32()) {
    case boxtype::kDinf.getUInt32(): return &mDataInformationBox;
    case boxtype::kStbl.getUInt32(): return &mSampleTableBox;
    case boxtype::kVmhd.getUInt32(): return &mVideoMediaHeaderBox;
    default: return nullptr;
    }
}

void MediaInformationBox::parseBox(BitStream& input)
{
    parseHeader(input);
    mChildOrder.parseChildren(input, [this](FourCCInt type) { return modelledChild(type); });
}

MediaBox::MediaBox() : Box(boxtype::kMdia) {}

void MediaBox::writeBox(BitStream& output)
{
    writeHeader(output);
    mChildOrder.write(output, {boxtype::kMdhd, boxtype::kHdlr, boxtype::kMinf},
                      [this, &output](FourCCInt type, std::size_t occurrence) {
                          if (occurrence != ChildOrder::kNotRead) {
                              modelledChild(type)->writeBox(output);
                          }
                      });
    finalizeSize(output);
}

Box* MediaBox::modelledChild(FourCCInt type)
{
    switch (type.getUInt32()) {
    case boxtype::kHdlr.getUInt32(): return &mHandlerBox;
    case boxtype::kMinf.getUInt32(): return &mMediaInformationBox;
    case boxtype::kMdhd.getUInt32(): return &mMediaHeaderBox;
    default: return nullptr;
    }
}

void MediaBox::parseBox(BitStream& input)
{
    parseHeader(input);
    mChildOrder.parseChildren(input, [this](FourCCInt type) { return modelledChild(type); });
}

// --- TrackBox ----------------------------------------------------------------------------

TrackBox::TrackBox() : Box(boxtype::kTrak) {}

void TrackBox::writeBox(BitStream& output)
{
    writeHeader(output);
    mChildOrder.write(output, {boxtype::kTkhd, boxtype::kTref, boxtype::kEdts, boxtype::kMdia},
                      [this, &output](FourCCInt type, std::size_t occurrence) {
                          // The header and the media are not optional: a
                          // parsed track that lacked one stays without.
                          const bool read = occurrence != ChildOrder::kNotRead;
                          if (type == boxtype::kTkhd && read) {
                              mTrackHeaderBox.writeBox(output);
                          } else if (type == boxtype::kTref && mHasTrackReferences) {
                              mTrackReferenceBox.writeBox(output);
                          } else if (type == boxtype::kEdts && mEditBox) {
                              mEditBox->writeBox(output);
                          } else if (type == boxtype::kMdia && read) {
                              mMediaBox.writeBox(output);
                          }
                      });
    finalizeSize(output);
}

void TrackBox::parseBox(BitStream& input)
{
    parseHeader(input);
    mChildOrder.beginParse();
    forEachChildBox(input, [this](FourCCInt type, BitStream& child) {
        if (type == boxtype::kEdts) {
            auto box = std::make_shared<EditBox>();
            box->parseBox(child);
            mEditBox = std::move(box);
        } else if (type == boxtype::kMdia) {
            mMediaBox.parseBox(child);
        } else if (type == boxtype::kTkhd) {
            mTrackHeaderBox.parseBox(child);
        } else if (type == boxtype::kTref) {
            mTrackReferenceBox.parseBox(child);
            mHasTrackReferences = true;
        } else {
            mChildOrder.noteRaw(type, child);
            return;
        }
        mChildOrder.noteModelled(type);
    });
}

// --- MovieBox ------------------------------------------------------------------------------

MovieBox::MovieBox() : Box(boxtype::kMoov) {}

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
    std::size_t tracksWritten = 0;
    mChildOrder.write(output, {boxtype::kMvhd}, [this, &output, &tracksWritten](FourCCInt type, std::size_t n) {
        if (type == boxtype::kMvhd && n != ChildOrder::kNotRead) {
            mMovieHeaderBox.writeBox(output);
        } else if (type == boxtype::kTrak && n < mTracks.size()) {
            mTracks[n]->writeBox(output);
            ++tracksWritten;
        }
    });
    // Tracks added in memory follow those read from the file.
    for (std::size_t i = tracksWritten; i < mTracks.size(); ++i) {
        mTracks[i]->writeBox(output);
    }
    finalizeSize(output);
}

void MovieBox::parseBox(BitStream& input)
{
    parseHeader(input);
    mTracks.clear();
    mTrackErrors.clear();
    mOtherMediaTracks.clear();
    mChildOrder.beginParse();
    forEachChildBox(input, [this](FourCCInt type, BitStream& child) {
        if (type == boxtype::kTrak) {
            auto track = std::make_unique<TrackBox>();
            try {
                track->parseBox(child);
            } catch (const std::exception& e) {
                // The track is bounded by its own size: the next one still reads.
                mTrackErrors.emplace_back(e.what());
                log::warning(std::string("Skipping a track that cannot be read: ") + e.what());
                child.resetPositions();
                mChildOrder.noteRaw(type, child);
                return;
            }
            // Only image tracks are kept; others are dropped silently (and
            // kept as their bytes only).
            if (track->getMediaBox().getHandlerBox().getHandlerType() != codetype::kPict.getString()) {
                mOtherMediaTracks.emplace_back(track->getTrackHeaderBox().getTrackId(),
                                               track->getMediaBox().getHandlerBox().getHandlerType());
                child.resetPositions();
                mChildOrder.noteRaw(type, child);
                return;
            }
            mTracks.push_back(std::move(track));
            mChildOrder.noteModelled(type);
        } else if (type == boxtype::kMvhd) {
            mMovieHeaderBox.parseBox(child);
            mChildOrder.noteModelled(type);
        } else {
            log::warning("Skipping an unsupported box '" + type.getString() + "' inside movie box.");
            mChildOrder.noteRaw(type, child);
        }
    });
}

// --- MediaDataBox ----------------------------------------------------------------------------

MediaDataBox::MediaDataBox() : Box(boxtype::kMdat) {}

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

void MediaDataBox::parseBox(BitStream& input)
{
    // The reader reaches media data through the item locations and the
    // sample tables and never parses this box; parsed on its own, the box
    // keeps its payload so that it writes back as it was read.
    parseHeader(input);
    const auto remaining = static_cast<std::uint32_t>(input.bytesRemaining());
    mData.clear();
    input.readBytes(mData, remaining);
}

}  // namespace ambrel::heif
