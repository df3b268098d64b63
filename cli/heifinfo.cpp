// ambrel-heifinfo: prints what the HEIF reader sees in each file given.
//
//   ambrel-heifinfo [--json] [--verbose] FILE...
//
// Every error line on standard error names its file ("error: FILE: ...").
// Exit status 0 when every file was read, 1 when any was refused, 2 for a
// usage error.
#include <json/json.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <iterator>
#include <memory>
#include <optional>
#include <set>
#include <sstream>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "cli/terminal_text.h"
#include "heiclib/box_types.h"
#include "heiclib/boxes/decoder_config_boxes.h"
#include "heiclib/log.h"
#include "heiclib/reader/hevc_image_file_reader.h"
#include "pipeline/encode/gain_map.h"

#ifndef AMBREL_VERSION
#define AMBREL_VERSION "unknown"
#endif

namespace ambrel::cli {

namespace {

const char* const kUsage =
    "Usage: ambrel-heifinfo [--json] [--verbose] FILE...\n"
    "Prints the brands, items, grids, properties and tracks of HEIF/HEIC/AVIF files.\n"
    "  --json     a JSON array of one object per file read\n"
    "  --verbose  also list every tile of a grid, and print the reader's warnings and\n"
    "             information on standard error\n"
    "  --version  print the version\n";

template <typename Set>
Json::Value featureNames(const Set& features)
{
    Json::Value names(Json::arrayValue);
    for (const auto feature : features) {
        names.append(toString(feature));
    }
    return names;
}

Json::Value idArray(const heif::IdVector& ids)
{
    Json::Value array(Json::arrayValue);
    for (const auto id : ids) {
        array.append(id);
    }
    return array;
}

Json::Value brandsOf(heif::HevcImageFileReader& reader)
{
    Json::Value brands(Json::arrayValue);
    for (const auto& brand : reader.getCompatibleBrands()) {
        brands.append(brand);
    }
    return brands;
}

Json::Value propertiesOf(heif::HevcImageFileReader& reader, heif::ContextId context, heif::ItemId id)
{
    Json::Value properties(Json::arrayValue);
    for (const auto& property : reader.getItemProperties(context, id)) {
        Json::Value p(Json::objectValue);
        // Properties without a kind of their own are named by their box type.
        p["type"] = property.type == heif::ItemPropertyType::Raw ? reader.getPropertyBoxType(context, property.index)
                                                                 : toString(property.type);
        p["index"] = property.index;
        p["essential"] = property.essential;
        properties.append(p);
    }
    return properties;
}

// The size an image is shown at: its clean aperture, then turned (a quarter
// turn swaps the sides), by its transformative properties in order.
void displayedSize(heif::HevcImageFileReader& reader, heif::ContextId context, heif::ItemId id, std::uint32_t& width,
                   std::uint32_t& height)
{
    for (const auto& property : reader.getItemProperties(context, id)) {
        if (property.type == heif::ItemPropertyType::Clap) {
            const heif::CleanApertureInfo clap = reader.getPropertyClap(context, property.index);
            if (clap.widthD == 0 || clap.heightD == 0) {
                continue;
            }
            // Whole pixels, halves rounded up; an aperture larger than the
            // picture leaves it as it is.
            const auto wide = static_cast<std::uint64_t>(std::floor(double(clap.widthN) / clap.widthD + 0.5));
            const auto high = static_cast<std::uint64_t>(std::floor(double(clap.heightN) / clap.heightD + 0.5));
            if (wide > 0 && high > 0 && wide <= width && high <= height) {
                width = static_cast<std::uint32_t>(wide);
                height = static_cast<std::uint32_t>(high);
            }
        } else if (property.type == heif::ItemPropertyType::Irot) {
            const std::uint32_t angle = reader.getPropertyIrot(context, property.index);
            if (angle == 90 || angle == 270) {
                std::swap(width, height);
            }
        }
    }
}

// What an auxiliary image holds, by its 'auxC' type.
std::string auxiliaryKind(const std::string& type)
{
    if (type == "urn:mpeg:mpegB:cicp:systems:auxiliary:alpha" || type == "urn:mpeg:hevc:2015:auxid:1") {
        return "alpha";
    }
    if (type == "urn:mpeg:mpegB:cicp:systems:auxiliary:depth" || type == "urn:mpeg:hevc:2015:auxid:2") {
        return "depth";
    }
    if (type == "urn:mpeg:mpegB:cicp:systems:auxiliary:disparity") {
        return "disparity";
    }
    if (type == "urn:com:apple:photo:2020:aux:hdrgainmap" || type == "urn:com:samsung:photo:2024:aux:hdrgainmap") {
        return "gainmap";
    }
    return "other";
}

// The auxiliary side of an image: its 'auxC' type and kind and the image it
// belongs to; null for an image with no 'auxl' reference.
Json::Value describeAuxiliary(heif::HevcImageFileReader& reader, heif::ContextId context, heif::ItemId id)
{
    heif::IdVector owners;
    reader.getReferencedFromItemListByType(context, id, heif::FourCCInt("auxl"), owners);
    if (owners.empty()) {
        return Json::Value(Json::nullValue);
    }
    Json::Value auxiliary(Json::objectValue);
    std::string type;
    for (const auto& property : reader.getItemProperties(context, id)) {
        if (property.type == heif::ItemPropertyType::Auxc) {
            type = reader.getPropertyAuxc(context, property.index).auxType;
            while (!type.empty() && type.back() == '\0') {
                type.pop_back();
            }
            break;
        }
    }
    auxiliary["kind"] = auxiliaryKind(type);
    auxiliary["type"] = type;
    auxiliary["of"] = owners.front();
    return auxiliary;
}

// Big-endian fields of an ICC profile; 0 past its end.
std::uint32_t iccU32(const heif::DataVector& icc, std::size_t at)
{
    if (at > icc.size() || icc.size() - at < 4) {
        return 0;
    }
    return (std::uint32_t(icc[at]) << 24) | (std::uint32_t(icc[at + 1]) << 16) | (std::uint32_t(icc[at + 2]) << 8) |
           icc[at + 3];
}

// The description of an ICC profile (its 'desc' tag, ICC v2 text or v4
// multi-language), as UTF-8; empty when it has none that can be read.
std::string iccDescription(const heif::DataVector& icc)
{
    constexpr std::uint32_t kDesc = 0x64657363;  // 'desc'
    constexpr std::uint32_t kMluc = 0x6d6c7563;  // 'mluc'
    const std::uint32_t tagCount = iccU32(icc, 128);
    for (std::uint32_t i = 0; i < tagCount && 132 + std::size_t(i) * 12 + 12 <= icc.size(); ++i) {
        const std::size_t entry = 132 + std::size_t(i) * 12;
        if (iccU32(icc, entry) != kDesc) {
            continue;
        }
        const std::size_t offset = iccU32(icc, entry + 4);
        const std::size_t size = iccU32(icc, entry + 8);
        if (offset > icc.size() || size > icc.size() - offset || size < 12) {
            return {};
        }
        const auto tag = icc.begin() + static_cast<std::ptrdiff_t>(offset);
        if (iccU32(icc, offset) == kDesc) {  // ICC v2: an ASCII count and text
            const std::size_t count = std::min<std::size_t>(iccU32(icc, offset + 8), size - 12);
            std::string text(tag + 12, tag + 12 + static_cast<std::ptrdiff_t>(count));
            return text.substr(0, text.find('\0'));
        }
        if (iccU32(icc, offset) == kMluc && iccU32(icc, offset + 8) > 0 && size >= 28) {
            // The first record's UTF-16BE text.
            const std::size_t length = iccU32(icc, offset + 20);
            const std::size_t start = iccU32(icc, offset + 24);
            if (start > size || length > size - start) {
                return {};
            }
            std::string text;
            for (std::size_t at = offset + start; at + 1 < offset + start + length; at += 2) {
                const unsigned unit = (unsigned(icc[at]) << 8) | icc[at + 1];
                if (unit < 0x80) {
                    text += static_cast<char>(unit);
                } else if (unit < 0x800) {
                    text += static_cast<char>(0xC0 | (unit >> 6));
                    text += static_cast<char>(0x80 | (unit & 0x3F));
                } else if (unit < 0xD800 || unit > 0xDFFF) {
                    text += static_cast<char>(0xE0 | (unit >> 12));
                    text += static_cast<char>(0x80 | ((unit >> 6) & 0x3F));
                    text += static_cast<char>(0x80 | (unit & 0x3F));
                } else {
                    text += '?';  // a surrogate half: not worth decoding for a label
                }
            }
            return text.substr(0, text.find('\0'));
        }
        return {};
    }
    return {};
}

// What the image's 'colr' properties say: an ICC profile (size and
// description) and/or 'nclx' code points; null without either.
Json::Value describeColour(heif::HevcImageFileReader& reader, heif::ContextId context, heif::ItemId id)
{
    Json::Value colour(Json::nullValue);
    const heif::DataVector icc = reader.getItemIccProfile(context, id);
    if (!icc.empty()) {
        colour["icc_size"] = static_cast<Json::UInt64>(icc.size());
        colour["icc_description"] = iccDescription(icc);
    }
    if (const auto nclx = reader.getItemColourInformation(context, id)) {
        Json::Value values(Json::objectValue);
        values["colour_primaries"] = nclx->colourPrimaries;
        values["transfer_characteristics"] = nclx->transferCharacteristics;
        values["matrix_coefficients"] = nclx->matrixCoefficients;
        values["full_range"] = nclx->fullRange;
        colour["nclx"] = values;
    }
    return colour;
}

std::string joined(const Json::Value& array, const char* separator = ", ")
{
    std::string text;
    for (const auto& value : array) {
        if (!text.empty()) {
            text += separator;
        }
        text += value.isString() ? terminalSafe(value.asString())
                                 : value.toStyledString().substr(0, value.toStyledString().size() - 1);
    }
    return text;
}

// --- the coding of an image and its configuration

std::string chromaText(unsigned subsamplingX, unsigned subsamplingY)
{
    if (subsamplingX != 0) {
        return subsamplingY != 0 ? "4:2:0" : "4:2:2";
    }
    return "4:4:4";
}

// HEVC from its 'hvcC': profile, bit depth and chroma format.
Json::Value describeHevc(const heif::HevcDecoderConfigRecord& record)
{
    static const char* const kProfiles[] = {"", "Main", "Main 10", "Main Still Picture", "Range Extensions"};
    static const char* const kChroma[] = {"monochrome", "4:2:0", "4:2:2", "4:4:4"};
    Json::Value coding(Json::objectValue);
    const unsigned profile = record.getGeneralProfileIdc();
    coding["codec"] = "HEVC";
    coding["profile"] = profile < std::size(kProfiles) && profile != 0 ? std::string(kProfiles[profile])
                                                                       : "profile " + std::to_string(profile);
    coding["level"] = record.getGeneralLevelIdc() / 30.0;
    coding["bit_depth"] = 8 + record.getBitDepthLumaMinus8();
    coding["chroma"] = kChroma[record.getChromaFormatIdc() & 3];
    coding["summary"] = "HEVC " + coding["profile"].asString() + ", " + std::to_string(coding["bit_depth"].asUInt()) +
                        "-bit, " + coding["chroma"].asString();
    return coding;
}

// AV1 from its 'av1C': profile, level, bit depth, chroma and monochrome.
Json::Value describeAv1(const heif::Av1CodecConfiguration& record)
{
    static const char* const kProfiles[] = {"Main", "High", "Professional"};
    Json::Value coding(Json::objectValue);
    coding["codec"] = "AV1";
    coding["profile"] = record.seqProfile < std::size(kProfiles) ? std::string(kProfiles[record.seqProfile])
                                                                 : "profile " + std::to_string(record.seqProfile);
    // seq_level_idx: 2.0 + (idx >> 2) . (idx & 3); 31 is no level limit.
    const unsigned level = record.seqLevelIdx0;
    coding["level"] =
        level == 31 ? std::string("max") : std::to_string(2 + (level >> 2)) + "." + std::to_string(level & 3);
    coding["tier"] = record.seqTier0;
    coding["bit_depth"] = record.bitDepth();
    coding["monochrome"] = record.monochrome != 0;
    coding["chroma"] = record.monochrome != 0 ? std::string("monochrome")
                                              : chromaText(record.chromaSubsamplingX, record.chromaSubsamplingY);
    coding["config_obus_size"] = static_cast<Json::UInt64>(record.configObus.size());
    coding["summary"] = "AV1 " + coding["profile"].asString() + " profile, level " + coding["level"].asString() + ", " +
                        std::to_string(record.bitDepth()) + "-bit, " + coding["chroma"].asString();
    return coding;
}

// The names of an uncompressed image's components, from 'cmpd' by the
// indices of 'uncC': "RGB", "RGBA", "YCbCr", "grey", "grey+A"...
std::string componentNames(const heif::UncompressedLayout& layout, const heif::ComponentDefinitionBox* cmpd)
{
    static const char* const kNames[] = {"grey",    "Y",    "Cb",      "Cr",        "R",       "G",
                                         "B",       "A",    "depth",   "disparity", "palette", "filter array",
                                         "padding", "Cyan", "Magenta", "Yellow",    "Key"};
    std::vector<std::string> names;
    bool letters = true;
    for (const auto& component : layout.components) {
        std::string name = "?";
        if (cmpd != nullptr && component.index < cmpd->getComponents().size()) {
            const heif::ComponentDefinition& definition = cmpd->getComponents()[component.index];
            name = definition.type < std::size(kNames) ? kNames[definition.type]
                   : definition.uri.empty()            ? "type " + std::to_string(definition.type)
                                                       : definition.uri;
        }
        letters = letters && name.size() <= 2;
        names.push_back(name);
    }
    std::string text;
    for (const auto& name : names) {
        text += (text.empty() || letters ? "" : "+") + name;
    }
    return text.empty() ? "no components" : text;
}

// An uncompressed image from 'uncC', 'cmpd' and, when compressed, 'cmpC':
// e.g. "uncompressed RGB 8-bit interleaved, deflate compressed per row".
Json::Value describeUncompressed(heif::HevcImageFileReader& reader, heif::ContextId context, heif::ItemId id)
{
    Json::Value coding(Json::objectValue);
    coding["codec"] = "uncompressed";
    const auto uncC = std::dynamic_pointer_cast<const heif::UncompressedFrameConfigBox>(
        reader.getItemPropertyBox(context, id, heif::boxtype::kUncC));
    if (!uncC) {
        coding["summary"] = "uncompressed, without a layout ('uncC')";
        return coding;
    }
    const heif::UncompressedLayout& layout = uncC->getLayout();
    std::string summary = "uncompressed";
    if (uncC->getVersion() == 1) {
        coding["profile"] = layout.profile.getString();
        summary += " profile '" + terminalSafe(layout.profile.getString()) + "'";
    } else {
        const auto cmpd = std::dynamic_pointer_cast<const heif::ComponentDefinitionBox>(
            reader.getItemPropertyBox(context, id, heif::boxtype::kCmpd));
        static const char* const kInterleave[] = {"planar",          "interleaved",    "mixed",
                                                  "row-interleaved", "tile-component", "multi-Y"};
        static const char* const kSampling[] = {"", " 4:2:2", " 4:2:0", " 4:1:1"};
        std::set<unsigned> depths;
        Json::Value bits(Json::arrayValue);
        for (const auto& component : layout.components) {
            depths.insert(component.bitDepthMinusOne + 1u);
            bits.append(component.bitDepthMinusOne + 1u);
        }
        coding["components"] = componentNames(layout, cmpd.get());
        coding["bit_depths"] = bits;
        coding["interleave"] = layout.interleaveType < std::size(kInterleave)
                                   ? std::string(kInterleave[layout.interleaveType])
                                   : "interleave type " + std::to_string(layout.interleaveType);
        summary += " " + terminalSafe(coding["components"].asString());
        if (depths.size() == 1) {
            summary += " " + std::to_string(*depths.begin()) + "-bit";
        } else if (!depths.empty()) {
            summary += " " + joined(bits, "/") + "-bit";
        }
        summary += layout.samplingType < std::size(kSampling) ? kSampling[layout.samplingType] : " subsampled";
        summary += " " + coding["interleave"].asString();
    }
    if (const auto cmpC = std::dynamic_pointer_cast<const heif::CompressionConfigurationBox>(
            reader.getItemPropertyBox(context, id, heif::boxtype::kCmpC))) {
        static const std::pair<heif::FourCCInt, const char*> kCompressions[] = {
            {heif::codetype::kDefl, "deflate"}, {heif::codetype::kZlib, "zlib"}, {heif::codetype::kBrot, "brotli"}};
        static const char* const kUnits[] = {"as a whole", "per image", "per tile", "per row", "per pixel"};
        std::string compression = "'" + terminalSafe(cmpC->getCompressionType().getString()) + "'";
        for (const auto& [type, name] : kCompressions) {
            if (cmpC->getCompressionType() == type) {
                compression = name;
            }
        }
        const unsigned unit = cmpC->getCompressedUnitType();
        coding["compression"] = compression;
        summary += ", " + compression + " compressed " +
                   (unit < std::size(kUnits) ? std::string(kUnits[unit]) : "in units of type " + std::to_string(unit));
    }
    coding["summary"] = summary;
    return coding;
}

// The coding of a coded image and its configuration; null for a derived
// image ('grid', 'iovl', 'iden').
Json::Value describeCoding(heif::HevcImageFileReader& reader, heif::ContextId context, heif::ItemId id,
                           const std::string& codeType)
{
    if (const auto hvcC = std::dynamic_pointer_cast<const heif::HevcConfigurationBox>(
            reader.getItemPropertyBox(context, id, heif::boxtype::kHvcC))) {
        return describeHevc(hvcC->getConfiguration());
    }
    if (const auto av1 = reader.getItemAv1Configuration(context, id)) {
        return describeAv1(*av1);
    }
    if (codeType == "jpeg") {
        Json::Value coding(Json::objectValue);
        coding["codec"] = "JPEG";
        const std::size_t prefix = reader.getItemJpegPrefix(context, id).size();
        coding["prefix_size"] = static_cast<Json::UInt64>(prefix);
        coding["summary"] = prefix == 0 ? std::string("JPEG") : "JPEG, prefix of " + std::to_string(prefix) + " bytes";
        return coding;
    }
    if (codeType == "unci") {
        return describeUncompressed(reader, context, id);
    }
    return Json::Value(Json::nullValue);
}

// One image item. Reading the coded data proves the item's bytes are all
// there; an 'iden' item derives its picture from its source and has no data
// of its own.
template <typename Features>
Json::Value describeImage(heif::HevcImageFileReader& reader, heif::ContextId context, heif::ItemId id,
                          const Features& features)
{
    Json::Value item(Json::objectValue);
    item["id"] = id;
    item["type"] = reader.getItemType(context, id);
    item["code_type"] = reader.getDecoderCodeType(context, id);
    std::uint32_t width = reader.getWidth(context, id);
    std::uint32_t height = reader.getHeight(context, id);
    item["width"] = width;
    item["height"] = height;
    if (reader.getItemType(context, id) == "grid") {
        // A grid's stored size is its output size, not the 'ispe' of a tile.
        try {
            const heif::GridItem grid = reader.getItemGrid(context, id);
            width = grid.outputWidth;
            height = grid.outputHeight;
        } catch (const std::exception&) {
            // an unreadable grid shows its 'ispe'
        }
    }
    displayedSize(reader, context, id, width, height);
    item["displayed_width"] = width;
    item["displayed_height"] = height;
    if (const Json::Value auxiliary = describeAuxiliary(reader, context, id); !auxiliary.isNull()) {
        item["auxiliary"] = auxiliary;
    }
    if (Json::Value coding = describeCoding(reader, context, id, item["code_type"].asString()); !coding.isNull()) {
        item["coding"] = std::move(coding);
    }
    item["features"] = featureNames(features);
    item["properties"] = propertiesOf(reader, context, id);
    if (const Json::Value colour = describeColour(reader, context, id); !colour.isNull()) {
        item["colour"] = colour;
    }
    if (const auto depths = reader.getItemBitDepths(context, id)) {
        Json::Value bits(Json::arrayValue);
        for (const auto depth : *depths) {
            bits.append(depth);
        }
        item["bit_depths"] = bits;
    }
    if (features.count(heif::ImageFeature::ProtectedImage) == 0 && reader.getItemType(context, id) != "iden") {
        try {
            heif::DataVector data;
            reader.getItemData(context, id, data);
            item["data_size"] = static_cast<Json::UInt64>(data.size());
        } catch (const heif::FileReaderException& e) {
            if (e.getStatusCode() != heif::FileReaderException::CodeTypeNotSupported) {
                item["error"] = e.what();
            }
        } catch (const std::exception& e) {
            item["error"] = e.what();
        }
    }
    return item;
}

Json::Value describeGrid(heif::HevcImageFileReader& reader, heif::ContextId context, heif::ItemId id)
{
    const heif::GridItem grid = reader.getItemGrid(context, id);
    Json::Value g(Json::objectValue);
    g["id"] = id;
    g["rows"] = grid.rowsMinusOne + 1;
    g["columns"] = grid.columnsMinusOne + 1;
    g["width"] = grid.outputWidth;
    g["height"] = grid.outputHeight;
    g["tiles"] = idArray(grid.itemIds);
    return g;
}

// The items of the context that are not images (Exif, XMP...).
Json::Value describeOtherItems(heif::HevcImageFileReader& reader, heif::ContextId context)
{
    Json::Value others(Json::arrayValue);
    const auto& contexts = reader.getMetaContexts();
    const auto it = contexts.find(context);
    if (it == contexts.end()) {
        return others;
    }
    for (const auto& [id, type] : it->second.otherItems) {
        Json::Value other(Json::objectValue);
        other["id"] = id;
        other["type"] = type;
        if (type == "mime") {
            if (const auto content = reader.getItemMimeContent(context, id)) {
                other["content_type"] = content->contentType;
                if (content->contentType == "application/rdf+xml") {
                    other["kind"] = "XMP";
                }
            }
        }
        try {
            heif::DataVector data;
            reader.getItemData(context, id, data);
            other["size"] = static_cast<Json::UInt64>(data.size());
        } catch (const std::exception& e) {
            other["size"] = Json::Value(Json::nullValue);
            other["error"] = e.what();
        }
        others.append(other);
    }
    return others;
}

// A 'tmap' item derives an HDR rendition from a base image and a gain map
// image, its 'dimg' inputs in that order: the gain map image is shown as the
// base image's gain map (its type "tmap", and the 'tmap' item).
void markToneMapGainMaps(heif::HevcImageFileReader& reader, heif::ContextId context, Json::Value& file)
{
    for (const auto& other : file["other_items"]) {
        if (other["type"].asString() != "tmap") {
            continue;
        }
        heif::IdVector inputs;
        try {
            reader.getReferencedFromItemListByType(context, other["id"].asUInt(), heif::FourCCInt("dimg"), inputs);
        } catch (const heif::FileReaderException&) {
            continue;
        }
        if (inputs.size() != 2) {
            continue;
        }
        for (auto& item : file["items"]) {
            if (item["id"].asUInt() == inputs[1] && !item.isMember("auxiliary")) {
                Json::Value auxiliary(Json::objectValue);
                auxiliary["kind"] = "gainmap";
                auxiliary["type"] = "tmap";
                auxiliary["of"] = inputs[0];
                auxiliary["tmap"] = other["id"];
                item["auxiliary"] = auxiliary;
            }
        }
    }
}

// The file-level meta box: primary item, images, grids and other items.
void describeMeta(heif::HevcImageFileReader& reader, const heif::MetaBoxInformation& meta, Json::Value& file)
{
    const heif::ContextId context = meta.contextId;
    try {
        file["primary"] = reader.getCoverImageItemId(context);
    } catch (const heif::FileReaderException&) {
        // no cover image: stays null
    }
    file["meta_features"] = featureNames(meta.features);
    for (const auto& [id, features] : meta.imageFeatures) {
        file["items"].append(describeImage(reader, context, id, features));
        if (reader.getItemType(context, id) == "grid" && features.count(heif::ImageFeature::ProtectedImage) == 0) {
            file["grids"].append(describeGrid(reader, context, id));
        }
    }
    file["other_items"] = describeOtherItems(reader, context);
    markToneMapGainMaps(reader, context, file);
}

Json::Value describeTracks(heif::HevcImageFileReader& reader, const heif::FileInformation& info)
{
    Json::Value tracks(Json::arrayValue);
    for (const auto& [trackId, track] : info.trackInformation) {
        Json::Value t(Json::objectValue);
        t["id"] = trackId;
        t["samples"] = static_cast<Json::UInt64>(track.sampleProperties.size());
        t["features"] = featureNames(track.features);
        t["display_width"] = reader.getDisplayWidth(trackId);
        t["display_height"] = reader.getDisplayHeight(trackId);
        t["duration_seconds"] = reader.getPlaybackDurationInSecs(trackId);
        if (!track.sampleProperties.empty()) {
            const heif::ItemId first = track.sampleProperties.begin()->first;
            t["code_type"] = reader.getDecoderCodeType(trackId, first);
            if (const auto av1 = reader.getItemAv1Configuration(trackId, first)) {
                t["coding"] = describeAv1(*av1);
            }
        }
        tracks.append(t);
    }
    return tracks;
}

// Everything the reader answers about one file, as JSON.
Json::Value describe(heif::HevcImageFileReader& reader)
{
    Json::Value file(Json::objectValue);
    file["major_brand"] = reader.getMajorBrand();
    file["minor_version"] = reader.getMinorVersion();
    file["compatible_brands"] = brandsOf(reader);

    const heif::FileInformation& info = reader.getFileInformation();
    file["features"] = featureNames(info.features);
    file["primary"] = Json::Value(Json::nullValue);
    file["items"] = Json::Value(Json::arrayValue);
    file["grids"] = Json::Value(Json::arrayValue);
    file["other_items"] = Json::Value(Json::arrayValue);
    file["tracks"] = Json::Value(Json::arrayValue);
    if (info.features.count(heif::FileFeature::HasRootLevelMetaBox) != 0) {
        describeMeta(reader, info.rootMetaBoxInformation, file);
    }
    file["tracks"] = describeTracks(reader, info);
    file["dropped_tracks"] = Json::Value(Json::arrayValue);
    for (const auto& dropped : reader.getDroppedTracks()) {
        Json::Value d(Json::objectValue);
        d["id"] = dropped.trackId ? Json::Value(*dropped.trackId) : Json::Value(Json::nullValue);
        d["reason"] = dropped.reason;
        file["dropped_tracks"].append(d);
    }
    return file;
}

// A text from the file (or its name), escaped for the terminal.
std::string shown(const Json::Value& value)
{
    return terminalSafe(value.asString());
}

// The tiles of the file's grids, and per grid "48 tiles of 512 x 512" (or
// "of different sizes").
std::set<unsigned> gridTiles(const Json::Value& file)
{
    std::set<unsigned> tiles;
    for (const auto& grid : file["grids"]) {
        for (const auto& tile : grid["tiles"]) {
            tiles.insert(tile.asUInt());
        }
    }
    return tiles;
}

std::string tileSummary(const Json::Value& file, const Json::Value& grid)
{
    const unsigned count = grid["tiles"].size();
    std::optional<std::pair<unsigned, unsigned>> size;
    bool same = true;
    for (const auto& tile : grid["tiles"]) {
        const Json::Value* item = nullptr;
        for (const auto& candidate : file["items"]) {
            if (candidate["id"].asUInt() == tile.asUInt()) {
                item = &candidate;
            }
        }
        const std::pair<unsigned, unsigned> tileSize =
            item != nullptr ? std::pair((*item)["width"].asUInt(), (*item)["height"].asUInt()) : std::pair(0u, 0u);
        same = same && (!size || *size == tileSize);
        size = tileSize;
    }
    std::string text = std::to_string(count) + (count == 1 ? " tile" : " tiles");
    if (size && same) {
        text += " of " + std::to_string(size->first) + " x " + std::to_string(size->second);
    } else if (size) {
        text += " of different sizes";
    }
    return text;
}

// "hvc1" for a coded image; nothing for a derived one, whose pixels come from
// other images.
std::string codingText(const Json::Value& item)
{
    const std::string type = item["type"].asString();
    if (type == "grid" || type == "iovl" || type == "iden") {
        return "";
    }
    const std::string code = item["code_type"].asString();
    return code == "not supported" ? " (no decoder configuration)" : " (" + terminalSafe(code) + ")";
}

void printColour(std::ostream& out, const Json::Value& item)
{
    if (item.isMember("colour")) {
        const Json::Value& colour = item["colour"];
        out << "    colour:";
        if (colour.isMember("icc_size")) {
            out << " ICC profile of " << colour["icc_size"].asUInt64() << " bytes";
            if (!colour["icc_description"].asString().empty()) {
                out << " (\"" << shown(colour["icc_description"]) << "\")";
            }
        }
        if (colour.isMember("nclx")) {
            const Json::Value& nclx = colour["nclx"];
            out << (colour.isMember("icc_size") ? ";" : "") << " nclx primaries " << nclx["colour_primaries"].asUInt()
                << ", transfer " << nclx["transfer_characteristics"].asUInt() << ", matrix "
                << nclx["matrix_coefficients"].asUInt()
                << (nclx["full_range"].asBool() ? ", full range" : ", limited range");
        }
        out << '\n';
    }
    if (item.isMember("bit_depths")) {
        out << "    bit depths: " << joined(item["bit_depths"]) << '\n';
    }
}

void printImage(std::ostream& out, const Json::Value& item)
{
    out << "  image " << item["id"].asUInt() << ": " << shown(item["type"]) << codingText(item) << ' '
        << item["width"].asUInt() << " x " << item["height"].asUInt() << ", shown " << item["displayed_width"].asUInt()
        << " x " << item["displayed_height"].asUInt();
    if (!item["features"].empty()) {
        out << " [" << joined(item["features"]) << "]";
    }
    out << '\n';
    if (item.isMember("auxiliary")) {
        const Json::Value& auxiliary = item["auxiliary"];
        out << "    auxiliary image: " << shown(auxiliary["kind"]) << " of image " << auxiliary["of"].asUInt();
        if (auxiliary.isMember("tmap")) {
            out << " (input of the 'tmap' item " << auxiliary["tmap"].asUInt() << ")";
        } else if (auxiliary["kind"].asString() == "other") {
            out << " (" << shown(auxiliary["type"]) << ")";
        }
        out << '\n';
    }
    if (item.isMember("error")) {
        out << "    unreadable: " << shown(item["error"]) << '\n';
    }
    if (item.isMember("coding")) {
        out << "    coding: " << shown(item["coding"]["summary"]) << '\n';
    }
    printColour(out, item);
    if (!item["properties"].empty()) {
        out << "    properties:";
        for (const auto& p : item["properties"]) {
            out << ' ' << shown(p["type"]) << '#' << p["index"].asUInt() << (p["essential"].asBool() ? "!" : "");
        }
        out << '\n';
    }
}

// The brands, item types and names come from the file and may hold control
// bytes: every text printed goes through terminalSafe. The tiles of grids are
// summed up in their grid's line and listed only when `verbose`.
void printText(const std::string& path, const Json::Value& file, bool verbose)
{
    std::ostream& out = std::cout;
    out << terminalSafe(path) << '\n';
    out << "  brands: " << shown(file["major_brand"]) << " (minor " << file["minor_version"].asUInt()
        << "), compatible: " << joined(file["compatible_brands"]) << '\n';
    if (!file["primary"].isNull()) {
        out << "  primary item: " << file["primary"].asUInt() << '\n';
    }
    const std::set<unsigned> tiles = gridTiles(file);
    for (const auto& item : file["items"]) {
        if (verbose || tiles.count(item["id"].asUInt()) == 0 || item.isMember("error")) {
            printImage(out, item);
        }
    }
    for (const auto& grid : file["grids"]) {
        out << "  grid " << grid["id"].asUInt() << ": " << grid["rows"].asUInt() << " rows x "
            << grid["columns"].asUInt() << " columns, output " << grid["width"].asUInt() << " x "
            << grid["height"].asUInt() << ", " << tileSummary(file, grid);
        if (verbose) {
            out << ": " << joined(grid["tiles"]);
        }
        out << '\n';
    }
    for (const auto& other : file["other_items"]) {
        out << "  item " << other["id"].asUInt() << ": " << shown(other["type"]);
        if (other.isMember("kind")) {
            out << " (" << shown(other["kind"]) << ")";
        } else if (other.isMember("content_type")) {
            out << " (" << shown(other["content_type"]) << ")";
        }
        if (other["size"].isNull()) {
            out << ", unreadable: " << shown(other["error"]) << '\n';
        } else {
            out << ", " << other["size"].asUInt64() << " bytes\n";
        }
    }
    for (const auto& track : file["tracks"]) {
        out << "  track " << track["id"].asUInt() << ": " << track["samples"].asUInt64() << " samples"
            << (track.isMember("code_type") ? " (" + shown(track["code_type"]) + ")" : std::string()) << ", "
            << track["display_width"].asUInt() << " x " << track["display_height"].asUInt() << ", "
            << track["duration_seconds"].asDouble() << " s";
        if (!track["features"].empty()) {
            out << " [" << joined(track["features"]) << "]";
        }
        out << '\n';
        if (track.isMember("coding")) {
            out << "    coding: " << shown(track["coding"]["summary"]) << '\n';
        }
    }
    for (const auto& dropped : file["dropped_tracks"]) {
        out << "  track " << (dropped["id"].isNull() ? std::string("?") : std::to_string(dropped["id"].asUInt()))
            << " left out: " << shown(dropped["reason"]) << '\n';
    }
    if (const Json::Value& hdr = file["hdr_gain_map"]; hdr.isObject()) {
        out << "  HDR gain map: ";
        if (hdr["kind"].isNull()) {
            out << "not kept in JPEG output: " << shown(hdr["not_kept"]) << '\n';
        } else {
            char headroom[32];
            std::snprintf(headroom, sizeof headroom, "%.2f", hdr["headroom_stops"].asDouble());
            out << hdr["kind"].asString() << ", " << hdr["width"].asUInt() << " x " << hdr["height"].asUInt()
                << ", headroom " << headroom << " stops\n";
        }
    }
}

struct Arguments
{
    bool json = false;
    bool verbose = false;
    std::vector<std::string> paths;
};

// The arguments; the exit status instead when the program ends here (help,
// or a usage error, already printed).
std::optional<int> parseArguments(int argc, char** argv, Arguments& arguments)
{
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--json") {
            arguments.json = true;
        } else if (arg == "--verbose") {
            arguments.verbose = true;
        } else if (arg == "-h" || arg == "--help") {
            std::cout << kUsage;
            return 0;
        } else if (arg == "--version") {
            std::cout << "ambrel-heifinfo " << AMBREL_VERSION << '\n';
            return 0;
        } else if (arg == "--") {
            for (++i; i < argc; ++i) {
                arguments.paths.emplace_back(argv[i]);
            }
        } else if (!arg.empty() && arg[0] == '-') {
            std::cerr << "ambrel-heifinfo: unknown option '" << terminalSafe(arg) << "'\n" << kUsage;
            return 2;
        } else {
            arguments.paths.push_back(arg);
        }
    }
    if (arguments.paths.empty()) {
        std::cerr << "ambrel-heifinfo: no file given\n" << kUsage;
        return 2;
    }
    return std::nullopt;
}

bool startsWithFileTypeBox(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    char head[8] = {};
    return in.read(head, sizeof head) && std::string_view(head + 4, 4) == "ftyp";
}

// The primary's HDR gain map as the converter sees it (its kind, size and
// headroom, or why it would not be kept); null when the file has none. The
// file is read into memory only when it has an image a gain map can be.
Json::Value describeHdr(const std::string& path, const Json::Value& file)
{
    const bool candidate = std::any_of(file["items"].begin(), file["items"].end(), [](const Json::Value& item) {
        return item.isMember("auxiliary") && item["auxiliary"]["kind"].asString() == "gainmap";
    });
    if (!candidate) {
        return Json::Value(Json::nullValue);
    }
    std::ifstream in(path, std::ios::binary);
    const std::vector<std::uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const auto gainMap = pipeline::describeGainMap(bytes.data(), bytes.size());
    if (!gainMap) {
        return Json::Value(Json::nullValue);
    }
    Json::Value hdr(Json::objectValue);
    hdr["kind"] = gainMap->kind == pipeline::GainMapKind::None ? Json::Value(Json::nullValue)
                                                               : Json::Value(pipeline::gainMapKindName(gainMap->kind));
    hdr["width"] = gainMap->width;
    hdr["height"] = gainMap->height;
    hdr["headroom_stops"] = gainMap->headroomStops;
    if (!gainMap->warning.empty()) {
        hdr["not_kept"] = gainMap->warning;
    }
    return hdr;
}

// One file as JSON; an unreadable item is reported on standard error and
// sets `status` to 1. Throws when the file cannot be read at all.
Json::Value describeFile(const std::string& path, int& status)
{
    heif::HevcImageFileReader reader;
    // Every coding of the HEIF family is shown, whether it can be converted or not.
    reader.setImageCodings(heif::HevcImageFileReader::ImageCodings::All);
    try {
        reader.initialize(path);
    } catch (const heif::FileReaderException& e) {
        // A file that does not begin with a file type box (a JPEG named
        // .heic) is named for what it is, as the converter does.
        if (e.getStatusCode() != heif::FileReaderException::OpenFailed && !startsWithFileTypeBox(path)) {
            throw std::runtime_error("not a HEIF file");
        }
        throw;
    }
    if (reader.getMajorBrand().empty() &&
        reader.getFileInformation().features.count(heif::FileFeature::HasRootLevelMetaBox) == 0) {
        throw std::runtime_error("not a HEIF file: no 'ftyp' or 'meta' box");
    }
    Json::Value file = describe(reader);
    file["file"] = path;
    file["hdr_gain_map"] = describeHdr(path, file);
    for (const auto& item : file["items"]) {
        if (item.isMember("error")) {
            std::cerr << "error: " << terminalSafe(path) << ": item " << item["id"].asUInt() << ": "
                      << shown(item["error"]) << '\n';
            status = 1;
        }
    }
    return file;
}

void printJson(const Json::Value& all)
{
    Json::StreamWriterBuilder builder;
    builder["indentation"] = "  ";
    std::unique_ptr<Json::StreamWriter> writer(builder.newStreamWriter());
    writer->write(all, &std::cout);
    std::cout << '\n';
}

}  // namespace

int heifinfoMain(int argc, char** argv)
{
    Arguments arguments;
    if (const auto status = parseArguments(argc, argv, arguments)) {
        return *status;
    }

    // Standard output carries only the report; the reader's diagnostics go to
    // standard error, and only when asked for.
    log::setLevel(arguments.verbose ? log::Info : log::Error);
    // Each line names the file being read.
    std::string current;
    log::setSink([&current](int, const std::string& text) {
        std::cerr << terminalSafe(current) << ": " << terminalSafe(text) << '\n';
    });

    int status = 0;
    Json::Value all(Json::arrayValue);
    for (const auto& path : arguments.paths) {
        current = path;
        try {
            Json::Value file = describeFile(path, status);
            if (arguments.json) {
                all.append(file);
            } else {
                printText(path, file, arguments.verbose);
            }
        } catch (const std::exception& e) {
            std::cerr << "error: " << terminalSafe(path) << ": " << terminalSafe(e.what()) << '\n';
            status = 1;
        }
    }
    if (arguments.json) {
        printJson(all);
    }
    return status;
}

}  // namespace ambrel::cli

int main(int argc, char** argv)
{
    ambrel::cli::openClosedStandardStreams();
    return ambrel::cli::heifinfoMain(argc, argv);
}
