#include "heiclib/model/image_coding.h"

#include <exception>
#include <iterator>
#include <memory>
#include <set>

#include "heiclib/box_types.h"
#include "heiclib/reader/hevc_image_file_reader.h"

namespace ambrel::heif {

namespace {

std::string chromaText(unsigned subsamplingX, unsigned subsamplingY)
{
    if (subsamplingX != 0) {
        return subsamplingY != 0 ? "4:2:0" : "4:2:2";
    }
    return "4:4:4";
}

// HEVC from its 'hvcC': profile, level, bit depth and chroma format.
ImageCoding describeHevc(const HevcDecoderConfigRecord& record)
{
    static const char* const kProfiles[] = {"", "Main", "Main 10", "Main Still Picture", "Range Extensions"};
    static const char* const kChroma[] = {"monochrome", "4:2:0", "4:2:2", "4:4:4"};
    ImageCoding coding;
    coding.codec = Codec::Hevc;
    coding.configured = true;
    const unsigned profile = record.getGeneralProfileIdc();
    coding.profile = profile < std::size(kProfiles) && profile != 0 ? std::string(kProfiles[profile])
                                                                    : "profile " + std::to_string(profile);
    // general_level_idc is 30 times the level.
    const unsigned level = record.getGeneralLevelIdc();
    coding.level = std::to_string(level / 30) + (level % 30 != 0 ? "." + std::to_string(level % 30 / 3) : "");
    coding.bitDepth = 8u + record.getBitDepthLumaMinus8();
    coding.chroma = kChroma[record.getChromaFormatIdc() & 3];
    coding.details = {{"tier", record.getGeneralTierFlag() != 0 ? "High" : "Main"}};
    coding.summary = "HEVC " + coding.profile + ", " + std::to_string(coding.bitDepth) + "-bit, " + coding.chroma;
    return coding;
}

// AV1 from its 'av1C': profile, level, bit depth, chroma and monochrome.
ImageCoding describeAv1(const Av1CodecConfiguration& record)
{
    static const char* const kProfiles[] = {"Main", "High", "Professional"};
    ImageCoding coding;
    coding.codec = Codec::Av1;
    coding.configured = true;
    coding.profile = record.seqProfile < std::size(kProfiles) ? std::string(kProfiles[record.seqProfile])
                                                              : "profile " + std::to_string(record.seqProfile);
    // seq_level_idx: 2.0 + (idx >> 2) . (idx & 3); 31 is no level limit.
    const unsigned level = record.seqLevelIdx0;
    coding.level =
        level == 31 ? std::string("max") : std::to_string(2 + (level >> 2)) + "." + std::to_string(level & 3);
    coding.bitDepth = record.bitDepth();
    coding.chroma = record.monochrome != 0 ? std::string("monochrome")
                                           : chromaText(record.chromaSubsamplingX, record.chromaSubsamplingY);
    coding.details = {{"tier", std::to_string(record.seqTier0)},
                      {"config_obus_size", std::to_string(record.configObus.size())}};
    coding.summary = "AV1 " + coding.profile + " profile, level " + coding.level + ", " +
                     std::to_string(coding.bitDepth) + "-bit, " + coding.chroma;
    return coding;
}

// The names of an uncompressed image's components, from 'cmpd' by the
// indices of 'uncC': "RGB", "RGBA", "YCbCr", "grey", "grey+A"...
std::string componentNames(const UncompressedLayout& layout, const ComponentDefinitionBox* cmpd)
{
    static const char* const kNames[] = {"grey",    "Y",    "Cb",      "Cr",        "R",       "G",
                                         "B",       "A",    "depth",   "disparity", "palette", "filter array",
                                         "padding", "Cyan", "Magenta", "Yellow",    "Key"};
    std::vector<std::string> names;
    bool letters = true;
    for (const auto& component : layout.components) {
        std::string name = "?";
        if (cmpd != nullptr && component.index < cmpd->getComponents().size()) {
            const ComponentDefinition& definition = cmpd->getComponents()[component.index];
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

// The layout of a version 0 'uncC': components, bit depths, sampling and
// interleaving, e.g. "RGB 8-bit interleaved".
void describeUncompressedLayout(const UncompressedLayout& layout, const ComponentDefinitionBox* cmpd,
                                ImageCoding& coding)
{
    static const char* const kInterleave[] = {"planar",          "interleaved",    "mixed",
                                              "row-interleaved", "tile-component", "multi-Y"};
    static const char* const kSampling[] = {"", " 4:2:2", " 4:2:0", " 4:1:1"};
    static const char* const kChroma[] = {"4:4:4", "4:2:2", "4:2:0", "4:1:1"};
    std::set<unsigned> depths;
    std::string bits;
    for (const auto& component : layout.components) {
        depths.insert(component.bitDepthMinusOne + 1u);
        bits += (bits.empty() ? "" : "/") + std::to_string(component.bitDepthMinusOne + 1u);
    }
    const std::string components = componentNames(layout, cmpd);
    const std::string interleave = layout.interleaveType < std::size(kInterleave)
                                       ? std::string(kInterleave[layout.interleaveType])
                                       : "interleave type " + std::to_string(layout.interleaveType);
    coding.details.emplace_back("components", components);
    coding.details.emplace_back("bit_depths", bits);
    coding.details.emplace_back("interleave", interleave);
    coding.bitDepth = depths.empty() ? 0 : *depths.rbegin();
    coding.chroma = components == "grey"                       ? std::string("monochrome")
                    : layout.samplingType < std::size(kChroma) ? std::string(kChroma[layout.samplingType])
                                                               : std::string();
    coding.summary += " " + components;
    if (depths.size() == 1) {
        coding.summary += " " + std::to_string(*depths.begin()) + "-bit";
    } else if (!depths.empty()) {
        coding.summary += " " + bits + "-bit";
    }
    coding.summary += layout.samplingType < std::size(kSampling) ? kSampling[layout.samplingType] : " subsampled";
    coding.summary += " " + interleave;
}

// An uncompressed image from 'uncC', 'cmpd' and, when compressed, 'cmpC':
// e.g. "uncompressed RGB 8-bit interleaved, deflate compressed per row".
ImageCoding describeUncompressed(const HevcImageFileReader& reader, ContextId context, ItemId id)
{
    ImageCoding coding;
    coding.codec = Codec::Uncompressed;
    const auto uncC = std::dynamic_pointer_cast<const UncompressedFrameConfigBox>(
        reader.getItemPropertyBox(context, id, boxtype::kUncC));
    if (!uncC) {
        coding.summary = "uncompressed, without a layout ('uncC')";
        return coding;
    }
    coding.configured = true;
    coding.summary = "uncompressed";
    if (uncC->getVersion() == 1) {
        coding.profile = uncC->getLayout().profile.getString();
        coding.summary += " profile '" + coding.profile + "'";
    } else {
        const auto cmpd = std::dynamic_pointer_cast<const ComponentDefinitionBox>(
            reader.getItemPropertyBox(context, id, boxtype::kCmpd));
        describeUncompressedLayout(uncC->getLayout(), cmpd.get(), coding);
    }
    if (const auto cmpC = std::dynamic_pointer_cast<const CompressionConfigurationBox>(
            reader.getItemPropertyBox(context, id, boxtype::kCmpC))) {
        static const std::pair<FourCCInt, const char*> kCompressions[] = {
            {codetype::kDefl, "deflate"}, {codetype::kZlib, "zlib"}, {codetype::kBrot, "brotli"}};
        static const char* const kUnits[] = {"as a whole", "per image", "per tile", "per row", "per pixel"};
        std::string compression = "'" + cmpC->getCompressionType().getString() + "'";
        for (const auto& [type, name] : kCompressions) {
            if (cmpC->getCompressionType() == type) {
                compression = name;
            }
        }
        const unsigned unit = cmpC->getCompressedUnitType();
        coding.details.emplace_back("compression", compression);
        coding.summary +=
            ", " + compression + " compressed " +
            (unit < std::size(kUnits) ? std::string(kUnits[unit]) : "in units of type " + std::to_string(unit));
    }
    return coding;
}

ImageCoding describeJpeg(const HevcImageFileReader& reader, ContextId context, ItemId id)
{
    ImageCoding coding;
    coding.codec = Codec::Jpeg;
    coding.configured = true;  // 'jpgC' is optional
    const auto jpgC =
        std::dynamic_pointer_cast<const JpegConfigurationBox>(reader.getItemPropertyBox(context, id, boxtype::kJpgC));
    const std::size_t prefix = jpgC ? jpgC->getPrefix().size() : 0;
    if (prefix != 0) {
        coding.details.emplace_back("prefix_size", std::to_string(prefix));
    }
    coding.summary = prefix == 0 ? std::string("JPEG") : "JPEG, prefix of " + std::to_string(prefix) + " bytes";
    return coding;
}

Codec codecOfType(const std::string& type)
{
    static const std::pair<const char*, Codec> kCodecs[] = {
        {"hvc1", Codec::Hevc},         {"hev1", Codec::Hevc}, {"av01", Codec::Av1},         {"jpeg", Codec::Jpeg},
        {"unci", Codec::Uncompressed}, {"avc1", Codec::Avc},  {"lhv1", Codec::LayeredHevc},
    };
    for (const auto& [name, codec] : kCodecs) {
        if (type == name) {
            return codec;
        }
    }
    return Codec::Other;
}

}  // namespace

const char* codecName(Codec codec)
{
    switch (codec) {
    case Codec::None: return "none";
    case Codec::Hevc: return "HEVC";
    case Codec::Av1: return "AV1";
    case Codec::Jpeg: return "JPEG";
    case Codec::Uncompressed: return "uncompressed";
    case Codec::Avc: return "AVC";
    case Codec::LayeredHevc: return "layered HEVC";
    case Codec::Other: break;
    }
    return "other";
}

ImageCoding describeItemCoding(const HevcImageFileReader& reader, ContextId context, ItemId id,
                               const std::string& itemType)
{
    static const std::set<std::string> kDerived = {"grid", "iden", "iovl", "tmap"};
    if (kDerived.count(itemType) != 0) {
        return {};
    }
    ImageCoding coding;
    try {
        if (const auto hvcC = std::dynamic_pointer_cast<const HevcConfigurationBox>(
                reader.getItemPropertyBox(context, id, boxtype::kHvcC))) {
            coding = describeHevc(hvcC->getConfiguration());
        } else if (const auto av1C = std::dynamic_pointer_cast<const Av1CodecConfigurationBox>(
                       reader.getItemPropertyBox(context, id, boxtype::kAv1C))) {
            coding = describeAv1(av1C->getConfiguration());
        } else if (itemType == "jpeg") {
            coding = describeJpeg(reader, context, id);
        } else if (itemType == "unci") {
            coding = describeUncompressed(reader, context, id);
        } else {
            coding.codec = codecOfType(itemType);
            coding.summary = codecName(coding.codec) + std::string(", without its decoder configuration");
        }
        coding.codeType = reader.getDecoderCodeType(context, id);
    } catch (const std::exception&) {
        coding.codec = codecOfType(itemType);
        coding.configured = false;
        coding.summary = codecName(coding.codec) + std::string(", its configuration cannot be read");
    }
    return coding;
}

std::optional<ImageCoding> describeSampleCoding(const HevcImageFileReader& reader, ContextId track, ItemId sample)
{
    try {
        if (const auto av1 = reader.getItemAv1Configuration(track, sample)) {
            ImageCoding coding = describeAv1(*av1);
            coding.codeType = reader.getDecoderCodeType(track, sample);
            return coding;
        }
    } catch (const std::exception&) {
    }
    return std::nullopt;
}

void addJpegFrameHeader(std::span<const std::uint8_t> stream, ImageCoding& coding)
{
    // Markers after SOI: each but the standalone ones carries a 16-bit length.
    std::size_t at = 2;
    if (stream.size() < 4 || stream[0] != 0xFF || stream[1] != 0xD8) {
        return;
    }
    while (at + 4 <= stream.size() && stream[at] == 0xFF) {
        const std::uint8_t marker = stream[at + 1];
        const std::size_t length = (std::size_t(stream[at + 2]) << 8) | stream[at + 3];
        const bool frame = marker >= 0xC0 && marker <= 0xCF && marker != 0xC4 && marker != 0xC8 && marker != 0xCC;
        if (frame && length >= 8 && at + 2 + length <= stream.size()) {
            static const char* const kProcesses[] = {"baseline",
                                                     "extended",
                                                     "progressive",
                                                     "lossless",
                                                     "",
                                                     "extended (diff.)",
                                                     "progressive (diff.)",
                                                     "lossless (diff.)",
                                                     "",
                                                     "extended arithmetic",
                                                     "progressive arithmetic",
                                                     "lossless arithmetic"};
            const std::size_t process = marker - 0xC0u;
            const std::uint8_t* header = stream.data() + at + 4;
            const unsigned components = header[5];
            coding.profile = process < std::size(kProcesses) && kProcesses[process][0] != '\0'
                                 ? kProcesses[process]
                                 : "SOF" + std::to_string(process);
            coding.bitDepth = header[0];
            coding.chroma = "monochrome";
            if (components == 3 && length >= 8 + 3 * 3) {
                // The first component's sampling factors against the others'.
                const unsigned h = header[7] >> 4;
                const unsigned v = header[7] & 15;
                const bool same = (header[10] >> 4) == 1 && (header[10] & 15) == 1;
                coding.chroma = !same              ? "sampled"
                                : h == 2 && v == 2 ? "4:2:0"
                                : h == 2 && v == 1 ? "4:2:2"
                                : h == 1 && v == 1 ? "4:4:4"
                                                   : std::to_string(h) + "x" + std::to_string(v);
            } else if (components != 1) {
                coding.chroma = std::to_string(components) + " components";
            }
            coding.summary += ", " + coding.profile + ", " + std::to_string(coding.bitDepth) + "-bit, " + coding.chroma;
            return;
        }
        if (marker == 0xDA || length < 2) {
            return;  // the scan begins before any frame header
        }
        at += 2 + length;
    }
}

}  // namespace ambrel::heif
