// The HEIF reader.
//
// initialize() walks the root boxes, parses 'ftyp', 'meta' and 'moov', and
// builds everything the queries answer from; item and sample bytes are read
// from the input on demand. The reader does not own a stream passed to
// initialize(); it must outlive every call that reads item bytes.
//
// Failures: every query fails by FileReaderException (a few lookups of
// secondary tables by std::out_of_range). initialize() passes on what the box
// classes throw as one type: a box of 'ftyp' or 'meta' that cannot be parsed
// fails it with FileReaderException code 2 (ReadFailed), whose message is
// "Failed to parse '<type>' box: " followed by the box class's own text,
// whole. The movie part never fails a file that has anything else to show:
// a track that cannot be read is dropped with a warning (and listed by
// getDroppedTracks()); a file with nothing but an unreadable movie fails the
// same way, naming 'moov'.
#pragma once

#include <exception>
#include <fstream>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "heiclib/boxes/decoder_config_boxes.h"
#include "heiclib/boxes/file_meta_boxes.h"
#include "heiclib/memory_budget.h"
#include "heiclib/reader/image_file_reader_interface.h"

namespace ambrel::heif {

class CleanAperture;
class EditListBox;
class ItemLocation;
class MovieBox;
class SampleDescriptionBox;
class SampleTableBox;
class TrackBox;
class TrackHeaderBox;

class HevcImageFileReader : public ImageFileReaderInterface
{
public:
    // What the reader derived for one image item of a meta context.
    struct ImageInfo
    {
        std::string type;  // reader-level type: "master", "hidden", "pre-computed" or the item type
        std::uint32_t width = 0;
        std::uint32_t height = 0;
        double displayTime = 0.0;  // milliseconds
    };

    struct MetaContext
    {
        std::uint32_t masterCount = 0;
        bool isForcedFpsSet = false;
        float forcedFps = 0.0f;
        std::map<ItemId, ImageInfo> images;
        std::map<ItemId, std::string> otherItems;  // item id -> item type of non-image items
        std::map<ItemId, GridItem> grids;
        std::map<ItemId, OverlayItem> overlays;
        std::map<ItemId, std::vector<ItemPropertyInfo>> itemProperties;
    };

    HevcImageFileReader();
    ~HevcImageFileReader() override;

    // Which codings make an item (or a track's samples) images, for the files
    // initialize() opens from now on. HevcFamily, the default, is the reader
    // of callers that decode HEVC only: 'av01', 'jpeg' and 'unci' items are
    // other items (listed with their type, so that a caller can name the
    // coding it refuses) and 'av01' tracks are dropped. All makes them image
    // items and image sequences with their features, properties,
    // configurations and raw data, whose code types are "av01", "jpeg" and
    // "unci".
    enum class ImageCodings { HevcFamily, All };
    void setImageCodings(ImageCodings codings) { mImageCodings = codings; }

    void initialize(const std::string& fileName) override;
    void initialize(std::istream& input) override;
    void close() override;

    std::string getMajorBrand() const override;
    std::uint32_t getMinorVersion() const override;
    std::vector<std::string> getCompatibleBrands() const override;

    std::uint32_t getDisplayWidth(ContextId contextId) const override;
    std::uint32_t getDisplayHeight(ContextId contextId) const override;
    std::uint32_t getWidth(ContextId contextId, ItemId itemId) const override;
    std::uint32_t getHeight(ContextId contextId, ItemId itemId) const override;
    std::vector<std::int32_t> getMatrix() const override;
    float getPlaybackDurationInSecs(ContextId contextId) const override;
    void setForcedTimedPlayback(ContextId contextId, float framesPerSecond) override;
    void setForcedLoopPlayback(ContextId contextId, bool loop) override;

    void getItemListByType(ContextId contextId, const std::string& itemType, IdVector& itemIds) const override;
    std::string getItemType(ContextId contextId, ItemId itemId) const override;
    void getReferencedFromItemListByType(ContextId contextId, ItemId fromItemId, FourCCInt referenceType,
                                         IdVector& itemIds) const override;
    void getReferencedToItemListByType(ContextId contextId, ItemId toItemId, FourCCInt referenceType,
                                       IdVector& itemIds) const override;
    ItemId getCoverImageItemId(ContextId contextId) const override;
    // The item id the meta context's 'pitm' names, whatever that item is (or
    // whether it exists); empty when the context has no 'pitm'. Throws
    // InvalidContextId for a context that is not a meta context.
    [[nodiscard]] std::optional<ItemId> getPrimaryItemId(ContextId contextId) const;

    void getItemData(ContextId contextId, ItemId itemId, DataVector& itemData) override;
    OverlayItem getItemIovl(ContextId contextId, ItemId itemId) const override;
    GridItem getItemGrid(ContextId contextId, ItemId itemId) const override;

    bool getPropertyImir(ContextId contextId, PropertyIndex index) const override;
    std::uint32_t getPropertyIrot(ContextId contextId, PropertyIndex index) const override;
    AuxiliaryTypeInfo getPropertyAuxc(ContextId contextId, PropertyIndex index) const override;
    RelativeLocationInfo getPropertyRloc(ContextId contextId, PropertyIndex index) const override;
    std::uint16_t getPropertyLsel(ContextId contextId, PropertyIndex index) const override;
    std::uint16_t getPropertyTols(ContextId contextId, PropertyIndex index) const override;
    CleanApertureInfo getPropertyClap(ContextId contextId, PropertyIndex index) const override;
    std::vector<ItemPropertyInfo> getItemProperties(ContextId contextId, ItemId itemId) const override;

    void getItemDataWithDecoderParameters(ContextId contextId, ItemId itemId, DataVector& itemData) override;
    // The coded data of an image item or a track's sample as it is stored,
    // read once and not converted: for HEVC and AVC its NAL units, each
    // behind a big-endian length of getNalLengthSize bytes; for AV1 its OBUs.
    // Protected items are refused (ItemProtected).
    void getItemCodedData(ContextId contextId, ItemId itemId, DataVector& itemData);
    // The bytes of the length before each NAL unit of the item's (or
    // sample's) coded data, as its decoder configuration record declares
    // (1, 2 or 4); 4 when it has no record.
    [[nodiscard]] std::uint8_t getNalLengthSize(ContextId contextId, ItemId itemId) const;
    DataVector getItemProtectionScheme(ContextId contextId, ItemId itemId) const override;

    void getItemTimestamps(ContextId contextId, std::map<Timestamp, ItemId>& timestamps) const override;
    void getTimestampsOfItem(ContextId contextId, ItemId itemId, std::vector<Timestamp>& timestamps) const override;
    void getItemsInDecodingOrder(ContextId contextId,
                                 std::vector<std::pair<ItemId, Timestamp>>& decodingOrder) const override;
    void getItemDecodeDependencies(ContextId contextId, ItemId itemId, IdVector& dependencies) const override;

    std::string getDecoderCodeType(ContextId contextId, ItemId itemId) const override;
    void getDecoderParameterSets(ContextId contextId, ItemId itemId, ParameterSetMap& parameterSets) const override;

    // The ICC profile of the item's first 'colr' property that holds one
    // ('prof' or 'rICC'); empty when it has none.
    DataVector getItemIccProfile(ContextId contextId, ItemId itemId) const;
    // The colour code points of the item's first 'colr' property of colour
    // type 'nclx'; none when it has no such property.
    std::optional<NclxColour> getItemColourInformation(ContextId contextId, ItemId itemId) const;
    // The content type and encoding of a 'mime' item's entry, as stored;
    // none for an item without an entry.
    std::optional<MimeContent> getItemMimeContent(ContextId contextId, ItemId itemId) const;
    // The bytes the item's 'iloc' extents add up to, before anything is read;
    // none without a record, for an extent that reaches to the end of its
    // source (length 0) or data taken from other items.
    std::optional<std::uint64_t> getItemDeclaredLength(ContextId contextId, ItemId itemId) const;
    // The box type of the property at a 0-based 'ipco' position ("colr",
    // "pixi" ... for those of kind Raw); empty when there is none.
    std::string getPropertyBoxType(ContextId contextId, PropertyIndex index) const;
    // The bits per channel of the item's first 'pixi' property; none without
    // one (or when it is cut short).
    std::optional<std::vector<std::uint8_t>> getItemBitDepths(ContextId contextId, ItemId itemId) const;
    // The luma bit depth of the item's first 'hvcC'; none without one.
    std::optional<std::uint8_t> getItemLumaBitDepth(ContextId contextId, ItemId itemId) const;
    // The item's first property of the box type ('hvcC', 'uncC', 'cmpd',
    // 'cmpC' ...), as the box class that models it; nullptr when it has none.
    std::shared_ptr<const Box> getItemPropertyBox(ContextId contextId, ItemId itemId, FourCCInt boxType) const;
    // The AV1 configuration ('av1C') of an AV1 image item, or of an AV1
    // track sample's entry, with its configOBUs; none when the item or sample
    // has none (or is not AV1).
    std::optional<Av1CodecConfiguration> getItemAv1Configuration(ContextId contextId, ItemId itemId) const;
    // The JPEG prefix ('jpgC') of a JPEG image item: the bytes to put before
    // the item's data; empty when it has none. getItemDataWithDecoderParameters
    // gives a JPEG item's whole stream: this prefix, then its data.
    DataVector getItemJpegPrefix(ContextId contextId, ItemId itemId) const;
    // The item's type as its 'infe' entry stores it ("hvc1", "av01", "grid"
    // ...), where getItemType gives a coded image's role ("master" ...).
    std::string getStoredItemType(ContextId contextId, ItemId itemId) const;
    // The property at a 0-based 'ipco' position, as the box class that
    // models it, shared rather than copied; nullptr when there is none.
    std::shared_ptr<const Box> getPropertyBox(ContextId contextId, PropertyIndex index) const
    {
        return propertyAt(contextId, index);
    }

    // The limit of the memory budget of the files initialize() opens from now
    // on (limits::kMaxFileMemoryBytes by default). Boxes read into
    // memory, their copies and all item and sample bytes read are charged to
    // it; a file that needs more is refused with FileReaderException
    // (ReadFailed) naming the budget.
    void setMemoryBudget(std::uint64_t limit) { mBudgetLimit = limit; }
    // The open file's budget, for what the caller allocates from the file's
    // contents on top of the reader's own.
    MemoryBudget& memoryBudget() { return mBudget; }

    // A track of the file's movie that has no track context, and why.
    struct DroppedTrack
    {
        std::optional<std::uint32_t> trackId;  // none when the track's header could not be read
        std::string reason;
    };
    // The tracks initialize() left out (unreadable, or not an image
    // sequence), in file order.
    const std::vector<DroppedTrack>& getDroppedTracks() const { return mDroppedTracks; }

    // The meta contexts by context id, read without copying.
    const std::map<ContextId, MetaContext>& getMetaContexts() const { return mMetaContexts; }

private:
    enum class State { Uninitialized = 0, Initializing = 1, Ready = 2 };

    struct SampleInfo
    {
        std::uint32_t sampleIndex = 0;
        std::vector<Timestamp> compositionTimes;
        std::uint64_t dataOffset = 0;
        std::uint32_t dataLength = 0;
        std::uint32_t width = 0;
        std::uint32_t height = 0;
        IdVector decodeDependencies;
    };

    struct TrackContext
    {
        std::uint32_t displayWidth = 0;
        std::uint32_t displayHeight = 0;
        double durationInSecs = 0.0;
        std::multimap<std::int64_t, std::uint32_t> presentationTimestamps;
        std::vector<SampleInfo> samples;
        std::map<std::uint32_t, CleanApertureInfo> clapInfo;  // sample description index -> clean aperture
    };

    using ContextItemKey = std::pair<ContextId, ItemId>;
    using DecoderConfigKey = std::pair<ContextId, std::uint32_t>;

    // Opening (the root walk).
    void readStream(std::istream& input);
    // Sets mInputSize from the input; refuses a stream that cannot be sized
    // and files of 2 GiB or more.
    void measureInput(std::istream& input);
    // After the last root box: a failed read of the input, or an unreadable
    // movie in a file with nothing else to show, fails the open.
    void finishRootWalk(std::istream& input, const std::exception_ptr& movieError) const;
    void readRootBox(BitStream& boxBytes, FourCCInt& type);
    void checkBrands(const FileTypeBox& ftyp) const;
    void setFileFeatures();

    // Meta context.
    void buildMetaContext(ContextId contextId);
    // The steps of buildMetaContext: the features and entity groups of the
    // meta box, the descriptors, other items and property lists, and the
    // image records.
    MetaBoxInformation describeMetaBox(const MetaBox& meta, ContextId contextId,
                                       const std::map<ItemId, std::string>& itemTypes) const;
    void readItemTables(const MetaBox& meta, ContextId contextId, const std::map<ItemId, std::string>& itemTypes,
                        MetaContext& metaContext);
    void describeImages(const MetaBox& meta, ContextId contextId,
                        const std::map<ItemId, std::set<ImageFeature>>& imageFeatures,
                        const std::map<ItemId, std::string>& itemTypes, MetaContext& metaContext);
    // Throws FileReaderException when the meta box exceeds a limit of heif_limits.h.
    static void checkMetaLimits(const MetaBox& meta, std::size_t itemCount);
    std::set<ImageFeature> imageFeaturesOf(const MetaBox& meta, ContextId contextId, ItemId itemId) const;
    std::set<ItemFeature> itemFeaturesOf(const MetaBox& meta, ContextId contextId, ItemId itemId) const;
    GridItem parseGrid(ContextId contextId, ItemId itemId);
    OverlayItem parseOverlay(ContextId contextId, ItemId itemId);
    void buildDecoderTables(ContextId contextId);
    // Throws FileReaderException (ReadFailed) with the reason when a property
    // the image cannot be shown without could not be read.
    void checkImageReadable(ContextId contextId, ItemId itemId) const;

    // Tracks.
    // Reads 'moov' and builds its track contexts. A track (or the whole
    // movie box) that cannot be read is dropped with a warning; the first
    // such error is kept in `firstError` so that a file with nothing else to
    // show can still report it.
    void readMovie(BitStream& bytes, std::exception_ptr& firstError);
    void buildTrackContexts(const MovieBox& moov, std::exception_ptr& firstError);
    void buildTrackContext(const MovieBox& moov, const TrackBox& trak, TrackInformation& info);
    // The steps of buildTrackContext, in the order it takes them.
    struct TrackTimescales
    {
        std::uint32_t movie = 1;  // 'mvhd': the track duration and the edit durations
        std::uint32_t media = 1;  // 'mdhd': sample times and edit media times
    };
    // Lays out the presentation timestamps and the duration; true when the
    // track header leaves the duration unknown.
    static bool layOutTimeline(const TrackHeaderBox& tkhd, const SampleTableBox& stbl, const EditListBox* editList,
                               TrackTimescales timescales, std::size_t sampleCount, TrackContext& track);
    // The samples' properties, locations and decoder keys.
    void readSamples(ContextId trackId, const SampleTableBox& stbl, const std::vector<std::uint32_t>& sizes,
                     TrackContext& track, TrackInformation& info);
    // Parameter sets and clean apertures per sample entry; true when an entry
    // carries coding constraints.
    bool readSampleEntries(ContextId trackId, const SampleDescriptionBox& stsd, TrackContext& track);
    static void setTrackFeatures(const TrackBox& trak, const EditListBox* editList, bool hasCodingConstraints,
                                 bool unknownDuration, TrackInformation& info);
    // Alternates and the features that references from other tracks give.
    void linkTracks(const std::vector<const TrackBox*>& tracks);
    // Removes what a track that failed had entered in the decoder tables.
    void dropTrackTables(ContextId trackId);

    // Item data.
    void readItemBytes(ContextId contextId, ItemId itemId, DataVector& out, std::uint32_t depth,
                       std::set<ItemId>& visiting);
    // The construction methods of readItemBytes: file offsets, 'idat'
    // offsets and offsets into other items.
    void readFileExtents(ItemId itemId, const ItemLocation& location, DataVector& out);
    void readIdatExtents(const MetaBox& meta, ItemId itemId, const ItemLocation& location, DataVector& out);
    void readItemOffsetExtents(ContextId contextId, ItemId itemId, const ItemLocation& location, DataVector& out,
                               std::uint32_t depth, std::set<ItemId>& visiting);
    // Takes `bytes` from what the item being read may still read and copy,
    // and charges them to the memory budget.
    void spendItemBytes(ItemId itemId, std::uint64_t bytes);
    void readItemBytesKeepingPosition(ContextId contextId, ItemId itemId, DataVector& data);
    void readSampleBytes(ContextId contextId, ItemId sampleIndex, DataVector& out);
    [[nodiscard]] bool isProtected(ContextId contextId, ItemId itemId) const;

    static CleanApertureInfo cleanApertureInfo(const CleanAperture& clap);
    // Charges the open file's memory budget; throws FileReaderException
    // (ReadFailed) with the budget's message when the file is past it.
    void charge(std::uint64_t bytes, const std::string& what);

    // The item references of one meta context, indexed once by type and item
    // in both directions, so that features and reference lists cost what the
    // answer holds instead of a walk over every reference for every item.
    struct ReferenceIndex
    {
        using Key = std::pair<FourCCInt, ItemId>;
        std::map<Key, IdVector> toItems;       // (type, from item) -> to items, in file order
        std::map<Key, IdVector> fromItems;     // (type, to item) -> from items, in file order (repeats kept)
        std::map<Key, IdVector> firstToItems;  // (type, from item) -> to items of its first reference box

        [[nodiscard]] bool hasFrom(FourCCInt type, ItemId item) const { return toItems.count({type, item}) != 0; }
        [[nodiscard]] bool hasTo(FourCCInt type, ItemId item) const { return fromItems.count({type, item}) != 0; }
    };
    static ReferenceIndex indexReferences(const MetaBox& meta);
    const ReferenceIndex& referenceIndex(ContextId contextId) const;

    // Checks.
    [[nodiscard]] bool allCodings() const { return mImageCodings == ImageCodings::All; }
    void checkInitialized() const;
    const ContextInfo& contextInfo(ContextId contextId) const;
    const MetaBox& metaBox(ContextId contextId) const;
    const MetaContext& metaContext(ContextId contextId) const;
    const TrackContext& trackContext(ContextId contextId) const;
    std::shared_ptr<Box> propertyAt(ContextId contextId, PropertyIndex index) const;

    State mState = State::Uninitialized;
    std::unique_ptr<std::ifstream> mOwnStream;
    std::istream* mInput = nullptr;
    std::uint64_t mInputSize = 0;
    std::uint64_t mBudgetLimit = limits::kMaxFileMemoryBytes;
    MemoryBudget mBudget;
    // What the item being read may still read and copy (see readItemBytes).
    std::uint64_t mItemBytesLeft = 0;

    FileTypeBox mFileTypeBox;
    std::map<ContextId, std::unique_ptr<MetaBox>> mMetaBoxes;
    ContextId mRootMetaContextId = 0;
    bool mHasRootMeta = false;
    std::map<ContextId, ContextInfo> mContextInfo;
    std::map<ContextId, MetaContext> mMetaContexts;
    std::map<ContextId, ReferenceIndex> mReferenceIndexes;
    std::map<ContextId, TrackContext> mTrackContexts;
    std::vector<DroppedTrack> mDroppedTracks;
    std::vector<std::int32_t> mMatrix;

    std::map<ContextItemKey, std::string> mDecoderCodeTypes;
    std::map<ContextItemKey, DecoderConfigKey> mDecoderConfigKeys;
    std::map<DecoderConfigKey, ParameterSetMap> mParameterSets;
    // Bytes of the length in front of each NAL unit of the coded data
    // (lengthSizeMinusOne + 1 of the decoder configuration record).
    std::map<DecoderConfigKey, std::uint8_t> mNalLengthSizes;
    // The AV1 configurations, by the same keys as the parameter sets.
    std::map<DecoderConfigKey, Av1CodecConfiguration> mAv1Configurations;
    ImageCodings mImageCodings = ImageCodings::HevcFamily;
    // Images whose decoder configuration, size or an essential property could
    // not be read: why. Their data and descriptors are refused with it.
    std::map<ContextItemKey, std::string> mImageFailures;
};

}  // namespace ambrel::heif
