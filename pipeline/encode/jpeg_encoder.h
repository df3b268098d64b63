// JPEG encoding of 8-bit BGR pictures with libjpeg-turbo, set up exactly as
// OpenCV's imencode(".jpg") sets it up (the library's defaults, the quality
// clamped to 0..100 with baseline tables, 4:2:0 chroma), so that the bytes are
// the ones imencode writes. Unlike imencode it takes the rows as they become
// ready, so encoding can run while the rest of the picture is still decoded.
//
// The metadata segments (EXIF, XMP, ICC profile) are written by the encoder
// itself, right after SOI and before the first rows:
//   SOI, [APP0 JFIF unless exifSegment], [APP1 EXIF], [APP1 XMP],
//   [APP2 ICC_PROFILE chunks...], [APP2 ISO 21496-1, APP2 MPF], then the
//   picture, [then the gain-map JPEG].
// For the same EXIF and ICC profile the bytes are those that
// jpegmeta::insertIccSegments(jpegmeta::insertExifSegment(plain, exif), icc)
// gives (insertIccSegments(plain, icc) without exifSegment). A segment that
// does not fit is left out and said so in the encoder's warning; the rest of
// the file is still written.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <opencv2/core.hpp>

#include "pipeline/encode/jpeg_metadata.h"

namespace ambrel::pipeline {

struct JpegSegments
{
    // Write an APP1 EXIF segment in place of the JFIF APP0 segment. When the
    // payload is too large for one segment it is left out and the JFIF
    // segment is written, as for a file without EXIF.
    bool exifSegment = false;
    // Its payload: "Exif" 00 00 + TIFF data, written as it is; may be empty
    // (the segment is then FF E1 00 02). At most jpegmeta::kMaxApp1Payload bytes.
    std::vector<std::uint8_t> exif;
    // An XMP packet, written as APP1 "http://ns.adobe.com/xap/1.0/" 00 +
    // packet; empty for none. At most kMaxXmpPacket bytes: a longer packet
    // is left out (no extended XMP).
    std::vector<std::uint8_t> xmp;
    // An ICC profile, as APP2 "ICC_PROFILE" 00 chunks of at most
    // jpegmeta::kMaxIccChunk bytes each; empty for none. A profile needing
    // more than 255 chunks is left out.
    std::vector<std::uint8_t> icc;
    // The density of the JFIF segment, when one is written (no EXIF
    // segment); none: libjpeg's (no unit, 1:1).
    std::optional<jpegmeta::Resolution> density{};
    // A gain-map JPEG (see gain_map_jpeg.h) to follow the picture, whose
    // description `xmp` already holds; null for none. With it, an APP2
    // ISO 21496-1 segment and an APP2 MPF segment indexing both pictures
    // follow the other segments. Left out when the XMP packet is.
    std::shared_ptr<const std::vector<std::uint8_t>> gainMap{};
};

// Largest XMP packet one APP1 segment holds: 65535 - 2 (length) - 29 (the
// namespace and its terminating 0).
constexpr std::size_t kMaxXmpPacket = 65535 - 2 - 29;

// What a JpegEncoder is given: BGR rows (writeRows), or the picture's
// Y'CbCr planes as the file stores them (writePlanes).
enum class JpegInput {
    Bgr,
    Planes,
};

class JpegEncoder
{
public:
    // Starts a width x height picture. Throws std::invalid_argument for a
    // size without pixels; a size libjpeg refuses (a side above 65500)
    // makes failed() true. The segments are written here, before any row.
    JpegEncoder(int width, int height, int quality, const JpegSegments& segments = {},
                JpegInput input = JpegInput::Bgr);
    ~JpegEncoder();
    JpegEncoder(const JpegEncoder&) = delete;
    JpegEncoder& operator=(const JpegEncoder&) = delete;

    // Encodes the next rows, top to bottom: 8-bit BGR of the picture's width
    // (a view into a larger image will do). Rows past the picture's height
    // are ignored. Does nothing once failed.
    void writeRows(const cv::Mat& rows);
    // For JpegInput::Planes: the next rows as the file stores them, 8-bit
    // Y'CbCr of BT.601 at full range (JFIF's), chroma halved both ways:
    // `luma` of the picture's width, `cb` and `cr` of half of it and half of
    // the rows, both rounded up. Every call but the last gives an even number
    // of rows. libjpeg's colour conversion and downsampling are skipped: the
    // samples are coded as they are (the edges repeated to whole blocks, as
    // libjpeg does for rows it converts itself).
    void writePlanes(const cv::Mat& luma, const cv::Mat& cb, const cv::Mat& cr);
    int rowsWritten() const;

    // Ends the picture; the JPEG file, or empty when encoding failed or not
    // every row was written.
    std::vector<std::uint8_t> finish();

    bool failed() const;

    // What of the segments was left out and why; empty when nothing was.
    const std::string& warning() const;

private:
    struct State;
    std::unique_ptr<State> mState;
};

// The whole picture at once: what imencode(".jpg", image, out,
// {IMWRITE_JPEG_QUALITY, quality}) gives, with the segments. False when
// libjpeg fails; throws std::invalid_argument for an empty image or one that
// is not 8-bit BGR. `warning`, when given, receives what of the segments was
// left out and why (empty when nothing was).
bool encodeJpeg(const cv::Mat& image, int quality, std::vector<std::uint8_t>& out, const JpegSegments& segments = {},
                std::string* warning = nullptr);

}  // namespace ambrel::pipeline
