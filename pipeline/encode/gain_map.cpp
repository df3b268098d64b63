#include "pipeline/encode/gain_map.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <exception>
#include <limits>
#include <string_view>

#include "pipeline/decode/extraction.h"

namespace ambrel::pipeline {

namespace {

constexpr std::string_view kAppleGainMapType = "urn:com:apple:photo:2020:aux:hdrgainmap";
constexpr std::string_view kSamsungGainMapType = "urn:com:samsung:photo:2024:aux:hdrgainmap";

// ISO 21496-1 flags: several channels, the base picture's colour space, one
// denominator shared by every value.
constexpr std::uint8_t kMultichannel = 0x80;
constexpr std::uint8_t kUseBaseColourSpace = 0x40;
constexpr std::uint8_t kCommonDenominator = 0x08;

// Big-endian reads that throw std::out_of_range past the end.
class Reader
{
public:
    explicit Reader(std::span<const std::uint8_t> data) : mData(data) {}

    std::uint32_t read(std::size_t bytes)
    {
        if (mData.size() - mAt < bytes) {
            throw std::out_of_range("cut short");
        }
        std::uint32_t value = 0;
        for (std::size_t i = 0; i < bytes; ++i) {
            value = (value << 8) | mData[mAt++];
        }
        return value;
    }
    std::int64_t readSigned() { return static_cast<std::int32_t>(read(4)); }

private:
    std::span<const std::uint8_t> mData;
    std::size_t mAt = 0;
};

void appendBigEndian(std::vector<std::uint8_t>& out, std::uint64_t value, int bytes)
{
    for (int shift = 8 * (bytes - 1); shift >= 0; shift -= 8) {
        out.push_back(static_cast<std::uint8_t>(value >> shift));
    }
}

// Why the metadata cannot be carried; empty when it can.
std::string unsupported(const GainMapMetadata& m)
{
    for (const GainMapFraction* f : {&m.baseHeadroom, &m.alternateHeadroom, &m.gainMapMin, &m.gainMapMax, &m.gamma,
                                     &m.baseOffset, &m.alternateOffset}) {
        if (f->denominator == 0) {
            return "a value has a zero denominator";
        }
    }
    if (m.baseHeadroom.value() >= m.alternateHeadroom.value()) {
        return "its base headroom is not below the alternate one";
    }
    if (m.gamma.value() <= 0.0 || m.gainMapMin.value() > m.gainMapMax.value()) {
        return "its gamma or its range is out of bounds";
    }
    return {};
}

// The value of the first `name` (a prefixed property name) in the packet,
// written as an attribute or as a simple element; nullopt when there is none.
std::optional<std::string> xmpProperty(std::string_view text, std::string_view name)
{
    for (std::size_t at = text.find(name); at != std::string_view::npos; at = text.find(name, at + 1)) {
        if (at > 0 && text[at - 1] != ' ' && text[at - 1] != '\t' && text[at - 1] != '\n' && text[at - 1] != '\r' &&
            text[at - 1] != '<') {
            continue;
        }
        std::size_t p = at + name.size();
        while (p < text.size() && (text[p] == ' ' || text[p] == '\t' || text[p] == '\n' || text[p] == '\r')) {
            ++p;
        }
        if (p >= text.size()) {
            break;
        }
        if (text[p] == '=' && p + 1 < text.size()) {
            ++p;
            while (p < text.size() && (text[p] == ' ' || text[p] == '\t' || text[p] == '\n' || text[p] == '\r')) {
                ++p;
            }
            if (p >= text.size() || (text[p] != '"' && text[p] != '\'')) {
                continue;
            }
            const std::size_t end = text.find(text[p], p + 1);
            if (end == std::string_view::npos) {
                break;
            }
            return std::string(text.substr(p + 1, end - p - 1));
        }
        if (at > 0 && text[at - 1] == '<' && text[p] == '>') {
            const std::size_t end = text.find('<', p + 1);
            if (end == std::string_view::npos) {
                break;
            }
            return std::string(text.substr(p + 1, end - p - 1));
        }
    }
    return std::nullopt;
}

std::optional<double> xmpNumber(std::string_view text, std::string_view name)
{
    const std::optional<std::string> value = xmpProperty(text, name);
    if (!value) {
        return std::nullopt;
    }
    char* end = nullptr;
    const double number = std::strtod(value->c_str(), &end);
    if (end == value->c_str() || !std::isfinite(number)) {
        return std::nullopt;
    }
    return number;
}

std::string_view textOf(const std::vector<std::uint8_t>& packet)
{
    return {reinterpret_cast<const char*>(packet.data()), packet.size()};
}

// The hdrgm properties of a gain map's own XMP, Adobe's defaults for those
// left out. Nullopt, with the reason, when a required one is missing or the
// base rendition is the HDR one.
std::optional<GainMapMetadata> hdrgmMetadata(std::string_view text, std::string& why)
{
    const std::optional<double> max = xmpNumber(text, "hdrgm:GainMapMax");
    const std::optional<double> capacityMax = xmpNumber(text, "hdrgm:HDRCapacityMax");
    if (!max || !capacityMax) {
        why = "its XMP has no single GainMapMax or HDRCapacityMax";
        return std::nullopt;
    }
    const std::optional<std::string> baseIsHdr = xmpProperty(text, "hdrgm:BaseRenditionIsHDR");
    if (baseIsHdr && (*baseIsHdr == "True" || *baseIsHdr == "true")) {
        why = "its base rendition is the HDR one";
        return std::nullopt;
    }
    GainMapMetadata m;
    m.gainMapMin = gainMapFraction(xmpNumber(text, "hdrgm:GainMapMin").value_or(0.0), true);
    m.gainMapMax = gainMapFraction(*max, true);
    m.gamma = gainMapFraction(xmpNumber(text, "hdrgm:Gamma").value_or(1.0), false);
    m.baseOffset = gainMapFraction(xmpNumber(text, "hdrgm:OffsetSDR").value_or(1.0 / 64.0), true);
    m.alternateOffset = gainMapFraction(xmpNumber(text, "hdrgm:OffsetHDR").value_or(1.0 / 64.0), true);
    m.baseHeadroom = gainMapFraction(xmpNumber(text, "hdrgm:HDRCapacityMin").value_or(0.0), false);
    m.alternateHeadroom = gainMapFraction(*capacityMax, false);
    why = unsupported(m);
    if (!why.empty()) {
        return std::nullopt;
    }
    return m;
}

// Apple's published formula: stops of headroom from the maker note's values.
double appleStops(double maker33, double maker48)
{
    if (maker33 < 1.0) {
        return maker48 <= 0.01 ? -20.0 * maker48 + 1.8 : -0.101 * maker48 + 1.601;
    }
    return maker48 <= 0.01 ? -70.0 * maker48 + 3.0 : -0.303 * maker48 + 2.303;
}

GainMapPlan appleGainMap(const GainMapSource& source)
{
    GainMapPlan plan;
    const std::string_view xmp = textOf(source.xmp);
    if (!xmpProperty(xmp, "HDRGainMap:HDRGainMapVersion")) {
        return plan;  // not a gain map this conversion knows how to apply
    }
    double stops = appleStops(0.0, 0.0);
    if (const std::optional<double> fromExif = appleHeadroomStops(source.exif)) {
        stops = *fromExif;
    } else if (const std::optional<double> headroom = xmpNumber(xmp, "HDRGainMap:HDRGainMapHeadroom");
               headroom && *headroom > 1.0) {
        stops = std::log2(*headroom);
    }
    if (!(stops > 0.0) || stops > 16.0) {
        plan.warning =
            "the HDR gain map is left out: its headroom of " + std::to_string(stops) + " stops is out of bounds";
        return plan;
    }
    plan.kind = GainMapKind::Apple;
    plan.appleCodes = true;
    plan.headroom = std::exp2(stops);
    plan.metadata.baseHeadroom = {0, 1};
    plan.metadata.alternateHeadroom = gainMapFraction(stops, false);
    plan.metadata.gainMapMin = {0, 1};
    plan.metadata.gainMapMax = gainMapFraction(stops, true);
    plan.metadata.gamma = {1, 1};
    plan.metadata.baseOffset = {0, 1};
    plan.metadata.alternateOffset = {0, 1};
    return plan;
}

}  // namespace

const char* gainMapKindName(GainMapKind kind)
{
    switch (kind) {
    case GainMapKind::Apple: return "apple";
    case GainMapKind::Iso: return "iso";
    case GainMapKind::Samsung: return "samsung";
    case GainMapKind::None: break;
    }
    return "";
}

GainMapFraction gainMapFraction(double value, bool isSigned)
{
    const double top =
        isSigned ? double(std::numeric_limits<std::int32_t>::max()) : double(std::numeric_limits<std::uint32_t>::max());
    if (!std::isfinite(value) || (!isSigned && value < 0.0)) {
        return {0, 1};
    }
    std::uint32_t denominator = 1000000;
    while (denominator > 1 && std::abs(value) * denominator > top) {
        denominator /= 10;
    }
    const double numerator = std::clamp(std::round(value * denominator), isSigned ? -top - 1.0 : 0.0, top);
    return {static_cast<std::int64_t>(numerator), denominator};
}

std::optional<GainMapMetadata> parseGainMapMetadata(std::span<const std::uint8_t> data, std::string& why)
{
    try {
        Reader in(data);
        const std::uint32_t minimumVersion = in.read(2);
        in.read(2);  // the writer's version
        if (minimumVersion != 0) {
            why = "its metadata is of version " + std::to_string(minimumVersion);
            return std::nullopt;
        }
        const std::uint32_t flags = in.read(1);
        if ((flags & kMultichannel) != 0) {
            why = "it has one gain map per colour channel";
            return std::nullopt;
        }
        GainMapMetadata m;
        m.useBaseColourSpace = (flags & kUseBaseColourSpace) != 0;
        if ((flags & kCommonDenominator) != 0) {
            const std::uint32_t d = in.read(4);
            m.baseHeadroom = {in.read(4), d};
            m.alternateHeadroom = {in.read(4), d};
            m.gainMapMin = {in.readSigned(), d};
            m.gainMapMax = {in.readSigned(), d};
            m.gamma = {in.read(4), d};
            m.baseOffset = {in.readSigned(), d};
            m.alternateOffset = {in.readSigned(), d};
        } else {
            auto unsignedValue = [&in]() {
                const std::uint32_t n = in.read(4);
                return GainMapFraction{n, in.read(4)};
            };
            auto signedValue = [&in]() {
                const std::int64_t n = in.readSigned();
                return GainMapFraction{n, in.read(4)};
            };
            m.baseHeadroom = unsignedValue();
            m.alternateHeadroom = unsignedValue();
            m.gainMapMin = signedValue();
            m.gainMapMax = signedValue();
            m.gamma = unsignedValue();
            m.baseOffset = signedValue();
            m.alternateOffset = signedValue();
        }
        why = unsupported(m);
        if (!why.empty()) {
            return std::nullopt;
        }
        return m;
    } catch (const std::out_of_range&) {
        why = "its metadata is cut short";
        return std::nullopt;
    }
}

std::optional<GainMapMetadata> parseToneMapItem(std::span<const std::uint8_t> data, std::string& why)
{
    if (data.empty()) {
        why = "its metadata is cut short";
        return std::nullopt;
    }
    if (data[0] != 0) {
        why = "it is of version " + std::to_string(data[0]);
        return std::nullopt;
    }
    return parseGainMapMetadata(data.subspan(1), why);
}

std::vector<std::uint8_t> gainMapMetadataBlock(const GainMapMetadata& m)
{
    std::vector<std::uint8_t> out;
    appendBigEndian(out, 0, 2);  // minimum version
    appendBigEndian(out, 0, 2);  // writer version
    out.push_back(m.useBaseColourSpace ? kUseBaseColourSpace : 0);
    auto put = [&out](const GainMapFraction& f) {
        appendBigEndian(out, static_cast<std::uint32_t>(f.numerator), 4);
        appendBigEndian(out, f.denominator, 4);
    };
    for (const GainMapFraction* f : {&m.baseHeadroom, &m.alternateHeadroom, &m.gainMapMin, &m.gainMapMax, &m.gamma,
                                     &m.baseOffset, &m.alternateOffset}) {
        put(*f);
    }
    return out;
}

std::optional<double> appleHeadroomStops(std::span<const std::uint8_t> exif)
{
    constexpr std::size_t kTiff = 6;
    if (exif.size() < kTiff + 8) {
        return std::nullopt;
    }
    const std::span<const std::uint8_t> tiff = exif.subspan(kTiff);
    const bool little = tiff[0] == 'I';
    auto u16 = [&](std::size_t at) -> std::uint32_t {
        if (at + 2 > tiff.size()) {
            throw std::out_of_range("cut short");
        }
        return little ? tiff[at] | (tiff[at + 1] << 8) : (tiff[at] << 8) | tiff[at + 1];
    };
    auto u32 = [&](std::size_t at) -> std::uint32_t {
        return little ? u16(at) | (u16(at + 2) << 16) : (u16(at) << 16) | u16(at + 2);
    };
    // The value offset of the first entry of `tag` in the directory at `at`; 0 when none.
    auto entry = [&](std::size_t at, std::uint32_t tag) -> std::size_t {
        const std::uint32_t count = u16(at);
        for (std::uint32_t i = 0; i < count; ++i) {
            if (u16(at + 2 + 12 * std::size_t(i)) == tag) {
                return u32(at + 2 + 12 * std::size_t(i) + 8);
            }
        }
        return 0;
    };
    try {
        const std::size_t exifIfd = entry(u32(4), 0x8769);
        const std::size_t note = exifIfd == 0 ? 0 : entry(exifIfd, 0x927C);
        constexpr std::string_view kApple("Apple iOS\0\0\x01MM", 14);
        if (note == 0 || note + kApple.size() + 2 > tiff.size() ||
            std::string_view(reinterpret_cast<const char*>(tiff.data() + note), kApple.size()) != kApple) {
            return std::nullopt;
        }
        // Apple's directory: big-endian, offsets from the maker note's start.
        Reader directory(tiff.subspan(note + kApple.size()));
        const std::uint32_t count = directory.read(2);
        std::optional<double> values[2];
        for (std::uint32_t i = 0; i < count; ++i) {
            const std::uint32_t tag = directory.read(2);
            const std::uint32_t type = directory.read(2);
            const std::uint32_t number = directory.read(4);
            const std::uint32_t offset = directory.read(4);
            const int slot = tag == 0x0021 ? 0 : tag == 0x0030 ? 1 : -1;
            if (slot < 0 || type != 10 || number != 1 || note + std::size_t(offset) + 8 > tiff.size()) {
                continue;
            }
            Reader value(tiff.subspan(note + offset, 8));
            const std::int64_t numerator = value.readSigned();
            const std::uint32_t denominator = value.read(4);
            if (denominator != 0) {
                values[slot] = double(numerator) / double(denominator);
            }
        }
        if (!values[0] && !values[1]) {
            return std::nullopt;
        }
        return appleStops(values[0].value_or(0.0), values[1].value_or(0.0));
    } catch (const std::out_of_range&) {
        return std::nullopt;
    }
}

std::array<std::uint8_t, 256> appleCodeTable(double headroom)
{
    std::array<std::uint8_t, 256> table{};
    const double stops = std::log2(headroom);
    for (int code = 0; code < 256; ++code) {
        const double v = code / 255.0;
        const double g = v < 0.081 ? v / 4.5 : std::pow((v + 0.099) / 1.099, 1.0 / 0.45);
        const double standard = 255.0 * std::log2(1.0 + (headroom - 1.0) * g) / stops;
        table[std::size_t(code)] = static_cast<std::uint8_t>(std::clamp(std::lround(standard), 0L, 255L));
    }
    return table;
}

GainMapPlan planGainMap(const GainMapSource& source)
{
    GainMapPlan plan;
    if (source.id == 0) {
        return plan;
    }
    const bool samsung = source.type == kSamsungGainMapType;
    std::string why;
    if (source.toneMapped) {
        if (const std::optional<GainMapMetadata> metadata = parseToneMapItem(source.toneMap, why)) {
            plan.kind = samsung ? GainMapKind::Samsung : GainMapKind::Iso;
            plan.metadata = *metadata;
            plan.headroom = std::exp2(metadata->alternateHeadroom.value());
        } else {
            plan.warning = "the HDR gain map is left out: its 'tmap' item cannot be used: " + why;
        }
        return plan;
    }
    if (source.type == kAppleGainMapType) {
        return appleGainMap(source);
    }
    if (samsung && xmpProperty(textOf(source.xmp), "hdrgm:Version")) {
        if (const std::optional<GainMapMetadata> metadata = hdrgmMetadata(textOf(source.xmp), why)) {
            plan.kind = GainMapKind::Samsung;
            plan.metadata = *metadata;
            plan.headroom = std::exp2(metadata->alternateHeadroom.value());
        } else {
            plan.warning = "the HDR gain map is left out: " + why;
        }
    }
    return plan;
}

std::optional<GainMapDescription> describeGainMap(const std::uint8_t* bytes, std::size_t length)
{
    try {
        const GainMapSource source = findGainMap(bytes, length);
        const GainMapPlan plan = planGainMap(source);
        if (plan.kind == GainMapKind::None && plan.warning.empty()) {
            return std::nullopt;
        }
        GainMapDescription description;
        description.kind = plan.kind;
        description.width = source.width;
        description.height = source.height;
        description.headroomStops = plan.kind == GainMapKind::None ? 0.0 : plan.metadata.alternateHeadroom.value();
        description.warning = plan.warning;
        return description;
    } catch (const std::exception&) {
        return std::nullopt;
    }
}

}  // namespace ambrel::pipeline
