// The XMP packet of an image: its 'mime' item found through the image
// model, read plain or inflated (deflate, gzip) within bounds.
#include "pipeline/decode/extraction_steps.h"

#include <zlib.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <exception>
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

// XMP items (and inflated packets) larger than this are left out: real
// packets are a few kilobytes, a few hundred kilobytes with padding and a
// preview.
constexpr std::uint64_t kMaxXmpBytes = std::uint64_t(16) << 20;

// The XMP item that describes the image: the primary's own, then the one of
// the image it derives from, else the first XMP item of the file that
// describes no image in particular; 0 when there is none.
heif::ItemId findXmpItem(const heif::ImageModel& model, const HeifImageData& data)
{
    for (auto it = data.identities.rbegin(); it != data.identities.rend(); ++it) {
        if (const heif::ItemId id = model.xmpDescribing(*it); id != 0) {
            return id;
        }
    }
    if (const heif::ItemId id = model.xmpDescribing(data.imageId); id != 0) {
        return id;
    }
    return model.unattachedXmp();
}

// Ends a zlib stream however its inflation ends.
struct InflateStream
{
    z_stream stream{};
    bool open = false;

    ~InflateStream()
    {
        if (open) {
            inflateEnd(&stream);
        }
    }
};

// Inflates zlib, gzip (windowBits 15 + 32 tells them apart by their header)
// or raw deflate (windowBits -15) data. Empty when the data does not inflate
// whole, or inflates to more than kMaxXmpBytes; what it inflates to is
// charged to the budget as it grows.
std::optional<heif::DataVector> inflateBounded(const heif::DataVector& input, int windowBits,
                                               heif::MemoryBudget& budget)
{
    constexpr std::size_t kChunk = std::size_t(64) << 10;
    InflateStream inflater;
    if (input.size() > kMaxXmpBytes || inflateInit2(&inflater.stream, windowBits) != Z_OK) {
        return std::nullopt;
    }
    inflater.open = true;
    inflater.stream.next_in = const_cast<Bytef*>(input.data());  // zlib does not write through it
    inflater.stream.avail_in = static_cast<uInt>(input.size());
    heif::DataVector output;
    for (;;) {
        const std::size_t used = output.size();
        const std::size_t grow = static_cast<std::size_t>(std::min<std::uint64_t>(kChunk, kMaxXmpBytes - used));
        if (grow == 0) {
            return std::nullopt;  // more than the bound
        }
        budget.charge(grow, "The inflated XMP packet");
        output.resize(used + grow);
        inflater.stream.next_out = output.data() + used;
        inflater.stream.avail_out = static_cast<uInt>(grow);
        const int status = inflate(&inflater.stream, Z_NO_FLUSH);
        output.resize(used + (grow - inflater.stream.avail_out));
        if (status == Z_STREAM_END) {
            return output;
        }
        if (status != Z_OK) {
            return std::nullopt;  // corrupt, or cut short (Z_BUF_ERROR: no input left)
        }
    }
}

// Whether the text holds an XMP packet's root element, or at least RDF.
bool looksLikeXmp(const heif::DataVector& packet)
{
    const std::string_view text(reinterpret_cast<const char*>(packet.data()), packet.size());
    return text.find("<x:xmpmeta") != std::string_view::npos || text.find("<rdf:RDF") != std::string_view::npos;
}

}  // namespace

// The XMP packet of an XMP item when it can be read and looks like XMP;
// empty otherwise.
heif::DataVector readXmpItem(heif::HevcImageFileReader& reader, heif::ContextId context, heif::ItemId item)
{
    try {
        const std::string itemName = "the XMP item " + std::to_string(item);
        const std::optional<std::uint64_t> declared = reader.getItemDeclaredLength(context, item);
        if (declared && *declared > kMaxXmpBytes) {
            printDiagnostic(itemName + " is left out: it is " + std::to_string(*declared) +
                            " bytes, more than the limit of " + std::to_string(kMaxXmpBytes));
            return {};
        }
        heif::DataVector bytes;
        reader.getItemData(context, item, bytes);
        if (bytes.size() > kMaxXmpBytes) {
            printDiagnostic(itemName + " is left out: it is " + std::to_string(bytes.size()) +
                            " bytes, more than the limit of " + std::to_string(kMaxXmpBytes));
            return {};
        }
        const auto content = reader.getItemMimeContent(context, item);
        const std::string encoding = content ? lowerCase(content->contentEncoding) : std::string();
        std::optional<heif::DataVector> packet;
        if (encoding.empty()) {
            packet = std::move(bytes);
        } else if (encoding == "deflate" || encoding == "gzip") {
            // "deflate" is zlib data as HTTP has it; some writers store it raw.
            packet = inflateBounded(bytes, 15 + 32, reader.memoryBudget());
            if (!packet && encoding == "deflate") {
                packet = inflateBounded(bytes, -15, reader.memoryBudget());
            }
            if (!packet) {
                printDiagnostic(itemName + " is left out: its " + encoding + " data does not inflate to at most " +
                                std::to_string(kMaxXmpBytes) + " bytes");
                return {};
            }
        } else {
            printDiagnostic(itemName + " is left out: its content encoding '" + encoding + "' cannot be read");
            return {};
        }
        // Writers may end the text with a terminating zero, which is no part of it.
        while (!packet->empty() && packet->back() == 0) {
            packet->pop_back();
        }
        if (!looksLikeXmp(*packet)) {
            printDiagnostic(itemName + " is left out: it holds no XMP packet");
            return {};
        }
        return std::move(*packet);
    } catch (const std::exception& e) {
        printDiagnostic("the XMP item " + std::to_string(item) + " is left out: " + e.what());
    }
    return {};
}

// The XMP packet of the image's XMP item, kept in `data.xmp` when it can be
// read and looks like XMP.
void getHeifXmp(heif::HevcImageFileReader& reader, const heif::ImageModel& model, HeifImageData& data)
{
    data.xmp.clear();
    try {
        const heif::ItemId item = findXmpItem(model, data);
        if (item != 0) {
            data.xmp = readXmpItem(reader, model.context(), item);
        }
    } catch (const std::exception&) {
        data.xmp.clear();
    }
}

}  // namespace ambrel::pipeline
