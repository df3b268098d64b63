// The pipeline's JPEG encoder against OpenCV's imencode: the same bytes,
// whole or fed band by band, from whole images and from views. The metadata
// segments it writes against the byte splicing of jpeg_metadata, and read
// back by exiftool.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <string>

#include <unistd.h>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "pipeline/decode/extraction.h"
#include "pipeline/decode/mosaic.h"
#include "pipeline/encode/jpeg_encoder.h"
#include "pipeline/encode/jpeg_metadata.h"
#include "tests/pipeline/pipeline_support.h"

using namespace ambrel::heif;
using namespace ambrel::pipeline;

namespace {

// What a conversion without EXIF gives the encoder: the JFIF segment at 72 dpi.
const ambrel::pipeline::JpegSegments kPlainSegments{false, {}, {}, {}, ambrel::pipeline::jpegmeta::Resolution{}};

cv::Mat noisyPicture(int width, int height)
{
    cv::Mat image(height, width, CV_8UC3);
    cv::RNG random(7);
    random.fill(image, cv::RNG::UNIFORM, 0, 256);
    // Smooth areas as well as noise.
    image(cv::Rect(0, 0, width / 2, height / 2)).setTo(cv::Scalar(30, 120, 200));
    return image;
}

std::vector<std::uint8_t> opencvJpeg(const cv::Mat& image, int quality)
{
    std::vector<std::uint8_t> bytes;
    EXPECT_TRUE(cv::imencode(".jpg", image, bytes, {cv::IMWRITE_JPEG_QUALITY, quality}));
    return bytes;
}

TEST(JpegEncoderTest, SameBytesAsImencode)
{
    const cv::Mat image = noisyPicture(203, 77);
    for (int quality : {-5, 0, 1, 10, 50, 90, 100, 130}) {
        std::vector<std::uint8_t> ours;
        ASSERT_TRUE(ambrel::pipeline::encodeJpeg(image, quality, ours));
        EXPECT_EQ(ours, opencvJpeg(image, quality)) << "quality " << quality;
    }
}

TEST(JpegEncoderTest, BandsAndViewsGiveTheSameBytes)
{
    const cv::Mat canvas = noisyPicture(300, 200);
    const cv::Mat view = canvas(cv::Rect(0, 0, 250, 170));  // not continuous
    ambrel::pipeline::JpegEncoder encoder(view.cols, view.rows, 90);
    for (int row = 0; row < view.rows; row += 64) {
        encoder.writeRows(view.rowRange(row, std::min(row + 64, view.rows)));
    }
    EXPECT_EQ(encoder.rowsWritten(), 170);
    EXPECT_EQ(encoder.finish(), opencvJpeg(view.clone(), 90));

    // Unfinished pictures give nothing.
    ambrel::pipeline::JpegEncoder partial(view.cols, view.rows, 90);
    partial.writeRows(view.rowRange(0, 10));
    EXPECT_TRUE(partial.finish().empty());
}

// A photograph-like picture: smooth gradients with sharp colour edges.
cv::Mat gradientPicture(int width, int height)
{
    cv::Mat image(height, width, CV_8UC3);
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            const bool edge = (x / 7 + y / 5) % 3 == 0;
            image.at<cv::Vec3b>(y, x) =
                edge ? cv::Vec3b(20, 40, 220)
                     : cv::Vec3b(cv::saturate_cast<std::uint8_t>(x * 255 / std::max(width, 2)),
                                 cv::saturate_cast<std::uint8_t>(y * 255 / std::max(height, 2)), 120);
        }
    }
    return image;
}

double psnr(const cv::Mat& a, const cv::Mat& b)
{
    return cv::PSNR(a, b);
}

TEST(JpegEncoderTest, PlanesGiveThePictureTheirSamplesStandFor)
{
    // Planes from the picture by JFIF's arithmetic, fed in bands of several
    // heights (and an odd last one), at sizes that are not whole blocks: the
    // file shows the picture as well as libjpeg's own conversion does. A
    // chroma row or column out of place, or an edge not repeated, costs
    // several dB.
    for (const cv::Size size :
         {cv::Size(1, 1), cv::Size(2, 3), cv::Size(17, 33), cv::Size(203, 77), cv::Size(250, 170)}) {
        const cv::Mat picture = gradientPicture(size.width, size.height);
        cv::Mat ycrcb;
        cv::cvtColor(picture, ycrcb, cv::COLOR_BGR2YCrCb);
        // Chroma: the average of each 2 x 2 block, the last column and row
        // repeated where the side is odd.
        cv::Mat even;
        cv::copyMakeBorder(ycrcb, even, 0, size.height % 2, 0, size.width % 2, cv::BORDER_REPLICATE);
        cv::Mat halved;
        cv::resize(even, halved, cv::Size(even.cols / 2, even.rows / 2), 0, 0, cv::INTER_AREA);
        std::vector<cv::Mat> channels;
        cv::split(ycrcb, channels);
        std::vector<cv::Mat> chroma;
        cv::split(halved, chroma);
        const cv::Mat& cb = chroma[2];
        const cv::Mat& cr = chroma[1];
        std::vector<std::uint8_t> reference;
        ASSERT_TRUE(ambrel::pipeline::encodeJpeg(picture, 95, reference));
        const double expected = psnr(cv::imdecode(reference, cv::IMREAD_COLOR), picture);
        for (const int band : {2, 6, 16, 64}) {
            SCOPED_TRACE(std::to_string(size.width) + " x " + std::to_string(size.height) + " in bands of " +
                         std::to_string(band));
            JpegEncoder encoder(size.width, size.height, 95, {}, JpegInput::Planes);
            for (int row = 0; row < size.height; row += band) {
                const int end = std::min(row + band, size.height);
                encoder.writePlanes(channels[0].rowRange(row, end), cb.rowRange(row / 2, (end + 1) / 2),
                                    cr.rowRange(row / 2, (end + 1) / 2));
            }
            EXPECT_EQ(encoder.rowsWritten(), size.height);
            const std::vector<std::uint8_t> jpeg = encoder.finish();
            ASSERT_FALSE(jpeg.empty());
            const cv::Mat decoded = cv::imdecode(jpeg, cv::IMREAD_COLOR);
            ASSERT_EQ(decoded.size(), size);
            EXPECT_GE(psnr(decoded, picture), std::min(expected - 1.0, 40.0));
        }
    }

    // Planes that do not fit the picture are refused; an unfinished picture
    // gives nothing.
    JpegEncoder encoder(20, 20, 90, {}, JpegInput::Planes);
    const cv::Mat luma(4, 20, CV_8UC1, cv::Scalar(0));
    EXPECT_THROW(encoder.writePlanes(luma, cv::Mat(2, 9, CV_8UC1), cv::Mat(2, 10, CV_8UC1)), std::invalid_argument);
    EXPECT_THROW(encoder.writeRows(cv::Mat(4, 20, CV_8UC3)), std::invalid_argument);
    encoder.writePlanes(luma, cv::Mat(2, 10, CV_8UC1, cv::Scalar(128)), cv::Mat(2, 10, CV_8UC1, cv::Scalar(128)));
    EXPECT_EQ(encoder.rowsWritten(), 4);
    EXPECT_TRUE(encoder.finish().empty());
}

TEST(JpegEncoderTest, PicturesLibjpegCannotTakeFail)
{
    EXPECT_THROW(ambrel::pipeline::JpegEncoder(0, 10, 90), std::invalid_argument);
    // Wider than JPEG's 65500 pixels: refused by libjpeg, reported as failure.
    ambrel::pipeline::JpegEncoder tooWide(70000, 1, 90);
    EXPECT_TRUE(tooWide.failed());
    EXPECT_TRUE(tooWide.finish().empty());
    std::vector<std::uint8_t> out;
    EXPECT_FALSE(ambrel::pipeline::encodeJpeg(cv::Mat(1, 70000, CV_8UC3, cv::Scalar::all(0)), 90, out));
    EXPECT_THROW(ambrel::pipeline::encodeJpeg(cv::Mat(), 90, out), std::invalid_argument);
}

// --- metadata segments ---

using Bytes = std::vector<std::uint8_t>;

Bytes filler(std::size_t size, std::uint8_t seed)
{
    Bytes bytes(size);
    for (std::size_t i = 0; i < size; ++i) {
        bytes[i] = static_cast<std::uint8_t>(seed + i * 131 + (i >> 8));
    }
    return bytes;
}

Bytes exifPayload(std::size_t size)
{
    Bytes block = {'E', 'x', 'i', 'f', 0, 0, 'M', 'M', 0, 42, 0, 0, 0, 8};
    const Bytes rest = filler(size > block.size() ? size - block.size() : 0, 3);
    block.insert(block.end(), rest.begin(), rest.end());
    block.resize(size);
    return block;
}

Bytes xmpPacket(std::size_t size)
{
    const std::string head =
        "<?xpacket begin=\"\" id=\"W5M0MpCehiHzreSzNTczkc9d\"?>"
        "<x:xmpmeta xmlns:x=\"adobe:ns:meta/\"><rdf:RDF "
        "xmlns:rdf=\"http://www.w3.org/1999/02/22-rdf-syntax-ns#\">"
        "<rdf:Description rdf:about=\"\" xmlns:xmp=\"http://ns.adobe.com/xap/1.0/\" "
        "xmp:Label=\"Ambrel band\"/></rdf:RDF></x:xmpmeta>";
    const std::string tail = "<?xpacket end=\"w\"?>";
    std::string packet = head;
    if (size > head.size() + tail.size()) {
        packet.append(size - head.size() - tail.size(), ' ');  // padding, as XMP writers leave it
    }
    packet += tail;
    return Bytes(packet.begin(), packet.end());
}

Bytes xmpSegmentPayload(const Bytes& packet)
{
    const std::string name = "http://ns.adobe.com/xap/1.0/";
    Bytes payload(name.begin(), name.end());
    payload.push_back(0);
    payload.insert(payload.end(), packet.begin(), packet.end());
    return payload;
}

// What the pipeline used to make: the plain JPEG with the segments spliced in.
Bytes splicedJpeg(const cv::Mat& image, int quality, const JpegSegments& segments)
{
    Bytes plain;
    EXPECT_TRUE(ambrel::pipeline::encodeJpeg(image, quality, plain));
    if (segments.exifSegment) {
        plain = ambrel::pipeline::jpegmeta::insertExifSegment(plain, segments.exif);
    }
    return ambrel::pipeline::jpegmeta::insertIccSegments(plain, segments.icc);
}

Bytes bandEncoded(const cv::Mat& image, int quality, const JpegSegments& segments, std::string& warning)
{
    ambrel::pipeline::JpegEncoder encoder(image.cols, image.rows, quality, segments);
    warning = encoder.warning();
    for (int row = 0; row < image.rows; row += 16) {
        encoder.writeRows(image.rowRange(row, std::min(row + 16, image.rows)));
    }
    return encoder.finish();
}

struct SegmentCase
{
    const char* name;
    bool exifSegment;
    std::size_t exifSize;
    std::size_t iccSize;
};

// The encoder's own segments are byte for byte what splicing the plain JPEG
// gave, whole and band by band.
TEST(JpegEncoderTest, SegmentsWrittenByTheEncoderEqualTheSplicedOnes)
{
    const cv::Mat image = noisyPicture(61, 45);
    const SegmentCase cases[] = {
        {"exif and icc", true, 3000, 560},
        {"exif only", true, 3000, 0},
        {"empty exif", true, 0, 0},
        {"empty exif and icc", true, 0, 560},
        {"largest exif", true, ambrel::pipeline::jpegmeta::kMaxApp1Payload, 0},
        {"icc only", false, 0, 560},
        {"icc over three chunks", true, 200, 2 * ambrel::pipeline::jpegmeta::kMaxIccChunk + 7},
        {"icc filling two chunks", false, 0, 2 * ambrel::pipeline::jpegmeta::kMaxIccChunk},
        {"none", false, 0, 0},
    };
    for (const SegmentCase& c : cases) {
        SCOPED_TRACE(c.name);
        JpegSegments segments;
        segments.exifSegment = c.exifSegment;
        segments.exif = exifPayload(c.exifSize);
        segments.icc = filler(c.iccSize, 11);
        const Bytes expected = splicedJpeg(image, 80, segments);

        Bytes whole;
        std::string warning = "not set";
        ASSERT_TRUE(ambrel::pipeline::encodeJpeg(image, 80, whole, segments, &warning));
        EXPECT_EQ(whole, expected);
        EXPECT_EQ(warning, "");

        EXPECT_EQ(bandEncoded(image, 80, segments, warning), expected);
        EXPECT_EQ(warning, "");
    }
}

// The XMP segment follows the EXIF (or JFIF) segment and precedes the ICC
// chunks; without it the file is the spliced one.
TEST(JpegEncoderTest, XmpSegmentSitsBetweenExifAndIcc)
{
    const cv::Mat image = noisyPicture(40, 24);
    for (bool exifSegment : {true, false}) {
        SCOPED_TRACE(exifSegment ? "with EXIF" : "with JFIF");
        JpegSegments segments;
        segments.exifSegment = exifSegment;
        segments.exif = exifPayload(500);
        segments.xmp = xmpPacket(ambrel::pipeline::kMaxXmpPacket);
        segments.icc = filler(ambrel::pipeline::jpegmeta::kMaxIccChunk + 1, 5);
        Bytes ours;
        std::string warning;
        ASSERT_TRUE(ambrel::pipeline::encodeJpeg(image, 90, ours, segments, &warning));
        EXPECT_EQ(warning, "");
        EXPECT_EQ(bandEncoded(image, 90, segments, warning), ours);

        const std::vector<pipetest::Segment> found = pipetest::headerSegments(ours);
        ASSERT_GE(found.size(), 5u);
        EXPECT_EQ(found[0].marker, exifSegment ? 0xE1 : 0xE0);
        if (exifSegment) {
            EXPECT_EQ(found[0].payload, segments.exif);
        }
        EXPECT_EQ(found[1].marker, 0xE1);
        EXPECT_EQ(found[1].payload, xmpSegmentPayload(segments.xmp));
        EXPECT_EQ(found[2].marker, 0xE2);
        EXPECT_EQ(found[3].marker, 0xE2);
        EXPECT_EQ(found[4].marker, 0xDB);

        // Cut the XMP segment out: what remains is the spliced file.
        const std::size_t at = 2 + 4 + found[0].payload.size();
        Bytes withoutXmp = ours;
        withoutXmp.erase(withoutXmp.begin() + long(at), withoutXmp.begin() + long(at + 4 + found[1].payload.size()));
        JpegSegments noXmp = segments;
        noXmp.xmp.clear();
        EXPECT_EQ(withoutXmp, splicedJpeg(image, 90, noXmp));
    }
}

// A segment that one APP1 segment, or 255 APP2 segments, cannot hold is left
// out with a warning that says so; the others and the picture are written,
// and an EXIF block left out leaves the JFIF segment in place.
TEST(JpegEncoderTest, SegmentsTooLargeAreLeftOutWithAWarning)
{
    const cv::Mat image = noisyPicture(24, 16);
    const std::size_t largestIcc = 255 * ambrel::pipeline::jpegmeta::kMaxIccChunk;

    JpegSegments fitting;
    fitting.exifSegment = true;
    fitting.exif = exifPayload(ambrel::pipeline::jpegmeta::kMaxApp1Payload);
    fitting.xmp = xmpPacket(ambrel::pipeline::kMaxXmpPacket);
    fitting.icc = filler(largestIcc, 1);
    Bytes out;
    std::string warning;
    ASSERT_TRUE(ambrel::pipeline::encodeJpeg(image, 75, out, fitting, &warning));
    EXPECT_EQ(warning, "");
    const std::vector<pipetest::Segment> all = pipetest::headerSegments(out);
    ASSERT_GE(all.size(), 2u + 256);
    EXPECT_EQ(all[1].payload, xmpSegmentPayload(fitting.xmp));
    EXPECT_EQ(all[2 + 254].marker, 0xE2);
    EXPECT_EQ(all[2 + 255].marker, 0xDB);

    struct Oversize
    {
        const char* name;
        JpegSegments segments;
        const char* mentions;
    };
    JpegSegments exif = fitting;
    exif.exif.push_back(0);
    JpegSegments xmp = fitting;
    xmp.xmp.push_back(' ');
    JpegSegments icc = fitting;
    icc.icc.push_back(0);
    const Oversize cases[] = {{"EXIF", exif, "EXIF block of 65534 bytes left out"},
                              {"XMP", xmp, "XMP packet of 65505 bytes left out"},
                              {"ICC", icc, "ICC profile of 16707346 bytes left out"}};
    for (const Oversize& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_TRUE(ambrel::pipeline::encodeJpeg(image, 75, out, c.segments, &warning));
        EXPECT_NE(warning.find(c.mentions), std::string::npos) << warning;
        std::string bandWarning;
        EXPECT_EQ(bandEncoded(image, 75, c.segments, bandWarning), out);
        EXPECT_EQ(bandWarning, warning);

        const std::vector<pipetest::Segment> kept = pipetest::headerSegments(out);
        const std::string name = c.name;
        ASSERT_FALSE(kept.empty());
        EXPECT_EQ(kept[0].marker, name == "EXIF" ? 0xE0 : 0xE1);
        std::size_t xmpSegments = 0;
        std::size_t iccSegments = 0;
        for (const pipetest::Segment& segment : kept) {
            if (segment.marker == 0xE1 && segment.payload.size() > 29 &&
                std::equal(segment.payload.begin(), segment.payload.begin() + 29, "http://ns.adobe.com/xap/1.0/")) {
                ++xmpSegments;
            }
            if (segment.marker == 0xE2) {
                ++iccSegments;
            }
        }
        EXPECT_EQ(xmpSegments, name == "XMP" ? 0u : 1u);
        EXPECT_EQ(iccSegments, name == "ICC" ? 0u : 255u);
        cv::Mat decoded = cv::imdecode(out, cv::IMREAD_COLOR);
        EXPECT_EQ(decoded.size(), image.size());
    }

    // Everything too large: one warning naming all three, and a plain JPEG.
    JpegSegments allTooLarge = fitting;
    allTooLarge.exif = exif.exif;
    allTooLarge.xmp = xmp.xmp;
    allTooLarge.icc = icc.icc;
    ambrel::pipeline::JpegEncoder encoder(image.cols, image.rows, 75, allTooLarge);
    EXPECT_NE(encoder.warning().find("EXIF"), std::string::npos);
    EXPECT_NE(encoder.warning().find("XMP"), std::string::npos);
    EXPECT_NE(encoder.warning().find("ICC"), std::string::npos);
    encoder.writeRows(image);
    Bytes plain;
    ASSERT_TRUE(ambrel::pipeline::encodeJpeg(image, 75, plain));
    EXPECT_EQ(encoder.finish(), plain);
}

// exiftool, as a black box, reads back the XMP packet and the ICC profile
// (reassembled from its chunks).
class TempJpeg
{
public:
    explicit TempJpeg(const Bytes& bytes)
        : mPath((std::filesystem::temp_directory_path() / ("ambrel-jpegseg-" + std::to_string(::getpid()) + ".jpg"))
                    .string())
    {
        std::ofstream(mPath, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()), long(bytes.size()));
    }
    ~TempJpeg() { std::filesystem::remove(mPath); }
    TempJpeg(const TempJpeg&) = delete;
    TempJpeg& operator=(const TempJpeg&) = delete;
    const std::string& path() const { return mPath; }

private:
    std::string mPath;
};

Bytes commandOutput(const std::string& command)
{
    std::unique_ptr<FILE, int (*)(FILE*)> pipe(popen(command.c_str(), "r"), pclose);
    Bytes out;
    if (!pipe) {
        return out;
    }
    std::uint8_t buffer[4096];
    std::size_t count = 0;
    while ((count = std::fread(buffer, 1, sizeof buffer, pipe.get())) > 0) {
        out.insert(out.end(), buffer, buffer + count);
    }
    return out;
}

TEST(JpegEncoderTest, ExiftoolReadsBackXmpAndIcc)
{
    if (std::system("exiftool -ver >/dev/null 2>&1") != 0) {
        GTEST_SKIP() << "exiftool is not installed";
    }
    const cv::Mat image = noisyPicture(32, 32);
    JpegSegments segments;
    segments.exifSegment = true;
    segments.exif = exifPayload(0);
    segments.xmp = xmpPacket(4000);
    segments.icc = filler(2 * ambrel::pipeline::jpegmeta::kMaxIccChunk + 100, 9);
    Bytes jpeg;
    ASSERT_TRUE(ambrel::pipeline::encodeJpeg(image, 90, jpeg, segments));
    const TempJpeg file(jpeg);
    EXPECT_EQ(commandOutput("exiftool -xmp -b '" + file.path() + "' 2>/dev/null"), segments.xmp);
    EXPECT_EQ(commandOutput("exiftool -icc_profile -b '" + file.path() + "' 2>/dev/null"), segments.icc);
}

class BandEncodingTest : public pipetest::PipelineTest
{};

// Gradients crossed by sharp colour stripes: chroma out of place by a row or
// a column shows.
fixture::RgbImage stripedPicture(unsigned width, unsigned height)
{
    fixture::RgbImage picture = fixture::gradientImage(width, height);
    for (unsigned y = 0; y < picture.height; ++y) {
        for (unsigned x = 0; x < picture.width; ++x) {
            if ((x / 3 + y / 5) % 4 == 0) {
                picture.set(x, y, {30, 60, 230});
            }
        }
    }
    return picture;
}

TEST_F(BandEncodingTest, ConversionEncodedWhileDecodingMatchesTheMosaicEncodedAfter)
{
    // A picture that needs no pixel work after the mosaic, or only a scale
    // by a power of two, is encoded band by band as rows of tiles arrive,
    // holding only those rows. Tiles that name a matrix other than BT.601's
    // go through BGR: the bytes must be those of the cut mosaic scaled and
    // encoded whole. BT.601 tiles go to the encoder as their planes: the
    // same picture, within what 4:2:0 JPEG coding of the planes costs.
    struct Case
    {
        unsigned rows, columns, tileWidth, tileHeight, outputWidth, outputHeight;
        float scale;
    };
    for (const Case& c :
         {Case{3, 2, 64, 64, 120, 150, 1.0f}, Case{4, 3, 64, 48, 150, 170, 1.0f}, Case{1, 3, 64, 64, 0, 0, 1.0f},
          Case{4, 3, 64, 48, 150, 170, 0.5f}, Case{4, 3, 64, 48, 151, 171, 0.25f}, Case{3, 2, 64, 64, 127, 150, 0.5f},
          Case{4, 3, 64, 48, 151, 171, 1.0f}, Case{5, 3, 64, 48, 181, 237, 0.5f}}) {
        for (const std::string matrix : {"bt709", "smpte170m"}) {
            SCOPED_TRACE(std::to_string(c.rows) + " x " + std::to_string(c.columns) + " tiles, scale " +
                         std::to_string(c.scale) + ", " + matrix);
            fixture::GridOptions options;
            options.rows = c.rows;
            options.columns = c.columns;
            options.tileWidth = c.tileWidth;
            options.tileHeight = c.tileHeight;
            options.outputWidth = c.outputWidth;
            options.outputHeight = c.outputHeight;
            options.encode.matrix = matrix;
            options.picture = stripedPicture(c.columns * c.tileWidth, c.rows * c.tileHeight);
            const fixture::Bytes bytes = fixture::makeGridHeic(options).bytes();
            ConversionSettings settings;
            settings.quality = 85;
            settings.scale = c.scale;
            settings.keepExif = false;
            const ConvertedFile result = convertHeif(bytes.data(), bytes.size(), settings);
            ASSERT_TRUE(result.ok) << result.message << ": " << result.detail;
            EXPECT_TRUE(result.preview.empty());

            const HeifImageData data = ambrel::pipeline::extractHeifImage(bytes.data(), bytes.size(), false);
            // The tiles converted cut to the output, laid out whole.
            const std::uint32_t width = c.outputWidth == 0 ? ~0u : c.outputWidth;
            const std::uint32_t height = c.outputHeight == 0 ? ~0u : c.outputHeight;
            MosaicCanvas canvas(c.rows, c.columns, ~0ull);
            ASSERT_EQ(pipetest::decodeTiles(data, [&](std::size_t index, int w,
                                                      int h) { return canvas.regionCell(index, w, h, width, height); })
                          .pictures,
                      c.rows * c.columns);
            const cv::Mat image = scaleImage(canvas.output(width, height), c.scale);
            EXPECT_EQ(cv::Size(int(result.width), int(result.height)), image.size());
            // PNG, TIFF and BMP are written band by band too: the picture exactly.
            for (const OutputFormat format : {OutputFormat::Png, OutputFormat::Tiff, OutputFormat::Bmp}) {
                ConversionSettings lossless = settings;
                lossless.format = format;
                const ConvertedFile file = convertHeif(bytes.data(), bytes.size(), lossless);
                ASSERT_TRUE(file.ok) << file.message << ": " << file.detail;
                const cv::Mat decoded = cv::imdecode(file.bytes, cv::IMREAD_UNCHANGED);
                ASSERT_EQ(decoded.size(), image.size());
                EXPECT_EQ(cv::norm(decoded, image, cv::NORM_INF), 0.0);
            }
            std::vector<std::uint8_t> whole;
            ASSERT_TRUE(ambrel::pipeline::encodeJpeg(image, 85, whole, kPlainSegments));
            if (matrix == "bt709") {
                EXPECT_EQ(result.bytes, whole);
            } else {
                const cv::Mat decoded = cv::imdecode(result.bytes, cv::IMREAD_COLOR);
                ASSERT_EQ(decoded.size(), image.size());
                EXPECT_GE(cv::PSNR(decoded, image), cv::PSNR(cv::imdecode(whole, cv::IMREAD_COLOR), image) - 1.0);
            }
        }
    }
}

TEST_F(BandEncodingTest, TurnedJpegsAreTurnedAsPlanesWhereTheyCanBe)
{
    // Turned and mirrored grids converted without EXIF (so the pixels turn):
    // BT.601 tiles of even sides are turned as their planes, band by band,
    // and come out as the picture turned whole does; odd sides and other
    // matrices go through BGR, byte for byte the picture turned whole.
    struct Case
    {
        unsigned outputWidth, outputHeight;
        std::int32_t rotation;
        std::optional<unsigned> mirror;
        float scale;
        std::string matrix;
        bool planes;
    };
    for (const Case& c :
         {Case{120, 130, 90, std::nullopt, 1.0f, "smpte170m", true}, Case{120, 130, 270, 1u, 1.0f, "smpte170m", true},
          Case{128, 144, 180, 0u, 0.5f, "smpte170m", true}, Case{121, 131, 90, std::nullopt, 1.0f, "smpte170m", false},
          Case{120, 130, 90, std::nullopt, 1.0f, "bt709", false}}) {
        SCOPED_TRACE(std::to_string(c.outputWidth) + " x " + std::to_string(c.outputHeight) + ", irot " +
                     std::to_string(c.rotation) + ", scale " + std::to_string(c.scale) + ", " + c.matrix);
        fixture::GridOptions options;
        options.rows = 3;
        options.columns = 2;
        options.tileWidth = 64;
        options.tileHeight = 48;
        options.outputWidth = c.outputWidth;
        options.outputHeight = c.outputHeight;
        options.rotation = c.rotation;
        options.mirrorAxis = c.mirror;
        options.encode.matrix = c.matrix;
        options.picture = stripedPicture(128, 144);
        const fixture::Bytes bytes = fixture::makeGridHeic(options).bytes();
        ConversionSettings settings;
        settings.quality = 85;
        settings.scale = c.scale;
        settings.keepExif = false;
        const ConvertedFile result = convertHeif(bytes.data(), bytes.size(), settings);
        ASSERT_TRUE(result.ok) << result.message << ": " << result.detail;

        cv::Mat image = decodeHeifPicture(bytes.data(), bytes.size());
        ASSERT_FALSE(image.empty());
        image = scaleImage(image, c.scale);
        EXPECT_EQ(cv::Size(int(result.width), int(result.height)), image.size());
        std::vector<std::uint8_t> whole;
        ASSERT_TRUE(ambrel::pipeline::encodeJpeg(image, 85, whole, kPlainSegments));
        if (!c.planes) {
            EXPECT_EQ(result.bytes, whole);
            continue;
        }
        EXPECT_NE(result.bytes, whole);
        const cv::Mat decoded = cv::imdecode(result.bytes, cv::IMREAD_COLOR);
        ASSERT_EQ(decoded.size(), image.size());
        EXPECT_GE(cv::PSNR(decoded, image), cv::PSNR(cv::imdecode(whole, cv::IMREAD_COLOR), image) - 1.0);
    }
}

TEST_F(BandEncodingTest, ScreenSizedPictureDisplaysAsTheConvertedPicture)
{
    // A grid turned a quarter by 'irot', its EXIF orientation saying the
    // same: a JPEG keeping EXIF keeps the stored pixels (the streamed path),
    // every other conversion turns them. The small picture is upright in
    // every case.
    fixture::GridOptions options;
    options.rows = 3;
    options.columns = 2;
    options.tileWidth = 64;
    options.tileHeight = 48;
    options.outputWidth = 120;
    options.outputHeight = 130;
    options.rotation = 90;
    options.exifOrientation = 8;
    const fixture::Bytes bytes = fixture::makeGridHeic(options).bytes();
    const cv::Mat upright = decodeHeifPicture(bytes.data(), bytes.size());
    ASSERT_EQ(upright.size(), cv::Size(130, 120));

    struct Case
    {
        OutputFormat format;
        bool keepExif;
        float scale;
        std::uint32_t side;
        cv::Size stored;  // the size the file holds
    };
    for (const Case& c :
         {Case{OutputFormat::Jpg, true, 1.0f, 50, {120, 130}}, Case{OutputFormat::Jpg, true, 0.5f, 50, {60, 65}},
          Case{OutputFormat::Jpg, true, 0.5f, 1000, {60, 65}}, Case{OutputFormat::Jpg, true, 0.3f, 50, {36, 39}},
          Case{OutputFormat::Jpg, false, 1.0f, 50, {130, 120}}, Case{OutputFormat::Png, true, 1.0f, 64, {130, 120}}}) {
        SCOPED_TRACE("keepExif " + std::to_string(c.keepExif) + ", scale " + std::to_string(c.scale) + ", side " +
                     std::to_string(c.side));
        ConversionSettings settings;
        settings.format = c.format;
        settings.keepExif = c.keepExif;
        settings.scale = c.scale;
        settings.previewSide = c.side;
        const ConvertedFile result = convertHeif(bytes.data(), bytes.size(), settings);
        ASSERT_TRUE(result.ok) << result.message << ": " << result.detail;
        EXPECT_EQ(cv::Size(int(result.width), int(result.height)), c.stored);

        // Upright, the longer side bounded, never larger than the picture.
        const cv::Size displayed =
            c.stored.width >= c.stored.height ? c.stored : cv::Size(c.stored.height, c.stored.width);
        const cv::Size expectedSize = boundedSize(displayed, c.side);
        ASSERT_EQ(result.preview.type(), CV_8UC3);
        ASSERT_EQ(result.preview.size(), expectedSize);
        cv::Mat expected;
        cv::resize(upright, expected, expectedSize, 0, 0, cv::INTER_AREA);
        cv::Mat difference;
        cv::absdiff(result.preview, expected, difference);
        // Close everywhere when made from the picture itself; from a picture
        // scaled bilinearly first, the tiles' edges differ.
        EXPECT_LE(cv::mean(difference)[0], 2.0);
        if (c.scale == 1.0f) {
            EXPECT_LE(cv::norm(difference, cv::NORM_INF), 2.0);
        }

        // Asked for pictures larger than this one only: none is made.
        settings.previewMinPixels = std::uint64_t(c.stored.area());
        EXPECT_TRUE(convertHeif(bytes.data(), bytes.size(), settings).preview.empty());
        settings.previewMinPixels = std::uint64_t(c.stored.area()) - 1;
        EXPECT_EQ(convertHeif(bytes.data(), bytes.size(), settings).preview.size(), expectedSize);
    }
}

}  // namespace
