#include "pipeline/encode/jpeg_encoder.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <csetjmp>
#include <cstdio>
#include <stdexcept>
#include <string>

#include <jpeglib.h>

#include "pipeline/encode/gain_map_jpeg.h"
#include "pipeline/encode/jpeg_metadata.h"

namespace ambrel::pipeline {

namespace {

constexpr std::size_t kBufferStep = std::size_t(1) << 20;

// The XMP segment's identifier, its terminating 0 included.
constexpr char kXmpNamespace[] = "http://ns.adobe.com/xap/1.0/";
static_assert(sizeof(kXmpNamespace) == 29);

constexpr std::size_t kMaxIccChunks = 255;

// Luma rows of one call of jpeg_write_raw_data: an MCU's height at 2x2
// sampling.
constexpr int kPlaneRows = 16;

// Copies `count` samples of `from` and repeats the last one up to the
// row's end.
void padRow(const std::uint8_t* from, int count, std::uint8_t* row, int size)
{
    std::copy_n(from, count, row);
    std::fill(row + count, row + size, from[count - 1]);
}

// The segments that fit, and a warning naming those that do not.
struct SegmentPlan
{
    bool exif = false;
    bool xmp = false;
    bool icc = false;
    bool gainMap = false;
    std::string warning;
};

SegmentPlan planSegments(const JpegSegments& segments)
{
    SegmentPlan plan;
    auto warn = [&plan](const std::string& text) {
        if (!plan.warning.empty()) {
            plan.warning += "; ";
        }
        plan.warning += text;
    };
    if (segments.exifSegment) {
        plan.exif = segments.exif.size() <= jpegmeta::kMaxApp1Payload;
        if (!plan.exif) {
            warn("EXIF block of " + std::to_string(segments.exif.size()) +
                 " bytes left out: one APP1 segment holds at most " + std::to_string(jpegmeta::kMaxApp1Payload));
        }
    }
    if (!segments.xmp.empty()) {
        plan.xmp = segments.xmp.size() <= kMaxXmpPacket;
        if (!plan.xmp) {
            warn("XMP packet of " + std::to_string(segments.xmp.size()) +
                 " bytes left out: one APP1 segment holds at most " + std::to_string(kMaxXmpPacket));
        }
    }
    if (segments.gainMap) {
        plan.gainMap = plan.xmp;
        if (!plan.gainMap) {
            warn("HDR gain map left out with the XMP packet that describes it");
        }
    }
    if (!segments.icc.empty()) {
        const std::size_t chunks = (segments.icc.size() + jpegmeta::kMaxIccChunk - 1) / jpegmeta::kMaxIccChunk;
        plan.icc = chunks <= kMaxIccChunks;
        if (!plan.icc) {
            warn("ICC profile of " + std::to_string(segments.icc.size()) + " bytes left out: it needs " +
                 std::to_string(chunks) + " APP2 segments, more than " + std::to_string(kMaxIccChunks));
        }
    }
    return plan;
}

}  // namespace

// libjpeg reports errors through error_exit, which must not return: it jumps
// back into the call that failed. No C++ object lives between the setjmp and
// the libjpeg call that may jump, so none is skipped.
struct JpegEncoder::State
{
    jpeg_compress_struct info{};
    struct ErrorManager
    {
        jpeg_error_mgr base;
        std::jmp_buf jump;
    } errors{};
    jpeg_destination_mgr destination{};
    std::vector<std::uint8_t> output;
    std::string warning;
    int width = 0;
    int height = 0;
    bool started = false;
    bool failed = false;
    // Planes input: the rows staged for the next call of jpeg_write_raw_data
    // (16 luma and 8 chroma rows, each padded to whole blocks), how many of
    // them are filled, and the rows taken so far.
    bool planes = false;
    cv::Mat stagedLuma;
    cv::Mat stagedCb;
    cv::Mat stagedCr;
    int staged = 0;
    int planeRows = 0;
    // The gain-map JPEG that follows the picture, and where the MPF
    // segment that indexes both starts.
    std::shared_ptr<const std::vector<std::uint8_t>> gainMap;
    std::size_t mpfAt = 0;

    static void onError(j_common_ptr info)
    {
        auto* errors = reinterpret_cast<ErrorManager*>(info->err);
        std::longjmp(errors->jump, 1);
    }
    static void onMessage(j_common_ptr) {}

    static void initDestination(j_compress_ptr info)
    {
        State& state = *static_cast<State*>(info->client_data);
        // Room for a typical photograph at high quality, so that the buffer
        // rarely moves; pages that are never written cost nothing.
        state.output.reserve(std::max(kBufferStep, std::size_t(state.width) * std::size_t(state.height) / 2));
        state.output.resize(kBufferStep);
        info->dest->next_output_byte = state.output.data();
        info->dest->free_in_buffer = state.output.size();
    }
    static boolean emptyBuffer(j_compress_ptr info)
    {
        // Called with the whole buffer full, whatever free_in_buffer says.
        State& state = *static_cast<State*>(info->client_data);
        const std::size_t used = state.output.size();
        state.output.resize(used + std::max(kBufferStep, used / 2));
        info->dest->next_output_byte = state.output.data() + used;
        info->dest->free_in_buffer = state.output.size() - used;
        return TRUE;
    }
    static void termDestination(j_compress_ptr info)
    {
        State& state = *static_cast<State*>(info->client_data);
        state.output.resize(state.output.size() - info->dest->free_in_buffer);
    }
};

JpegEncoder::JpegEncoder(int width, int height, int quality, const JpegSegments& segments, JpegInput input)
    : mState(std::make_unique<State>())
{
    if (width <= 0 || height <= 0) {
        throw std::invalid_argument("JpegEncoder: a picture of " + std::to_string(width) + " x " +
                                    std::to_string(height) + " pixels");
    }
    State& state = *mState;
    SegmentPlan plan = planSegments(segments);
    state.warning = std::move(plan.warning);
    // The XMP segment's payload is the namespace followed by the packet; made
    // here, before the setjmp below.
    std::vector<std::uint8_t> xmpPayload;
    std::vector<std::uint8_t> isoPayload;
    std::vector<std::uint8_t> mpfPlaceholder;
    if (plan.gainMap) {
        state.gainMap = segments.gainMap;
        isoPayload = isoVersionPayload();
        mpfPlaceholder = mpfPayload(0, 0, 0);
    }
    if (plan.xmp) {
        xmpPayload.reserve(sizeof(kXmpNamespace) + segments.xmp.size());
        xmpPayload.insert(xmpPayload.end(), kXmpNamespace, kXmpNamespace + sizeof(kXmpNamespace));
        xmpPayload.insert(xmpPayload.end(), segments.xmp.begin(), segments.xmp.end());
    }
    state.width = width;
    state.height = height;
    state.planes = input == JpegInput::Planes;
    if (state.planes) {
        // Whole blocks: 16 luma samples to an MCU's width, 8 chroma.
        const int lumaWidth = (width + 15) / 16 * 16;
        state.stagedLuma.create(kPlaneRows, lumaWidth, CV_8UC1);
        state.stagedCb.create(kPlaneRows / 2, lumaWidth / 2, CV_8UC1);
        state.stagedCr.create(kPlaneRows / 2, lumaWidth / 2, CV_8UC1);
    }
    state.info.err = jpeg_std_error(&state.errors.base);
    state.errors.base.error_exit = &State::onError;
    state.errors.base.output_message = &State::onMessage;
    if (setjmp(state.errors.jump) != 0) {
        state.failed = true;
        return;
    }
    jpeg_create_compress(&state.info);
    state.started = true;
    state.info.client_data = &state;
    state.destination.init_destination = &State::initDestination;
    state.destination.empty_output_buffer = &State::emptyBuffer;
    state.destination.term_destination = &State::termDestination;
    state.info.dest = &state.destination;

    state.info.image_width = static_cast<JDIMENSION>(width);
    state.info.image_height = static_cast<JDIMENSION>(height);
    state.info.input_components = 3;
    state.info.in_color_space = JCS_EXT_BGR;
    jpeg_set_defaults(&state.info);
    state.info.restart_interval = 0;
    jpeg_set_quality(&state.info, std::clamp(quality, 0, 100), TRUE);
    // The file's components and sampling stay the defaults (Y'CbCr, 2x2 luma
    // to 1x1 chroma); only who converts changes.
    state.info.raw_data_in = state.planes ? TRUE : FALSE;
    // The EXIF segment takes the JFIF segment's place; everything else the
    // library writes stays as it is.
    state.info.write_JFIF_header = plan.exif ? FALSE : TRUE;
    if (segments.density) {
        // JFIF's units: 0 none (an aspect ratio), 1 inch, 2 centimetre.
        const jpegmeta::Resolution& density = *segments.density;
        state.info.density_unit = static_cast<UINT8>(density.unit == 2 ? 1 : density.unit == 3 ? 2 : 0);
        state.info.X_density = static_cast<UINT16>(std::clamp<long>(std::lround(density.x), 1, 65535));
        state.info.Y_density = static_cast<UINT16>(std::clamp<long>(std::lround(density.y), 1, 65535));
    }
    jpeg_start_compress(&state.info, TRUE);
    // Markers go between jpeg_start_compress and the first row.
    if (plan.exif) {
        jpeg_write_marker(&state.info, JPEG_APP0 + 1, segments.exif.data(),
                          static_cast<unsigned int>(segments.exif.size()));
    }
    if (plan.xmp) {
        jpeg_write_marker(&state.info, JPEG_APP0 + 1, xmpPayload.data(), static_cast<unsigned int>(xmpPayload.size()));
    }
    if (plan.icc) {
        jpeg_write_icc_profile(&state.info, segments.icc.data(), static_cast<unsigned int>(segments.icc.size()));
    }
    if (plan.gainMap) {
        jpeg_write_marker(&state.info, JPEG_APP0 + 2, isoPayload.data(), static_cast<unsigned int>(isoPayload.size()));
        // Markers go straight to the destination: the MPF segment starts here.
        state.mpfAt = static_cast<std::size_t>(state.info.dest->next_output_byte - state.output.data());
        jpeg_write_marker(&state.info, JPEG_APP0 + 2, mpfPlaceholder.data(),
                          static_cast<unsigned int>(mpfPlaceholder.size()));
    }
}

JpegEncoder::~JpegEncoder()
{
    if (mState->started) {
        jpeg_destroy_compress(&mState->info);
    }
}

void JpegEncoder::writeRows(const cv::Mat& rows)
{
    State& state = *mState;
    if (state.failed) {
        return;
    }
    if (state.planes || rows.type() != CV_8UC3 || rows.cols != state.width) {
        throw std::invalid_argument("JpegEncoder::writeRows: rows of " + std::to_string(rows.cols) +
                                    " pixels, not 8-bit BGR of " + std::to_string(state.width));
    }
    const int count = std::min(rows.rows, state.height - rowsWritten());
    if (setjmp(state.errors.jump) != 0) {
        state.failed = true;
        return;
    }
    for (int y = 0; y < count; ++y) {
        JSAMPROW row = const_cast<JSAMPROW>(rows.ptr<std::uint8_t>(y));
        jpeg_write_scanlines(&state.info, &row, 1);
    }
}

void JpegEncoder::writePlanes(const cv::Mat& luma, const cv::Mat& cb, const cv::Mat& cr)
{
    State& state = *mState;
    if (state.failed) {
        return;
    }
    const int chromaWidth = (state.width + 1) / 2;
    if (!state.planes || luma.type() != CV_8UC1 || cb.type() != CV_8UC1 || cr.type() != CV_8UC1 ||
        luma.cols != state.width || cb.cols != chromaWidth || cr.cols != chromaWidth ||
        cb.rows != (luma.rows + 1) / 2 || cr.rows != cb.rows || (state.staged % 2) != 0) {
        throw std::invalid_argument("JpegEncoder::writePlanes: planes of " + std::to_string(luma.cols) + ", " +
                                    std::to_string(cb.cols) + " and " + std::to_string(cr.cols) +
                                    " samples do not fit a planes encoder of " + std::to_string(state.width));
    }
    const int count = std::min(luma.rows, state.height - state.planeRows);
    // Rows of a staging buffer hand libjpeg its rows; set before the setjmp.
    std::array<JSAMPROW, kPlaneRows> lumaRows{};
    std::array<JSAMPROW, kPlaneRows / 2> cbRows{};
    std::array<JSAMPROW, kPlaneRows / 2> crRows{};
    for (int y = 0; y < kPlaneRows; ++y) {
        lumaRows[std::size_t(y)] = state.stagedLuma.ptr<std::uint8_t>(y);
    }
    for (int y = 0; y < kPlaneRows / 2; ++y) {
        cbRows[std::size_t(y)] = state.stagedCb.ptr<std::uint8_t>(y);
        crRows[std::size_t(y)] = state.stagedCr.ptr<std::uint8_t>(y);
    }
    std::array<JSAMPARRAY, 3> components{lumaRows.data(), cbRows.data(), crRows.data()};
    if (setjmp(state.errors.jump) != 0) {
        state.failed = true;
        return;
    }
    for (int y = 0; y < count; ++y) {
        padRow(luma.ptr<std::uint8_t>(y), state.width, lumaRows[std::size_t(state.staged)], state.stagedLuma.cols);
        if (state.staged % 2 == 0) {
            const int chromaRow = state.staged / 2;
            padRow(cb.ptr<std::uint8_t>(y / 2), chromaWidth, cbRows[std::size_t(chromaRow)], state.stagedCb.cols);
            padRow(cr.ptr<std::uint8_t>(y / 2), chromaWidth, crRows[std::size_t(chromaRow)], state.stagedCr.cols);
        }
        ++state.planeRows;
        const bool last = state.planeRows == state.height;
        if (++state.staged < kPlaneRows && !last) {
            continue;
        }
        // The picture's last rows are repeated down to the block's end.
        for (int row = state.staged; row < kPlaneRows; ++row) {
            std::copy_n(lumaRows[std::size_t(state.staged - 1)], state.stagedLuma.cols, lumaRows[std::size_t(row)]);
        }
        const int chromaStaged = (state.staged + 1) / 2;
        for (int row = chromaStaged; row < kPlaneRows / 2; ++row) {
            std::copy_n(cbRows[std::size_t(chromaStaged - 1)], state.stagedCb.cols, cbRows[std::size_t(row)]);
            std::copy_n(crRows[std::size_t(chromaStaged - 1)], state.stagedCr.cols, crRows[std::size_t(row)]);
        }
        jpeg_write_raw_data(&state.info, components.data(), kPlaneRows);
        state.staged = 0;
    }
}

int JpegEncoder::rowsWritten() const
{
    if (!mState->started) {
        return 0;
    }
    return mState->planes ? mState->planeRows : static_cast<int>(mState->info.next_scanline);
}

std::vector<std::uint8_t> JpegEncoder::finish()
{
    State& state = *mState;
    if (state.failed || rowsWritten() != state.height) {
        return {};
    }
    if (setjmp(state.errors.jump) != 0) {
        state.failed = true;
        return {};
    }
    jpeg_finish_compress(&state.info);
    if (state.gainMap) {
        const std::vector<std::uint8_t> mpf = mpfPayload(state.output.size(), state.mpfAt, state.gainMap->size());
        std::copy(mpf.begin(), mpf.end(), state.output.begin() + std::ptrdiff_t(state.mpfAt + 4));
        state.output.insert(state.output.end(), state.gainMap->begin(), state.gainMap->end());
    }
    return std::move(state.output);
}

bool JpegEncoder::failed() const
{
    return mState->failed;
}

const std::string& JpegEncoder::warning() const
{
    return mState->warning;
}

bool encodeJpeg(const cv::Mat& image, int quality, std::vector<std::uint8_t>& out, const JpegSegments& segments,
                std::string* warning)
{
    if (image.empty() || image.type() != CV_8UC3) {
        throw std::invalid_argument("encodeJpeg: not an 8-bit BGR picture");
    }
    JpegEncoder encoder(image.cols, image.rows, quality, segments);
    if (warning != nullptr) {
        *warning = encoder.warning();
    }
    encoder.writeRows(image);
    out = encoder.finish();
    return !out.empty();
}

}  // namespace ambrel::pipeline
