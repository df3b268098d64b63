// A frame of an image sequence track, as the record the decoding takes.
#include "pipeline/decode/extraction_steps.h"

#include <zlib.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <istream>
#include <limits>
#include <map>
#include <memory>
#include <set>
#include <streambuf>
#include <string>
#include <string_view>
#include <utility>

#include "heiclib/boxes/decoder_config_boxes.h"
#include "heiclib/heif_limits.h"
#include "heiclib/log.h"
#include "pipeline/decode/coded_tiles.h"
#include "pipeline/decode/mosaic.h"
#include "pipeline/decode/uncompressed.h"
#include "pipeline/encode/jpeg_metadata.h"

namespace ambrel::pipeline {

namespace {

// Samples decoded for one frame of a sequence at most: the frame's own and
// those back to the instantaneous decoding refresh it is predicted from.
constexpr std::size_t kMaxSamplesForFrame = 4096;

// Whether the first coded slice of an HEVC access unit (NAL units behind
// lengths of `lengthSize` bytes) is an instantaneous decoding refresh
// (IDR_W_RADL or IDR_N_LP): no picture after it in decoding order refers to
// one before it.
bool startsWithIdr(std::span<const std::uint8_t> unit, unsigned lengthSize)
{
    while (unit.size() > lengthSize) {
        std::size_t length = 0;
        for (unsigned i = 0; i < lengthSize; ++i) {
            length = (length << 8) | unit[i];
        }
        const unsigned type = (unit[lengthSize] >> 1) & 0x3Fu;
        if (type < 32) {
            return type == 19 || type == 20;
        }
        if (length > unit.size() - lengthSize) {
            return false;
        }
        unit = unit.subspan(lengthSize + length);
    }
    return false;
}

}  // namespace

// Frame `frame` of the sequence: the samples from the last IDR at or before
// its own up to its own, in decoding order, every one led by its parameter
// sets, and the count of pictures the decoder puts out before it.
HeifImageData extractFrame(heif::HevcImageFileReader& reader, const heif::ImageSequence& sequence, std::uint64_t frame,
                           std::uint64_t tileBudget)
{
    const heif::ContextId track = sequence.track;
    if (track == 0) {
        throw NoImageError("the file holds no image sequence");
    }
    const std::vector<heif::ItemId>& frames = sequence.frames;
    if (frame >= frames.size()) {
        throw NoImageError("the image sequence has " + std::to_string(frames.size()) + " frames, no frame " +
                           std::to_string(frame));
    }
    const heif::ItemId sample = frames[frame];
    HeifImageData data;
    data.width = reader.getWidth(track, sample);
    data.height = reader.getHeight(track, sample);
    data.rows = 1;
    data.columns = 1;
    checkLimits(reader, track, data);

    // Back from the frame's sample to an IDR (or the first sample; for AV1
    // always the first).
    std::uint64_t total = 0;
    data.tileIds = {sample};
    if (!get_heif_paramset(reader, track, data)) {
        throw NoImageError("the image sequence is coded as '" + reader.getDecoderCodeType(track, sample) +
                           "', which cannot be converted");
    }
    data.tileIds.clear();
    for (heif::ItemId index = sample;; --index) {
        const std::string codeType = reader.getDecoderCodeType(track, index);
        if (codeType != "hvc1" && codeType != "hev1" && codeType != "av01") {
            throw NoImageError("the image sequence is coded as '" + codeType + "', which cannot be converted");
        }
        if (data.tiles.size() >= kMaxSamplesForFrame) {
            throw LimitExceededError("frame " + std::to_string(frame) + " of the image sequence needs more than " +
                                     std::to_string(kMaxSamplesForFrame) + " samples decoded");
        }
        data.tiles.emplace_back();
        readTile(reader, track, index, data.tiles.size() - 1, data);
        const std::vector<std::uint8_t>& unit = data.tiles.back();
        if (unit.size() > tileBudget - total) {
            throw LimitExceededError("the samples of frame " + std::to_string(frame) + " hold more than " +
                                     std::to_string(tileBudget) + " bytes, the limit for this file");
        }
        total += unit.size();
        data.tileIds.push_back(index);
        if ((data.codec == Codec::Hevc && startsWithIdr(unit, data.nalLengthSize)) || index == 0) {
            break;
        }
    }
    std::reverse(data.tiles.begin(), data.tiles.end());
    std::reverse(data.tileIds.begin(), data.tileIds.end());
    if (!data.tileParamSets.empty()) {
        data.tileParamSets.resize(data.tiles.size());
        std::reverse(data.tileParamSets.begin(), data.tileParamSets.end());
    }
    reader.memoryBudget().charge(total, "The image sequence's elementary stream");

    // The decoder puts pictures out in presentation order: those shown
    // before this frame come first, and so do samples that are never shown.
    std::vector<heif::Timestamp> own;
    reader.getTimestampsOfItem(track, sample, own);
    const heif::Timestamp shownAt = *std::min_element(own.begin(), own.end());
    for (const heif::ItemId index : data.tileIds) {
        if (index == sample) {
            continue;
        }
        std::vector<heif::Timestamp> times;
        reader.getTimestampsOfItem(track, index, times);
        if (times.empty() || *std::min_element(times.begin(), times.end()) < shownAt) {
            ++data.skippedPictures;
        }
    }
    data.maxCanvasPixels = std::min<std::uint64_t>(data.maxCanvasPixels, reader.memoryBudget().left() / 3);
    return data;
}

}  // namespace ambrel::pipeline
