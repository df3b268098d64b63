#include "hevc_stream.h"

#include <algorithm>
#include <cerrno>
#include <fstream>
#include <iostream>

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <opencv2/videoio.hpp>

namespace heifpipe {

namespace {

// 'H' 'E' 'V' 'C' read as a little-endian 32-bit number.
constexpr double kHevcFourcc = 1129727304.0;
constexpr std::size_t kReservedFrames = 48;

}  // namespace

bool write_hevc_bitstream(const std::string& path, const HeifImageData& data)
{
    std::vector<char> stream;
    try {
        const std::size_t tileCount = data.tiles.size();
        if (tileCount != 0 && data.paramSets.size() > kMaxRepeatedParameterSetBytes / tileCount) {
            return false;
        }
        std::size_t total = data.paramSets.size() * tileCount;
        for (const auto& tile : data.tiles) {
            total += tile.size();
        }
        stream.reserve(total);
        for (const auto& tile : data.tiles) {
            stream.insert(stream.end(), data.paramSets.begin(), data.paramSets.end());
            stream.insert(stream.end(), tile.begin(), tile.end());
        }
    } catch (...) {
        return false;
    }

    std::ofstream file(path, std::ios::binary | std::ios::trunc);
    if (!file) {
        return false;
    }
    file.write(stream.data(), static_cast<std::streamsize>(stream.size()));
    file.close();
    return !file.fail();
}

std::vector<cv::Mat> read_hevc_bitstream_to_mat_vector(const std::string& path, std::size_t maxFrames)
{
    std::vector<cv::Mat> frames;
    try {
        cv::VideoCapture capture(path, cv::CAP_FFMPEG);
        capture.set(cv::CAP_PROP_FOURCC, kHevcFourcc);
        if (!capture.isOpened()) {
            std::cout << "cv::VideoCapture::isOpened returned false " << std::endl;
        }
        frames.reserve(std::min(maxFrames, kReservedFrames));
        std::uint64_t pixels = 0;
        cv::Mat frame;
        while (frames.size() < maxFrames && capture.read(frame)) {
            if (frame.empty()) {
                break;
            }
            pixels += frame.total();
            if (pixels > kMaxDecodedPixels) {
                frames.clear();
                break;
            }
            frames.push_back(frame.clone());
        }
        capture.release();
    } catch (...) {
        frames.clear();
    }
    return frames;
}

StreamFileLock::StreamFileLock(const std::string& streamPath)
{
    if (streamPath.empty()) {
        return;  // no stream file, so nothing to lock (and no stray ".lock")
    }
    const std::string lockPath = streamPath + ".lock";
    mFd = ::open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
    if (mFd < 0) {
        // A lock file we may not write can still be locked.
        mFd = ::open(lockPath.c_str(), O_RDONLY | O_CLOEXEC);
    }
    if (mFd < 0) {
        return;
    }
    int result = 0;
    do {
        result = ::flock(mFd, LOCK_EX);
    } while (result != 0 && errno == EINTR);
    mHeld = result == 0;
}

StreamFileLock::~StreamFileLock()
{
    if (mFd >= 0) {
        ::close(mFd);  // releases the lock
    }
}

}  // namespace heifpipe
