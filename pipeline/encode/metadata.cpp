#include "pipeline/encode/metadata.h"

#include <exception>
#include <utility>

#include "pipeline/encode/colour_profiles.h"
#include "pipeline/encode/image_writer.h"
#include "pipeline/encode/xmp_packet.h"

namespace ambrel::pipeline {

namespace {

void addWarning(std::string& warnings, const std::string& warning)
{
    if (!warning.empty()) {
        warnings += (warnings.empty() ? "" : "; ") + warning;
    }
}

// Why an EXIF block is left out, or the empty string when it is carried
// (made to fit where the format knows how).
std::string exifLeftOut(std::vector<std::uint8_t>& exif, const FormatInfo& info)
{
    if (exif.size() > kMaxCarriedExif) {
        return "the Exif block of " + std::to_string(exif.size()) + " bytes is larger than the " +
               std::to_string(kMaxCarriedExif) + " carried and is left out";
    }
    if (exif.empty() || info.maxExif == 0 || exif.size() <= info.maxExif) {
        return {};
    }
    if (info.fitExif != nullptr && info.fitExif(exif)) {
        return {};
    }
    return info.format == OutputFormat::Jpg
               ? "the Exif block is larger than a JPEG segment holds and is left out"
               : "the Exif block is larger than " + std::string(info.name) + " holds and is left out";
}

// The EXIF block and the XMP packet, their orientation set to 1 where the
// pixels are turned, without the XMP description of a gain map (a JPEG's
// writer adds the one it carries). Only a format whose row allows it may
// keep the stored orientation: the others are always written upright (not
// every reader of PNG or JPEG 2000 honours an EXIF orientation, and TIFF
// writers and readers disagree on it).
void settleExifAndXmp(SourceMetadata& source, const FormatInfo& info, PreparedMetadata& prepared)
{
    WriterMetadata& metadata = prepared.metadata;
    try {
        metadata.exif = std::move(source.exif);
        metadata.xmp = std::move(source.xmp);
        metadata.resolution = jpegmeta::readResolution(metadata.exif);
        if (!metadata.xmp.empty()) {
            xmp::removeGainMap(metadata.xmp);
        }
        const std::string leftOut = exifLeftOut(metadata.exif, info);
        metadata.carryExif = leftOut.empty();
        if (!leftOut.empty()) {
            metadata.exif.clear();
            prepared.warning = leftOut;
        }
        if (!metadata.exif.empty()) {
            const int tag = jpegmeta::readOrientation(metadata.exif);
            prepared.keepOrientation = info.keepsStoredOrientation && tag != 0 && tag == source.containerOrientation;
            // Every Orientation entry says the same, in one value: the one
            // kept, or 1 for turned pixels.
            jpegmeta::writeOrientation(metadata.exif, prepared.keepOrientation ? tag : 1);
        }
        if (!prepared.keepOrientation && !metadata.xmp.empty()) {
            xmp::setOrientation(metadata.xmp, 1);
        }
    } catch (const std::exception& error) {
        std::string why = error.what();
        while (!why.empty() && (why.back() == '.' || why.back() == ' ')) {
            why.pop_back();
        }
        prepared.failure = "the Exif block cannot be updated: " + why;
    }
}

// The image's ICC profile; without one, the standard profile of its 'nclx'
// colours, or the sRGB mark where they are sRGB's.
void settleColour(SourceMetadata& source, PreparedMetadata& prepared)
{
    WriterMetadata& metadata = prepared.metadata;
    metadata.icc = std::move(source.icc);
    if (!metadata.icc.empty() || !source.nclx) {
        return;
    }
    if (isSrgbColour(*source.nclx)) {
        metadata.srgb = true;
        return;
    }
    std::string why;
    metadata.icc = standardProfileFor(*source.nclx, &why);
    if (metadata.icc.empty()) {
        addWarning(prepared.warning, why);
    }
}

}  // namespace

PreparedMetadata prepareMetadata(SourceMetadata source, OutputFormat format, bool keepExif)
{
    PreparedMetadata prepared;
    if (keepExif) {
        settleExifAndXmp(source, formatInfo(format), prepared);
    }
    settleColour(source, prepared);
    return prepared;
}

WriterMetadata forFormat(const WriterMetadata& metadata, OutputFormat format, std::uint32_t width, std::uint32_t height)
{
    const FormatInfo& info = formatInfo(format);
    WriterMetadata held;
    held.carryExif = metadata.carryExif && info.maxExif > 0;
    if (held.carryExif) {
        held.exif = metadata.exif;
        if (!held.exif.empty()) {
            jpegmeta::writePixelDimensions(held.exif, width, height);
        }
    }
    if (info.xmp) {
        held.xmp = metadata.xmp;
    }
    if (info.icc) {
        held.icc = metadata.icc;
        held.srgb = metadata.srgb;
    }
    held.resolution = metadata.resolution;
    if (info.gainMap) {
        held.gainMap = metadata.gainMap;
    }
    return held;
}

std::vector<std::uint8_t> tiffData(const std::vector<std::uint8_t>& exif)
{
    constexpr std::size_t kHeader = 6;
    if (exif.size() <= kHeader) {
        return {};
    }
    return {exif.begin() + kHeader, exif.end()};
}

}  // namespace ambrel::pipeline
