#include "codec/picture420.h"

#include <cstring>

#include "codec/decoder.h"

extern "C" {
#include <libavutil/frame.h>
#include <libavutil/pixdesc.h>
#include <libswscale/swscale.h>
}

namespace HCC {

namespace {

bool IsPlain420(int format) {
    return format == AV_PIX_FMT_YUV420P || format == AV_PIX_FMT_YUVJ420P;
}

bool IsFullRange(const AVFrame* frame) {
    switch (frame->format) {
        case AV_PIX_FMT_YUVJ420P:
        case AV_PIX_FMT_YUVJ422P:
        case AV_PIX_FMT_YUVJ444P:
        case AV_PIX_FMT_YUVJ440P:
        case AV_PIX_FMT_YUVJ411P:
            return true;
        default:
            return frame->color_range == AVCOL_RANGE_JPEG;
    }
}

// The scaler treats the "J" layouts as deprecated aliases; it gets the plain layout and the
// range separately.
AVPixelFormat PlainLayout(AVPixelFormat format) {
    switch (format) {
        case AV_PIX_FMT_YUVJ420P:
            return AV_PIX_FMT_YUV420P;
        case AV_PIX_FMT_YUVJ422P:
            return AV_PIX_FMT_YUV422P;
        case AV_PIX_FMT_YUVJ444P:
            return AV_PIX_FMT_YUV444P;
        case AV_PIX_FMT_YUVJ440P:
            return AV_PIX_FMT_YUV440P;
        case AV_PIX_FMT_YUVJ411P:
            return AV_PIX_FMT_YUV411P;
        default:
            return format;
    }
}

}  // namespace

CPicture420::~CPicture420() {
    Reset();
}

void CPicture420::Reset() {
    if (m_scaler != nullptr)
        sws_freeContext(m_scaler);
    m_scaler = nullptr;
    std::vector<uint8_t>().swap(m_buffer);
}

bool CPicture420::Allocate(uint32_t width, uint32_t height, uint32_t rowAlign, CPlanes420& out) {
    const uint32_t align = rowAlign < 1 ? 1 : rowAlign;
    const uint32_t rows = (height + align - 1) / align * align;
    const uint32_t chromaWidth = (width + 1) / 2;
    const uint32_t chromaRows = (rows + 1) / 2;
    const size_t lumaBytes = static_cast<size_t>(width) * rows;
    const size_t chromaBytes = static_cast<size_t>(chromaWidth) * chromaRows;
    m_buffer.resize(lumaBytes + 2 * chromaBytes);
    out.data[0] = m_buffer.data();
    out.data[1] = out.data[0] + lumaBytes;
    out.data[2] = out.data[1] + chromaBytes;
    out.stride[0] = width;
    out.stride[1] = out.stride[2] = chromaWidth;
    out.width = width;
    out.height = height;
    out.lumaRows = rows;
    out.chromaRows = chromaRows;
    return true;
}

BRIXEL::CHYUVColour CPicture420::ColourOf(const AVFrame* frame) {
    const uint32_t width = static_cast<uint32_t>(frame->width);
    const uint32_t height = static_cast<uint32_t>(frame->height);
    const AVPixFmtDescriptor* desc = av_pix_fmt_desc_get(static_cast<AVPixelFormat>(frame->format));
    // The scaler turns an RGB picture into limited-range BT.601 (ConvertWithScaler).
    if (desc != nullptr && (desc->flags & AV_PIX_FMT_FLAG_RGB))
        return BRIXEL::HYUV_BT601_LIMITED;
    bool bt709 = BRIXEL::HYUVIsBT709(BRIXEL::HYUVDefaultColour(width, height));
    switch (frame->colorspace) {
        case AVCOL_SPC_BT709:
            bt709 = true;
            break;
        case AVCOL_SPC_BT470BG:
        case AVCOL_SPC_SMPTE170M:
        case AVCOL_SPC_FCC:
            bt709 = false;
            break;
        default:
            break;  // unspecified, or a matrix the renderers do not have: the size decides
    }
    return BRIXEL::HYUVColourOf(bt709, IsFullRange(frame));
}

bool CPicture420::From(const AVFrame* frame, uint32_t rowAlign, CPlanes420& out) {
    out = CPlanes420{};
    if (frame == nullptr || frame->width <= 0 || frame->height <= 0)
        return false;
    if (static_cast<uint32_t>(frame->width) > kMaxPictureSide ||
        static_cast<uint32_t>(frame->height) > kMaxPictureSide)
        return false;
    const uint32_t width = static_cast<uint32_t>(frame->width);
    const uint32_t height = static_cast<uint32_t>(frame->height);

    if (IsPlain420(frame->format) && rowAlign <= 1 && frame->linesize[0] > 0 &&
        frame->linesize[1] > 0 && frame->linesize[1] == frame->linesize[2]) {
        for (int i = 0; i < 3; ++i) {
            out.data[i] = frame->data[i];
            out.stride[i] = static_cast<uint32_t>(frame->linesize[i]);
        }
        out.width = width;
        out.height = height;
        out.lumaRows = height;
        out.chromaRows = (height + 1) / 2;
        out.colour = ColourOf(frame);
        return true;
    }

    Allocate(width, height, rowAlign, out);
    out.colour = ColourOf(frame);
    const AVPixFmtDescriptor* desc = av_pix_fmt_desc_get(static_cast<AVPixelFormat>(frame->format));
    if (desc == nullptr)
        return false;
    const bool planar8 = (desc->flags & AV_PIX_FMT_FLAG_PLANAR) &&
                         !(desc->flags & AV_PIX_FMT_FLAG_RGB) && desc->comp[0].depth == 8 &&
                         (desc->nb_components == 3 || desc->nb_components == 4);
    const bool grey8 = frame->format == AV_PIX_FMT_GRAY8;
    bool ok;
    if (planar8 || grey8)
        ok = ConvertPlanar8(frame, out);
    else
        ok = ConvertWithScaler(frame, out);
    if (!ok)
        return false;
    PadRows(out);
    return true;
}

// Luma is copied as it is; each 4:2:0 chroma sample is the rounded mean of the source chroma
// samples that sit under its 2x2 luma block, which is exact for 4:2:0 input and the usual box
// filter for 4:2:2, 4:4:0 and 4:4:4. Grey pictures get neutral chroma (128).
bool CPicture420::ConvertPlanar8(const AVFrame* frame, CPlanes420& out) {
    const uint32_t width = out.width;
    const uint32_t height = out.height;
    for (uint32_t y = 0; y < height; ++y)
        std::memcpy(out.data[0] + static_cast<size_t>(y) * out.stride[0],
                    frame->data[0] + static_cast<ptrdiff_t>(y) * frame->linesize[0], width);

    const uint32_t chromaWidth = (width + 1) / 2;
    const uint32_t chromaHeight = (height + 1) / 2;
    if (frame->format == AV_PIX_FMT_GRAY8) {
        for (int p = 1; p < 3; ++p)
            std::memset(out.data[p], 128, static_cast<size_t>(out.stride[p]) * out.chromaRows);
        return true;
    }
    const AVPixFmtDescriptor* desc = av_pix_fmt_desc_get(static_cast<AVPixelFormat>(frame->format));
    const int shiftX = desc->log2_chroma_w;
    const int shiftY = desc->log2_chroma_h;
    for (int p = 1; p < 3; ++p) {
        const uint8_t* src = frame->data[p];
        const ptrdiff_t srcStride = frame->linesize[p];
        uint8_t* dst = out.data[p];
        for (uint32_t cy = 0; cy < chromaHeight; ++cy) {
            const uint32_t y0 = 2 * cy;
            const uint32_t y1 = y0 + 1 < height ? y0 + 1 : y0;
            const uint8_t* row0 = src + static_cast<ptrdiff_t>(y0 >> shiftY) * srcStride;
            const uint8_t* row1 = src + static_cast<ptrdiff_t>(y1 >> shiftY) * srcStride;
            uint8_t* dstRow = dst + static_cast<size_t>(cy) * out.stride[p];
            for (uint32_t cx = 0; cx < chromaWidth; ++cx) {
                const uint32_t x0 = (2 * cx) >> shiftX;
                const uint32_t x1 = (2 * cx + 1 < width ? 2 * cx + 1 : 2 * cx) >> shiftX;
                dstRow[cx] =
                    static_cast<uint8_t>((row0[x0] + row0[x1] + row1[x0] + row1[x1] + 2) >> 2);
            }
        }
    }
    return true;
}

// Other layouts (high bit depth above all) go through the scaler at the same size; the range is
// kept as it is and travels with the picture.
bool CPicture420::ConvertWithScaler(const AVFrame* frame, CPlanes420& out) {
    const AVPixelFormat source = PlainLayout(static_cast<AVPixelFormat>(frame->format));
    m_scaler = sws_getCachedContext(m_scaler, frame->width, frame->height, source, frame->width,
                                    frame->height, AV_PIX_FMT_YUV420P,
                                    SWS_BILINEAR | SWS_ACCURATE_RND, nullptr, nullptr, nullptr);
    if (m_scaler == nullptr)
        return false;
    const int full = IsFullRange(frame) ? 1 : 0;
    const int* coefficients = sws_getCoefficients(SWS_CS_DEFAULT);
    sws_setColorspaceDetails(m_scaler, coefficients, full, coefficients, full, 0, 1 << 16, 1 << 16);
    int dstStride[4] = {static_cast<int>(out.stride[0]), static_cast<int>(out.stride[1]),
                        static_cast<int>(out.stride[2]), 0};
    uint8_t* dst[4] = {out.data[0], out.data[1], out.data[2], nullptr};
    const int rows =
        sws_scale(m_scaler, frame->data, frame->linesize, 0, frame->height, dst, dstStride);
    return rows == frame->height;
}

void CPicture420::PadRows(CPlanes420& out) {
    const uint32_t chromaHeight = (out.height + 1) / 2;
    for (uint32_t y = out.height; y < out.lumaRows; ++y)
        std::memcpy(out.data[0] + static_cast<size_t>(y) * out.stride[0],
                    out.data[0] + static_cast<size_t>(out.height - 1) * out.stride[0],
                    out.stride[0]);
    for (int p = 1; p < 3; ++p)
        for (uint32_t y = chromaHeight; y < out.chromaRows; ++y)
            std::memcpy(out.data[p] + static_cast<size_t>(y) * out.stride[p],
                        out.data[p] + static_cast<size_t>(chromaHeight - 1) * out.stride[p],
                        out.stride[p]);
}

}  // namespace HCC
