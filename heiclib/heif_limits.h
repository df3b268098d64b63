// Limits that real HEIF files never reach and hostile files do. Each refusal
// names the limit it hit.
#pragma once

#include <cstdint>

namespace ambrel::heif::limits {

// Root-level boxes read by one initialize(); the walk stops after this many.
constexpr std::uint32_t kMaxRootBoxes = 1024;
// Compatible brands kept from 'ftyp'; the rest are ignored. Real files list
// a handful; a file type box running to the end of a large file would list
// hundreds of thousands.
constexpr std::uint32_t kMaxCompatibleBrands = 1000;
// Levels of item-offset (construction method 2) indirection followed when
// reading one item's bytes.
constexpr std::uint32_t kMaxItemReferenceDepth = 8;
// Samples of one track after expanding the sample tables. Image sequences hold
// hundreds or thousands of pictures; the limit keeps a hostile table of a few
// bytes from expanding into millions of records.
constexpr std::uint64_t kMaxSamplesPerTrack = 1u << 18;
// Entries of one track's presentation timeline: samples placed by the edit
// list, and the repetitions of a looping timeline.
constexpr std::uint64_t kMaxPresentationEntries = 1u << 15;

// Bytes read and copied to produce one item's data, whatever its item-offset
// construction (method 2) asks for: this many times the input's size, plus
// kItemReadAllowance. An item may name one source many times over, through
// kMaxItemReferenceDepth levels; without a budget a file of a few kilobytes
// could ask for petabytes.
constexpr std::uint64_t kMaxItemReadAmplification = 4;
constexpr std::uint64_t kItemReadAllowance = std::uint64_t(1) << 20;
// Items of one meta box. A 200 MP phone picture holds under a thousand (768
// tiles, a thumbnail, Exif, XMP); the limit also bounds the reader's
// item-by-reference bookkeeping, which grows with items times references.
constexpr std::uint32_t kMaxItems = 8192;
// Extents of one item in 'iloc'. Writers use one, or a handful when they
// interleave; every extent is a separate read.
constexpr std::uint32_t kMaxExtentsPerItem = 256;
// Property associations ('ipma' entries, summed over the items) of one meta box.
constexpr std::uint32_t kMaxPropertyAssociations = 1u << 16;
// Target ids of all item references ('iref', summed over its reference
// boxes) of one meta box. A 256 x 256 grid, the largest a grid can declare,
// names 65,536 tiles; a phone picture names a few hundred items. The reader
// indexes the references once, so its cost grows with this count, not with
// items times references.
constexpr std::uint64_t kMaxReferenceTargets = std::uint64_t(1) << 17;
// Tiles ('dimg' references) of one grid. The grid's own fields allow
// 256 x 256; phone cameras write 48 (12 MP) to 768 (200 MP).
constexpr std::uint32_t kMaxGridTiles = 4096;
// Components of one uncompressed image ('uncC' and 'cmpd' lists). Cameras and
// tools write one to four (grey, RGB, RGBA), multispectral images a few
// dozen.
constexpr std::uint32_t kMaxImageComponents = 256;
// Compressed units of one generically compressed item ('icef'): one per
// image, tile or row, so a tall image's rows stay well inside; a count of a
// few bytes must not expand into billions of entries.
constexpr std::uint32_t kMaxCompressedUnits = 1u << 20;
// Pixels of one output picture (a grid's output size, a coded image's 'ispe')
// and of one decoded mosaic: 2^28, above the 200 MP phone pictures, and a few
// copies of 8-bit BGR (805 MB each) still fit in an ordinary machine's memory.
constexpr std::uint64_t kMaxImagePixels = std::uint64_t(1) << 28;
// Bytes of one image's coded tiles as the extraction copies them out, tiles
// named more than once counted each time: this many times the input's size,
// plus kImageTileBytesAllowance. A grid may name one tile for each of its
// cells; without a budget a 681 KB tile named 4,096 times became 2.8 GB.
constexpr std::uint64_t kMaxImageTileAmplification = 4;
constexpr std::uint64_t kImageTileBytesAllowance = std::uint64_t(16) << 20;
// Bytes of one root box other than 'mdat' read into memory ('ftyp', 'meta',
// 'moov'); other root boxes are skipped unread. A phone picture's 'meta' is
// tens of kilobytes, an image sequence's 'moov' a few megabytes.
constexpr std::uint64_t kMaxRootBoxBytes = std::uint64_t(128) << 20;

// Bytes one file may make the reader and the conversion allocate, summed
// over everything its contents size: root boxes read into memory, copies of
// their child boxes, item and sample bytes, coded tiles, the elementary
// stream and the decoded picture (see MemoryBudget). Charges are not given
// back, so reading every item of a file many times over is bounded too. Real
// files use a small multiple of their size, plus 3 bytes per output pixel.
constexpr std::uint64_t kMaxFileMemoryBytes = std::uint64_t(1) << 30;

// Nesting of boxes needs no limit of its own: every box class reads only the
// children the format places in it, a fixed tree at most eight levels deep
// (moov/trak/mdia/minf/stbl/stsd/hvc1/hvcC), and skips every other box whole
// without looking inside, so no file can make parsing recurse any deeper.

}  // namespace ambrel::heif::limits
