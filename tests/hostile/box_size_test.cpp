// Box headers that lie about their size, and counts that promise more
// entries than the bytes hold.
#include "tests/hostile/hostile_support.h"

using namespace ambrel::heif;
using namespace ambrel::pipeline;

namespace {

using namespace hostile;

class BoxSizeTest : public HostileTest
{
protected:
    static Bytes validFile()
    {
        fixture::GridOptions options;
        options.exifOrientation = 1;
        return fixture::makeGridHeic(options).bytes();
    }
};

TEST_F(BoxSizeTest, SizeZeroReachesToTheEndOfTheFile)
{
    // Size 0 on the last root box is how a writer says "to the end": valid.
    Bytes file = validFile();
    put32(file, boxAt(file, "mdat"), 0);
    EXPECT_EQ(outcome(file), "ok");

    // On 'meta', which is followed by 'mdat': 'meta' swallows the 'mdat' as
    // an unknown child, and the items, located by file offsets, still read.
    file = validFile();
    put32(file, boxAt(file, "meta"), 0);
    EXPECT_EQ(outcome(file), "ok");
    EXPECT_EQ(picture.size(), cv::Size(128, 128));

    // On a child: 'iinf' said to run to the end of its parent.
    file = validFile();
    put32(file, boxAt(file, "iinf"), 0);
    const std::string result = outcome(file);
    EXPECT_TRUE(result == "ok" || isResultText(result)) << result;
}

TEST_F(BoxSizeTest, SizesOneToSevenAreRefused)
{
    for (std::uint32_t size = 1; size <= 7; ++size) {
        for (const char* type : {"ftyp", "meta", "iinf", "iloc", "ipco", "ispe", "mdat"}) {
            Bytes file = validFile();
            put32(file, boxAt(file, type), size);
            const std::string result = outcome(file);
            // Inside 'ipco' an unreadable property only loses that property.
            if (std::string(type) == "ispe") {
                EXPECT_TRUE(result == "ok" || isResultText(result)) << type << " size " << size << ": " << result;
                continue;
            }
            EXPECT_EQ(result, "HUD_ERR heif2jpg read_heif") << type << " size " << size;
            // The reader never needs the size of 'mdat'; the pipeline takes
            // a last box that claims more than is left as a file cut short.
            if (std::string(type) != "mdat") {
                EXPECT_FALSE(readerOpens(file)) << type << " size " << size;
            }
        }
    }
}

TEST_F(BoxSizeTest, ChildLargerThanItsParentIsRefused)
{
    for (const char* type : {"hdlr", "iinf", "iloc", "iprp", "ipco", "ipma", "iref", "idat", "pitm"}) {
        Bytes file = validFile();
        const std::size_t meta = boxAt(file, "meta");
        const std::size_t child = boxAt(file, type, meta + 8);
        // One byte past the end of 'meta'.
        put32(file, child, static_cast<std::uint32_t>(meta + get32(file, meta) - child + 1));
        EXPECT_EQ(outcome(file), "HUD_ERR heif2jpg read_heif") << type;
        EXPECT_FALSE(readerOpens(file)) << type;
    }
    // A root box past the end of the file: the file was cut short.
    Bytes file = validFile();
    put32(file, boxAt(file, "mdat"), get32(file, boxAt(file, "mdat")) + 1);
    EXPECT_EQ(outcome(file), "HUD_ERR heif2jpg read_heif");
}

TEST_F(BoxSizeTest, LargeSizesBelowTheirHeaderAreRefused)
{
    for (std::uint64_t large : {0ull, 1ull, 8ull, 15ull}) {
        for (const char* type : {"meta", "iinf", "mdat"}) {
            Bytes file = validFile();
            const std::size_t at = boxAt(file, type);
            // Size 1 and a 64-bit size in place of the first 8 payload bytes.
            put32(file, at, 1);
            put32(file, at + 8, static_cast<std::uint32_t>(large >> 32));
            put32(file, at + 12, static_cast<std::uint32_t>(large));
            EXPECT_EQ(outcome(file), "HUD_ERR heif2jpg read_heif") << type << " large size " << large;
            EXPECT_FALSE(readerOpens(file)) << type << " large size " << large;
        }
    }
}

TEST_F(BoxSizeTest, CountsBeyondTheBytesAreRefused)
{
    struct Case
    {
        const char* type;
        std::size_t countOffset;  // from the box start
        bool wide;                // a 32-bit count
    };
    // 'iinf' v0: 16-bit count after version and flags; 'iloc' v0/v1: 16-bit
    // item count after the field sizes; 'ipma': 32-bit; 'dref': 32-bit;
    // 'iref' children: 16-bit reference count after the from id.
    for (const Case& c : {Case{"iinf", 12, false}, Case{"iloc", 14, false}, Case{"ipma", 12, true},
                          Case{"dref", 12, true}, Case{"dimg", 10, false}}) {
        Bytes file = validFile();
        const std::size_t at = boxAt(file, c.type) + c.countOffset;
        if (c.wide) {
            put32(file, at, 0xFFFFFFFFu);
        } else {
            put16(file, at, 0xFFFF);
        }
        // 'iinf' reads the entries that are there (the tiles all are);
        // the other tables refuse a count their bytes cannot hold.
        const std::string expected = std::string(c.type) == "iinf" ? "ok" : "HUD_ERR heif2jpg read_heif";
        EXPECT_EQ(outcome(file), expected) << c.type;
    }
}

TEST_F(BoxSizeTest, DeeplyNestedBoxesAreSkipped)
{
    // Ten thousand levels of unknown boxes at the root: the reader does not
    // walk into boxes it does not know, so nesting costs nothing.
    Bytes nested = fixture::makeBox("free", {});
    for (int i = 0; i < 10000; ++i) {
        nested = fixture::makeBox("zzzz", nested);
    }
    fixture::SampleFile sample = fixture::makeGridHeic();
    sample.builder.addRootBox(nested, fixture::RootPosition::AfterFtyp);
    EXPECT_EQ(outcome(sample.bytes()), "ok");
}

}  // namespace
