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
#include "heiclib/model/image_model.h"
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

// The auxiliary side of an image: its 'auxC' type and kind and the image it
// belongs to, or for the gain map image of a 'tmap' item the type "tmap",
// its base image and the 'tmap' item; null for neither.
Json::Value describeAuxiliary(const heif::ImageModel& model, const heif::ModelImage& image)
{
    Json::Value auxiliary(Json::objectValue);
    if (!image.auxiliaryOf.empty()) {
        const std::string type = image.auxC.value_or("");
        auxiliary["kind"] = heif::auxiliaryKindName(heif::auxiliaryKindOf(type));
        auxiliary["type"] = type;
        auxiliary["of"] = image.auxiliaryOf.front();
        return auxiliary;
    }
    for (const heif::ToneMapItem& toneMap : model.toneMaps()) {
        if (toneMap.gainMap == image.id) {
            auxiliary["kind"] = "gainmap";
            auxiliary["type"] = "tmap";
            auxiliary["of"] = toneMap.base;
            auxiliary["tmap"] = toneMap.id;
            return auxiliary;
        }
    }
    return Json::Value(Json::nullValue);
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
Json::Value describeColour(const heif::ModelImage& image)
{
    Json::Value colour(Json::nullValue);
    if (image.icc) {
        colour["icc_size"] = static_cast<Json::UInt64>(image.icc->size());
        colour["icc_description"] = iccDescription(*image.icc);
    }
    if (const auto& nclx = image.nclx) {
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

// The coding of a coded image and its configuration; null for a derived
// image ('grid', 'iovl', 'iden', 'tmap').
Json::Value describeCoding(const heif::ImageCoding& coding)
{
    if (coding.codec == heif::Codec::None) {
        return Json::Value(Json::nullValue);
    }
    Json::Value described(Json::objectValue);
    described["codec"] = heif::codecName(coding.codec);
    const std::pair<const char*, const std::string*> texts[] = {
        {"profile", &coding.profile}, {"level", &coding.level}, {"chroma", &coding.chroma}};
    for (const auto& [name, text] : texts) {
        if (!text->empty()) {
            described[name] = *text;
        }
    }
    if (coding.bitDepth != 0) {
        described["bit_depth"] = coding.bitDepth;
    }
    for (const auto& [name, value] : coding.details) {
        described[name] = value;
    }
    described["summary"] = coding.summary;
    return described;
}

// One image item, as the image model has it. Reading the coded data proves
// the item's bytes are all there (and gives a JPEG image's frame header); an
// 'iden' item derives its picture from its source and has no data of its own.
Json::Value describeImage(heif::HevcImageFileReader& reader, const heif::ImageModel& model,
                          const heif::ModelImage& image)
{
    const heif::ContextId context = model.context();
    Json::Value item(Json::objectValue);
    item["id"] = image.id;
    item["type"] = image.role;
    item["kind"] = heif::imageKindName(image.kind);
    heif::ImageCoding coding = image.coding;
    if (!image.isDerived()) {
        item["code_type"] = coding.codeType;
    }
    item["width"] = image.ispeWidth;
    item["height"] = image.ispeHeight;
    item["displayed_width"] = image.displayedWidth;
    item["displayed_height"] = image.displayedHeight;
    if (const Json::Value auxiliary = describeAuxiliary(model, image); !auxiliary.isNull()) {
        item["auxiliary"] = auxiliary;
    }
    if (!image.thumbnailOf.empty()) {
        item["thumbnail_of"] = idArray(image.thumbnailOf);
    }
    item["features"] = featureNames(image.features);
    item["properties"] = propertiesOf(reader, context, image.id);
    if (const Json::Value colour = describeColour(image); !colour.isNull()) {
        item["colour"] = colour;
    }
    if (image.pixi) {
        Json::Value bits(Json::arrayValue);
        for (const auto depth : *image.pixi) {
            bits.append(depth);
        }
        item["bit_depths"] = bits;
    }
    if (image.features.count(heif::ImageFeature::ProtectedImage) == 0 && image.kind != heif::ImageKind::Identity) {
        try {
            heif::DataVector data;
            reader.getItemData(context, image.id, data);
            item["data_size"] = static_cast<Json::UInt64>(data.size());
            if (coding.codec == heif::Codec::Jpeg) {
                const heif::DataVector prefix = reader.getItemJpegPrefix(context, image.id);
                data.insert(data.begin(), prefix.begin(), prefix.end());
                heif::addJpegFrameHeader(data, coding);
            }
        } catch (const heif::FileReaderException& e) {
            if (e.getStatusCode() != heif::FileReaderException::CodeTypeNotSupported) {
                item["error"] = e.what();
            }
        } catch (const std::exception& e) {
            item["error"] = e.what();
        }
    }
    if (Json::Value described = describeCoding(coding); !described.isNull()) {
        item["coding"] = std::move(described);
    }
    return item;
}

Json::Value describeGrid(const heif::ModelImage& image)
{
    const heif::GridItem& grid = *image.grid;
    Json::Value g(Json::objectValue);
    g["id"] = image.id;
    g["rows"] = grid.rowsMinusOne + 1;
    g["columns"] = grid.columnsMinusOne + 1;
    g["width"] = grid.outputWidth;
    g["height"] = grid.outputHeight;
    g["tiles"] = idArray(grid.itemIds);
    return g;
}

// The items that are not images (Exif, XMP...) and the 'tmap' items, in
// item order.
Json::Value describeOtherItems(heif::HevcImageFileReader& reader, const heif::ImageModel& model)
{
    std::map<heif::ItemId, Json::Value> byId;
    for (const auto& [id, metadata] : model.metadataItems()) {
        Json::Value other(Json::objectValue);
        other["type"] = metadata.itemType;
        if (metadata.content && metadata.itemType == "mime") {
            other["content_type"] = metadata.content->contentType;
            if (metadata.kind == heif::MetadataItem::Kind::Xmp) {
                other["kind"] = "XMP";
            }
        }
        if (!metadata.describes.empty()) {
            other["describes"] = idArray(metadata.describes);
        }
        byId[id] = other;
    }
    for (const auto& [id, image] : model.images()) {
        if (image.kind == heif::ImageKind::ToneMap) {
            byId[id]["type"] = image.itemType;
        }
    }
    Json::Value others(Json::arrayValue);
    for (auto& [id, other] : byId) {
        other["id"] = id;
        try {
            heif::DataVector data;
            reader.getItemData(model.context(), id, data);
            other["size"] = static_cast<Json::UInt64>(data.size());
        } catch (const std::exception& e) {
            other["size"] = Json::Value(Json::nullValue);
            other["error"] = e.what();
        }
        others.append(other);
    }
    return others;
}

// The file-level meta box: primary item, images, grids and other items, as
// the image model has them.
void describeMeta(heif::HevcImageFileReader& reader, const heif::ImageModel& model, Json::Value& file)
{
    if (model.primary() != 0) {
        file["primary"] = model.primary();
    }
    file["meta_features"] = featureNames(reader.getFileInformation().rootMetaBoxInformation.features);
    file["top_level_images"] = idArray(model.topLevelImages());
    for (const auto& [id, image] : model.images()) {
        if (image.kind == heif::ImageKind::ToneMap) {
            continue;
        }
        file["items"].append(describeImage(reader, model, image));
        if (image.grid && image.features.count(heif::ImageFeature::ProtectedImage) == 0) {
            file["grids"].append(describeGrid(image));
        }
    }
    file["other_items"] = describeOtherItems(reader, model);
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
            if (const auto coding = heif::describeSampleCoding(reader, trackId, first)) {
                t["coding"] = describeCoding(*coding);
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
    const heif::ImageModel model(reader);
    if (info.features.count(heif::FileFeature::HasRootLevelMetaBox) != 0 && model.hasMeta()) {
        describeMeta(reader, model, file);
    }
    file["tracks"] = describeTracks(reader, info);
    if (const heif::ImageSequence& sequence = model.sequence(); sequence.track != 0) {
        Json::Value described(Json::objectValue);
        described["track"] = sequence.track;
        described["frames"] = static_cast<Json::UInt64>(sequence.frames.size());
        described["samples"] = static_cast<Json::UInt64>(sequence.samples);
        file["sequence"] = described;
    }
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
    if (!item.isMember("code_type")) {
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
    if (item.isMember("thumbnail_of")) {
        out << "    thumbnail of image " << joined(item["thumbnail_of"]) << '\n';
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
    if (!file["top_level_images"].empty()) {
        out << "  top-level images: " << joined(file["top_level_images"]) << '\n';
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
    if (const Json::Value& sequence = file["sequence"]; sequence.isObject()) {
        out << "  image sequence: track " << sequence["track"].asUInt() << ", " << sequence["frames"].asUInt64()
            << " frames shown\n";
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
