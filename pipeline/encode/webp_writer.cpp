// WebP: libwebp, lossless at quality 100 and lossy below it, with an alpha
// channel when the picture has one; the ICC profile, the EXIF block's TIFF
// data and the XMP packet go into the file's ICCP, EXIF and "XMP " chunks
// (libwebpmux). 8 bits a sample: 16-bit samples are rounded, a grey picture
// is stored as colour. libwebp wants the whole picture, so the writer holds
// the rows until finish().
#include <algorithm>
#include <memory>

#include <webp/encode.h>
#include <webp/mux.h>

#include "pipeline/encode/writer_support.h"

namespace ambrel::pipeline {

namespace {

using namespace writing;

// libwebp's effort for lossless files (its command line's default) and
// for lossy ones (0 fastest .. 6 smallest).
constexpr float kLosslessEffort = 75.0f;
constexpr int kMethod = 4;

struct PictureFree
{
    void operator()(WebPPicture* picture) const { WebPPictureFree(picture); }
};
struct MuxFree
{
    void operator()(WebPMux* mux) const { WebPMuxDelete(mux); }
};

std::string encodingError(WebPEncodingError code)
{
    switch (code) {
    case VP8_ENC_ERROR_OUT_OF_MEMORY:
    case VP8_ENC_ERROR_BITSTREAM_OUT_OF_MEMORY: return "out of memory";
    case VP8_ENC_ERROR_BAD_DIMENSION: return "the picture is larger than WebP holds (16383 pixels a side)";
    case VP8_ENC_ERROR_PARTITION0_OVERFLOW:
    case VP8_ENC_ERROR_PARTITION_OVERFLOW: return "the picture does not fit a lossy WebP at this quality";
    case VP8_ENC_ERROR_FILE_TOO_BIG: return "the file would be larger than WebP holds";
    default: return "libwebp could not encode the picture";
    }
}

// The bitstream of the picture (8-bit BGR or BGRA), or why there is none.
EncodedFile encodePicture(const cv::Mat& picture, int quality)
{
    WebPConfig config;
    if (!WebPConfigInit(&config))
        return failure("WebP: libwebp could not start");
    config.lossless = quality >= 100 ? 1 : 0;
    config.quality = quality >= 100 ? kLosslessEffort : static_cast<float>(std::clamp(quality, 0, 100));
    config.method = kMethod;
    config.thread_level = 1;
    config.exact = config.lossless;  // lossless keeps the colours under transparent pixels too
    WebPPicture plain;
    if (!WebPPictureInit(&plain))
        return failure("WebP: libwebp could not start");
    std::unique_ptr<WebPPicture, PictureFree> owned(&plain);
    plain.use_argb = 1;
    plain.width = picture.cols;
    plain.height = picture.rows;
    const auto stride = static_cast<int>(picture.step[0]);
    const bool imported = picture.channels() == 4 ? WebPPictureImportBGRA(&plain, picture.data, stride)
                                                  : WebPPictureImportBGR(&plain, picture.data, stride);
    if (!imported)
        return failure("WebP: " + encodingError(plain.error_code));
    WebPMemoryWriter memory;
    WebPMemoryWriterInit(&memory);
    plain.writer = WebPMemoryWrite;
    plain.custom_ptr = &memory;
    const bool encoded = WebPEncode(&config, &plain) != 0;
    EncodedFile file;
    if (encoded)
        file.bytes.assign(memory.mem, memory.mem + memory.size);
    else
        file.error = "WebP: " + encodingError(plain.error_code);
    WebPMemoryWriterClear(&memory);
    return file;
}

// The file with its metadata chunks; `file` as it is without any.
EncodedFile addChunks(EncodedFile file, const WriterMetadata& metadata)
{
    const Bytes exif = tiffData(metadata.exif);
    if (metadata.icc.empty() && exif.empty() && metadata.xmp.empty())
        return file;
    std::unique_ptr<WebPMux, MuxFree> mux(WebPMuxNew());
    if (!mux)
        return failure("WebP: out of memory");
    const WebPData image{file.bytes.data(), file.bytes.size()};
    bool set = WebPMuxSetImage(mux.get(), &image, 0) == WEBP_MUX_OK;
    for (const auto& [name, bytes] :
         {std::pair{"ICCP", &metadata.icc}, std::pair{"EXIF", &exif}, std::pair{"XMP ", &metadata.xmp}}) {
        const WebPData chunk{bytes->data(), bytes->size()};
        if (set && !bytes->empty())
            set = WebPMuxSetChunk(mux.get(), name, &chunk, 0) == WEBP_MUX_OK;
    }
    WebPData assembled{nullptr, 0};
    if (!set || WebPMuxAssemble(mux.get(), &assembled) != WEBP_MUX_OK)
        return failure("WebP: the metadata chunks cannot be written");
    Bytes bytes(assembled.bytes, assembled.bytes + assembled.size);
    WebPDataClear(&assembled);
    return {std::move(bytes), {}, std::move(file.warning)};
}

class WebpWriter final : public HoldingWriter
{
public:
    explicit WebpWriter(const WriterOptions& options) : HoldingWriter("WebP: "), mQuality(options.quality) {}

private:
    std::string refusal(cv::Size size) const override
    {
        if (size.width > WEBP_MAX_DIMENSION || size.height > WEBP_MAX_DIMENSION) {
            return "the picture of " + std::to_string(size.width) + " x " + std::to_string(size.height) +
                   " pixels is larger than WebP holds (16383 pixels a side)";
        }
        return {};
    }
    int heldType(PixelLayout layout) const override { return layout.channels == Channels::Bgra ? CV_8UC4 : CV_8UC3; }
    cv::Mat heldRows(const cv::Mat& rows) const override { return eightBitRows(rows, true); }
    EncodedFile encode(const cv::Mat& picture, const WriterMetadata& metadata) override
    {
        EncodedFile file = encodePicture(picture, mQuality);
        if (!file.ok()) {
            return file;
        }
        return addChunks(std::move(file), metadata);
    }

    int mQuality;
};

}  // namespace

std::unique_ptr<ImageWriter> makeWebpWriter(const WriterOptions& options)
{
    return std::make_unique<WebpWriter>(options);
}

}  // namespace ambrel::pipeline
