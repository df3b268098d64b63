#include "app/jpeg2000_preview.h"

#include <QtCore/QFile>

#include <openjpeg.h>

#include <algorithm>
#include <cstring>
#include <memory>

namespace ambrel::app {

namespace {

struct CodecFree
{
    void operator()(opj_codec_t* codec) const { opj_destroy_codec(codec); }
};
struct StreamFree
{
    void operator()(opj_stream_t* stream) const { opj_stream_destroy(stream); }
};
struct ImageFree
{
    void operator()(opj_image_t* image) const { opj_image_destroy(image); }
};

void quiet(const char* /*message*/, void* /*data*/) {}

// How many times the picture may be halved and still cover `bound`.
OPJ_UINT32 reductionFor(opj_codec_t* codec, QSize full, const QSize& bound)
{
    opj_codestream_info_v2_t* info = opj_get_cstr_info(codec);
    if (info == nullptr) {
        return 0;
    }
    const OPJ_UINT32 levels =
        info->m_default_tile_info.tccp_info != nullptr ? info->m_default_tile_info.tccp_info[0].numresolutions : 1;
    opj_destroy_cstr_info(&info);
    QSize shown = full;  // the size the preview shows
    if (shown.width() > bound.width() || shown.height() > bound.height()) {
        shown.scale(bound, Qt::KeepAspectRatio);
    }
    OPJ_UINT32 reduce = 0;
    while (reduce + 1 < std::min<OPJ_UINT32>(levels, 16)) {
        const int halvings = static_cast<int>(reduce) + 1;
        const int width = (full.width() + (1 << halvings) - 1) >> halvings;
        const int height = (full.height() + (1 << halvings) - 1) >> halvings;
        if (width < shown.width() || height < shown.height()) {
            break;
        }
        reduce += 1;
    }
    return reduce;
}

// One 8-bit sample of component `c` at `index`.
int sample(const opj_image_comp_t& c, std::size_t index)
{
    const int value = c.data[index];
    return c.prec > 8 ? value >> (c.prec - 8) : value;
}

// The decoded components as a QImage: grey, grey and alpha, RGB or RGBA.
QImage imageOf(const opj_image_t& decoded)
{
    const OPJ_UINT32 count = decoded.numcomps;
    if (count == 0 || count > 4) {
        return {};
    }
    const opj_image_comp_t& first = decoded.comps[0];
    for (OPJ_UINT32 c = 0; c < count; ++c) {
        const opj_image_comp_t& comp = decoded.comps[c];
        if (comp.data == nullptr || comp.sgnd != 0 || comp.prec == 0 || comp.prec > 16 || comp.w != first.w ||
            comp.h != first.h) {
            return {};
        }
    }
    const bool alpha = count == 2 || count == 4;
    QImage image(static_cast<int>(first.w), static_cast<int>(first.h),
                 alpha ? QImage::Format_ARGB32 : QImage::Format_RGB32);
    if (image.isNull()) {
        return {};
    }
    const opj_image_comp_t* comps = decoded.comps;
    for (int y = 0; y < image.height(); ++y) {
        auto* line = reinterpret_cast<QRgb*>(image.scanLine(y));
        for (int x = 0; x < image.width(); ++x) {
            const auto i = static_cast<std::size_t>(y) * first.w + static_cast<std::size_t>(x);
            const int r = sample(comps[0], i);
            const int g = count >= 3 ? sample(comps[1], i) : r;
            const int b = count >= 3 ? sample(comps[2], i) : r;
            const int a = alpha ? sample(comps[count - 1], i) : 255;
            line[x] = qRgba(r, g, b, a);
        }
    }
    return alpha ? image.convertToFormat(QImage::Format_ARGB32_Premultiplied) : image;
}

}  // namespace

bool isJpeg2000(const QByteArray& head)
{
    static const char kJp2[] = "\x00\x00\x00\x0CjP  ";
    static const char kCodestream[] = "\xFF\x4F\xFF\x51";
    return (head.size() >= 8 && std::memcmp(head.constData(), kJp2, 8) == 0) ||
           (head.size() >= 4 && std::memcmp(head.constData(), kCodestream, 4) == 0);
}

QImage loadJpeg2000Image(const QString& path, const QSize& bound, QSize* fullSize)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        return {};
    }
    const QByteArray head = file.read(8);
    file.close();
    if (!isJpeg2000(head)) {
        return {};
    }
    const bool codestream = static_cast<unsigned char>(head[0]) == 0xFF;
    std::unique_ptr<opj_stream_t, StreamFree> stream(
        opj_stream_create_default_file_stream(QFile::encodeName(path).constData(), OPJ_TRUE));
    std::unique_ptr<opj_codec_t, CodecFree> codec(opj_create_decompress(codestream ? OPJ_CODEC_J2K : OPJ_CODEC_JP2));
    if (stream == nullptr || codec == nullptr) {
        return {};
    }
    opj_set_error_handler(codec.get(), quiet, nullptr);
    opj_set_warning_handler(codec.get(), quiet, nullptr);
    opj_set_info_handler(codec.get(), quiet, nullptr);
    opj_dparameters_t parameters;
    opj_set_default_decoder_parameters(&parameters);
    opj_image_t* header = nullptr;
    if (!opj_setup_decoder(codec.get(), &parameters) || !opj_read_header(stream.get(), codec.get(), &header)) {
        return {};
    }
    std::unique_ptr<opj_image_t, ImageFree> decoded(header);
    const QSize full(static_cast<int>(decoded->x1 - decoded->x0), static_cast<int>(decoded->y1 - decoded->y0));
    if (full.isEmpty()) {
        return {};
    }
    if (!opj_set_decoded_resolution_factor(codec.get(), reductionFor(codec.get(), full, bound)) ||
        !opj_decode(codec.get(), stream.get(), decoded.get()) || !opj_end_decompress(codec.get(), stream.get())) {
        return {};
    }
    if (fullSize != nullptr) {
        *fullSize = full;
    }
    return imageOf(*decoded);
}

}  // namespace ambrel::app
