#include "dewarp/remap.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <new>

#include <quorixsdk_codes.h>
#include "dewarp/pool.h"

namespace DEWARP {

namespace {

constexpr uint32_t kCell = 16;
constexpr uint32_t kHalf = kCell / 2;
// Cells are split down to this size before they are computed pixel by pixel.
constexpr uint32_t kSmallest = 4;
// Largest difference between the exact position and the corners' interpolation at a check
// point, in lens pixels, for a cell to be interpolated.
constexpr double kTolerance = 0.1;

struct Sample {
    bool drawn = false;
    double x = 0.0, y = 0.0;  // lens pixels
};

bool SameView(const ViewGeometry& a, const ViewGeometry& b) {
    bool same = a.model == b.model && a.display == b.display && a.flip == b.flip &&
                a.videoAspect == b.videoAspect && a.rectAspect == b.rectAspect &&
                a.adaptMode == b.adaptMode && a.p00 == b.p00 && a.p11 == b.p11 && a.pan == b.pan &&
                a.tilt == b.tilt && a.zoom == b.zoom && a.panUniform == b.panUniform &&
                a.panShift == b.panShift && a.tiltShift == b.tiltShift;
    for (int i = 0; i < 9 && same; ++i)
        same = a.K[i] == b.K[i];
    return same;
}

// Builder state shared by the slices of one build.
struct Builder {
    const ViewGeometry* view;
    uint32_t width, height, lensW, lensH;
    uint32_t cellsX, cellsY;   // 16-pixel cells
    uint32_t halfW;            // half-grid nodes per row: 2 cellsX + 1
    std::vector<Sample> half;  // geometry every 8 pixels, nodes beyond the view included
    int32_t maxX, maxY;        // largest drawn coordinate, 1/256 pixels
    int32_t* outX;
    int32_t* outY;

    Sample Eval(double x, double y) const {
        Sample s;
        s.drawn = SourceAtPixel(*view, width, height, x, y, lensW, lensH, &s.x, &s.y);
        return s;
    }
    const Sample& Half(uint32_t i, uint32_t j) const {
        return half[static_cast<size_t>(j) * halfW + i];
    }

    void Store(uint32_t px, uint32_t py, int32_t fx, int32_t fy) const {
        const size_t at = static_cast<size_t>(py) * width + px;
        outX[at] = std::clamp(fx, 0, maxX);
        outY[at] = std::clamp(fy, 0, maxY);
    }
    void StoreNothing(uint32_t px, uint32_t py) const {
        const size_t at = static_cast<size_t>(py) * width + px;
        outX[at] = kNothingDrawn;
        outY[at] = 0;
    }
    // A position far outside the picture ends at its edge anyway; keeping it within 2^22 table
    // units lets a cell's interpolation run in 32-bit integers (2^22 * 16 * 16 < 2^31).
    static int32_t Fixed(double v) {
        constexpr double kLimit = 4194304.0 / kCoordOne;
        return static_cast<int32_t>(std::lround(std::clamp(v, -kLimit, kLimit) * kCoordOne));
    }

    // The cell of `size` pixels with its top-left corner at (x0, y0): its four corners and five
    // check points. Returns 1 when interpolated, 0 when nothing is drawn in it, -1 to refine.
    int TryCell(uint32_t x0, uint32_t y0, uint32_t size, const Sample c[4],
                const Sample k[5]) const {
        int drawn = 0;
        for (int i = 0; i < 4; ++i)
            drawn += c[i].drawn ? 1 : 0;
        for (int i = 0; i < 5; ++i)
            drawn += k[i].drawn ? 1 : 0;
        if (drawn == 0) {
            FillNothing(x0, y0, size);
            return 0;
        }
        if (drawn != 9)
            return -1;
        // Check points at (1/2, 0), (0, 1/2), (1/2, 1/2), (1, 1/2), (1/2, 1) of the cell.
        static const double kAt[5][2] = {{0.5, 0}, {0, 0.5}, {0.5, 0.5}, {1, 0.5}, {0.5, 1}};
        for (int i = 0; i < 5; ++i) {
            const double a = kAt[i][0], b = kAt[i][1];
            const double ix = (1 - a) * (1 - b) * c[0].x + a * (1 - b) * c[1].x +
                              (1 - a) * b * c[2].x + a * b * c[3].x;
            const double iy = (1 - a) * (1 - b) * c[0].y + a * (1 - b) * c[1].y +
                              (1 - a) * b * c[2].y + a * b * c[3].y;
            if (!(std::fabs(ix - k[i].x) <= kTolerance && std::fabs(iy - k[i].y) <= kTolerance))
                return -1;
        }
        Interpolate(x0, y0, size, c);
        return 1;
    }

    void FillNothing(uint32_t x0, uint32_t y0, uint32_t size) const {
        const uint32_t x1 = std::min(x0 + size, width), y1 = std::min(y0 + size, height);
        for (uint32_t y = y0; y < y1; ++y) {
            const size_t row = static_cast<size_t>(y) * width;
            std::fill(outX + row + x0, outX + row + x1, kNothingDrawn);
            std::fill(outY + row + x0, outY + row + x1, 0);
        }
    }

    // Bilinear interpolation of the corners in integers: size is a power of two (16 down to
    // kSmallest), so the weights divide by a shift.
    void Interpolate(uint32_t x0, uint32_t y0, uint32_t size, const Sample c[4]) const {
        const int shift = size == 16 ? 4 : (size == 8 ? 3 : (size == 4 ? 2 : 1));
        const int32_t fx[4] = {Fixed(c[0].x), Fixed(c[1].x), Fixed(c[2].x), Fixed(c[3].x)};
        const int32_t fy[4] = {Fixed(c[0].y), Fixed(c[1].y), Fixed(c[2].y), Fixed(c[3].y)};
        const uint32_t x1 = std::min(x0 + size, width), y1 = std::min(y0 + size, height);
        const int32_t n = static_cast<int32_t>(size), round = 1 << (2 * shift - 1);
        for (uint32_t y = y0; y < y1; ++y) {
            const int32_t b = static_cast<int32_t>(y - y0);
            // Left and right edges at this row, scaled by size; then size steps across.
            const int32_t lx = fx[0] * (n - b) + fx[2] * b, rx = fx[1] * (n - b) + fx[3] * b;
            const int32_t ly = fy[0] * (n - b) + fy[2] * b, ry = fy[1] * (n - b) + fy[3] * b;
            int32_t ax = lx * n + round, ay = ly * n + round;
            const int32_t dx = rx - lx, dy = ry - ly;
            int32_t* outX = this->outX + static_cast<size_t>(y) * width;
            int32_t* outY = this->outY + static_cast<size_t>(y) * width;
            for (uint32_t x = x0; x < x1; ++x, ax += dx, ay += dy) {
                outX[x] = std::clamp(ax >> (2 * shift), 0, maxX);
                outY[x] = std::clamp(ay >> (2 * shift), 0, maxY);
            }
        }
    }

    void Exact(uint32_t x0, uint32_t y0, uint32_t size) const {
        const uint32_t x1 = std::min(x0 + size, width), y1 = std::min(y0 + size, height);
        for (uint32_t y = y0; y < y1; ++y)
            for (uint32_t x = x0; x < x1; ++x) {
                const Sample s = Eval(x, y);
                if (s.drawn)
                    Store(x, y, Fixed(s.x), Fixed(s.y));
                else
                    StoreNothing(x, y);
            }
    }

    // A cell of `size` pixels with its corners and check points known: interpolated, empty,
    // or split into four down to 4 pixels and then computed exactly. Returns the pixels
    // computed exactly.
    uint64_t Refine(uint32_t x0, uint32_t y0, uint32_t size, const Sample c[4],
                    const Sample k[5]) const {
        if (TryCell(x0, y0, size, c, k) >= 0)
            return 0;
        if (size <= kSmallest) {
            Exact(x0, y0, size);
            return static_cast<uint64_t>(std::min(size, width - x0)) * std::min(size, height - y0);
        }
        const uint32_t half = size / 2;
        const Sample grid[3][3] = {{c[0], k[0], c[1]}, {k[1], k[2], k[3]}, {c[2], k[4], c[3]}};
        uint64_t exact = 0;
        for (uint32_t sj = 0; sj < 2; ++sj)
            for (uint32_t si = 0; si < 2; ++si) {
                const uint32_t sx = x0 + si * half, sy = y0 + sj * half;
                if (sx >= width || sy >= height)
                    continue;
                const Sample sc[4] = {grid[sj][si], grid[sj][si + 1], grid[sj + 1][si],
                                      grid[sj + 1][si + 1]};
                const double q = half / 2.0;
                const Sample sk[5] = {Eval(sx + q, sy), Eval(sx, sy + q), Eval(sx + q, sy + q),
                                      Eval(sx + half, sy + q), Eval(sx + q, sy + half)};
                exact += Refine(sx, sy, half, sc, sk);
            }
        return exact;
    }

    // One 16-pixel cell of the half grid; returns the pixels computed exactly.
    uint64_t Cell(uint32_t ci, uint32_t cj) const {
        const uint32_t hi = 2 * ci, hj = 2 * cj;
        const Sample c[4] = {Half(hi, hj), Half(hi + 2, hj), Half(hi, hj + 2),
                             Half(hi + 2, hj + 2)};
        const Sample k[5] = {Half(hi + 1, hj), Half(hi, hj + 1), Half(hi + 1, hj + 1),
                             Half(hi + 2, hj + 1), Half(hi + 1, hj + 2)};
        const uint32_t x0 = ci * kCell, y0 = cj * kCell;
        if (TryQuadratic(x0, y0, c, k))
            return 0;
        return Refine(x0, y0, kCell, c, k);
    }

    // The cell's nine known points define a biquadratic patch, which follows the gentle
    // curvature of most views across a whole cell where the bilinear one would need 4-pixel
    // cells. Four more exact points, at the quarters, decide whether it holds.
    bool TryQuadratic(uint32_t x0, uint32_t y0, const Sample c[4], const Sample k[5]) const {
        const Sample* p[3][3] = {
            {&c[0], &k[0], &c[1]}, {&k[1], &k[2], &k[3]}, {&c[2], &k[4], &c[3]}};
        for (const auto& row : p)
            for (const Sample* s : row)
                if (!s->drawn)
                    return false;
        // Lagrange weights of the nodes 0, 1/2, 1 at 1/4 and 3/4.
        static const double kW[2][3] = {{0.375, 0.75, -0.125}, {-0.125, 0.75, 0.375}};
        const double q = kCell / 4.0;
        for (int qj = 0; qj < 2; ++qj)
            for (int qi = 0; qi < 2; ++qi) {
                const Sample e = Eval(x0 + q * (1 + 2 * qi), y0 + q * (1 + 2 * qj));
                if (!e.drawn)
                    return false;
                double ix = 0.0, iy = 0.0;
                for (int j = 0; j < 3; ++j)
                    for (int i = 0; i < 3; ++i) {
                        const double w = kW[qi][i] * kW[qj][j];
                        ix += w * p[j][i]->x;
                        iy += w * p[j][i]->y;
                    }
                if (!(std::fabs(ix - e.x) <= kTolerance && std::fabs(iy - e.y) <= kTolerance))
                    return false;
            }
        // f(t) * 256 = f0 * 256 + t * 16 * B + t^2 * C over t = 0..16, with B = -3 f0 + 4 fm - f1
        // and C = 2 f0 - 4 fm + 2 f1: first down the three node columns, then across each row
        // by forward differences, all in integers.
        int64_t fx[3][3], fy[3][3];
        for (int j = 0; j < 3; ++j)
            for (int i = 0; i < 3; ++i) {
                fx[j][i] = Fixed(p[j][i]->x);
                fy[j][i] = Fixed(p[j][i]->y);
            }
        const uint32_t x1 = std::min(x0 + kCell, width), y1 = std::min(y0 + kCell, height);
        for (uint32_t y = y0; y < y1; ++y) {
            const int64_t t = y - y0;
            int64_t gx[3], gy[3];
            for (int i = 0; i < 3; ++i) {
                gx[i] = fx[0][i] * 256 + t * 16 * (-3 * fx[0][i] + 4 * fx[1][i] - fx[2][i]) +
                        t * t * (2 * fx[0][i] - 4 * fx[1][i] + 2 * fx[2][i]);
                gy[i] = fy[0][i] * 256 + t * 16 * (-3 * fy[0][i] + 4 * fy[1][i] - fy[2][i]) +
                        t * t * (2 * fy[0][i] - 4 * fy[1][i] + 2 * fy[2][i]);
            }
            const int64_t bx = -3 * gx[0] + 4 * gx[1] - gx[2],
                          cx = 2 * gx[0] - 4 * gx[1] + 2 * gx[2];
            const int64_t by = -3 * gy[0] + 4 * gy[1] - gy[2],
                          cy = 2 * gy[0] - 4 * gy[1] + 2 * gy[2];
            int64_t vx = gx[0] * 256 + 32768, vy = gy[0] * 256 + 32768;
            int64_t dx = 16 * bx + cx, dy = 16 * by + cy;
            int32_t* outRowX = outX + static_cast<size_t>(y) * width;
            int32_t* outRowY = outY + static_cast<size_t>(y) * width;
            for (uint32_t x = x0; x < x1; ++x) {
                outRowX[x] = static_cast<int32_t>(std::clamp<int64_t>(vx >> 16, 0, maxX));
                outRowY[x] = static_cast<int32_t>(std::clamp<int64_t>(vy >> 16, 0, maxY));
                vx += dx;
                vy += dy;
                dx += 2 * cx;
                dy += 2 * cy;
            }
        }
        return true;
    }
};

}  // namespace

void CRemapTable::Clear() {
    m_x.clear();
    m_y.clear();
    m_width = m_height = 0;
    m_lensWidth = m_lensHeight = 0;
    m_valid = false;
}

uint32_t CRemapTable::Update(const ViewGeometry& view, const LensData& lens, uint32_t width,
                             uint32_t height, CWorkerPool* pool) {
    if (m_valid && width == m_width && height == m_height && lens.width == m_lensWidth &&
        lens.height == m_lensHeight && SameView(view, m_view))
        return QUORIX_OK;
    return Build(view, lens, width, height, pool);
}

uint32_t CRemapTable::Build(const ViewGeometry& view, const LensData& lens, uint32_t width,
                            uint32_t height, CWorkerPool* pool) {
    // The buffers are kept (every entry is written below): a view change costs no allocation.
    m_valid = false;
    m_width = m_height = 0;
    m_lensWidth = m_lensHeight = 0;
    if (width == 0 || height == 0 || width > kMaxViewSide || height > kMaxViewSide ||
        lens.width < kMinLensSide || lens.height < kMinLensSide || lens.width > kMaxLensSide ||
        lens.height > kMaxLensSide || !IsSupported(view.model, view.display)) {
        Clear();
        return QUORIX_E_PARAM;
    }
    const size_t count = static_cast<size_t>(width) * height;
    Builder b;
    b.view = &view;
    b.width = width;
    b.height = height;
    b.lensW = lens.width;
    b.lensH = lens.height;
    b.cellsX = (width + kCell - 1) / kCell;
    b.cellsY = (height + kCell - 1) / kCell;
    b.halfW = 2 * b.cellsX + 1;
    b.maxX = static_cast<int32_t>(lens.width - 1) * kCoordOne - 1;
    b.maxY = static_cast<int32_t>(lens.height - 1) * kCoordOne - 1;
    try {
        m_x.resize(count);
        m_y.resize(count);
        b.half.resize(static_cast<size_t>(b.halfW) * (2 * b.cellsY + 1));
    } catch (const std::bad_alloc&) {
        Clear();
        return QUORIX_E_NO_MEMORY;
    }
    b.outX = m_x.data();
    b.outY = m_y.data();

    // Slices of 4 cell rows: first the half grid, then the cells.
    constexpr uint32_t kRowsPerSlice = 4;
    const uint32_t halfRows = 2 * b.cellsY + 1;
    const uint32_t halfSlices = (halfRows + kRowsPerSlice - 1) / kRowsPerSlice;
    auto halfSlice = [&b, halfRows](uint32_t s) {
        const uint32_t j1 = std::min(halfRows, (s + 1) * kRowsPerSlice);
        for (uint32_t j = s * kRowsPerSlice; j < j1; ++j)
            for (uint32_t i = 0; i < b.halfW; ++i)
                b.half[static_cast<size_t>(j) * b.halfW + i] = b.Eval(i * kHalf, j * kHalf);
    };
    const uint32_t cellSlices = (b.cellsY + kRowsPerSlice - 1) / kRowsPerSlice;
    std::vector<uint64_t> exact(cellSlices, 0);
    auto cellSlice = [&b, &exact](uint32_t s) {
        const uint32_t j1 = std::min(b.cellsY, (s + 1) * kRowsPerSlice);
        for (uint32_t j = s * kRowsPerSlice; j < j1; ++j)
            for (uint32_t i = 0; i < b.cellsX; ++i)
                exact[s] += b.Cell(i, j);
    };
    if (pool != nullptr) {
        pool->Run(halfSlices, halfSlice);
        pool->Run(cellSlices, cellSlice);
    } else {
        for (uint32_t s = 0; s < halfSlices; ++s)
            halfSlice(s);
        for (uint32_t s = 0; s < cellSlices; ++s)
            cellSlice(s);
    }
    m_exactPixels = 0;
    for (uint64_t e : exact)
        m_exactPixels += e;
    m_width = width;
    m_height = height;
    m_lensWidth = lens.width;
    m_lensHeight = lens.height;
    m_view = view;
    m_valid = true;
    ++m_builds;
    return QUORIX_OK;
}

}  // namespace DEWARP
