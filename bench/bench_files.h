// Phone-like HEIC files for the benchmarks: a grid of 512 x 512 HEVC tiles
// sharing one decoder configuration, cut to the picture's output size, with an
// Exif item (Orientation 1) and a 320 x 240 thumbnail, as phone cameras write
// them. The picture is a synthetic photograph (smooth light, edges, texture
// and sensor noise), so that decoding and JPEG encoding cost what they cost
// on real photos. Tiles are encoded with ffmpeg (libx265) through the test
// fixtures' encoder and its on-disk cache.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace ambrelbench {

struct PhoneFile
{
    std::string name;  // "12mp", "48mp", "200mp"
    unsigned columns = 0;
    unsigned rows = 0;
    unsigned width = 0;  // output size
    unsigned height = 0;
    // A portrait photo is stored on its side: 'irot' 270 (a quarter turn
    // clockwise) with EXIF Orientation 6, as phones store one.
    bool portrait = false;
    // An HDR photo as iPhones store one: an Apple gain map beside the
    // picture, a grey grid of half its size each way with its version tag in
    // its own XMP, and the headroom in the Exif item's maker note.
    bool hdr = false;
};

// 12 MP: 8 x 6 tiles, 4032 x 3024. 48 MP: 16 x 12 tiles, 8064 x 6048.
// 200 MP: 32 x 24 tiles (768), 16320 x 12240. "-portrait" names: the same
// tiles stored on their side. "-hdr" names: with an Apple gain map.
const std::vector<PhoneFile>& phoneFiles();
// Throws std::invalid_argument for a name not in phoneFiles().
const PhoneFile& phoneFile(const std::string& name);

constexpr unsigned kTileSide = 512;

// The file's bytes. `variant` changes the picture (every variant is a
// different photograph of the same kind), for batches of distinct files.
std::vector<std::uint8_t> makePhoneHeic(const PhoneFile& file, unsigned variant = 0);

// The same photograph as an AVIF file, as avifenc (libavif-bin, run as a
// program) writes one: 8-bit 4:2:0, one coded image, or with `grid` a grid
// of cells of 504 x 504 (avifenc splits the picture evenly). Throws
// std::runtime_error when avifenc or ffmpeg fails.
std::vector<std::uint8_t> makePhoneAvif(const PhoneFile& file, bool grid);

}  // namespace ambrelbench
