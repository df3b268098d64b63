#include "pipeline/encode/colour_profiles.h"

#include <lcms2.h>

#include <array>
#include <cmath>
#include <memory>
#include <optional>

namespace ambrel::pipeline {

namespace {

// The tone curves a profile can have: the display's decoding of the stored
// values to linear light.
enum class Curve {
    Srgb,   // IEC 61966-2-1
    Bt709,  // the inverse of the BT.709 camera curve (also BT.601, BT.2020)
    Gamma22,
    Gamma28,
    Linear,
};

struct Chromaticity
{
    double x;
    double y;
};

struct PrimariesEntry
{
    std::uint16_t code;
    const char* name;
    Chromaticity red;
    Chromaticity green;
    Chromaticity blue;
    Chromaticity white;
    Curve customary;  // the curve the name implies; others are named in the description
};

constexpr Chromaticity kD65{0.3127, 0.3290};

// ITU-T H.273, colour primaries.
constexpr std::array<PrimariesEntry, 10> kPrimaries{{
    {1, "Rec. 709", {0.640, 0.330}, {0.300, 0.600}, {0.150, 0.060}, kD65, Curve::Srgb},
    {2, "Rec. 709", {0.640, 0.330}, {0.300, 0.600}, {0.150, 0.060}, kD65, Curve::Srgb},
    {4, "BT.470 System M", {0.67, 0.33}, {0.21, 0.71}, {0.14, 0.08}, {0.310, 0.316}, Curve::Bt709},
    {5, "BT.601 625-line", {0.64, 0.33}, {0.29, 0.60}, {0.15, 0.06}, kD65, Curve::Bt709},
    {6, "BT.601 525-line", {0.630, 0.340}, {0.310, 0.595}, {0.155, 0.070}, kD65, Curve::Bt709},
    {7, "SMPTE 240M", {0.630, 0.340}, {0.310, 0.595}, {0.155, 0.070}, kD65, Curve::Bt709},
    {9, "Rec. 2020", {0.708, 0.292}, {0.170, 0.797}, {0.131, 0.046}, kD65, Curve::Bt709},
    {11, "DCI-P3", {0.680, 0.320}, {0.265, 0.690}, {0.150, 0.060}, {0.314, 0.351}, Curve::Srgb},
    {12, "Display P3", {0.680, 0.320}, {0.265, 0.690}, {0.150, 0.060}, kD65, Curve::Srgb},
    {22, "EBU Tech 3213", {0.630, 0.340}, {0.295, 0.605}, {0.155, 0.077}, kD65, Curve::Bt709},
}};

const PrimariesEntry* findPrimaries(std::uint16_t code)
{
    for (const auto& entry : kPrimaries) {
        if (entry.code == code) {
            return &entry;
        }
    }
    return nullptr;
}

// ITU-T H.273, transfer characteristics, as far as a display profile's tone
// curve can follow them.
std::optional<Curve> curveFor(std::uint16_t transfer)
{
    switch (transfer) {
    case 1:   // BT.709
    case 6:   // BT.601
    case 14:  // BT.2020 10-bit
    case 15:  // BT.2020 12-bit
        return Curve::Bt709;
    case 2:  // unspecified: what viewers assume of a picture without a profile
    case 13: return Curve::Srgb;
    case 4: return Curve::Gamma22;
    case 5: return Curve::Gamma28;
    case 8: return Curve::Linear;
    default: return std::nullopt;
    }
}

const char* curveName(Curve curve)
{
    switch (curve) {
    case Curve::Srgb: return "sRGB curve";
    case Curve::Bt709: return "BT.709 curve";
    case Curve::Gamma22: return "gamma 2.2";
    case Curve::Gamma28: return "gamma 2.8";
    case Curve::Linear: return "linear";
    }
    return "";
}

// Linear light of a stored value in [0, 1].
double decode(Curve curve, double v)
{
    switch (curve) {
    case Curve::Srgb: return v < 0.04045 ? v / 12.92 : std::pow((v + 0.055) / 1.055, 2.4);
    case Curve::Bt709: return v < 0.081 ? v / 4.5 : std::pow((v + 0.099) / 1.099, 1.0 / 0.45);
    case Curve::Gamma22: return std::pow(v, 2.2);
    case Curve::Gamma28: return std::pow(v, 2.8);
    case Curve::Linear: return v;
    }
    return v;
}

struct ProfileDeleter
{
    void operator()(void* profile) const { cmsCloseProfile(profile); }
};
struct CurveDeleter
{
    void operator()(cmsToneCurve* curve) const { cmsFreeToneCurve(curve); }
};
struct MluDeleter
{
    void operator()(cmsMLU* mlu) const { cmsMLUfree(mlu); }
};

// A version 2 profile cannot hold parametric curves: the plain gammas go in as
// one exponent, the sRGB and BT.709 curves as a table of 1024 points (linear
// interpolation between them stays within 1e-5 of the formula).
std::unique_ptr<cmsToneCurve, CurveDeleter> toneCurve(Curve curve)
{
    switch (curve) {
    case Curve::Gamma22: return std::unique_ptr<cmsToneCurve, CurveDeleter>(cmsBuildGamma(nullptr, 2.2));
    case Curve::Gamma28: return std::unique_ptr<cmsToneCurve, CurveDeleter>(cmsBuildGamma(nullptr, 2.8));
    case Curve::Linear: return std::unique_ptr<cmsToneCurve, CurveDeleter>(cmsBuildGamma(nullptr, 1.0));
    case Curve::Srgb:
    case Curve::Bt709: break;
    }
    constexpr int kPoints = 1024;
    std::array<cmsUInt16Number, kPoints> table{};
    for (int i = 0; i < kPoints; ++i) {
        const double value = decode(curve, static_cast<double>(i) / (kPoints - 1));
        table[static_cast<std::size_t>(i)] = static_cast<cmsUInt16Number>(std::lround(value * 65535.0));
    }
    return std::unique_ptr<cmsToneCurve, CurveDeleter>(cmsBuildTabulatedToneCurve16(nullptr, kPoints, table.data()));
}

bool writeText(void* profile, cmsTagSignature tag, const std::string& text)
{
    const std::unique_ptr<cmsMLU, MluDeleter> mlu(cmsMLUalloc(nullptr, 1));
    return mlu && cmsMLUsetASCII(mlu.get(), "en", "US", text.c_str()) && cmsWriteTag(profile, tag, mlu.get());
}

// lcms2 stamps the profile with the time it was made; a fixed date instead
// keeps the bytes the same from one conversion to the next. Bytes 24 to 35 of
// the header: year, month, day, hours, minutes, seconds, 16 bits each.
void fixCreationDate(std::vector<std::uint8_t>& profile)
{
    constexpr std::array<std::uint16_t, 6> kDate{2026, 1, 1, 0, 0, 0};
    for (std::size_t i = 0; i < kDate.size(); ++i) {
        profile[24 + 2 * i] = static_cast<std::uint8_t>(kDate[i] >> 8);
        profile[25 + 2 * i] = static_cast<std::uint8_t>(kDate[i] & 0xFF);
    }
}

void setWhy(std::string* why, std::string text)
{
    if (why) {
        *why = std::move(text);
    }
}

}  // namespace

bool isSrgbColour(const heif::NclxColour& colour)
{
    const std::uint16_t t = colour.transferCharacteristics;
    return (colour.colourPrimaries == 1 || colour.colourPrimaries == 2) &&
           (t == 1 || t == 2 || t == 6 || t == 13 || t == 14 || t == 15);
}

std::vector<std::uint8_t> standardProfileFor(const heif::NclxColour& colour, std::string* why)
{
    const std::uint16_t transfer = colour.transferCharacteristics;
    if (transfer == 16 || transfer == 18) {
        setWhy(why, std::string("transfer characteristics ") + std::to_string(transfer) +
                        (transfer == 16 ? " (PQ, SMPTE ST 2084)" : " (HLG, ARIB STD-B67)") +
                        " is a high dynamic range transfer function, which an ICC display profile cannot carry");
        return {};
    }
    if (isSrgbColour(colour)) {
        setWhy(why, "the colours are sRGB (primaries " + std::to_string(colour.colourPrimaries) +
                        ", transfer characteristics " + std::to_string(transfer) + "): no profile is needed");
        return {};
    }
    const PrimariesEntry* primaries = findPrimaries(colour.colourPrimaries);
    if (!primaries) {
        setWhy(why, "colour primaries " + std::to_string(colour.colourPrimaries) + " have no standard profile");
        return {};
    }
    const std::optional<Curve> curve = curveFor(transfer);
    if (!curve) {
        setWhy(why, "transfer characteristics " + std::to_string(transfer) + " have no standard profile");
        return {};
    }

    const cmsCIExyY white{primaries->white.x, primaries->white.y, 1.0};
    const cmsCIExyYTRIPLE rgb{{primaries->red.x, primaries->red.y, 1.0},
                              {primaries->green.x, primaries->green.y, 1.0},
                              {primaries->blue.x, primaries->blue.y, 1.0}};
    const auto tone = toneCurve(*curve);
    if (!tone) {
        setWhy(why, "the profile's tone curve could not be built");
        return {};
    }
    cmsToneCurve* curves[3] = {tone.get(), tone.get(), tone.get()};
    const std::unique_ptr<void, ProfileDeleter> profile(cmsCreateRGBProfile(&white, &rgb, curves));
    if (!profile) {
        setWhy(why, "the profile could not be built");
        return {};
    }
    // Version 2: every colour-managed viewer reads it, including those that
    // ignore version 4 profiles (Firefox's colour management by default,
    // Windows' image codecs); Qt, GIMP and Apple's ColorSync read both.
    cmsSetProfileVersion(profile.get(), 2.1);
    std::string description = primaries->name;
    if (*curve != primaries->customary) {
        description += std::string(" (") + curveName(*curve) + ")";
    }
    if (!writeText(profile.get(), cmsSigProfileDescriptionTag, description) ||
        !writeText(profile.get(), cmsSigCopyrightTag, "No copyright, use freely")) {
        setWhy(why, "the profile's text tags could not be written");
        return {};
    }

    cmsUInt32Number size = 0;
    if (!cmsSaveProfileToMem(profile.get(), nullptr, &size) || size < 128) {
        setWhy(why, "the profile could not be saved");
        return {};
    }
    std::vector<std::uint8_t> bytes(size);
    if (!cmsSaveProfileToMem(profile.get(), bytes.data(), &size)) {
        setWhy(why, "the profile could not be saved");
        return {};
    }
    bytes.resize(size);
    fixCreationDate(bytes);
    setWhy(why, "");
    return bytes;
}

}  // namespace ambrel::pipeline
