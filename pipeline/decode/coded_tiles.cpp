// The extraction's tile steps: the decoder configuration of the first tile
// and the coded data of every tile, read once, as the decoder takes it.
#include "pipeline/decode/coded_tiles.h"

#include <cstddef>
#include <map>
#include <memory>
#include <span>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "heiclib/heif_limits.h"
#include "pipeline/decode/extraction.h"
#include "pipeline/decode/uncompressed.h"

namespace ambrel::pipeline {

namespace {

// The item's (or sample's) VPS, SPS and PPS, each behind 00 00 00 01; a set
// the record lacks ('hev1' may leave them to the coded data) is left out.
std::vector<std::uint8_t> parameterSetsOf(const heif::HevcImageFileReader& reader, heif::ContextId context,
                                          heif::ItemId item)
{
    heif::ParameterSetMap parameterSets;
    reader.getDecoderParameterSets(context, item, parameterSets);
    std::vector<std::uint8_t> bytes;
    for (const char* name : {"VPS", "SPS", "PPS"}) {
        if (const auto unit = parameterSets.find(name); unit != parameterSets.end()) {
            bytes.insert(bytes.end(), unit->second.begin(), unit->second.end());
        }
    }
    return bytes;
}

// An 'av1C' record as stored: its four bytes, then its configOBUs.
std::vector<std::uint8_t> av1Record(const heif::Av1CodecConfiguration& c)
{
    std::vector<std::uint8_t> record = {
        static_cast<std::uint8_t>((c.marker << 7) | (c.version & 0x7F)),
        static_cast<std::uint8_t>((c.seqProfile << 5) | (c.seqLevelIdx0 & 0x1F)),
        static_cast<std::uint8_t>((c.seqTier0 << 7) | (c.highBitdepth << 6) | (c.twelveBit << 5) | (c.monochrome << 4) |
                                  (c.chromaSubsamplingX << 3) | (c.chromaSubsamplingY << 2) |
                                  (c.chromaSamplePosition & 3)),
        static_cast<std::uint8_t>((c.reserved << 5) | (c.initialPresentationDelayPresent ? 0x10 : 0) |
                                  (c.initialPresentationDelayMinusOne & 0x0F)),
    };
    record.insert(record.end(), c.configObus.begin(), c.configObus.end());
    return record;
}

// NAL units behind lengths of `from` bytes, behind lengths of `to` bytes.
std::vector<std::uint8_t> withLengthSize(std::span<const std::uint8_t> units, unsigned from, unsigned to)
{
    std::vector<std::uint8_t> out;
    out.reserve(units.size() + units.size() / 16);
    while (!units.empty()) {
        std::size_t length = 0;
        for (unsigned i = 0; i < from && i < units.size(); ++i) {
            length = (length << 8) | units[i];
        }
        if (units.size() < from || length > units.size() - from || (to < 4 && length >> (8 * to) != 0)) {
            throw std::runtime_error("a NAL unit's length runs past its tile");
        }
        for (unsigned i = to; i-- > 0;) {
            out.push_back(static_cast<std::uint8_t>(length >> (8 * i)));
        }
        out.insert(out.end(), units.begin() + from, units.begin() + std::ptrdiff_t(from + length));
        units = units.subspan(from + length);
    }
    return out;
}

// How the item is coded, by its decoder code type ('unci' by its item type as
// well: without its 'uncC' the decoder names what is missing).
Codec codecOf(const heif::HevcImageFileReader& reader, heif::ContextId context, heif::ItemId id)
{
    const std::string codeType = reader.getDecoderCodeType(context, id);
    if (codeType == "av01") {
        return Codec::Av1;
    }
    if (codeType == "jpeg") {
        return Codec::Jpeg;
    }
    if (codeType == "unci") {
        return Codec::Uncompressed;
    }
    if (codeType == "not supported") {
        try {
            return reader.getStoredItemType(context, id) == "unci" ? Codec::Uncompressed : Codec::Hevc;
        } catch (const std::exception&) {
            // a track's sample: no item type
        }
    }
    return Codec::Hevc;
}

// Whether two uncompressed tiles of a grid share their layout (where their
// compressed units lie may differ).
bool sameLayout(const UncompressedConfig& a, const UncompressedConfig& b)
{
    const auto components = [](const UncompressedConfig& c) {
        std::vector<std::uint32_t> values;
        for (const auto& component : c.layout.components) {
            values.push_back(std::uint32_t(component.index) << 24 | std::uint32_t(component.bitDepthMinusOne) << 16 |
                             std::uint32_t(component.format) << 8 | component.alignSize);
        }
        for (const auto& definition : c.components) {
            values.push_back(definition.type);
        }
        return values;
    };
    return a.hasLayout == b.hasLayout && a.hasComponents == b.hasComponents && a.width == b.width &&
           a.height == b.height && a.layout.samplingType == b.layout.samplingType &&
           a.layout.interleaveType == b.layout.interleaveType && a.layout.pixelSize == b.layout.pixelSize &&
           a.layout.rowAlignSize == b.layout.rowAlignSize && a.compression == b.compression &&
           components(a) == components(b);
}

}  // namespace

void readTile(heif::HevcImageFileReader& reader, heif::ContextId context, heif::ItemId id, std::size_t index,
              HeifImageData& data)
{
    if (codecOf(reader, context, id) != data.codec) {
        throw std::runtime_error("the tiles are not all coded alike");
    }
    if (data.codec == Codec::Jpeg) {
        reader.getItemDataWithDecoderParameters(context, id, data.tiles[index]);
        return;
    }
    if (data.codec == Codec::Uncompressed) {
        reader.getItemData(context, id, data.tiles[index]);
        if (!data.uncompressed || data.uncompressed->size() != data.tiles.size()) {
            data.uncompressed = std::make_shared<std::vector<UncompressedConfig>>(data.tiles.size());
        }
        auto& configs = *data.uncompressed;
        configs[index] = uncompressedConfigOf(reader, context, id);
        if (!sameLayout(configs[index], configs.front())) {
            throw LimitExceededError("the uncompressed tiles of the grid are not all laid out alike");
        }
        return;
    }
    reader.getItemCodedData(context, id, data.tiles[index]);
    if (data.codec != Codec::Hevc) {
        return;
    }
    if (std::vector<std::uint8_t> sets = parameterSetsOf(reader, context, id); sets != data.paramSets) {
        // Each tile of another record holds a copy of its sets.
        reader.memoryBudget().charge(sets.size(), "The parameter sets of tile " + std::to_string(id));
        data.tileParamSets.resize(data.tiles.size());
        data.tileParamSets[index] = std::move(sets);
    }
    const unsigned lengthSize = reader.getNalLengthSize(context, id);
    if (lengthSize != data.nalLengthSize) {
        data.tiles[index] = withLengthSize(data.tiles[index], lengthSize, data.nalLengthSize);
    }
}

bool get_heif_paramset(const heif::HevcImageFileReader& reader, heif::ContextId context, HeifImageData& data)
{
    try {
        if (data.tileIds.empty()) {
            return false;
        }
        const heif::ItemId first = data.tileIds.front();
        const std::string codeType = reader.getDecoderCodeType(context, first);
        data.codec = codecOf(reader, context, first);
        if (data.codec == Codec::Jpeg || data.codec == Codec::Uncompressed) {
            return true;  // each tile is read with its configuration
        }
        if (codeType == "av01") {
            const auto configuration = reader.getItemAv1Configuration(context, first);
            if (!configuration) {
                return false;
            }
            data.codec = Codec::Av1;
            data.av1Config = av1Record(*configuration);
            return true;
        }
        data.codec = Codec::Hevc;
        data.nalLengthSize = reader.getNalLengthSize(context, first);
        data.paramSets = parameterSetsOf(reader, context, first);
        // 'hev1' may carry its parameter sets in the coded data alone.
        return !data.paramSets.empty() || codeType == "hev1";
    } catch (const std::exception&) {
        return false;
    }
}

bool get_heif_tiles(heif::HevcImageFileReader& reader, heif::ContextId context, HeifImageData& data,
                    std::uint64_t byteBudget)
{
    try {
        data.tiles.assign(data.tileIds.size(), {});
        data.tileParamSets.clear();
        // A tile named by several cells is read once; its other cells copy it.
        std::map<heif::ItemId, std::size_t> firstCell;
        std::uint64_t total = 0;
        for (std::size_t i = 0; i < data.tileIds.size(); ++i) {
            const auto [earlier, first] = firstCell.try_emplace(data.tileIds[i], i);
            if (first) {
                readTile(reader, context, data.tileIds[i], i, data);
            }
            const std::size_t size = data.tiles[earlier->second].size();
            if (size > byteBudget - total) {
                throw LimitExceededError(
                    "the tiles of the image hold more than " + std::to_string(byteBudget) +
                    " bytes, the limit for this file (" + std::to_string(heif::limits::kMaxImageTileAmplification) +
                    " times its size, plus " + std::to_string(heif::limits::kImageTileBytesAllowance) + ")");
            }
            total += size;
            if (!first) {
                reader.memoryBudget().charge(size, "The copy of tile " + std::to_string(data.tileIds[i]));
                data.tiles[i] = data.tiles[earlier->second];
                if (data.uncompressed) {
                    (*data.uncompressed)[i] = (*data.uncompressed)[earlier->second];
                }
                if (earlier->second < data.tileParamSets.size()) {
                    reader.memoryBudget().charge(data.tileParamSets[earlier->second].size(),
                                                 "The parameter sets of tile " + std::to_string(data.tileIds[i]));
                    data.tileParamSets.resize(data.tiles.size());
                    data.tileParamSets[i] = data.tileParamSets[earlier->second];
                }
            }
        }
        // The packets the tiles become are about as large as they are.
        reader.memoryBudget().charge(total + data.paramSets.size(), "The image's elementary stream");
        return true;
    } catch (const LimitExceededError&) {
        data.tiles.clear();
        throw;
    } catch (const std::exception&) {
        if (!reader.memoryBudget().refusal().empty()) {
            data.tiles.clear();
            throw LimitExceededError(reader.memoryBudget().refusal());
        }
        return false;
    }
}

}  // namespace ambrel::pipeline
