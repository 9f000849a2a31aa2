#pragma once
// Per-view remap tables: for every pixel of a view, the lens-picture position it samples, in
// fixed point (1/256 of a lens pixel), or "nothing drawn".
//
// The geometry costs a handful of transcendental functions per pixel, so it is evaluated
// exactly only on a grid of 16 x 16 pixel cells: at the corners, the edge midpoints and the
// centre. Those nine points define a biquadratic patch; where it meets four more exact points
// (at the quarters) within 0.1 of a lens pixel, the cell is filled from it in integers (forward
// differences). Otherwise the cell falls back to bilinear interpolation of its corners, checked
// at its edge midpoints and centre (where a bilinear patch's error peaks) and split into four
// cells, down to 4 x 4, until it holds; a 4 x 4 cell that still fails (the panorama's cut, the
// lens rim, the edge of the bars) is computed exactly pixel by pixel. Positions stay within 1/8
// of a lens pixel of the exact geometry.
// A view changes rarely and pictures come every frame, so the table is kept until the view,
// the output size or the lens data change.

#include <cstddef>
#include <cstdint>
#include <vector>

#include "dewarp/geometry.h"

namespace DEWARP {

class CWorkerPool;

// Fractional bits of the table's coordinates.
constexpr int kCoordBits = 8;
constexpr int32_t kCoordOne = 1 << kCoordBits;
// Marks a pixel where nothing of the picture is drawn.
constexpr int32_t kNothingDrawn = -1;
// Largest view side and smallest lens-picture side a table is built for: the kernels sample
// two neighbouring pixels of each plane, whose chroma is half as wide.
constexpr uint32_t kMaxViewSide = 16384;
constexpr uint32_t kMinLensSide = 4;
constexpr uint32_t kMaxLensSide = 16384;

class CRemapTable {
public:
    // 0, or QUORIX_E_PARAM for an unsupported view or a size out of range (the table is then
    // empty), QUORIX_E_NO_MEMORY when it cannot be held. Rebuilds only when the view, the size
    // or the lens differ from the last successful build. The pool (may be null) shares the work.
    uint32_t Update(const ViewGeometry& view, const LensData& lens, uint32_t width, uint32_t height,
                    CWorkerPool* pool);
    // Builds unconditionally.
    uint32_t Build(const ViewGeometry& view, const LensData& lens, uint32_t width, uint32_t height,
                   CWorkerPool* pool);
    void Clear();

    uint32_t Width() const { return m_width; }
    uint32_t Height() const { return m_height; }
    uint32_t LensWidth() const { return m_lensWidth; }
    uint32_t LensHeight() const { return m_lensHeight; }
    bool Empty() const { return m_width == 0; }
    // Row r of the x and y coordinates (kNothingDrawn in x where nothing is drawn). A drawn
    // coordinate lies in [0, (lens side - 1) * 256 - 1], so a pixel and its right and lower
    // neighbours always exist.
    const int32_t* RowX(uint32_t r) const { return m_x.data() + static_cast<size_t>(r) * m_width; }
    const int32_t* RowY(uint32_t r) const { return m_y.data() + static_cast<size_t>(r) * m_width; }
    // How many pixels the last build computed exactly, and how many builds there were.
    uint64_t ExactPixels() const { return m_exactPixels; }
    uint64_t Builds() const { return m_builds; }

private:
    std::vector<int32_t> m_x, m_y;
    uint32_t m_width = 0, m_height = 0;
    uint32_t m_lensWidth = 0, m_lensHeight = 0;
    ViewGeometry m_view;  // with the lens matrix: the key of the table with the sizes
    bool m_valid = false;
    uint64_t m_exactPixels = 0;
    uint64_t m_builds = 0;
};

}  // namespace DEWARP
