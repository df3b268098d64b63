#include "pipeline/encode/gain_map_jpeg.h"

#include <charconv>
#include <stdexcept>
#include <string>
#include <string_view>

namespace ambrel::pipeline {

namespace {

constexpr char kXmpNamespace[] = "http://ns.adobe.com/xap/1.0/";

void appendBigEndian(std::vector<std::uint8_t>& out, std::uint64_t value, int bytes)
{
    for (int shift = 8 * (bytes - 1); shift >= 0; shift -= 8) {
        out.push_back(static_cast<std::uint8_t>(value >> shift));
    }
}

void appendText(std::vector<std::uint8_t>& out, std::string_view text)
{
    out.insert(out.end(), text.begin(), text.end());
}

// A JPEG segment: marker, length, payload.
void appendSegment(std::vector<std::uint8_t>& out, std::uint8_t marker, std::span<const std::uint8_t> payload)
{
    if (payload.size() + 2 > 0xFFFF) {
        throw std::length_error("a JPEG segment of " + std::to_string(payload.size()) + " bytes");
    }
    out.push_back(0xFF);
    out.push_back(marker);
    appendBigEndian(out, payload.size() + 2, 2);
    out.insert(out.end(), payload.begin(), payload.end());
}

// The shortest text that reads back as the same double.
std::string number(double value)
{
    char text[32];
    const auto result = std::to_chars(text, text + sizeof(text), value);
    return {text, result.ptr};
}

constexpr std::string_view kRdfOpen =
    "<x:xmpmeta xmlns:x=\"adobe:ns:meta/\">\n"
    " <rdf:RDF xmlns:rdf=\"http://www.w3.org/1999/02/22-rdf-syntax-ns#\">\n";
constexpr std::string_view kRdfClose = " </rdf:RDF>\n</x:xmpmeta>";

}  // namespace

std::vector<std::uint8_t> gainMapXmp(const GainMapMetadata& m)
{
    std::string text(kRdfOpen);
    text +=
        "  <rdf:Description rdf:about=\"\" xmlns:hdrgm=\"http://ns.adobe.com/hdr-gain-map/1.0/\"\n"
        "   hdrgm:Version=\"1.0\" hdrgm:GainMapMin=\"" +
        number(m.gainMapMin.value()) + "\" hdrgm:GainMapMax=\"" + number(m.gainMapMax.value()) + "\" hdrgm:Gamma=\"" +
        number(m.gamma.value()) + "\"\n   hdrgm:OffsetSDR=\"" + number(m.baseOffset.value()) + "\" hdrgm:OffsetHDR=\"" +
        number(m.alternateOffset.value()) + "\" hdrgm:HDRCapacityMin=\"" + number(m.baseHeadroom.value()) +
        "\" hdrgm:HDRCapacityMax=\"" + number(m.alternateHeadroom.value()) +
        "\"\n   hdrgm:BaseRenditionIsHDR=\"False\"/>\n";
    text += kRdfClose;
    return {text.begin(), text.end()};
}

std::vector<std::uint8_t> gainMapImage(std::span<const std::uint8_t> greyJpeg, const GainMapMetadata& metadata)
{
    if (greyJpeg.size() < 4 || greyJpeg[0] != 0xFF || greyJpeg[1] != 0xD8) {
        throw std::invalid_argument("the gain map's JPEG does not start with SOI");
    }
    std::vector<std::uint8_t> out = {0xFF, 0xD8};
    std::vector<std::uint8_t> payload(kXmpNamespace, kXmpNamespace + sizeof(kXmpNamespace));
    const std::vector<std::uint8_t> xmp = gainMapXmp(metadata);
    payload.insert(payload.end(), xmp.begin(), xmp.end());
    appendSegment(out, 0xE1, payload);
    payload.assign(kIsoGainMapNamespace, kIsoGainMapNamespace + sizeof(kIsoGainMapNamespace));
    const std::vector<std::uint8_t> block = gainMapMetadataBlock(metadata);
    payload.insert(payload.end(), block.begin(), block.end());
    appendSegment(out, 0xE2, payload);
    // The grey JPEG's own segments up to its scan, its APPn ones left out.
    std::size_t at = 2;
    while (at + 4 <= greyJpeg.size() && greyJpeg[at] == 0xFF && greyJpeg[at + 1] != 0xDA) {
        const std::uint8_t marker = greyJpeg[at + 1];
        const std::size_t length = (std::size_t(greyJpeg[at + 2]) << 8) | greyJpeg[at + 3];
        if (length < 2 || at + 2 + length > greyJpeg.size()) {
            throw std::invalid_argument("the gain map's JPEG has a segment past its end");
        }
        if (marker < 0xE0 || marker > 0xEF) {
            out.insert(out.end(), greyJpeg.begin() + std::ptrdiff_t(at),
                       greyJpeg.begin() + std::ptrdiff_t(at + 2 + length));
        }
        at += 2 + length;
    }
    if (at + 2 > greyJpeg.size() || greyJpeg[at] != 0xFF || greyJpeg[at + 1] != 0xDA) {
        throw std::invalid_argument("the gain map's JPEG has no scan");
    }
    out.insert(out.end(), greyJpeg.begin() + std::ptrdiff_t(at), greyJpeg.end());
    return out;
}

bool addGainMapDirectory(std::vector<std::uint8_t>& packet, std::size_t gainMapLength)
{
    const std::string description =
        "  <rdf:Description rdf:about=\"\" xmlns:hdrgm=\"http://ns.adobe.com/hdr-gain-map/1.0/\"\n"
        "   xmlns:Container=\"http://ns.google.com/photos/1.0/container/\"\n"
        "   xmlns:Item=\"http://ns.google.com/photos/1.0/container/item/\" hdrgm:Version=\"1.0\">\n"
        "   <Container:Directory>\n    <rdf:Seq>\n"
        "     <rdf:li rdf:parseType=\"Resource\">\n"
        "      <Container:Item Item:Semantic=\"Primary\" Item:Mime=\"image/jpeg\"/>\n     </rdf:li>\n"
        "     <rdf:li rdf:parseType=\"Resource\">\n"
        "      <Container:Item Item:Semantic=\"GainMap\" Item:Mime=\"image/jpeg\" Item:Length=\"" +
        std::to_string(gainMapLength) +
        "\"/>\n     </rdf:li>\n    </rdf:Seq>\n   </Container:Directory>\n  </rdf:Description>\n";
    if (packet.empty()) {
        std::string text(kRdfOpen);
        text += description;
        text += kRdfClose;
        packet.assign(text.begin(), text.end());
        return true;
    }
    const std::string_view text(reinterpret_cast<const char*>(packet.data()), packet.size());
    const std::size_t end = text.rfind("</rdf:RDF>");
    if (end == std::string_view::npos) {
        return false;
    }
    packet.insert(packet.begin() + std::ptrdiff_t(end), description.begin(), description.end());
    return true;
}

std::vector<std::uint8_t> isoVersionPayload()
{
    std::vector<std::uint8_t> payload(kIsoGainMapNamespace, kIsoGainMapNamespace + sizeof(kIsoGainMapNamespace));
    appendBigEndian(payload, 0, 2);  // minimum version
    appendBigEndian(payload, 0, 2);  // writer version
    return payload;
}

std::vector<std::uint8_t> mpfPayload(std::size_t primarySize, std::size_t segmentAt, std::size_t gainMapSize)
{
    // Offsets count from the byte order mark, after FF E2, the length and "MPF" 00.
    const std::size_t origin = segmentAt + 8;
    std::vector<std::uint8_t> p = {'M', 'P', 'F', 0, 'M', 'M', 0, 0x2A};
    appendBigEndian(p, 8, 4);       // the index directory's offset
    appendBigEndian(p, 3, 2);       // its entries
    appendBigEndian(p, 0xB000, 2);  // MPFVersion
    appendBigEndian(p, 7, 2);
    appendBigEndian(p, 4, 4);
    appendText(p, "0100");
    appendBigEndian(p, 0xB001, 2);  // NumberOfImages
    appendBigEndian(p, 4, 2);
    appendBigEndian(p, 1, 4);
    appendBigEndian(p, 2, 4);
    appendBigEndian(p, 0xB002, 2);  // MPEntry: two entries of 16 bytes after the directory
    appendBigEndian(p, 7, 2);
    appendBigEndian(p, 32, 4);
    appendBigEndian(p, 8 + 2 + 3 * 12 + 4, 4);
    appendBigEndian(p, 0, 4);         // no next directory
    appendBigEndian(p, 0x030000, 4);  // the primary: a baseline MP primary image
    appendBigEndian(p, primarySize, 4);
    appendBigEndian(p, 0, 4);  // it starts the file
    appendBigEndian(p, 0, 4);  // no dependent images
    appendBigEndian(p, 0, 4);  // the gain map
    appendBigEndian(p, gainMapSize, 4);
    appendBigEndian(p, primarySize - origin, 4);
    appendBigEndian(p, 0, 4);
    return p;
}

}  // namespace ambrel::pipeline
