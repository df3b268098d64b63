// Metadata carried into the JPEG: which Exif item, the Orientation tag
// against the container's rotation and mirror, and the ICC profile; which
// XMP packet the extraction takes, and its orientation.
#include <gtest/gtest.h>
#include <zlib.h>

#include "pipeline/decode/extraction.h"
#include "pipeline/encode/jpeg_metadata.h"
#include "pipeline/encode/xmp_packet.h"
#include "tests/pipeline/pipeline_support.h"

using namespace ambrel::heif;
using namespace ambrel::pipeline;

namespace {

using namespace pipetest;

const std::vector<Rgb> kQuadrants = fixture::defaultQuadrantColours();

Bytes exifBlock(const Bytes& tiff)
{
    Bytes block = {'E', 'x', 'i', 'f', 0, 0};
    block.insert(block.end(), tiff.begin(), tiff.end());
    return block;
}

// A TIFF structure whose IFD0 is empty.
const Bytes kTiffWithoutTags = {'M', 'M', 0, 42, 0, 0, 0, 8, 0, 0, 0, 0, 0, 0};

class CarriedMetadataTest : public PipelineTest
{
protected:
    // A 64 x 32 quadrant picture (id 1) with the transforms given.
    static fixture::SampleFile quadrantFile(std::optional<std::uint16_t> orientation, std::int32_t rotation = 0,
                                            std::optional<unsigned> mirrorAxis = std::nullopt)
    {
        fixture::SingleImageOptions options;
        options.width = 64;
        options.height = 32;
        options.exifOrientation = orientation;
        options.rotation = rotation;
        options.mirrorAxis = mirrorAxis;
        return fixture::makeSingleImageHeic(options);
    }

    // Converts with EXIF kept; returns the carried block (APP1 payload) and
    // the pixels as stored and as displayed.
    Bytes carriedBlock(const Bytes& file, cv::Mat* stored = nullptr, cv::Mat* displayed = nullptr)
    {
        const Heif2JpgResult result = convert(file, true);
        EXPECT_TRUE(result.ok) << result.message;
        if (!result.ok) {
            return {};
        }
        if (stored != nullptr) {
            *stored = decodeStored(result.jpeg);
        }
        if (displayed != nullptr) {
            *displayed = decodeDisplayed(result.jpeg);
        }
        // The APP1 segment replaces the JFIF header right after SOI.
        EXPECT_EQ(Bytes(result.jpeg.begin(), result.jpeg.begin() + 4), (Bytes{0xFF, 0xD8, 0xFF, 0xE1}));
        return app1Payload(result.jpeg).value_or(Bytes{});
    }

    static bool storedOrientation(const cv::Mat& image)
    {
        return image.cols == 64 && image.rows == 32 && colourNear(image, 3, 3, kQuadrants[0]) &&
               colourNear(image, 60, 3, kQuadrants[1]);
    }
};

TEST_F(CarriedMetadataTest, ItemDescribingTheImageIsCarried)
{
    // The lowest non-image item is an Exif item that describes nothing; the
    // one whose 'cdsc' points at the image comes later and is spelt "exif".
    fixture::SampleFile file = quadrantFile(std::nullopt);
    addExifItem(file.builder, 2, fixture::makeExifBlock(1, true));
    addExifItem(file.builder, 5, fixture::makeExifBlock(1, false), "exif");
    file.builder.addReference("cdsc", 5, {file.primaryId});
    EXPECT_EQ(carriedBlock(file.bytes()), exifBlock(fixture::makeExifBlock(1, false)));

    // A 'cdsc' item of another type does not count; then the first Exif item.
    fixture::SampleFile described = quadrantFile(std::nullopt);
    fixture::ItemDescription xmp;
    xmp.id = 2;
    xmp.type = "mime";
    xmp.contentType = "application/rdf+xml";
    xmp.data = Bytes{'<', 'x', '/', '>'};
    described.builder.addItem(xmp);
    described.builder.addReference("cdsc", 2, {described.primaryId});
    addExifItem(described.builder, 3, fixture::makeExifBlock(1, true));
    EXPECT_EQ(carriedBlock(described.bytes()), exifBlock(fixture::makeExifBlock(1, true)));
}

TEST_F(CarriedMetadataTest, ItemTypeIsReadInAnyCase)
{
    for (const char* type : {"Exif", "EXIF", "exif"}) {
        SCOPED_TRACE(type);
        fixture::SampleFile file = quadrantFile(std::nullopt);
        addExifItem(file.builder, 7, fixture::makeExifBlock(1, true), type);
        EXPECT_EQ(carriedBlock(file.bytes()), exifBlock(fixture::makeExifBlock(1, true)));
    }
}

TEST_F(CarriedMetadataTest, ItemWithoutExifDataIsReported)
{
    fixture::SampleFile file = quadrantFile(std::nullopt, 90);
    fixture::ItemDescription exif;
    exif.id = 4;
    exif.type = "Exif";
    exif.data = Bytes{0, 0, 0, 0, 'n', 'o', 't', ' ', 'e', 'x', 'i', 'f'};
    file.builder.addItem(exif);

    ::testing::internal::CaptureStdout();
    const Heif2JpgResult result = convert(file.bytes(), true);
    const std::string printed = ::testing::internal::GetCapturedStdout();
    EXPECT_NE(printed.find("can not find \"EXIF\" \n"), std::string::npos) << printed;
    ASSERT_TRUE(result.ok) << result.message;
    // An empty APP1 segment, and the pixels turned as without EXIF.
    EXPECT_EQ(Bytes(result.jpeg.begin(), result.jpeg.begin() + 6), (Bytes{0xFF, 0xD8, 0xFF, 0xE1, 0x00, 0x02}));
    EXPECT_EQ(decodeStored(result.jpeg).size(), cv::Size(32, 64));
}

TEST_F(CarriedMetadataTest, PixelsStayUnturnedOnlyWhenTheOrientationTagAgrees)
{
    struct Case
    {
        const char* what;
        std::optional<std::uint16_t> tag;
        std::int32_t rotation;
        std::optional<unsigned> mirror;
        bool unturned;
        int tagAfter;  // 0: no block carried
    };
    const std::vector<Case> cases = {
        {"rotation 90 and tag 8", 8, 90, std::nullopt, true, 8},
        {"rotation 90 and tag 6", 6, 90, std::nullopt, false, 1},
        {"rotation 90 and tag 1", 1, 90, std::nullopt, false, 1},
        {"rotation 270 and tag 6", 6, 270, std::nullopt, true, 6},
        {"rotation 180 and tag 3", 3, 180, std::nullopt, true, 3},
        {"top-bottom mirror and tag 4", 4, 0, 0u, true, 4},
        {"left-right mirror and tag 2", 2, 0, 1u, true, 2},
        {"left-right mirror and tag 4", 4, 0, 1u, false, 1},
        {"rotation 90, left-right mirror and tag 7", 7, 90, 1u, true, 7},
        {"rotation 90, left-right mirror and tag 5", 5, 90, 1u, false, 1},
        {"no transform and tag 1", 1, 0, std::nullopt, true, 1},
        {"no transform and tag 6", 6, 0, std::nullopt, true, 1},
        {"rotation 90 without an Exif item", std::nullopt, 90, std::nullopt, false, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const Bytes file = quadrantFile(c.tag, c.rotation, c.mirror).bytes();
        cv::Mat stored;
        cv::Mat displayed;
        const Bytes block = carriedBlock(file, &stored, &displayed);
        EXPECT_EQ(storedOrientation(stored), c.unturned);
        // Either way a viewer shows what the container's transforms make of
        // the picture: the conversion without EXIF.
        const cv::Mat upright = convertToImage(file, false);
        ASSERT_EQ(displayed.size(), upright.size());
        for (const auto& [x, y] : {std::pair{3, 3}, {upright.cols - 4, 3}, {3, upright.rows - 4}}) {
            EXPECT_TRUE(colourNear(displayed, x, y, pixel(upright, x, y)));
        }
        if (c.tagAfter == 0) {
            EXPECT_TRUE(block.empty());
        } else {
            EXPECT_EQ(ambrel::pipeline::jpegmeta::readOrientation(block), c.tagAfter);
        }
    }

    // A block without an Orientation tag: the pixels turn, the block stays as it was.
    fixture::SampleFile untagged = quadrantFile(std::nullopt, 90);
    addExifItem(untagged.builder, 9, kTiffWithoutTags);
    cv::Mat stored;
    EXPECT_EQ(carriedBlock(untagged.bytes(), &stored), exifBlock(kTiffWithoutTags));
    EXPECT_EQ(stored.size(), cv::Size(32, 64));
}

TEST_F(CarriedMetadataTest, WithoutKeepExifTheImageIsTurnedAndCarriesNoExif)
{
    const Heif2JpgResult result = convert(quadrantFile(8, 90).bytes(), false);
    ASSERT_TRUE(result.ok);
    EXPECT_FALSE(app1Payload(result.jpeg));
    const std::vector<Segment> segments = headerSegments(result.jpeg);
    ASSERT_FALSE(segments.empty());
    EXPECT_EQ(segments[0].marker, 0xE0);  // the encoder's JFIF header
    const cv::Mat image = decodeStored(result.jpeg);
    ASSERT_EQ(image.size(), cv::Size(32, 64));
    EXPECT_TRUE(colourNear(image, 3, 3, kQuadrants[1]));
}

TEST_F(CarriedMetadataTest, BlocksTooLargeForOneSegment)
{
    // Unreferenced bytes after the TIFF structure are cut off.
    Bytes padded = fixture::makeExifBlock(3);
    padded.resize(padded.size() + 70000, 0);
    fixture::SampleFile trimmed = quadrantFile(std::nullopt);
    addExifItem(trimmed.builder, 9, padded);
    const Bytes block = carriedBlock(trimmed.bytes());
    EXPECT_LT(block.size(), 1000u);
    EXPECT_EQ(ambrel::pipeline::jpegmeta::readOrientation(block), 1);

    // A block that needs all of its 70 000 bytes is left out: the JFIF
    // segment in its place, and the rotation applies to the pixels.
    Bytes tiff = {'M',  'M',  0, 42, 0,    0,    0, 8, 0, 2,  0x01, 0x0E,
                  0,    2,    0, 1,  0x11, 0x70, 0, 0, 0, 38,           // ImageDescription, 70000 ASCII at 38
                  0x01, 0x12, 0, 3,  0,    0,    0, 1, 0, 8,  0,    0,  // Orientation 8
                  0,    0,    0, 0};
    tiff.resize(tiff.size() + 70000, 'A');
    fixture::SampleFile oversized = quadrantFile(std::nullopt, 90);
    addExifItem(oversized.builder, 9, tiff);
    const Heif2JpgResult result = convert(oversized.bytes(), true);
    ASSERT_TRUE(result.ok) << result.message;
    EXPECT_EQ(Bytes(result.jpeg.begin() + 2, result.jpeg.begin() + 4), (Bytes{0xFF, 0xE0}));
    EXPECT_EQ(decodeStored(result.jpeg).size(), cv::Size(32, 64));
}

TEST_F(CarriedMetadataTest, IccProfileIsCarriedInApp2Segments)
{
    Bytes profile(300);
    for (std::size_t i = 0; i < profile.size(); ++i) {
        profile[i] = std::uint8_t(i * 13 + 5);
    }
    Bytes colr(4 + profile.size());
    std::copy(profile.begin(), profile.end(), colr.begin() + 4);
    colr[0] = 'p';
    colr[1] = 'r';
    colr[2] = 'o';
    colr[3] = 'f';

    fixture::SampleFile single = quadrantFile(1);
    single.builder.addRawProperty(fixture::makeBox("colr", colr), {single.primaryId}, false);
    for (const bool keepExif : {false, true}) {
        SCOPED_TRACE(keepExif);
        const Heif2JpgResult result = convert(single.bytes(), keepExif);
        ASSERT_TRUE(result.ok);
        EXPECT_EQ(iccFromJpeg(result.jpeg), profile);
        const std::vector<Segment> segments = headerSegments(result.jpeg);
        ASSERT_GE(segments.size(), 2u);
        EXPECT_EQ(segments[0].marker, keepExif ? 0xE1 : 0xE0);
        EXPECT_EQ(segments[1].marker, 0xE2);
        EXPECT_FALSE(decodeStored(result.jpeg).empty());
    }

    // A grid without a profile of its own takes its tiles'.
    fixture::SampleFile grid = fixture::makeGridHeic();
    grid.builder.addRawProperty(fixture::makeBox("colr", colr), grid.tileIds, false);
    const Heif2JpgResult fromTiles = convert(grid.bytes());
    ASSERT_TRUE(fromTiles.ok);
    EXPECT_EQ(iccFromJpeg(fromTiles.jpeg), profile);

    // Without a profile: no APP2.
    const Heif2JpgResult plain = convert(quadrantFile(1).bytes(), false);
    ASSERT_TRUE(plain.ok);
    for (const Segment& segment : headerSegments(plain.jpeg)) {
        EXPECT_NE(segment.marker, 0xE2);
    }
}

// --- XMP ---

Bytes textBytes(const std::string& text)
{
    return Bytes(text.begin(), text.end());
}

std::string xmpPacket(const std::string& description)
{
    return "<?xpacket begin=\"\" id=\"W5M0MpCehiHzreSzNTczkc9d\"?><x:xmpmeta xmlns:x=\"adobe:ns:meta/\">"
           "<rdf:RDF xmlns:rdf=\"http://www.w3.org/1999/02/22-rdf-syntax-ns#\"><rdf:Description rdf:about=\"\" "
           "xmlns:tiff=\"http://ns.adobe.com/tiff/1.0/\" " +
           description + "</rdf:RDF></x:xmpmeta><?xpacket end=\"w\"?>";
}

// Adds an XMP ('mime') item holding `data`.
void addXmpItem(fixture::HeifBuilder& builder, std::uint32_t id, const Bytes& data, const std::string& encoding = "",
                const std::string& contentType = "application/rdf+xml")
{
    fixture::ItemDescription xmp;
    xmp.id = id;
    xmp.type = "mime";
    xmp.contentType = contentType;
    xmp.contentEncoding = encoding;
    xmp.omitContentEncoding = encoding.empty();
    xmp.data = data;
    builder.addItem(std::move(xmp));
}

Bytes zlibCompressed(const Bytes& data, int windowBits)
{
    z_stream stream{};
    EXPECT_EQ(deflateInit2(&stream, 9, Z_DEFLATED, windowBits, 8, Z_DEFAULT_STRATEGY), Z_OK);
    Bytes out(deflateBound(&stream, uLong(data.size())) + 32);
    stream.next_in = const_cast<Bytef*>(data.data());
    stream.avail_in = uInt(data.size());
    stream.next_out = out.data();
    stream.avail_out = uInt(out.size());
    EXPECT_EQ(deflate(&stream, Z_FINISH), Z_STREAM_END);
    out.resize(stream.total_out);
    deflateEnd(&stream);
    return out;
}

HeifImageData extractWithExif(const Bytes& file, bool keepExif = true)
{
    return extractHeifImage(file.data(), file.size(), keepExif);
}

TEST_F(CarriedMetadataTest, XmpItemDescribingTheImageIsExtracted)
{
    const Bytes first = textBytes(xmpPacket("tiff:Orientation=\"6\"/>"));
    const Bytes describing = textBytes(xmpPacket("/>"));
    fixture::SampleFile file = quadrantFile(std::nullopt);
    addXmpItem(file.builder, 4, first);
    addXmpItem(file.builder, 6, describing);
    file.builder.addReference("cdsc", 6, {file.primaryId});
    EXPECT_EQ(extractWithExif(file.bytes()).xmp, describing);
    // The XMP travels with the EXIF.
    EXPECT_TRUE(extractWithExif(file.bytes(), false).xmp.empty());

    // Without a 'cdsc' reference: the first XMP item of the file; an item of
    // another content type, or whose data is no XMP, does not count.
    fixture::SampleFile unreferenced = quadrantFile(std::nullopt);
    addXmpItem(unreferenced.builder, 3, textBytes(xmpPacket("/>")), "", "text/plain");
    addXmpItem(unreferenced.builder, 5, first);
    unreferenced.builder.addReference("cdsc", 3, {unreferenced.primaryId});
    EXPECT_EQ(extractWithExif(unreferenced.bytes()).xmp, first);

    // The HDR gain map's own XMP and Exif describe the gain map, never the
    // primary, which then has neither.
    fixture::SampleFile hdr = quadrantFile(std::nullopt);
    fixture::addAuxiliaryItem(hdr.builder, 12, hdr.primaryId, fixture::kAuxGainMap, fixture::greyQuadrants(32, 16));
    addExifItem(hdr.builder, 2, fixture::makeExifBlock(1, true));
    hdr.builder.addReference("cdsc", 2, {12});
    fixture::addXmpItem(hdr.builder, 3, 12, xmpPacket("/>"));
    const HeifImageData fromHdr = extractWithExif(hdr.bytes());
    EXPECT_TRUE(fromHdr.xmp.empty() && fromHdr.exif.empty());

    fixture::SampleFile notXmp = quadrantFile(std::nullopt);
    addXmpItem(notXmp.builder, 3, textBytes("<html>no packet</html>"));
    notXmp.builder.addReference("cdsc", 3, {notXmp.primaryId});
    EXPECT_TRUE(extractWithExif(notXmp.bytes()).xmp.empty());

    // A packet ending in a terminating zero comes without it; a packet of a
    // primary 'iden' item wins over the one of the image it derives from.
    fixture::SampleFile derived = quadrantFile(std::nullopt);
    fixture::ItemDescription iden;
    iden.id = 8;
    iden.type = "iden";
    derived.builder.addItem(iden);
    derived.builder.addReference("dimg", 8, {derived.primaryId});
    derived.builder.setPrimary(8);
    Bytes terminated = first;
    terminated.push_back(0);
    addXmpItem(derived.builder, 10, describing);
    addXmpItem(derived.builder, 11, terminated);
    derived.builder.addReference("cdsc", 10, {derived.primaryId});
    derived.builder.addReference("cdsc", 11, {8});
    EXPECT_EQ(extractWithExif(derived.bytes()).xmp, first);
}

TEST_F(CarriedMetadataTest, XmpWithAContentEncodingIsInflatedWithinBounds)
{
    const Bytes packet = textBytes(xmpPacket("tiff:Orientation=\"3\"/>"));
    struct Case
    {
        const char* what;
        Bytes data;
        std::string encoding;
        Bytes expected;
    };
    Bytes corrupt = zlibCompressed(packet, 15);
    corrupt.resize(corrupt.size() / 2);
    // 20 MB of spaces after the packet, which deflate to a few kilobytes.
    Bytes padded = packet;
    padded.resize(padded.size() + (std::size_t(20) << 20), ' ');
    const std::vector<Case> cases = {
        {"zlib", zlibCompressed(packet, 15), "deflate", packet},
        {"raw deflate", zlibCompressed(packet, -15), "deflate", packet},
        {"gzip", zlibCompressed(packet, 15 + 16), "gzip", packet},
        {"unknown encoding", zlibCompressed(packet, 15), "br", {}},
        {"cut short", corrupt, "deflate", {}},
        {"inflates past the bound", zlibCompressed(padded, 15), "deflate", {}},
        {"larger than the bound", padded, "", {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        fixture::SampleFile file = quadrantFile(std::nullopt);
        addXmpItem(file.builder, 4, c.data, c.encoding);
        file.builder.addReference("cdsc", 4, {file.primaryId});
        const Bytes bytes = file.bytes();
        const HeifImageData data = extractWithExif(bytes);
        EXPECT_EQ(data.xmp, c.expected);
        // The image converts either way.
        EXPECT_TRUE(convert(bytes, true).ok);
    }
}

TEST(XmpOrientation, AttributeAndElementFormsAreReadAndSet)
{
    struct Case
    {
        const char* what;
        std::string packet;
        int orientation;      // what readOrientation gives
        std::string changed;  // the packet after setOrientation(…, 1); empty: none to set
    };
    const std::vector<Case> cases = {
        {"attribute", xmpPacket("tiff:Orientation=\"6\"/>"), 6, xmpPacket("tiff:Orientation=\"1\"/>")},
        {"single quotes and spaces", xmpPacket("tiff:Orientation = ' 8 '/>"), 8,
         xmpPacket("tiff:Orientation = ' 1 '/>")},
        {"element", xmpPacket("><tiff:Orientation>3</tiff:Orientation></rdf:Description>"), 3,
         xmpPacket("><tiff:Orientation>1</tiff:Orientation></rdf:Description>")},
        {"element with white space", xmpPacket(">\n <tiff:Orientation>\n  5\n </tiff:Orientation>\n</rdf:Description>"),
         5, xmpPacket(">\n <tiff:Orientation>\n  1\n </tiff:Orientation>\n</rdf:Description>")},
        {"empty value", xmpPacket("tiff:Orientation=\"\"/>"), 0, xmpPacket("tiff:Orientation=\"1\"/>")},
        {"none", xmpPacket("tiff:Make=\"x\"/>"), 0, ""},
        {"another name", xmpPacket("tiff:OrientationX=\"6\"/>"), 0, ""},
        {"empty element", xmpPacket("><tiff:Orientation/></rdf:Description>"), 0, ""},
        {"not closed", xmpPacket("tiff:Orientation=\"6/>"), 0, ""},
        {"in a comment", xmpPacket("><!-- tiff:Orientation=\"6\" --></rdf:Description>"), 0, ""},
        {"quoted markup", xmpPacket("tiff:Make=\"a > b\" tiff:Orientation=\"7\"/>"), 7,
         xmpPacket("tiff:Make=\"a > b\" tiff:Orientation=\"1\"/>")},
        // By namespace, whatever the prefix.
        {"another prefix", xmpPacket("xmlns:t=\"http://ns.adobe.com/tiff/1.0/\" t:Orientation=\"6\"/>"), 6,
         xmpPacket("xmlns:t=\"http://ns.adobe.com/tiff/1.0/\" t:Orientation=\"1\"/>")},
        {"tiff: of another namespace",
         xmpPacket("><rdf:Bag xmlns:tiff=\"urn:other\"><tiff:Orientation>6</tiff:Orientation></rdf:Bag>"), 0, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Bytes packet = textBytes(c.packet);
        EXPECT_EQ(xmp::readOrientation(packet), c.orientation);
        EXPECT_EQ(xmp::setOrientation(packet, 1), !c.changed.empty());
        EXPECT_EQ(packet, textBytes(c.changed.empty() ? c.packet : c.changed));
        if (!c.changed.empty()) {
            EXPECT_EQ(xmp::readOrientation(packet), 1);
        }
    }

    // Every value is set, in one pass; a code outside 1 to 8 changes nothing.
    const std::string twice =
        xmpPacket("tiff:Orientation=\"6\"><tiff:Orientation>8</tiff:Orientation></rdf:Description>");
    Bytes packet = textBytes(twice);
    EXPECT_FALSE(xmp::setOrientation(packet, 9));
    EXPECT_FALSE(xmp::setOrientation(packet, 0));
    EXPECT_EQ(packet, textBytes(twice));
    ASSERT_TRUE(xmp::setOrientation(packet, 2));
    EXPECT_EQ(packet,
              textBytes(xmpPacket("tiff:Orientation=\"2\"><tiff:Orientation>2</tiff:Orientation></rdf:Description>")));

    // Many empty values: the packet grows by one byte for each, no more.
    std::string many = "<rdf:Description";
    for (int i = 0; i < 20000; ++i) {
        many += " tiff:Orientation=''";
    }
    many += "/>";
    Bytes large = textBytes(many);
    ASSERT_TRUE(xmp::setOrientation(large, 4));
    EXPECT_EQ(large.size(), many.size() + 20000);
    EXPECT_EQ(xmp::readOrientation(large), 4);
}

}  // namespace
