#include "dewarp/dewarper.h"

#include <algorithm>

#include <quorixsdk_codes.h>

namespace DEWARP {

CDewarper::CDewarper(CWorkerPool* pool, KernelPath path)
    : m_pool(pool), m_path(KernelPathAvailable(path) ? path : KernelPath::Plain) {}

uint32_t CDewarper::Render(const ViewSettings& settings, const LensData& lensIn,
                           const YuvPicture& picture, uint8_t* dst, uint32_t dstStride,
                           uint32_t width, uint32_t height, uint32_t backgroundBGR,
                           uint32_t rowBegin, uint32_t rowEnd) {
    if (dst == nullptr || picture.y == nullptr || picture.u == nullptr || picture.v == nullptr ||
        width == 0 || height == 0 || width > kMaxViewSide || height > kMaxViewSide ||
        static_cast<uint64_t>(dstStride) < static_cast<uint64_t>(width) * 4 ||
        picture.width < kMinLensSide || picture.height < kMinLensSide ||
        picture.width > kMaxLensSide || picture.height > kMaxLensSide ||
        picture.strideY < picture.width || picture.strideUV < (picture.width + 1) / 2)
        return QUORIX_E_PARAM;
    LensData lens = lensIn;
    lens.width = picture.width;
    lens.height = picture.height;
    ViewSettings view = settings;
    view.rectWidth = static_cast<int32_t>(width);
    view.rectHeight = static_cast<int32_t>(height);
    ViewGeometry geometry;
    if (!DeriveView(view, lens, &geometry))
        return QUORIX_E_PARAM;
    const uint32_t result = m_table.Update(geometry, lens, width, height, m_pool);
    if (result != QUORIX_OK)
        return result;
    const uint32_t background = BackgroundWord(backgroundBGR);
    rowEnd = std::min(rowEnd, height);
    rowBegin &= ~1u;  // slices start on a row pair: none draws a row of another
    if (rowBegin >= rowEnd)
        return QUORIX_OK;
    // Slices of a few rows keep both cores busy when the bars leave some rows nearly empty.
    constexpr uint32_t kRowsPerSlice = 16;
    // A small part is drawn sooner on this thread than handed to the pool, which wakes its
    // workers and serialises the views of every port.
    constexpr uint64_t kPoolPixels = 64 * 1024;
    const uint32_t slices = (rowEnd - rowBegin + kRowsPerSlice - 1) / kRowsPerSlice;
    auto slice = [&](uint32_t s) {
        const uint32_t r0 = rowBegin + s * kRowsPerSlice;
        const uint32_t r1 = std::min(rowEnd, r0 + kRowsPerSlice);
        RemapRows(m_path, m_table, r0, r1, picture, dst, dstStride, background);
    };
    if (m_pool != nullptr && static_cast<uint64_t>(rowEnd - rowBegin) * width >= kPoolPixels)
        m_pool->Run(slices, slice);
    else
        for (uint32_t s = 0; s < slices; ++s)
            slice(s);
    return QUORIX_OK;
}

}  // namespace DEWARP
