// Runs the decoders of uncompressed and JPEG-coded image items straight over
// arbitrary bytes, without a file around them, so that their own bounds get
// all the executions. The first byte picks the decoder. For an uncompressed
// item the next bytes make its configuration (layout, components, size,
// compression and units, each field as wide as the box holds it, with the
// small values files use made likely) and the rest is its data; for a JPEG
// item the rest is the stream. Both run under a memory budget and a pixel
// limit of their own, far below the conversion's, so that a picture that
// would be large is refused rather than slow.
#include <cstddef>
#include <cstdint>
#include <span>

#include <fuzzer/FuzzedDataProvider.h>

#include "heiclib/box_types.h"
#include "pipeline/decode/jpeg_decoder.h"
#include "pipeline/decode/uncompressed.h"

using namespace ambrel::heif;
using namespace ambrel::pipeline;

namespace {

constexpr std::uint64_t kBudgetBytes = std::uint64_t(64) << 20;
constexpr std::uint64_t kMaxPixels = std::uint64_t(1) << 22;

// Mostly a small value (0 to 15), sometimes any value of the type.
template <typename T>
T smallOrAny(FuzzedDataProvider& in)
{
    return in.ConsumeBool() ? in.ConsumeIntegral<T>() : static_cast<T>(in.ConsumeIntegralInRange<unsigned>(0, 15));
}

UncompressedConfig configFrom(FuzzedDataProvider& in)
{
    UncompressedConfig config;
    const std::uint8_t flags = in.ConsumeIntegral<std::uint8_t>();
    config.hasLayout = (flags & 0x01) == 0;
    config.hasComponents = (flags & 0x02) == 0;
    config.layoutVersion = (flags & 0x04) != 0 ? 1 : 0;
    static const FourCCInt kProfiles[] = {FourCCInt("rgb3"), FourCCInt("rgba"), FourCCInt("abgr"), FourCCInt("yuv2")};
    config.layout.profile = kProfiles[(flags >> 3) & 3];

    const unsigned componentTypes = in.ConsumeIntegralInRange<unsigned>(0, 5);
    for (unsigned i = 0; i < componentTypes; ++i) {
        config.components.push_back({smallOrAny<std::uint16_t>(in), {}});
    }
    const unsigned components = in.ConsumeIntegralInRange<unsigned>(0, 5);
    for (unsigned i = 0; i < components; ++i) {
        UncompressedComponent component;
        component.index = smallOrAny<std::uint16_t>(in);
        component.bitDepthMinusOne = smallOrAny<std::uint8_t>(in);
        component.format = in.ConsumeIntegralInRange<std::uint8_t>(0, 3);
        component.alignSize = in.ConsumeIntegralInRange<std::uint8_t>(0, 5);
        config.layout.components.push_back(component);
    }
    UncompressedLayout& layout = config.layout;
    layout.samplingType = in.ConsumeIntegralInRange<std::uint8_t>(0, 4);
    layout.interleaveType = in.ConsumeIntegralInRange<std::uint8_t>(0, 6);
    layout.blockSize = in.ConsumeBool() ? 0 : in.ConsumeIntegral<std::uint8_t>();
    layout.componentsLittleEndian = in.ConsumeBool();
    layout.pixelSize = smallOrAny<std::uint32_t>(in);
    layout.rowAlignSize = smallOrAny<std::uint32_t>(in);
    layout.tileAlignSize = smallOrAny<std::uint32_t>(in);
    layout.numTileColsMinusOne = smallOrAny<std::uint32_t>(in);
    layout.numTileRowsMinusOne = smallOrAny<std::uint32_t>(in);
    config.width = smallOrAny<std::uint32_t>(in);
    config.height = smallOrAny<std::uint32_t>(in);

    const std::uint8_t compression = in.ConsumeIntegralInRange<std::uint8_t>(0, 4);
    static const FourCCInt kCompressions[] = {codetype::kDefl, codetype::kZlib, codetype::kBrot, FourCCInt("lzma")};
    if (compression != 0) {
        config.compression = kCompressions[compression - 1];
        config.compressedUnitType = in.ConsumeIntegralInRange<std::uint8_t>(0, 5);
        if (in.ConsumeBool()) {
            config.units.emplace();
            const unsigned units = in.ConsumeIntegralInRange<unsigned>(0, 8);
            for (unsigned i = 0; i < units; ++i) {
                config.units->push_back({smallOrAny<std::uint64_t>(in), smallOrAny<std::uint64_t>(in)});
            }
        }
    }
    return config;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size)
{
    if (size == 0) {
        return 0;
    }
    MemoryBudget budget(kBudgetBytes);
    if ((bytes[0] & 1) != 0) {
        static_cast<void>(decodeJpeg(std::span(bytes + 1, size - 1), &budget, kMaxPixels));
        return 0;
    }
    FuzzedDataProvider in(bytes + 1, size - 1);
    const UncompressedConfig config = configFrom(in);
    const std::vector<std::uint8_t> data = in.ConsumeRemainingBytes<std::uint8_t>();
    static_cast<void>(decodeUncompressed(config, data, &budget, kMaxPixels));
    return 0;
}
