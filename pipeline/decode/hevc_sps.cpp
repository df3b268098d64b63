#include "pipeline/decode/hevc_sps.h"

#include <algorithm>
#include <exception>
#include <stdexcept>
#include <vector>

#include "heiclib/bitstream.h"

namespace ambrel::pipeline {

namespace {

constexpr int kSpsType = 33;

// The bits of a NAL unit's payload, its emulation prevention bytes taken out;
// reading past the end throws std::out_of_range, an Exp-Golomb code of more
// than 32 bits std::runtime_error.
class BitReader
{
public:
    explicit BitReader(std::span<const std::uint8_t> nal) : mBits(withoutEmulationPrevention(nal)) {}

    std::uint32_t bits(int count) { return mBits.readBitField(static_cast<unsigned>(count)); }
    bool flag() { return bits(1) != 0; }
    std::uint32_t ue() { return mBits.readUnsignedExpGolomb(); }

    void skip(int count)
    {
        for (; count > 0; count -= 32) {
            static_cast<void>(bits(std::min(count, 32)));
        }
    }

    void skipUe(int count)
    {
        for (int k = 0; k < count; ++k) {
            static_cast<void>(ue());
        }
    }

private:
    static std::vector<std::uint8_t> withoutEmulationPrevention(std::span<const std::uint8_t> nal)
    {
        std::vector<std::uint8_t> bytes;
        bytes.reserve(nal.size());
        int zeros = 0;
        for (const std::uint8_t byte : nal) {
            if (zeros >= 2 && byte == 3) {
                zeros = 0;
                continue;
            }
            zeros = byte == 0 ? zeros + 1 : 0;
            bytes.push_back(byte);
        }
        return bytes;
    }

    heif::BitStream mBits;
};

// profile_tier_level(1, maxSubLayersMinus1).
void skipProfileTierLevel(BitReader& in, std::uint32_t maxSubLayersMinus1)
{
    in.skip(96);  // the general profile, its flags and level
    std::vector<bool> profile(maxSubLayersMinus1);
    std::vector<bool> level(maxSubLayersMinus1);
    for (std::uint32_t i = 0; i < maxSubLayersMinus1; ++i) {
        profile[i] = in.flag();
        level[i] = in.flag();
    }
    if (maxSubLayersMinus1 > 0) {
        in.skip(2 * int(8 - maxSubLayersMinus1));
    }
    for (std::uint32_t i = 0; i < maxSubLayersMinus1; ++i) {
        in.skip((profile[i] ? 88 : 0) + (level[i] ? 8 : 0));
    }
}

void skipScalingListData(BitReader& in)
{
    for (int size = 0; size < 4; ++size) {
        for (int matrix = 0; matrix < 6; matrix += size == 3 ? 3 : 1) {
            if (!in.flag()) {
                static_cast<void>(in.ue());  // scaling_list_pred_matrix_id_delta
                continue;
            }
            const int coefficients = std::min(64, 1 << (4 + (size << 1)));
            if (size > 1) {
                static_cast<void>(in.ue());  // scaling_list_dc_coef_minus8, se(v) of the same length
            }
            for (int k = 0; k < coefficients; ++k) {
                static_cast<void>(in.ue());
            }
        }
    }
}

// The short-term reference picture sets; each set's count of pictures is
// needed by the next one that is predicted from it.
void skipShortTermSets(BitReader& in)
{
    const std::uint32_t sets = in.ue();
    if (sets > 64) {
        throw std::out_of_range("the SPS has too many reference picture sets");
    }
    std::vector<std::uint32_t> pictures(sets, 0);
    for (std::uint32_t i = 0; i < sets; ++i) {
        if (i != 0 && in.flag()) {  // inter_ref_pic_set_prediction_flag
            in.skip(1);             // delta_rps_sign
            static_cast<void>(in.ue());
            for (std::uint32_t j = 0; j <= pictures[i - 1]; ++j) {
                const bool used = in.flag();
                if (used || in.flag()) {
                    ++pictures[i];
                }
            }
            continue;
        }
        const std::uint32_t negative = in.ue();
        const std::uint32_t positive = in.ue();
        if (negative > 16 || positive > 16) {
            throw std::out_of_range("a reference picture set of the SPS is too large");
        }
        for (std::uint32_t k = 0; k < negative + positive; ++k) {
            static_cast<void>(in.ue());
            in.skip(1);
        }
        pictures[i] = negative + positive;
    }
}

// From sps_seq_parameter_set_id to the end of the picture size and depth.
void readPictureFormat(BitReader& in, SpsFacts& facts)
{
    static_cast<void>(in.ue());  // sps_seq_parameter_set_id
    facts.chromaFormat = in.ue();
    if (facts.chromaFormat == 3 && in.flag()) {
        facts.chromaFormat = 0;  // separate colour planes are decoded as grey pictures
    }
    facts.width = in.ue();
    facts.height = in.ue();
    if (in.flag()) {  // conformance window, in chroma samples
        const std::uint32_t unitX = facts.chromaFormat == 1 || facts.chromaFormat == 2 ? 2 : 1;
        const std::uint32_t unitY = facts.chromaFormat == 1 ? 2 : 1;
        const std::uint64_t left = in.ue();
        const std::uint64_t right = in.ue();
        const std::uint64_t top = in.ue();
        const std::uint64_t bottom = in.ue();
        facts.width = std::uint32_t(std::max<std::int64_t>(0, std::int64_t(facts.width) - (left + right) * unitX));
        facts.height = std::uint32_t(std::max<std::int64_t>(0, std::int64_t(facts.height) - (top + bottom) * unitY));
    }
    facts.bitDepth = 8 + in.ue();
    static_cast<void>(in.ue());  // bit_depth_chroma_minus8
}

// From log2_max_pic_order_cnt_lsb_minus4 to the VUI's colour description.
void readCodingTools(BitReader& in, std::uint32_t maxSubLayersMinus1, SpsFacts& facts)
{
    const std::uint32_t pocBits = in.ue() + 4;
    const bool allSubLayers = in.flag();
    for (std::uint32_t i = allSubLayers ? 0 : maxSubLayersMinus1; i <= maxSubLayersMinus1; ++i) {
        in.skipUe(3);
    }
    in.skipUe(6);  // coding and transform block sizes and depths
    if (in.flag() && in.flag()) {
        skipScalingListData(in);
    }
    in.skip(2);       // amp, sample adaptive offset
    if (in.flag()) {  // pcm
        in.skip(8);
        in.skipUe(2);
        in.skip(1);
    }
    skipShortTermSets(in);
    if (in.flag()) {  // long-term reference pictures
        const std::uint32_t count = in.ue();
        if (count > 32) {
            throw std::out_of_range("the SPS has too many long-term reference pictures");
        }
        for (std::uint32_t k = 0; k < count; ++k) {
            in.skip(int(std::min<std::uint32_t>(pocBits, 32)) + 1);
        }
    }
    in.skip(2);  // temporal MVP, strong intra smoothing
    if (!in.flag()) {
        return;  // no VUI
    }
    if (in.flag() && in.bits(8) == 255) {  // aspect ratio, extended SAR
        in.skip(32);
    }
    if (in.flag()) {  // overscan
        in.skip(1);
    }
    if (in.flag()) {  // video signal type
        in.skip(3);
        facts.fullRange = in.flag();
        if (in.flag()) {
            in.skip(16);
            facts.matrix = in.bits(8);
        }
    }
}

std::optional<std::span<const std::uint8_t>> firstSps(std::span<const std::uint8_t> bytes)
{
    std::size_t start = 0;
    for (std::size_t i = 0; i + 3 <= bytes.size(); ++i) {
        if (bytes[i] != 0 || bytes[i + 1] != 0 || bytes[i + 2] != 1) {
            continue;
        }
        if (start != 0 && ((bytes[start] >> 1) & 0x3f) == kSpsType) {
            return bytes.subspan(start, i - start);
        }
        start = i + 3;
    }
    if (start != 0 && start < bytes.size() && ((bytes[start] >> 1) & 0x3f) == kSpsType) {
        return bytes.subspan(start);
    }
    return std::nullopt;
}

}  // namespace

std::optional<SpsFacts> readSpsFacts(std::span<const std::uint8_t> paramSets)
{
    const auto nal = firstSps(paramSets);
    if (!nal || nal->size() < 3) {
        return std::nullopt;
    }
    try {
        BitReader in(nal->subspan(2));  // past the NAL unit header
        in.skip(4);                     // sps_video_parameter_set_id
        const std::uint32_t maxSubLayersMinus1 = in.bits(3);
        in.skip(1);
        skipProfileTierLevel(in, maxSubLayersMinus1);
        SpsFacts facts;
        readPictureFormat(in, facts);
        readCodingTools(in, maxSubLayersMinus1, facts);
        return facts;
    } catch (const std::exception&) {
        return std::nullopt;  // cut short or malformed
    }
}

}  // namespace ambrel::pipeline
