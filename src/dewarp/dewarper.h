#pragma once
// A de-warped view of a lens picture, drawn on the CPU: the view's remap table, kept until the
// view, the output size or the lens data change, and the remap kernel spread over a worker
// pool in row slices.

#include <cstdint>

#include "dewarp/geometry.h"
#include "dewarp/kernel.h"
#include "dewarp/pool.h"
#include "dewarp/remap.h"

namespace DEWARP {

class CDewarper {
public:
    // pool: shared by the caller's views (may be null: everything on the calling thread).
    explicit CDewarper(CWorkerPool* pool, KernelPath path = BestKernelPath());

    // Draws `picture` as the view into dst (width x height BGRX pixels, rows dstStride bytes
    // apart, top-down). `lens` gives the model and K; its size is taken from the picture.
    // 0; QUORIX_E_PARAM for null pointers, a picture or view of an unsupported size or kind,
    // a stride too small; QUORIX_E_NO_MEMORY when the table cannot be held (dst untouched).
    // Only rows [rowBegin, rowEnd) of the view are drawn (rounded out to whole row pairs), at
    // their place in dst; the view's geometry stays that of the whole width x height.
    uint32_t Render(const ViewSettings& view, const LensData& lens, const YuvPicture& picture,
                    uint8_t* dst, uint32_t dstStride, uint32_t width, uint32_t height,
                    uint32_t backgroundBGR, uint32_t rowBegin = 0, uint32_t rowEnd = UINT32_MAX);

    const CRemapTable& Table() const { return m_table; }
    void SetPath(KernelPath path) { m_path = path; }

private:
    CWorkerPool* m_pool;
    KernelPath m_path;
    CRemapTable m_table;
};

}  // namespace DEWARP
