// The structural boxes of image sequence tracks: 'moov' down to 'minf', with
// the track header, track references, edit lists and media headers, plus the
// media data box used when writing files. The sample tables inside 'stbl' and
// the sample description with its sample entries live in
// sample_table_boxes.h and sample_entry_boxes.h.
//
// Only image tracks (media handler "pict") are kept by the movie box, and
// 'mvhd' is accepted only in its version-0 layout.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "heiclib/box.h"
#include "heiclib/box_factory.h"
#include "heiclib/boxes/file_meta_boxes.h"
#include "heiclib/boxes/sample_entry_boxes.h"
#include "heiclib/boxes/sample_table_boxes.h"

namespace ambrel::heif {

// 'mvhd': movie timing and the next free track id. Version 1 carries 64-bit
// times and duration.
class MovieHeaderBox : public FullBox
{
public:
    MovieHeaderBox();

    std::uint64_t getCreationTime() const { return mCreationTime; }
    void setCreationTime(std::uint64_t value) { mCreationTime = value; }
    std::uint64_t getModificationTime() const { return mModificationTime; }
    void setModificationTime(std::uint64_t value) { mModificationTime = value; }
    std::uint32_t getTimescale() const { return mTimescale; }
    void setTimescale(std::uint32_t value) { mTimescale = value; }
    std::uint64_t getDuration() const { return mDuration; }
    void setDuration(std::uint64_t value) { mDuration = value; }
    // Nine values; the identity matrix until one is parsed or set.
    const std::vector<std::uint32_t>& getMatrix() const { return mMatrix; }
    // Throws std::runtime_error unless the list has exactly nine values.
    void setMatrix(const std::vector<std::uint32_t>& matrix);
    std::uint32_t getNextTrackId() const { return mNextTrackId; }
    void setNextTrackId(std::uint32_t value) { mNextTrackId = value; }

    void writeBox(BitStream& output) override;
    // Versions 0 (32-bit times) and 1 (64-bit times); throws
    // std::runtime_error "MovieHeaderBox::parseBox() supports only 'mvhd'
    // versions 0 and 1" for any other version.
    void parseBox(BitStream& input) override;

private:
    std::uint64_t mCreationTime = 0;
    std::uint64_t mModificationTime = 0;
    std::uint32_t mTimescale = 0;
    std::uint64_t mDuration = 0;
    std::vector<std::uint32_t> mMatrix{0x00010000, 0, 0, 0, 0x00010000, 0, 0, 0, 0x40000000};
    std::uint32_t mNextTrackId = 0;
    // Not used by the reader; kept as read so that the box writes back unchanged.
    std::uint32_t mRate = 0x00010000;  // 1.0
    std::uint16_t mVolume = 0x0100;    // 1.0
};

// 'tkhd': track id, duration, alternate group and display size. Version 1
// carries 64-bit times and duration; other versions are read with the
// version-0 layout.
class TrackHeaderBox : public FullBox
{
public:
    TrackHeaderBox();

    std::uint64_t getCreationTime() const { return mCreationTime; }
    void setCreationTime(std::uint64_t value) { mCreationTime = value; }
    std::uint64_t getModificationTime() const { return mModificationTime; }
    void setModificationTime(std::uint64_t value) { mModificationTime = value; }
    std::uint32_t getTrackId() const { return mTrackId; }
    void setTrackId(std::uint32_t value) { mTrackId = value; }
    std::uint64_t getDuration() const { return mDuration; }
    void setDuration(std::uint64_t value) { mDuration = value; }
    std::uint16_t getAlternateGroup() const { return mAlternateGroup; }
    void setAlternateGroup(std::uint16_t value) { mAlternateGroup = value; }
    // 16.16 fixed point, as stored.
    std::uint32_t getWidth() const { return mWidth; }
    void setWidth(std::uint32_t value) { mWidth = value; }
    std::uint32_t getHeight() const { return mHeight; }
    void setHeight(std::uint32_t value) { mHeight = value; }

    // Written with the layout of its version (version 0 cuts the times to 32 bits).
    void writeBox(BitStream& output) override;
    void parseBox(BitStream& input) override;

private:
    std::uint64_t mCreationTime = 0;
    std::uint64_t mModificationTime = 0;
    std::uint32_t mTrackId = 0;
    std::uint64_t mDuration = 0;
    std::uint16_t mAlternateGroup = 0;
    std::uint32_t mWidth = 0;
    std::uint32_t mHeight = 0;
    // Not used by the reader; kept as read so that the box writes back unchanged.
    std::uint16_t mLayer = 0;
    std::uint16_t mVolume = 0;  // 0 for visual tracks
    std::array<std::uint32_t, 9> mMatrix{0x00010000, 0, 0, 0, 0x00010000, 0, 0, 0, 0x40000000};
};

// One reference type inside 'tref' ('thmb', 'auxl', ...): the referenced track ids.
class TrackReferenceTypeBox : public Box
{
public:
    explicit TrackReferenceTypeBox(FourCCInt referenceType);

    const std::vector<std::uint32_t>& getTrackIds() const { return mTrackIds; }
    void setTrackIds(const std::vector<std::uint32_t>& ids) { mTrackIds = ids; }

    void writeBox(BitStream& output) override;
    // 32-bit track ids while bytes remain.
    void parseBox(BitStream& input) override;

private:
    std::vector<std::uint32_t> mTrackIds;
};

// 'tref': the track's references, one child per reference type.
class TrackReferenceBox : public Box
{
public:
    TrackReferenceBox();

    const std::vector<TrackReferenceTypeBox>& getTrefTypeBoxes() const { return mTrefTypeBoxes; }
    void addTrefTypeBox(const TrackReferenceTypeBox& box) { mTrefTypeBoxes.push_back(box); }
    bool isReferenceTypePresent(FourCCInt referenceType) const;

    void writeBox(BitStream& output) override;
    // Every child, whatever its type, is a reference type box.
    void parseBox(BitStream& input) override;

private:
    std::vector<TrackReferenceTypeBox> mTrefTypeBoxes;
};

// 'elst': the edit list; 32-bit fields in version 0, 64-bit in version 1.
class EditListBox : public FullBox
{
public:
    struct EntryVersion0
    {
        std::uint32_t segmentDuration = 0;
        std::int32_t mediaTime = 0;
        std::int16_t mediaRateInteger = 0;
        std::int16_t mediaRateFraction = 0;
    };
    struct EntryVersion1
    {
        std::uint64_t segmentDuration = 0;
        std::int64_t mediaTime = 0;
        std::int16_t mediaRateInteger = 0;
        std::int16_t mediaRateFraction = 0;
    };

    EditListBox();

    const std::vector<EntryVersion0>& getEntriesVersion0() const { return mEntriesVersion0; }
    const std::vector<EntryVersion1>& getEntriesVersion1() const { return mEntriesVersion1; }
    // Throws std::runtime_error "Invalid attempt to add version0 EditListBox
    // entries." unless the box is version 0 and holds no version-1 entries.
    void addEntry(const EntryVersion0& entry);
    // Throws std::runtime_error "Invalid attempt to add version1 EditList
    // entries." unless the box is version 1 and holds no version-0 entries.
    void addEntry(const EntryVersion1& entry);

    // The entry count of the box's version; throws std::runtime_error
    // "Not supported EditListBox entry version (only 0 and 1 are supported)."
    // for other versions.
    std::uint32_t numberOfEntries() const;

    void writeBox(BitStream& output) override;
    // Versions other than 0 and 1 read the entry count and no entries.
    void parseBox(BitStream& input) override;

private:
    std::vector<EntryVersion0> mEntriesVersion0;
    std::vector<EntryVersion1> mEntriesVersion1;
};

// 'edts': holds the edit list, if any.
class EditBox : public Box
{
public:
    EditBox();

    std::shared_ptr<EditListBox> getEditListBox() const { return mEditListBox; }
    void setEditListBox(std::shared_ptr<EditListBox> box) { mEditListBox = std::move(box); }

    void writeBox(BitStream& output) override;
    // A later 'elst' replaces an earlier one; other children are skipped.
    void parseBox(BitStream& input) override;

private:
    std::shared_ptr<EditListBox> mEditListBox;
    ChildOrder mChildOrder;
};

// 'mdhd': media timing. Version 1 carries 64-bit times and duration; other
// versions are read with the version-0 layout.
class MediaHeaderBox : public FullBox
{
public:
    MediaHeaderBox();

    std::uint64_t getCreationTime() const { return mCreationTime; }
    void setCreationTime(std::uint64_t value) { mCreationTime = value; }
    std::uint64_t getModificationTime() const { return mModificationTime; }
    void setModificationTime(std::uint64_t value) { mModificationTime = value; }
    std::uint32_t getTimescale() const { return mTimescale; }
    void setTimescale(std::uint32_t value) { mTimescale = value; }
    std::uint64_t getDuration() const { return mDuration; }
    void setDuration(std::uint64_t value) { mDuration = value; }

    void writeBox(BitStream& output) override;
    void parseBox(BitStream& input) override;

private:
    std::uint64_t mCreationTime = 0;
    std::uint64_t mModificationTime = 0;
    std::uint32_t mTimescale = 0;
    std::uint64_t mDuration = 0;
    std::uint16_t mLanguage = 0x55c4;  // pad bit and "und"; kept as read
};

// 'vmhd': video media header; its fields are not used, only kept for writing
// the box back.
class VideoMediaHeaderBox : public FullBox
{
public:
    VideoMediaHeaderBox();  // flags 1, as required for video tracks

    void writeBox(BitStream& output) override;
    void parseBox(BitStream& input) override;

private:
    std::array<std::uint16_t, 4> mGraphicsModeAndOpcolor{};
};

// 'minf': video media header, data information and sample table.
class MediaInformationBox : public Box
{
public:
    MediaInformationBox();

    const VideoMediaHeaderBox& getVideoMediaHeaderBox() const { return mVideoMediaHeaderBox; }
    VideoMediaHeaderBox& getVideoMediaHeaderBox() { return mVideoMediaHeaderBox; }
    const DataInformationBox& getDataInformationBox() const { return mDataInformationBox; }
    DataInformationBox& getDataInformationBox() { return mDataInformationBox; }
    const SampleTableBox& getSampleTableBox() const { return mSampleTableBox; }
    SampleTableBox& getSampleTableBox() { return mSampleTableBox; }

    void writeBox(BitStream& output) override;
    void parseBox(BitStream& input) override;

private:
    Box* modelledChild(FourCCInt type);

    VideoMediaHeaderBox mVideoMediaHeaderBox;
    DataInformationBox mDataInformationBox;
    SampleTableBox mSampleTableBox;
    ChildOrder mChildOrder;
};

// 'mdia': media header, handler and media information.
class MediaBox : public Box
{
public:
    MediaBox();

    const MediaHeaderBox& getMediaHeaderBox() const { return mMediaHeaderBox; }
    MediaHeaderBox& getMediaHeaderBox() { return mMediaHeaderBox; }
    const HandlerBox& getHandlerBox() const { return mHandlerBox; }
    HandlerBox& getHandlerBox() { return mHandlerBox; }
    const MediaInformationBox& getMediaInformationBox() const { return mMediaInformationBox; }
    MediaInformationBox& getMediaInformationBox() { return mMediaInformationBox; }

    void writeBox(BitStream& output) override;
    void parseBox(BitStream& input) override;

private:
    Box* modelledChild(FourCCInt type);

    MediaHeaderBox mMediaHeaderBox;
    HandlerBox mHandlerBox;
    MediaInformationBox mMediaInformationBox;
    ChildOrder mChildOrder;
};

// 'trak': one track.
class TrackBox : public Box
{
public:
    TrackBox();

    const TrackHeaderBox& getTrackHeaderBox() const { return mTrackHeaderBox; }
    TrackHeaderBox& getTrackHeaderBox() { return mTrackHeaderBox; }
    const MediaBox& getMediaBox() const { return mMediaBox; }
    MediaBox& getMediaBox() { return mMediaBox; }
    const TrackReferenceBox& getTrackReferenceBox() const { return mTrackReferenceBox; }
    TrackReferenceBox& getTrackReferenceBox() { return mTrackReferenceBox; }
    // Whether a 'tref' was read (or, when writing, is to be written).
    bool getHasTrackReferences() const { return mHasTrackReferences; }
    void setHasTrackReferences(bool value) { mHasTrackReferences = value; }
    // nullptr until an 'edts' is read or set.
    std::shared_ptr<EditBox> getEditBox() const { return mEditBox; }
    void setEditBox(std::shared_ptr<EditBox> box) { mEditBox = std::move(box); }

    void writeBox(BitStream& output) override;
    void parseBox(BitStream& input) override;

private:
    TrackHeaderBox mTrackHeaderBox;
    MediaBox mMediaBox;
    TrackReferenceBox mTrackReferenceBox;
    bool mHasTrackReferences = false;
    std::shared_ptr<EditBox> mEditBox;
    ChildOrder mChildOrder;
};

// 'moov': the movie header and the image tracks (handler "pict") in file
// order; tracks of other media are dropped while parsing.
class MovieBox : public Box
{
public:
    MovieBox();

    const MovieHeaderBox& getMovieHeaderBox() const { return mMovieHeaderBox; }
    MovieHeaderBox& getMovieHeaderBox() { return mMovieHeaderBox; }
    // Non-owning pointers to the kept tracks, in file order; valid while the
    // movie box lives.
    std::vector<TrackBox*> getTracks();
    std::vector<const TrackBox*> getTracks() const;
    void addTrackBox(std::unique_ptr<TrackBox> track) { mTracks.push_back(std::move(track)); }

    void writeBox(BitStream& output) override;
    // Unknown children are logged at warning level and skipped. A track that
    // cannot be read is dropped with a warning and its error kept (below):
    // a broken or unsupported track never fails the rest of the file.
    void parseBox(BitStream& input) override;
    // The errors of the tracks dropped while parsing, in file order.
    const std::vector<std::string>& getTrackErrors() const { return mTrackErrors; }
    // The tracks left out for their media not being pictures: track id and
    // handler type, in file order.
    const std::vector<std::pair<std::uint32_t, std::string>>& getOtherMediaTracks() const { return mOtherMediaTracks; }

private:
    MovieHeaderBox mMovieHeaderBox;
    std::vector<std::string> mTrackErrors;
    std::vector<std::pair<std::uint32_t, std::string>> mOtherMediaTracks;
    std::vector<std::unique_ptr<TrackBox>> mTracks;
    ChildOrder mChildOrder;  // the dropped tracks and unknown children are kept as bytes
};

// 'mdat': media data, used when writing files; the reader never parses it
// (parsing keeps the payload).
class MediaDataBox : public Box
{
public:
    MediaDataBox();

    // Appends bytes to the payload and returns their offset within it.
    std::uint64_t addData(const std::vector<std::uint8_t>& data);
    const std::vector<std::uint8_t>& getData() const { return mData; }

    void writeBox(BitStream& output) override;
    void parseBox(BitStream& input) override;

private:
    std::vector<std::uint8_t> mData;
};

}  // namespace ambrel::heif
