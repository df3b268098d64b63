// The tiles of the converted image go through one temporary HEVC elementary
// stream file, which OpenCV's video capture (FFmpeg back end) decodes into one
// frame per tile.
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include <opencv2/core.hpp>

#include "heif_image_data.h"

namespace heifpipe {

// Parameter sets written in front of every tile may not add more than this to
// the stream (a hostile file could otherwise repeat a large 'hvcC' for
// thousands of tiles).
constexpr std::size_t kMaxRepeatedParameterSetBytes = std::size_t(64) << 20;

// Decoding stops, with no frames, once the frames hold more pixels than this.
constexpr std::uint64_t kMaxDecodedPixels = std::uint64_t(1) << 28;

// Writes, for every tile in order, the record's parameter sets followed by the
// tile's bytes, creating or truncating the file. False when the file cannot be
// written completely or the stream would be unreasonably large.
bool write_hevc_bitstream(const std::string& path, const HeifImageData& data);

// Decodes the stream file into frames (deep copies, BGR as the capture gives
// them), at most `maxFrames`. Empty on any failure; prints
// "cv::VideoCapture::isOpened returned false " when the file cannot be opened.
std::vector<cv::Mat> read_hevc_bitstream_to_mat_vector(
    const std::string& path, std::size_t maxFrames = std::numeric_limits<std::size_t>::max());

// An exclusive advisory lock (flock) on the file `streamPath` + ".lock", held
// from construction until destruction, so that conversions that share one
// stream path, in this process or another, take turns. The lock file stays.
class StreamFileLock
{
public:
    // Blocks until the lock is held, or fails (held() false) when the path is
    // empty or the lock file cannot be opened.
    explicit StreamFileLock(const std::string& streamPath);
    ~StreamFileLock();
    StreamFileLock(const StreamFileLock&) = delete;
    StreamFileLock& operator=(const StreamFileLock&) = delete;

    bool held() const { return mHeld; }

private:
    int mFd = -1;
    bool mHeld = false;
};

}  // namespace heifpipe
