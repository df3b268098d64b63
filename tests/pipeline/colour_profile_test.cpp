// The standard display profiles made for pictures whose colours are named by
// 'nclx' code points: read back with Little CMS, their primaries, white point
// and tone curve are checked against the code tables, computed here on their
// own (chromaticities to XYZ, Bradford adaptation to the D50 of the profile
// connection space), not taken from what the profile was built with.
#include <gtest/gtest.h>

#include <lcms2.h>
#include <unistd.h>

#include <array>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "pipeline/encode/colour_profiles.h"

using ambrel::heif::NclxColour;
using ambrel::pipeline::isSrgbColour;
using ambrel::pipeline::standardProfileFor;

namespace {

using Vec3 = std::array<double, 3>;
using Mat3 = std::array<Vec3, 3>;

struct Xy
{
    double x;
    double y;
};

Vec3 xyToXyz(Xy c)
{
    return {c.x / c.y, 1.0, (1.0 - c.x - c.y) / c.y};
}

Vec3 multiply(const Mat3& m, const Vec3& v)
{
    return {m[0][0] * v[0] + m[0][1] * v[1] + m[0][2] * v[2], m[1][0] * v[0] + m[1][1] * v[1] + m[1][2] * v[2],
            m[2][0] * v[0] + m[2][1] * v[1] + m[2][2] * v[2]};
}

Mat3 inverse(const Mat3& m)
{
    const double det = m[0][0] * (m[1][1] * m[2][2] - m[1][2] * m[2][1]) -
                       m[0][1] * (m[1][0] * m[2][2] - m[1][2] * m[2][0]) +
                       m[0][2] * (m[1][0] * m[2][1] - m[1][1] * m[2][0]);
    Mat3 r{};
    r[0][0] = (m[1][1] * m[2][2] - m[1][2] * m[2][1]) / det;
    r[0][1] = (m[0][2] * m[2][1] - m[0][1] * m[2][2]) / det;
    r[0][2] = (m[0][1] * m[1][2] - m[0][2] * m[1][1]) / det;
    r[1][0] = (m[1][2] * m[2][0] - m[1][0] * m[2][2]) / det;
    r[1][1] = (m[0][0] * m[2][2] - m[0][2] * m[2][0]) / det;
    r[1][2] = (m[0][2] * m[1][0] - m[0][0] * m[1][2]) / det;
    r[2][0] = (m[1][0] * m[2][1] - m[1][1] * m[2][0]) / det;
    r[2][1] = (m[0][1] * m[2][0] - m[0][0] * m[2][1]) / det;
    r[2][2] = (m[0][0] * m[1][1] - m[0][1] * m[1][0]) / det;
    return r;
}

// XYZ (relative to the D50 white of the profile connection space) of the
// red, green and blue primaries of a display whose white is `white`: the
// primaries scaled so that they add up to the white, then adapted with the
// Bradford transform, as ICC profiles store their colorants.
std::array<Vec3, 3> expectedColorants(Xy red, Xy green, Xy blue, Xy white)
{
    const Vec3 r = xyToXyz(red), g = xyToXyz(green), b = xyToXyz(blue);
    const Mat3 primaries{{{r[0], g[0], b[0]}, {r[1], g[1], b[1]}, {r[2], g[2], b[2]}}};
    const Vec3 scale = multiply(inverse(primaries), xyToXyz(white));
    const Mat3 bradford{{{0.8951, 0.2664, -0.1614}, {-0.7502, 1.7135, 0.0367}, {0.0389, -0.0685, 1.0296}}};
    const Vec3 source = multiply(bradford, xyToXyz(white));
    const Vec3 target = multiply(bradford, {0.9642, 1.0, 0.8249});
    const Mat3 inv = inverse(bradford);
    std::array<Vec3, 3> out{};
    const std::array<Vec3, 3> columns{r, g, b};
    for (int i = 0; i < 3; ++i) {
        Vec3 cone = multiply(bradford, {columns[i][0] * scale[i], columns[i][1] * scale[i], columns[i][2] * scale[i]});
        for (int k = 0; k < 3; ++k) {
            cone[k] *= target[k] / source[k];
        }
        out[i] = multiply(inv, cone);
    }
    return out;
}

Xy chromaticity(const Vec3& xyz)
{
    const double sum = xyz[0] + xyz[1] + xyz[2];
    return {xyz[0] / sum, xyz[1] / sum};
}

// The display decoding of a stored value, from the transfer tables.
double srgbCurve(double v)
{
    return v <= 0.04045 ? v / 12.92 : std::pow((v + 0.055) / 1.055, 2.4);
}
double bt709Curve(double v)
{
    return v < 4.5 * 0.018 ? v / 4.5 : std::pow((v + 0.099) / 1.099, 1.0 / 0.45);
}
double gamma22(double v)
{
    return std::pow(v, 2.2);
}
double gamma28(double v)
{
    return std::pow(v, 2.8);
}
double linear(double v)
{
    return v;
}

struct ProfileDeleter
{
    void operator()(void* profile) const { cmsCloseProfile(profile); }
};
using Profile = std::unique_ptr<void, ProfileDeleter>;
struct TransformDeleter
{
    void operator()(void* transform) const { cmsDeleteTransform(transform); }
};

// XYZ (D50) of an RGB value shown through the profile.
Vec3 toXyz(const Profile& profile, const Vec3& rgb)
{
    const Profile xyz(cmsCreateXYZProfile());
    const std::unique_ptr<void, TransformDeleter> transform(cmsCreateTransform(
        profile.get(), TYPE_RGB_DBL, xyz.get(), TYPE_XYZ_DBL, INTENT_RELATIVE_COLORIMETRIC, cmsFLAGS_NOOPTIMIZE));
    if (!transform) {
        ADD_FAILURE() << "no transform to XYZ";
        return {};
    }
    cmsCIEXYZ out{};
    cmsDoTransform(transform.get(), rgb.data(), &out, 1);
    return {out.X, out.Y, out.Z};
}

std::string exiftoolDescription(const std::vector<std::uint8_t>& profile)
{
    const std::string path = ::testing::TempDir() + "standard-profile-" + std::to_string(::getpid()) + ".icc";
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(profile.data()), static_cast<std::streamsize>(profile.size()));
    const std::string command = "exiftool -s3 -ICC_Profile:ProfileDescription '" + path + "' 2>&1";
    std::unique_ptr<FILE, int (*)(FILE*)> pipe(popen(command.c_str(), "r"), pclose);
    std::string text;
    char buffer[512];
    std::size_t count = 0;
    while (pipe && (count = std::fread(buffer, 1, sizeof buffer, pipe.get())) > 0) {
        text.append(buffer, count);
    }
    pipe.reset();
    std::remove(path.c_str());
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) {
        text.pop_back();
    }
    return text;
}

struct ProfileRow
{
    std::uint16_t primaries;
    std::uint16_t transfer;
    // From the code tables.
    Xy red, green, blue, white;
    double (*curve)(double);
    const char* description;
};

constexpr Xy kD65{0.3127, 0.3290};

TEST(StandardProfile, PrimariesWhiteAndCurveOfTheCodes)
{
    const bool haveExiftool = std::system("exiftool -ver >/dev/null 2>&1") == 0;
    const ProfileRow rows[] = {
        {12, 13, {0.680, 0.320}, {0.265, 0.690}, {0.150, 0.060}, kD65, srgbCurve, "Display P3"},
        {9, 14, {0.708, 0.292}, {0.170, 0.797}, {0.131, 0.046}, kD65, bt709Curve, "Rec. 2020"},
        // DCI white; unspecified transfer: the sRGB curve.
        {11, 2, {0.680, 0.320}, {0.265, 0.690}, {0.150, 0.060}, {0.314, 0.351}, srgbCurve, "DCI-P3"},
        {6, 6, {0.630, 0.340}, {0.310, 0.595}, {0.155, 0.070}, kD65, bt709Curve, "BT.601 525-line"},
        // Illuminant C white.
        {4, 4, {0.67, 0.33}, {0.21, 0.71}, {0.14, 0.08}, {0.310, 0.316}, gamma22, "BT.470 System M (gamma 2.2)"},
        {22, 5, {0.630, 0.340}, {0.295, 0.605}, {0.155, 0.077}, kD65, gamma28, "EBU Tech 3213 (gamma 2.8)"},
        // BT.709 primaries, but not the sRGB picture viewers assume.
        {1, 8, {0.640, 0.330}, {0.300, 0.600}, {0.150, 0.060}, kD65, linear, "Rec. 709 (linear)"},
    };
    for (const ProfileRow& row : rows) {
        SCOPED_TRACE(row.description);
        const NclxColour colour{row.primaries, row.transfer, 9, true};
        std::string why = "unset";
        const std::vector<std::uint8_t> bytes = standardProfileFor(colour, &why);
        ASSERT_FALSE(bytes.empty()) << why;
        EXPECT_EQ(why, "");
        EXPECT_EQ(standardProfileFor(colour), bytes);

        const Profile profile(cmsOpenProfileFromMem(bytes.data(), static_cast<cmsUInt32Number>(bytes.size())));
        ASSERT_TRUE(profile);
        EXPECT_EQ(cmsGetDeviceClass(profile.get()), cmsSigDisplayClass);
        EXPECT_EQ(cmsGetColorSpace(profile.get()), cmsSigRgbData);
        EXPECT_EQ(cmsGetPCS(profile.get()), cmsSigXYZData);
        EXPECT_EQ(cmsGetEncodedICCversion(profile.get()), 0x02100000u);
        // A fixed date, so that converted files are the same from run to run.
        std::tm created{};
        ASSERT_TRUE(cmsGetHeaderCreationDateTime(profile.get(), &created));
        EXPECT_EQ(created.tm_year + 1900, 2026);
        EXPECT_EQ(created.tm_mon, 0);
        EXPECT_EQ(created.tm_mday, 1);
        EXPECT_EQ(created.tm_hour * 3600 + created.tm_min * 60 + created.tm_sec, 0);
        char text[128] = {};
        cmsGetProfileInfoASCII(profile.get(), cmsInfoDescription, "en", "US", text, sizeof text);
        EXPECT_STREQ(text, row.description);
        cmsGetProfileInfoASCII(profile.get(), cmsInfoCopyright, "en", "US", text, sizeof text);
        EXPECT_STRNE(text, "");
        if (haveExiftool) {
            EXPECT_EQ(exiftoolDescription(bytes), row.description);
        }

        const auto expected = expectedColorants(row.red, row.green, row.blue, row.white);
        const Vec3 pure[3] = {{1, 0, 0}, {0, 1, 0}, {0, 0, 1}};
        for (int i = 0; i < 3; ++i) {
            const Vec3 xyz = toXyz(profile, pure[i]);
            const Xy got = chromaticity(xyz);
            const Xy want = chromaticity(expected[static_cast<std::size_t>(i)]);
            EXPECT_NEAR(got.x, want.x, 0.002) << "primary " << i;
            EXPECT_NEAR(got.y, want.y, 0.002) << "primary " << i;
            EXPECT_NEAR(xyz[1], expected[static_cast<std::size_t>(i)][1], 0.002) << "primary " << i;
        }
        // Grey keeps the white's chromaticity (D50 in the connection space)
        // and its luminance is the transfer function's.
        for (const double level : {0.5, 0.03}) {
            const Vec3 grey = toXyz(profile, {level, level, level});
            EXPECT_NEAR(grey[1], row.curve(level), level * 0.002) << "grey " << level;
            const Xy greyXy = chromaticity(grey);
            EXPECT_NEAR(greyXy.x, 0.3457, 0.002) << "grey " << level;
            EXPECT_NEAR(greyXy.y, 0.3585, 0.002) << "grey " << level;
        }
    }
}

TEST(StandardProfile, NoProfileWhenNoneIsNeededOrPossible)
{
    const struct
    {
        std::uint16_t primaries;
        std::uint16_t transfer;
        const char* reason;  // part of the reason given
    } rows[] = {
        {1, 13, "sRGB"},
        {2, 2, "sRGB"},
        {1, 1, "sRGB"},
        {9, 16, "PQ"},
        {1, 16, "PQ"},
        {12, 18, "HLG"},
        {3, 13, "colour primaries 3"},
        {10, 13, "colour primaries 10"},
        {9, 7, "transfer characteristics 7"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(std::to_string(row.primaries) + "/" + std::to_string(row.transfer));
        std::string why;
        EXPECT_TRUE(standardProfileFor(NclxColour{row.primaries, row.transfer, 1, false}, &why).empty());
        EXPECT_NE(why.find(row.reason), std::string::npos) << why;
    }
    std::string hdr;
    standardProfileFor(NclxColour{9, 16, 9, false}, &hdr);
    EXPECT_NE(hdr.find("ICC display profile cannot carry"), std::string::npos) << hdr;
}

TEST(StandardProfile, SrgbColours)
{
    const struct
    {
        std::uint16_t primaries;
        std::uint16_t transfer;
        bool srgb;
    } rows[] = {
        {1, 13, true}, {2, 2, true},   {1, 1, true},   {1, 6, true},    {2, 14, true}, {1, 15, true}, {1, 8, false},
        {1, 4, false}, {2, 16, false}, {1, 18, false}, {12, 13, false}, {9, 1, false}, {6, 6, false},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(isSrgbColour(NclxColour{row.primaries, row.transfer, 1, false}), row.srgb)
            << row.primaries << "/" << row.transfer;
    }
}

}  // namespace
