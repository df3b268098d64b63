#include "pipeline/decode/uncompressed.h"

#include <algorithm>
#include <array>
#include <climits>
#include <cmath>
#include <stdexcept>

#include <brotli/decode.h>
#include <zlib.h>

#include "heiclib/box_types.h"

namespace ambrel::pipeline {

namespace {

const std::string kImage = "the uncompressed image";

// A refusal or a fault of the data; caught at the top and turned into the
// picture's error.
class Refused : public std::runtime_error
{
public:
    using std::runtime_error::runtime_error;
};

[[noreturn]] void refuse(const std::string& what)
{
    throw Refused(kImage + " uses " + what + ", which is not supported");
}

[[noreturn]] void fault(const std::string& what)
{
    throw Refused(kImage + " " + what);
}

std::uint64_t mul(std::uint64_t a, std::uint64_t b)
{
    std::uint64_t r = 0;
    if (__builtin_mul_overflow(a, b, &r)) {
        fault("has a layout whose sizes overflow");
    }
    return r;
}

std::uint64_t add(std::uint64_t a, std::uint64_t b)
{
    std::uint64_t r = 0;
    if (__builtin_add_overflow(a, b, &r)) {
        fault("has a layout whose sizes overflow");
    }
    return r;
}

// `size` rounded up to a multiple of `align` (0: as it is).
std::uint64_t padded(std::uint64_t size, std::uint64_t align)
{
    return align == 0 ? size : mul((size + align - 1) / align, align);
}

enum class Role { Red, Green, Blue, Alpha, Grey, Padding };

// One stored component and where its values of one tile lie.
struct Plane
{
    Role role = Role::Padding;
    unsigned depth = 8;  // bits of a value
    unsigned bytes = 1;  // bytes a value is stored in
    bool littleEndian = false;
    std::uint64_t start = 0;       // offset of its values in the first tile
    std::uint64_t tileStride = 0;  // bytes from one tile's values to the next tile's
    std::uint64_t xStride = 0;     // bytes from one value to the next in a row
    std::uint64_t yStride = 0;     // bytes from one row to the next
};

std::string typeName(std::uint16_t type)
{
    static const char* const kNames[] = {
        "monochrome", "luma (Y)", "Cb",      "Cr",        "red",        "green",
        "blue",       "alpha",    "depth",   "disparity", "palette",    "filter array (Bayer)",
        "padding",    "cyan",     "magenta", "yellow",    "key (black)"};
    return type < std::size(kNames) ? kNames[type] : "type " + std::to_string(type);
}

// The stored components, in storage order, with their roles and sizes (not
// yet placed).
std::vector<Plane> componentsOf(const UncompressedConfig& config)
{
    std::vector<Plane> planes;
    if (config.layoutVersion == 1) {
        // Version 1 names a fixed layout: 8-bit components, pixel-interleaved.
        const std::string profile = config.layout.profile.getString();
        std::vector<Role> roles;
        if (profile == "rgb3") {
            roles = {Role::Red, Role::Green, Role::Blue};
        } else if (profile == "rgba") {
            roles = {Role::Red, Role::Green, Role::Blue, Role::Alpha};
        } else if (profile == "abgr") {
            roles = {Role::Alpha, Role::Blue, Role::Green, Role::Red};
        } else {
            refuse("the profile '" + profile + "'");
        }
        for (Role role : roles) {
            Plane plane;
            plane.role = role;
            planes.push_back(plane);
        }
        return planes;
    }
    if (!config.hasComponents) {
        fault("has no component definitions ('cmpd')");
    }
    static const char* const kFormats[] = {"", "floating-point", "complex"};
    for (const auto& component : config.layout.components) {
        if (component.index >= config.components.size()) {
            fault("names component " + std::to_string(component.index) + " of " +
                  std::to_string(config.components.size()) + " defined");
        }
        const std::uint16_t type = config.components[component.index].type;
        Plane plane;
        switch (type) {
        case 0:
        case 1: plane.role = Role::Grey; break;
        case 4: plane.role = Role::Red; break;
        case 5: plane.role = Role::Green; break;
        case 6: plane.role = Role::Blue; break;
        case 7: plane.role = Role::Alpha; break;
        case 12: plane.role = Role::Padding; break;
        default: refuse("a " + typeName(type) + " component");
        }
        if (component.format != 0) {
            refuse(component.format < std::size(kFormats) ? std::string(kFormats[component.format]) + " components"
                                                          : "component format " + std::to_string(component.format));
        }
        plane.depth = component.bitDepthMinusOne + 1u;
        if (plane.depth > 16) {
            refuse(std::to_string(plane.depth) + "-bit components");
        }
        if (component.alignSize == 0) {
            if (plane.depth % 8 != 0) {
                refuse(std::to_string(plane.depth) + "-bit components packed without alignment");
            }
            plane.bytes = plane.depth / 8;
        } else {
            if (component.alignSize > 4 || component.alignSize * 8u < plane.depth) {
                refuse(std::to_string(plane.depth) + "-bit components aligned to " +
                       std::to_string(component.alignSize) + " bytes");
            }
            plane.bytes = component.alignSize;
        }
        plane.littleEndian = config.layout.componentsLittleEndian;
        planes.push_back(plane);
    }
    // The components must make a picture: red, green and blue, or grey; each
    // at most once, with at most one alpha.
    std::array<int, 6> counts{};
    for (const Plane& plane : planes) {
        ++counts[static_cast<std::size_t>(plane.role)];
    }
    const auto count = [&counts](Role role) { return counts[static_cast<std::size_t>(role)]; };
    const bool rgb =
        count(Role::Red) == 1 && count(Role::Green) == 1 && count(Role::Blue) == 1 && count(Role::Grey) == 0;
    const bool grey = count(Role::Grey) == 1 && count(Role::Red) + count(Role::Green) + count(Role::Blue) == 0;
    if ((!rgb && !grey) || count(Role::Alpha) > 1) {
        std::string names;
        for (const auto& component : config.layout.components) {
            names += (names.empty() ? "" : ", ") + typeName(config.components[component.index].type);
        }
        refuse("the components " + (names.empty() ? std::string("(none)") : names));
    }
    return planes;
}

// Places the components of one tile as the interleave type says; the number
// of bytes the stored data must hold up to the last value read.
std::uint64_t place(const heif::UncompressedLayout& layout, std::vector<Plane>& planes, std::uint64_t tileWidth,
                    std::uint64_t tileHeight, std::uint64_t tiles)
{
    const std::uint64_t rowAlign = layout.rowAlignSize;
    const std::uint64_t tileAlign = layout.tileAlignSize;
    std::uint64_t tileBytes = 0;
    switch (layout.interleaveType) {
    case 0:  // planar: each component's rows, one component after another
    case 4:  // tile-component: each component's planes of every tile, one component after another
        for (Plane& plane : planes) {
            plane.xStride = plane.bytes;
            plane.yStride = padded(mul(tileWidth, plane.bytes), rowAlign);
            const std::uint64_t planeBytes = mul(plane.yStride, tileHeight);
            plane.start = tileBytes;
            if (layout.interleaveType == 0) {
                tileBytes = add(tileBytes, planeBytes);
            } else {
                plane.tileStride = padded(planeBytes, tileAlign);
                tileBytes = add(tileBytes, mul(plane.tileStride, tiles));
            }
        }
        break;
    case 1: {  // pixel: all components of a pixel together
        std::uint64_t pixelBytes = 0;
        for (Plane& plane : planes) {
            plane.start = pixelBytes;
            pixelBytes += plane.bytes;
        }
        if (layout.pixelSize != 0) {
            if (layout.pixelSize < pixelBytes) {
                fault("has pixels of " + std::to_string(layout.pixelSize) + " bytes holding " +
                      std::to_string(pixelBytes) + " bytes of components");
            }
            pixelBytes = layout.pixelSize;
        }
        const std::uint64_t rowBytes = padded(mul(tileWidth, pixelBytes), rowAlign);
        for (Plane& plane : planes) {
            plane.xStride = pixelBytes;
            plane.yStride = rowBytes;
        }
        tileBytes = mul(rowBytes, tileHeight);
        break;
    }
    case 3: {  // row: one row of each component after another
        std::uint64_t rowBytes = 0;
        for (Plane& plane : planes) {
            plane.start = rowBytes;
            plane.xStride = plane.bytes;
            rowBytes = add(rowBytes, padded(mul(tileWidth, plane.bytes), rowAlign));
        }
        for (Plane& plane : planes) {
            plane.yStride = rowBytes;
        }
        tileBytes = mul(rowBytes, tileHeight);
        break;
    }
    case 2: refuse("mixed interleave");
    case 5: refuse("multi-Y interleave");
    default: refuse("interleave type " + std::to_string(layout.interleaveType));
    }
    std::uint64_t end = 0;
    for (Plane& plane : planes) {
        if (layout.interleaveType != 4) {
            plane.tileStride = padded(tileBytes, tileAlign);
        }
        const std::uint64_t last = add(add(plane.start, mul(plane.tileStride, tiles - 1)),
                                       add(mul(plane.yStride, tileHeight - 1), mul(plane.xStride, tileWidth - 1)));
        end = std::max(end, add(last, plane.bytes));
    }
    return end;
}

// Decompresses one unit into out[written ..), stopping when `out` is full.
void decompressUnit(heif::FourCCInt type, std::span<const std::uint8_t> in, std::vector<std::uint8_t>& out,
                    std::size_t& written)
{
    const std::string name = type == heif::codetype::kBrot   ? "brotli"
                             : type == heif::codetype::kZlib ? "zlib"
                                                             : "deflate";
    if (type == heif::codetype::kBrot) {
        BrotliDecoderState* state = BrotliDecoderCreateInstance(nullptr, nullptr, nullptr);
        if (state == nullptr) {
            throw std::bad_alloc();
        }
        std::size_t inLeft = in.size();
        const std::uint8_t* next = in.data();
        std::size_t outLeft = out.size() - written;
        std::uint8_t* outNext = out.data() + written;
        const BrotliDecoderResult result =
            BrotliDecoderDecompressStream(state, &inLeft, &next, &outLeft, &outNext, nullptr);
        BrotliDecoderDestroyInstance(state);
        written = out.size() - outLeft;
        if (result == BROTLI_DECODER_RESULT_ERROR || result == BROTLI_DECODER_RESULT_NEEDS_MORE_INPUT) {
            fault(std::string("holds ") + (result == BROTLI_DECODER_RESULT_ERROR ? "corrupt" : "cut-short") + " " +
                  name + " data");
        }
        return;
    }
    if (in.size() > UINT_MAX) {
        fault("holds a compressed unit too large to read");
    }
    z_stream stream{};
    if (inflateInit2(&stream, type == heif::codetype::kZlib ? MAX_WBITS : -MAX_WBITS) != Z_OK) {
        throw std::bad_alloc();
    }
    stream.next_in = const_cast<Bytef*>(in.data());  // zlib does not write through it
    stream.avail_in = static_cast<uInt>(in.size());
    int status = Z_OK;
    while (status == Z_OK && written < out.size()) {
        std::uint8_t* const before = out.data() + written;
        stream.next_out = before;
        stream.avail_out = static_cast<uInt>(std::min<std::size_t>(out.size() - written, UINT_MAX));
        status = inflate(&stream, Z_NO_FLUSH);
        written += static_cast<std::size_t>(stream.next_out - before);
    }
    inflateEnd(&stream);
    if (status != Z_OK && status != Z_STREAM_END) {
        fault(std::string("holds ") + (status == Z_BUF_ERROR ? "cut-short" : "corrupt") + " " + name + " data");
    }
}

// The stored layout's bytes: the data itself, or its compressed units
// decompressed one after another (at most `needed` bytes).
std::span<const std::uint8_t> storedBytes(const UncompressedConfig& config, std::span<const std::uint8_t> data,
                                          std::uint64_t needed, heif::MemoryBudget* budget,
                                          std::vector<std::uint8_t>& buffer)
{
    if (!config.compression) {
        if (data.size() < needed) {
            fault("holds " + std::to_string(data.size()) + " bytes of data, fewer than the " + std::to_string(needed) +
                  " its layout needs");
        }
        return data;
    }
    const heif::FourCCInt type = *config.compression;
    if (type != heif::codetype::kDefl && type != heif::codetype::kZlib && type != heif::codetype::kBrot) {
        refuse("the compression '" + type.getString() + "'");
    }
    static const char* const kUnits[] = {"", "", "tile", "row", "pixel"};
    if (config.compressedUnitType >= std::size(kUnits)) {
        refuse("compressed units of type " + std::to_string(config.compressedUnitType));
    }
    std::vector<heif::CompressedUnitsInfoBox::Unit> units;
    if (config.units) {
        units = *config.units;
    } else if (config.compressedUnitType <= 1) {
        units.push_back({0, data.size()});
    } else {
        fault(std::string("is compressed per ") + kUnits[config.compressedUnitType] +
              " without a list of its units ('icef')");
    }
    const std::uint64_t limit = budget != nullptr ? budget->left() : heif::limits::kMaxFileMemoryBytes;
    if (needed > limit) {
        fault("needs " + std::to_string(needed) + " bytes decompressed, more than the memory budget allows");
    }
    if (budget != nullptr) {
        budget->charge(needed, kImage + "'s decompressed data");
    }
    buffer.resize(needed);
    std::size_t written = 0;
    for (const auto& unit : units) {
        if (unit.offset > data.size() || unit.size > data.size() - unit.offset) {
            fault("has a compressed unit at " + std::to_string(unit.offset) + " of " + std::to_string(unit.size) +
                  " bytes, beyond its " + std::to_string(data.size()) + " bytes of data");
        }
        if (written == buffer.size()) {
            break;
        }
        decompressUnit(type, data.subspan(unit.offset, unit.size), buffer, written);
    }
    if (written < needed) {
        fault("decompresses to " + std::to_string(written) + " bytes, fewer than the " + std::to_string(needed) +
              " its layout needs");
    }
    return buffer;
}

template <typename Sample>
void copyPlane(const Plane& plane, const std::uint8_t* tile, const std::vector<std::uint16_t>& scale, cv::Mat& out,
               int channel, int x0, int y0, int width, int height)
{
    const int channels = out.channels();
    const std::uint32_t mask = (1u << plane.depth) - 1;
    for (int y = 0; y < height; ++y) {
        const std::uint8_t* in = tile + plane.start + plane.yStride * std::uint64_t(y);
        Sample* row = out.ptr<Sample>(y0 + y) + std::ptrdiff_t(x0) * channels + channel;
        for (int x = 0; x < width; ++x, in += plane.xStride, row += channels) {
            std::uint32_t value = 0;
            for (unsigned i = 0; i < plane.bytes; ++i) {
                const unsigned shift = plane.littleEndian ? 8 * i : 8 * (plane.bytes - 1 - i);
                value |= std::uint32_t(in[i]) << shift;
            }
            *row = static_cast<Sample>(scale[value & mask]);
        }
    }
}

// Values of `depth` bits scaled to the full range of `outBits`.
std::vector<std::uint16_t> scaleTable(unsigned depth, unsigned outBits)
{
    std::vector<std::uint16_t> table(std::size_t(1) << depth);
    const double factor = double((1u << outBits) - 1) / double((1u << depth) - 1);
    for (std::size_t v = 0; v < table.size(); ++v) {
        table[v] = static_cast<std::uint16_t>(std::lround(double(v) * factor));
    }
    return table;
}

DecodedPicture decode(const UncompressedConfig& config, std::span<const std::uint8_t> data, heif::MemoryBudget* budget,
                      std::uint64_t maxPixels)
{
    if (!config.hasLayout) {
        fault("has no layout ('uncC')");
    }
    const heif::UncompressedLayout& layout = config.layout;
    if (config.layoutVersion != 1) {
        static const char* const kSampling[] = {"", "4:2:2", "4:2:0", "4:1:1"};
        if (layout.samplingType != 0) {
            refuse("sampling " + (layout.samplingType < std::size(kSampling)
                                      ? std::string(kSampling[layout.samplingType])
                                      : "type " + std::to_string(layout.samplingType)));
        }
        if (layout.blockSize != 0) {
            refuse("components packed in blocks of " + std::to_string(layout.blockSize) + " bytes");
        }
    }
    const std::uint64_t width = config.width;
    const std::uint64_t height = config.height;
    if (width == 0 || height == 0) {
        fault("has no size ('ispe')");
    }
    if (mul(width, height) > maxPixels || width > INT_MAX || height > INT_MAX) {
        fault("is " + std::to_string(width) + " x " + std::to_string(height) + ", more than the limit of " +
              std::to_string(maxPixels) + " pixels");
    }
    std::vector<Plane> planes = componentsOf(config);
    heif::UncompressedLayout placed = layout;
    if (config.layoutVersion == 1) {
        placed = heif::UncompressedLayout{};
        placed.interleaveType = 1;
    }
    const std::uint64_t columns = std::uint64_t(placed.numTileColsMinusOne) + 1;
    const std::uint64_t rows = std::uint64_t(placed.numTileRowsMinusOne) + 1;
    if (width % columns != 0 || height % rows != 0) {
        fault("of " + std::to_string(width) + " x " + std::to_string(height) + " cannot be cut into " +
              std::to_string(columns) + " x " + std::to_string(rows) + " equal tiles");
    }
    const std::uint64_t tileWidth = width / columns;
    const std::uint64_t tileHeight = height / rows;
    const std::uint64_t needed = place(placed, planes, tileWidth, tileHeight, columns * rows);

    std::vector<std::uint8_t> buffer;
    const std::span<const std::uint8_t> stored = storedBytes(config, data, needed, budget, buffer);

    unsigned maxDepth = 0;
    bool grey = false;
    bool alpha = false;
    for (const Plane& plane : planes) {
        if (plane.role != Role::Padding) {
            maxDepth = std::max(maxDepth, plane.depth);
        }
        grey = grey || plane.role == Role::Grey;
        alpha = alpha || plane.role == Role::Alpha;
    }
    const unsigned outBits = maxDepth > 8 ? 16 : 8;
    const int depth = outBits == 16 ? CV_16U : CV_8U;
    const int channels = grey ? 1 : 3;
    if (budget != nullptr) {
        budget->charge(width * height * (outBits / 8) * (channels + (alpha ? 1 : 0)), kImage + "'s picture");
    }
    DecodedPicture result;
    result.picture.create(int(height), int(width), CV_MAKETYPE(depth, channels));
    if (alpha) {
        result.alpha.create(int(height), int(width), CV_MAKETYPE(depth, 1));
    }
    for (const Plane& plane : planes) {
        if (plane.role == Role::Padding) {
            continue;
        }
        const std::vector<std::uint16_t> scale = scaleTable(plane.depth, outBits);
        cv::Mat& out = plane.role == Role::Alpha ? result.alpha : result.picture;
        const int channel = plane.role == Role::Blue    ? 0
                            : plane.role == Role::Green ? 1
                            : plane.role == Role::Red   ? 2
                                                        : 0;
        for (std::uint64_t t = 0; t < columns * rows; ++t) {
            const std::uint8_t* tile = stored.data() + plane.tileStride * t;
            const int x0 = int((t % columns) * tileWidth);
            const int y0 = int((t / columns) * tileHeight);
            if (outBits == 16) {
                copyPlane<std::uint16_t>(plane, tile, scale, out, channel, x0, y0, int(tileWidth), int(tileHeight));
            } else {
                copyPlane<std::uint8_t>(plane, tile, scale, out, channel, x0, y0, int(tileWidth), int(tileHeight));
            }
        }
    }
    return result;
}

DecodedPicture failure(std::string error)
{
    DecodedPicture picture;
    picture.error = std::move(error);
    return picture;
}

}  // namespace

UncompressedConfig uncompressedConfigOf(const heif::HevcImageFileReader& reader, heif::ContextId context,
                                        heif::ItemId item)
{
    UncompressedConfig config;
    if (const auto uncC = std::dynamic_pointer_cast<const heif::UncompressedFrameConfigBox>(
            reader.getItemPropertyBox(context, item, heif::boxtype::kUncC))) {
        config.hasLayout = true;
        config.layoutVersion = uncC->getVersion();
        config.layout = uncC->getLayout();
    }
    if (const auto cmpd = std::dynamic_pointer_cast<const heif::ComponentDefinitionBox>(
            reader.getItemPropertyBox(context, item, heif::boxtype::kCmpd))) {
        config.hasComponents = true;
        config.components = cmpd->getComponents();
    }
    if (const auto cmpC = std::dynamic_pointer_cast<const heif::CompressionConfigurationBox>(
            reader.getItemPropertyBox(context, item, heif::boxtype::kCmpC))) {
        config.compression = cmpC->getCompressionType();
        config.compressedUnitType = cmpC->getCompressedUnitType();
    }
    if (const auto icef = std::dynamic_pointer_cast<const heif::CompressedUnitsInfoBox>(
            reader.getItemPropertyBox(context, item, heif::boxtype::kIcef))) {
        config.units = icef->getUnits();
    }
    config.width = reader.getWidth(context, item);
    config.height = reader.getHeight(context, item);
    return config;
}

DecodedPicture decodeUncompressed(const UncompressedConfig& config, std::span<const std::uint8_t> data,
                                  heif::MemoryBudget* budget, std::uint64_t maxPixels)
{
    try {
        return decode(config, data, budget, maxPixels);
    } catch (const Refused& refusal) {
        return failure(refusal.what());
    } catch (const heif::MemoryBudgetExceeded& exceeded) {
        return failure(exceeded.what());
    } catch (const std::bad_alloc&) {
        return failure(kImage + " does not fit in memory");
    } catch (const cv::Exception&) {
        return failure(kImage + " does not fit in memory");
    }
}

}  // namespace ambrel::pipeline
