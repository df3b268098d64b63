// Exif items too short for their offset field, offsets past their end, and
// blocks whose IFDs point in circles: the picture still converts, with no
// EXIF or with the block as it can be read.
#include "tests/hostile/hostile_support.h"

using namespace ambrel::heif;
using namespace ambrel::pipeline;

namespace {

using namespace hostile;

class ExifBlockTest : public HostileTest
{
protected:
    Bytes withExifData(const Bytes& data)
    {
        fixture::GridOptions options;
        options.exifOrientation = 1;
        fixture::SampleFile sample = fixture::makeGridHeic(options);
        sample.builder.item(sample.exifId).data = data;
        return sample.bytes();
    }

    bool hasApp1Exif(const Heif2JpgResult& result)
    {
        const Bytes& jpeg = result.jpeg;
        return jpeg.size() > 12 && jpeg[2] == 0xFF && jpeg[3] == 0xE1 && jpeg[6] == 'E' && jpeg[7] == 'x';
    }
};

TEST_F(ExifBlockTest, ItemsShorterThanTheOffsetField)
{
    for (const Bytes& data : {Bytes{}, Bytes{0}, Bytes{0, 0, 0}}) {
        const Heif2JpgResult result = convert(withExifData(data));
        ASSERT_TRUE(result.ok) << result.message;
        EXPECT_FALSE(hasApp1Exif(result));
    }
}

TEST_F(ExifBlockTest, OffsetsPastTheEnd)
{
    Bytes data = fixture::exifPayload(fixture::makeExifBlock(6), false);
    for (std::uint32_t offset : {std::uint32_t(data.size()), 0x7FFFFFFFu, 0xFFFFFFFFu}) {
        put32(data, 0, offset);
        const Heif2JpgResult result = convert(withExifData(data));
        ASSERT_TRUE(result.ok) << result.message;
        EXPECT_FALSE(hasApp1Exif(result));
    }
}

TEST_F(ExifBlockTest, IfdLoops)
{
    // IFD0 whose next-IFD offset points back at itself, and an Exif sub-IFD
    // that points at IFD0.
    Bytes tiff = fixture::makeExifBlock(6);  // "MM", IFD0 at 8 with one entry
    const std::size_t next = 8 + 2 + 12;
    put32(tiff, next, 8);
    Heif2JpgResult result = convert(withExifData(fixture::exifPayload(tiff)));
    ASSERT_TRUE(result.ok) << result.message;
    EXPECT_TRUE(hasApp1Exif(result));

    Bytes looped = {'M', 'M', 0, 42, 0, 0, 0, 8, 0, 2};
    // Orientation 6, then the Exif IFD pointer (0x8769, LONG) back to IFD0.
    for (std::uint8_t b : {0x01, 0x12, 0, 3, 0, 0, 0, 1, 0, 6, 0, 0}) {
        looped.push_back(b);
    }
    for (std::uint8_t b : {0x87, 0x69, 0, 4, 0, 0, 0, 1, 0, 0, 0, 8}) {
        looped.push_back(b);
    }
    for (std::uint8_t b : {0, 0, 0, 0}) {
        looped.push_back(b);
    }
    result = convert(withExifData(fixture::exifPayload(looped)));
    ASSERT_TRUE(result.ok) << result.message;
    // The block is kept (it fits one segment) and the pixels are turned, so
    // its Orientation now reads 1.
    EXPECT_TRUE(hasApp1Exif(result));
    EXPECT_EQ(picture.size(), cv::Size(128, 128));
}

// A repeated Orientation tag, one of two values, and an Exif directory past
// the end: the JPEG's entries all say the orientation it keeps, in one value
// each.
TEST_F(ExifBlockTest, RepeatedOrientationAndADirectoryPastTheEnd)
{
    const Bytes tiff = {'M',  'M',  0, 42, 0, 0, 0, 8, 0,    3,    0x01, 0x12, 0, 3, 0, 0,
                        0,    1,    0, 1,  0, 0,                             // Orientation 1
                        0x01, 0x12, 0, 3,  0, 0, 0, 2, 0,    6,    0,    8,  // Orientation 6, 8
                        0x87, 0x69, 0, 4,  0, 0, 0, 1, 0xff, 0xff, 0xff, 0,    0, 0, 0, 0};
    const Bytes file = withExifData(fixture::exifPayload(tiff));
    const Heif2JpgResult result = convert(file);
    ASSERT_TRUE(result.ok) << result.message;
    // The second entry (at 34 of the JPEG): one value, 1.
    EXPECT_EQ(Bytes(result.jpeg.begin() + 38, result.jpeg.begin() + 46), (Bytes{0, 0, 0, 1, 0, 1, 0, 0}));
}

}  // namespace
