// Track contexts: the samples of every image-sequence track with their
// locations, properties and presentation times.
#include <algorithm>
#include <limits>
#include <stdexcept>
#include <type_traits>

#include "heiclib/box_types.h"
#include "heiclib/boxes/decoder_config_boxes.h"
#include "heiclib/boxes/movie_boxes.h"
#include "heiclib/boxes/sample_table_boxes.h"
#include "heiclib/heif_limits.h"
#include "heiclib/log.h"
#include "heiclib/reader/decode_pts.h"
#include "heiclib/reader/hevc_image_file_reader.h"

namespace ambrel::heif {

namespace {

[[noreturn]] void fail(std::int32_t code, std::string message = {})
{
    throw FileReaderException(code, std::move(message));
}

constexpr std::uint64_t kUnknownDuration = 0xFFFFFFFFu;

bool hasTrackReference(const TrackBox& trak, FourCCInt type)
{
    if (!trak.getHasTrackReferences()) {
        return false;
    }
    for (const auto& ref : trak.getTrackReferenceBox().getTrefTypeBoxes()) {
        if (ref.getType() == type) {
            return true;
        }
    }
    return false;
}

// The properties of sample `index` that its sample entry and its sample
// groups give. A sample entry without coding constraints is refused.
SamplePropertyInfo describeSample(const VisualSampleEntryBox& entry, std::uint32_t descriptionIndex,
                                  const std::vector<SampleToGroupBox>& sampleGroups, std::uint32_t index)
{
    SamplePropertyInfo properties;
    properties.sampleIndex = index;
    properties.sampleDescriptionIndex = descriptionIndex;
    properties.sampleEntryType = entry.getType().getString();
    const CodingConstraintsBox* ccst = entry.getCodingConstraintsBox();
    if (ccst == nullptr) {
        fail(FileReaderException::NotInitialized,
             "Failed to read coding constraints from '" + properties.sampleEntryType + "' sample entry type box.");
    }
    if (ccst->getAllRefPicsIntra()) {
        properties.codingConstraintsFeatures.insert(CodingConstraintsFeature::AllRefPicsIntra);
    }
    if (ccst->getIntraPredUsed()) {
        properties.codingConstraintsFeatures.insert(CodingConstraintsFeature::IntraPredUsed);
    }
    for (const auto& group : sampleGroups) {
        const std::uint32_t groupIndex = group.getSampleGroupDescriptionIndex(index);
        if (groupIndex != 0) {
            properties.sampleGroups[group.getGroupingType()] = groupIndex;
        }
    }
    return properties;
}

// What the sample's 'refs' group entry says: a sample id of 0 makes it a
// non-reference sample; its direct references, mapped through the 'refs'
// sample-to-group box, are its decode dependencies.
IdVector sampleReferences(const SampleTableBox& stbl, const SampleToGroupBox* refsGroup, SamplePropertyInfo& properties)
{
    IdVector dependencies;
    const auto refs = properties.sampleGroups.find(codetype::kRefs.getString());
    if (refs == properties.sampleGroups.end()) {
        return dependencies;
    }
    const SampleGroupDescriptionBox& sgpd = stbl.getSampleGroupDescriptionBox(codetype::kRefs.getString());
    const auto& refsEntry = dynamic_cast<const DirectReferenceSampleListEntry&>(sgpd.getEntry(refs->second));
    if (refsEntry.getSampleId() == 0) {
        properties.sampleType = SampleType::OutputNonReference;
    }
    if (refsGroup != nullptr) {
        for (const std::uint32_t referenceId : refsEntry.getDirectReferenceSampleIds()) {
            const std::uint32_t groupIndex = sgpd.getEntryIndexOfSampleId(referenceId);
            dependencies.push_back(refsGroup->getSampleId(groupIndex));
        }
    }
    return dependencies;
}

}  // namespace

void HevcImageFileReader::buildTrackContexts(const MovieBox& moov, std::exception_ptr& firstError)
{
    std::vector<const TrackBox*> tracks;
    for (const TrackBox* trak : moov.getTracks()) {
        const ContextId trackId = trak->getTrackHeaderBox().getTrackId();
        try {
            if (mContextInfo.count(trackId) != 0) {
                fail(FileReaderException::ReadFailed, "Track id " + std::to_string(trackId) + " is already in use");
            }
            TrackInformation info;
            buildTrackContext(moov, *trak, info);
            mFileInfo.trackInformation[info.trackId] = std::move(info);
            tracks.push_back(trak);
        } catch (const std::exception& e) {
            dropTrackTables(trackId);
            log::warning("Skipping track " + std::to_string(trackId) + ", it cannot be read: " + e.what());
            mDroppedTracks.push_back({trackId, std::string("it cannot be read: ") + e.what()});
            if (!firstError) {
                firstError = std::current_exception();
            }
        }
    }
    linkTracks(tracks);
}

void HevcImageFileReader::dropTrackTables(ContextId trackId)
{
    // Drop what the track had entered in the decoder tables.
    // The tables are keyed by (track, ...): erase the track's range
    // only, not a walk over every other track's samples each time.
    const auto eraseTrack = [trackId](auto& table) {
        using Key = typename std::decay_t<decltype(table)>::key_type;
        const auto last = std::numeric_limits<typename Key::second_type>::max();
        table.erase(table.lower_bound(Key{trackId, 0}), table.upper_bound(Key{trackId, last}));
    };
    eraseTrack(mDecoderCodeTypes);
    eraseTrack(mDecoderConfigKeys);
    eraseTrack(mParameterSets);
    eraseTrack(mNalLengthSizes);
    eraseTrack(mAv1Configurations);
}

void HevcImageFileReader::linkTracks(const std::vector<const TrackBox*>& tracks)
{
    for (const TrackBox* trak : tracks) {
        const std::uint32_t trackId = trak->getTrackHeaderBox().getTrackId();
        TrackInformation& info = mFileInfo.trackInformation[trackId];
        // Alternates: the other tracks of the same non-zero alternate group.
        if (info.alternateGroupId != 0) {
            for (const TrackBox* other : tracks) {
                const auto& header = other->getTrackHeaderBox();
                if (header.getTrackId() != trackId && header.getAlternateGroup() == info.alternateGroupId) {
                    info.alternateTrackIds.push_back(header.getTrackId());
                }
            }
        }
        // Tracks that others point at as their thumbnails or auxiliaries.
        if (!trak->getHasTrackReferences()) {
            continue;
        }
        for (const auto& ref : trak->getTrackReferenceBox().getTrefTypeBoxes()) {
            const bool thumbnail = ref.getType() == reftype::kThmb;
            const bool auxiliary = ref.getType() == reftype::kAuxl;
            for (const std::uint32_t target : ref.getTrackIds()) {
                const auto it = mFileInfo.trackInformation.find(target);
                if (it == mFileInfo.trackInformation.end()) {
                    continue;
                }
                if (thumbnail) {
                    it->second.features.insert(TrackFeature::HasThumbnailImageSequences);
                }
                if (auxiliary) {
                    it->second.features.insert(TrackFeature::HasAuxiliaryImageSequences);
                }
            }
        }
    }
}

void HevcImageFileReader::buildTrackContext(const MovieBox& moov, const TrackBox& trak, TrackInformation& info)
{
    const TrackHeaderBox& tkhd = trak.getTrackHeaderBox();
    const ContextId trackId = tkhd.getTrackId();
    const SampleTableBox& stbl = trak.getMediaBox().getMediaInformationBox().getSampleTableBox();
    // The track header's duration and the edits' durations count in the
    // movie's timescale; sample times in the media's ('mdhd'), which tools
    // often set apart (ffmpeg: 1000 and 10240).
    TrackTimescales timescales;
    timescales.movie = moov.getMovieHeaderBox().getTimescale();
    if (timescales.movie == 0) {
        fail(FileReaderException::ReadFailed, "Movie header timescale is 0");
    }
    timescales.media = trak.getMediaBox().getMediaHeaderBox().getTimescale();
    if (timescales.media == 0) {
        fail(FileReaderException::ReadFailed, "Media header timescale is 0");
    }

    TrackContext track;
    track.displayWidth = tkhd.getWidth() >> 16;
    track.displayHeight = tkhd.getHeight() >> 16;

    std::shared_ptr<EditListBox> editList;
    if (const auto edts = trak.getEditBox()) {
        editList = edts->getEditListBox();
    }
    const std::vector<std::uint32_t> sizes = stbl.getSampleSizeBox().getEntrySizes();
    // What the reader keeps for each sample: its record, its properties, its
    // decoder keys and its timestamps, about 600 bytes in all. A track
    // costs little in the file (one 'stsz' entry can stand for every
    // sample) and a file may hold any number of tracks.
    constexpr std::uint64_t kBytesPerSample = 1024;
    charge(sizes.size() * kBytesPerSample, "The sample tables of track " + std::to_string(trackId));
    const bool unknownDuration = layOutTimeline(tkhd, stbl, editList.get(), timescales, sizes.size(), track);
    readSamples(trackId, stbl, sizes, track, info);
    const bool hasCodingConstraints = readSampleEntries(trackId, stbl.getSampleDescriptionBox(), track);
    setTrackFeatures(trak, editList.get(), hasCodingConstraints, unknownDuration, info);

    mTrackContexts[trackId] = std::move(track);
    ContextInfo context;
    context.contextType = ContextKind::Track;
    mContextInfo[trackId] = context;
}

// Presentation timestamps.
bool HevcImageFileReader::layOutTimeline(const TrackHeaderBox& tkhd, const SampleTableBox& stbl,
                                         const EditListBox* editList, TrackTimescales timescales,
                                         std::size_t sampleCount, TrackContext& track)
{
    DecodePts pts(stbl.getTimeToSampleBox(), stbl.getCompositionOffsetBox().get(), editList, sampleCount,
                  timescales.media, timescales.movie);
    pts.unravel();
    const DecodePts::PMap& presentation = pts.getPresentationMap();
    // Media units to milliseconds, saturating rather than wrapping.
    const auto toMs = [media = timescales.media](std::int64_t time) {
        constexpr std::int64_t kMax = std::numeric_limits<std::int64_t>::max() / 1000;
        const std::int64_t clamped = std::clamp(time, -kMax, kMax);
        return clamped * 1000 / media;
    };
    const std::uint64_t trackDuration = tkhd.getDuration();
    // All ones: the duration is not known (32 bits in version 0, 64 in version 1).
    const bool unknownDuration =
        trackDuration == kUnknownDuration || trackDuration == std::numeric_limits<std::uint64_t>::max();
    if (unknownDuration) {
        std::int64_t largest = 0;
        for (const auto& [time, index] : presentation) {
            const std::int64_t ms = toMs(time);
            track.presentationTimestamps.emplace(ms, index);
            largest = std::max(largest, ms);
        }
        const double x = static_cast<double>(largest) / 1000.0;
        const std::size_t count = track.presentationTimestamps.size();
        track.durationInSecs = x + (count < 2 ? 1.0 : x / static_cast<double>(count - 1));
        return unknownDuration;
    }
    track.durationInSecs = static_cast<double>(trackDuration) / timescales.movie;
    const double durationMs = track.durationInSecs * 1000.0;
    const std::int64_t passLength = toMs(pts.getSpan());
    for (std::uint64_t pass = 0;; ++pass) {
        const std::int64_t offset = static_cast<std::int64_t>(pass) * passLength;
        if (pass > 0 && (passLength <= 0 || presentation.empty() || static_cast<double>(offset) >= durationMs)) {
            break;
        }
        // A looping timeline is laid out as often as the limit allows;
        // the repetitions are a convenience, not content.
        if (pass > 0 && track.presentationTimestamps.size() + presentation.size() > limits::kMaxPresentationEntries) {
            break;
        }
        for (const auto& [time, index] : presentation) {
            track.presentationTimestamps.emplace(toMs(time) + offset, index);
        }
    }
    return unknownDuration;
}

// Per-sample properties and locations.
void HevcImageFileReader::readSamples(ContextId trackId, const SampleTableBox& stbl,
                                      const std::vector<std::uint32_t>& sizes, TrackContext& track,
                                      TrackInformation& info)
{
    const SampleDescriptionBox& stsd = stbl.getSampleDescriptionBox();
    const SampleToChunkBox& stsc = stbl.getSampleToChunkBox();
    const std::vector<std::uint64_t> chunkOffsets = stbl.getChunkOffsetBox().getChunkOffsets();
    const auto& sampleGroups = stbl.getSampleToGroupBoxes();
    const SampleToGroupBox* refsGroup = nullptr;
    for (const auto& group : sampleGroups) {
        if (group.getGroupingType() == codetype::kRefs.getString()) {
            refsGroup = &group;
            break;
        }
    }

    std::vector<std::vector<Timestamp>> compositionTimes(sizes.size());
    for (const auto& [time, index] : track.presentationTimestamps) {
        if (index < compositionTimes.size()) {
            compositionTimes[index].push_back(static_cast<Timestamp>(time));
        }
    }

    std::uint32_t currentChunk = 0;
    std::uint64_t offsetInChunk = 0;
    track.samples.reserve(sizes.size());
    for (std::uint32_t i = 0; i < sizes.size(); ++i) {
        const std::uint32_t descriptionIndex = stsc.getSampleDescriptionIndex(i);
        const VisualSampleEntryBox& entry = stsd.getSampleEntry(descriptionIndex);
        if (!allCodings() && dynamic_cast<const Av1SampleEntry*>(&entry) != nullptr) {
            // A reader for HEVC callers leaves AV1 tracks out as entries of a
            // coding it does not know.
            throw std::runtime_error("SampleDescriptionBox::getSampleEntry invalid entry type.");
        }
        SamplePropertyInfo properties = describeSample(entry, descriptionIndex, sampleGroups, i);
        SampleInfo sample;
        sample.sampleIndex = i;
        sample.decodeDependencies = sampleReferences(stbl, refsGroup, properties);
        properties.hasClap = entry.getClap() != nullptr;

        mDecoderCodeTypes[{trackId, i}] = properties.sampleEntryType;
        mDecoderConfigKeys[{trackId, i}] = {trackId, properties.sampleDescriptionIndex};

        const std::uint32_t chunk = stsc.getSampleChunkIndex(i);
        if (chunk != currentChunk) {
            currentChunk = chunk;
            offsetInChunk = 0;
        }
        sample.dataOffset = chunkOffsets.at(chunk - 1) + offsetInChunk;
        sample.dataLength = sizes[i];
        offsetInChunk += sizes[i];
        sample.width = entry.getWidth();
        sample.height = entry.getHeight();
        sample.compositionTimes = std::move(compositionTimes[i]);
        track.samples.push_back(std::move(sample));
        info.sampleProperties[i] = std::move(properties);
    }
}

// Parameter sets and clean apertures per sample entry.
bool HevcImageFileReader::readSampleEntries(ContextId trackId, const SampleDescriptionBox& stsd, TrackContext& track)
{
    bool hasCodingConstraints = false;
    const auto& entries = stsd.getSampleEntries();
    for (std::uint32_t k = 1; k <= entries.size(); ++k) {
        const SampleEntryBox* entry = entries[k - 1].get();
        if (const auto* hevc = dynamic_cast<const HevcSampleEntry*>(entry)) {
            const auto& record = hevc->getConfigurationBox().getConfiguration();
            mParameterSets[{trackId, k}] = getConfigurationMap(record);
            mNalLengthSizes[{trackId, k}] = static_cast<std::uint8_t>(record.getLengthSizeMinusOne() + 1);
        } else if (const auto* avc = dynamic_cast<const AvcSampleEntry*>(entry)) {
            const auto& record = avc->getConfigurationBox().getConfiguration();
            mParameterSets[{trackId, k}] = getConfigurationMap(record);
            mNalLengthSizes[{trackId, k}] = static_cast<std::uint8_t>(record.getLengthSizeMinusOne() + 1);
        } else if (const auto* av1 = dynamic_cast<const Av1SampleEntry*>(entry)) {
            // AV1 samples are OBUs and need no parameter sets in front.
            mParameterSets[{trackId, k}] = {};
            mAv1Configurations[{trackId, k}] = av1->getConfigurationBox().getConfiguration();
        }
        const auto* visual = dynamic_cast<const VisualSampleEntryBox*>(entry);
        if (visual != nullptr && visual->getClap()) {
            track.clapInfo[k] = cleanApertureInfo(*visual->getClap());
        }
        // A sample entry's coding constraints count even for a track with no samples.
        if (visual != nullptr && visual->getCodingConstraintsBox() != nullptr) {
            hasCodingConstraints = true;
        }
    }
    return hasCodingConstraints;
}

// Track features.
void HevcImageFileReader::setTrackFeatures(const TrackBox& trak, const EditListBox* editList, bool hasCodingConstraints,
                                           bool unknownDuration, TrackInformation& info)
{
    const TrackHeaderBox& tkhd = trak.getTrackHeaderBox();
    info.trackId = tkhd.getTrackId();
    info.alternateGroupId = tkhd.getAlternateGroup();
    if (trak.getMediaBox().getHandlerBox().getHandlerType() != codetype::kPict.getString()) {
        return;
    }
    const std::uint32_t flags = tkhd.getFlags();
    if (flags & 1) {
        info.features.insert(TrackFeature::IsEnabled);
    }
    if (flags & 2) {
        info.features.insert(TrackFeature::IsInMovie);
    }
    if (flags & 4) {
        info.features.insert(TrackFeature::IsInPreview);
    }
    if (info.alternateGroupId != 0) {
        info.features.insert(TrackFeature::HasAlternatives);
    }
    if (trak.getHasTrackReferences()) {
        if (hasTrackReference(trak, reftype::kThmb)) {
            info.features.insert(TrackFeature::IsThumbnailImageSequence);
        }
        if (hasTrackReference(trak, reftype::kAuxl)) {
            info.features.insert(TrackFeature::IsAuxiliaryImageSequence);
        }
    } else {
        info.features.insert(TrackFeature::IsMasterImageSequence);
    }
    if (hasCodingConstraints) {
        info.features.insert(TrackFeature::HasCodingConstraints);
    }
    const SampleTableBox& stbl = trak.getMediaBox().getMediaInformationBox().getSampleTableBox();
    if (!stbl.getSampleToGroupBoxes().empty()) {
        info.features.insert(TrackFeature::HasSampleGroups);
    }
    if (editList != nullptr) {
        info.features.insert(TrackFeature::HasEditList);
        if (editList->getFlags() == 1 && unknownDuration) {
            info.features.insert(TrackFeature::HasInfiniteLoopPlayback);
        }
    }
}

}  // namespace ambrel::heif
