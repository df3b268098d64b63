#include "heiclib/box_factory.h"

#include <algorithm>
#include <array>
#include <iterator>

#include "heiclib/box_types.h"
#include "heiclib/boxes/decoder_config_boxes.h"
#include "heiclib/boxes/file_meta_boxes.h"
#include "heiclib/boxes/image_property_boxes.h"
#include "heiclib/boxes/item_info_boxes.h"
#include "heiclib/boxes/item_location_boxes.h"
#include "heiclib/boxes/item_property_boxes.h"
#include "heiclib/boxes/movie_boxes.h"
#include "heiclib/boxes/sample_entry_boxes.h"
#include "heiclib/boxes/sample_table_boxes.h"
#include "heiclib/memory_budget.h"

namespace ambrel::heif {

// ---------------------------------------------------------------------- RawBox

namespace {

// What a kept box costs beside its bytes: the object, its shared ownership
// and the container slot that holds it.
constexpr std::uint64_t kKeptBoxOverhead = sizeof(RawBox) + 64;

}  // namespace

RawBox::RawBox(FourCCInt boxType) : Box(boxType) {}

void RawBox::writeBox(BitStream& output)
{
    if (mBytes.empty()) {
        writeHeader(output);
        finalizeSize(output);
        return;
    }
    output.writeBytes(mBytes);
}

void RawBox::parseBox(BitStream& input)
{
    const std::uint32_t start = input.getBytePosition();
    parseHeader(input);
    // The stream holds exactly this box: keep all of it, header included.
    // The copy and the object holding it are charged: a container of many
    // tiny unknown children must not cost much more memory than its bytes.
    const auto& storage = input.getStorage();
    if (MemoryBudget* budget = input.memoryBudget()) {
        budget->charge(std::uint64_t(storage.size() - start) + kKeptBoxOverhead,
                       "the bytes kept of box '" + getType().getString() + "'");
    }
    mBytes.assign(storage.begin() + start, storage.end());
    input.seekBytePosition(input.byteCount());
}

// ------------------------------------------------------------------ ChildOrder

void ChildOrder::noteModelled(FourCCInt type)
{
    const std::size_t occurrence = mModelledCounts[type.getUInt32()]++;
    mSlots.push_back(Slot{type, occurrence, nullptr});
}

void ChildOrder::noteRaw(FourCCInt type, BitStream& child)
{
    auto box = std::make_shared<RawBox>(type);
    box->parseBox(child);
    mSlots.push_back(Slot{type, 0, std::move(box)});
}

// ------------------------------------------------------------------ the factory

namespace {

template <typename BoxClass>
std::shared_ptr<Box> make()
{
    return std::make_shared<BoxClass>();
}

struct BoxMaker
{
    FourCCInt type;
    std::shared_ptr<Box> (*make)();
};

// Every box type with a class of its own.
constexpr BoxMaker kBoxMakers[] = {
    // file level and meta
    {boxtype::kFtyp, make<FileTypeBox>},
    {boxtype::kMeta, make<MetaBox>},
    {boxtype::kMoov, make<MovieBox>},
    {boxtype::kMdat, make<MediaDataBox>},
    {boxtype::kHdlr, make<HandlerBox>},
    {boxtype::kPitm, make<PrimaryItemBox>},
    {boxtype::kDinf, make<DataInformationBox>},
    {boxtype::kDref, make<DataReferenceBox>},
    {boxtype::kUrl, make<DataEntryUrlBox>},
    {boxtype::kUrn, make<DataEntryUrnBox>},
    {boxtype::kIloc, make<ItemLocationBox>},
    {boxtype::kIdat, make<ItemDataBox>},
    {boxtype::kIinf, make<ItemInfoBox>},
    {boxtype::kInfe, make<ItemInfoEntry>},
    {boxtype::kIref, make<ItemReferenceBox>},
    {boxtype::kIprp, make<ItemPropertiesBox>},
    {boxtype::kIpco, make<ItemPropertyContainer>},
    {boxtype::kIpma, make<ItemPropertyAssociation>},
    {boxtype::kGrpl, make<GroupsListBox>},
    {boxtype::kIpro, make<ItemProtectionBox>},
    // item properties
    {boxtype::kHvcC, make<HevcConfigurationBox>},
    {boxtype::kAvcC, make<AvcConfigurationBox>},
    {boxtype::kLhvC, make<LayeredHevcConfigurationItemProperty>},
    {boxtype::kIspe, make<ImageSpatialExtentsProperty>},
    {boxtype::kIrot, make<ImageRotation>},
    {boxtype::kImir, make<ImageMirror>},
    {boxtype::kClap, make<CleanAperture>},
    {boxtype::kRloc, make<ImageRelativeLocationProperty>},
    {boxtype::kAuxC, make<AuxiliaryTypeProperty>},
    {boxtype::kLsel, make<LayerSelectorProperty>},
    {boxtype::kTols, make<TargetOlsProperty>},
    {boxtype::kOinf, make<OperatingPointsInformation>},
    {boxtype::kColr, make<ColourInformationBox>},
    {boxtype::kAv1C, make<Av1CodecConfigurationBox>},
    {boxtype::kJpgC, make<JpegConfigurationBox>},
    {boxtype::kUncC, make<UncompressedFrameConfigBox>},
    {boxtype::kCmpd, make<ComponentDefinitionBox>},
    {boxtype::kCmpC, make<CompressionConfigurationBox>},
    {boxtype::kIcef, make<CompressedUnitsInfoBox>},
    // movie, track and media
    {boxtype::kMvhd, make<MovieHeaderBox>},
    {boxtype::kTrak, make<TrackBox>},
    {boxtype::kTkhd, make<TrackHeaderBox>},
    {boxtype::kTref, make<TrackReferenceBox>},
    {boxtype::kEdts, make<EditBox>},
    {boxtype::kElst, make<EditListBox>},
    {boxtype::kMdia, make<MediaBox>},
    {boxtype::kMdhd, make<MediaHeaderBox>},
    {boxtype::kMinf, make<MediaInformationBox>},
    {boxtype::kVmhd, make<VideoMediaHeaderBox>},
    // sample tables and sample entries
    {boxtype::kStbl, make<SampleTableBox>},
    {boxtype::kStsd, make<SampleDescriptionBox>},
    {boxtype::kStts, make<TimeToSampleBox>},
    {boxtype::kCtts, make<CompositionOffsetBox>},
    {boxtype::kCslg, make<CompositionToDecodeBox>},
    {boxtype::kStsc, make<SampleToChunkBox>},
    {boxtype::kStsz, make<SampleSizeBox>},
    {boxtype::kStco, make<ChunkOffsetBox>},
    {boxtype::kCo64, make<ChunkOffsetBox>},  // the same class reads both widths
    {boxtype::kStss, make<SyncSampleBox>},
    {boxtype::kSgpd, make<SampleGroupDescriptionBox>},
    {boxtype::kSbgp, make<SampleToGroupBox>},
    {boxtype::kCcst, make<CodingConstraintsBox>},
    {boxtype::kHvc1, make<HevcSampleEntry>},
    {boxtype::kHev1, make<HevcSampleEntry>},  // keeps the type read from its header
    {boxtype::kAvc1, make<AvcSampleEntry>},
    {boxtype::kAv01, make<Av1SampleEntry>},
};

// The table sorted by code, for lookup.
constexpr auto kMakers = [] {
    std::array<BoxMaker, std::size(kBoxMakers)> makers{};
    std::copy(std::begin(kBoxMakers), std::end(kBoxMakers), makers.begin());
    std::sort(makers.begin(), makers.end(), [](const BoxMaker& a, const BoxMaker& b) { return a.type < b.type; });
    return makers;
}();

static_assert(std::adjacent_find(kMakers.begin(), kMakers.end(),
                                 [](const BoxMaker& a, const BoxMaker& b) { return a.type == b.type; }) ==
                  kMakers.end(),
              "a box type is registered twice");

}  // namespace

std::shared_ptr<Box> makeBox(FourCCInt type)
{
    const auto it = std::lower_bound(kMakers.begin(), kMakers.end(), type,
                                     [](const BoxMaker& maker, FourCCInt code) { return maker.type < code; });
    if (it == kMakers.end() || it->type != type) {
        return nullptr;
    }
    return it->make();
}

std::shared_ptr<Box> parseBoxOfType(FourCCInt type, BitStream& child)
{
    std::shared_ptr<Box> box = makeBox(type);
    if (!box) {
        box = std::make_shared<RawBox>(type);
    }
    box->parseBox(child);
    return box;
}

}  // namespace ambrel::heif
