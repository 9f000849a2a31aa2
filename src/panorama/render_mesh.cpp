// The renderer's vertex buffers: the unit square and the sphere grids, of which a few of
// different densities are kept, the least recently used making room for a new one.

#include <GL/glew.h>

#include <cstddef>
#include <new>
#include <vector>

#include "panorama/gl_util.h"
#include "panorama/render.h"

namespace SPHERA {

namespace {

constexpr size_t kGridCacheSize = 4;
// Vertex bytes the kept grids may hold together; the densest grid alone is about 144 MB.
constexpr uint64_t kGridCacheBytes = 320ull << 20;
// Beyond the densest grid regions ask for; keeps a bad request from allocating without bound.
constexpr int32_t kMaxGridSide = 4096;

}  // namespace

CRender::Grid* CRender::CreateSphereVertBuffer(int32_t columns, int32_t rows) {
    // The least recently used grids make room for the new one.
    auto bytesOf = [](int64_t c, int64_t r) {
        return static_cast<uint64_t>((c + 1) * r * 2 * 3) * sizeof(float);
    };
    uint64_t kept = 0;
    for (const Grid& g : m_grids)
        kept += bytesOf(g.columns, g.rows);
    while (!m_grids.empty() &&
           (m_grids.size() >= kGridCacheSize || kept + bytesOf(columns, rows) > kGridCacheBytes)) {
        size_t oldest = 0;
        for (size_t i = 1; i < m_grids.size(); ++i) {
            if (m_grids[i].lastUse < m_grids[oldest].lastUse)
                oldest = i;
        }
        if (m_grids[oldest].buffer != 0)
            glDeleteBuffers(1, &m_grids[oldest].buffer);
        kept -= bytesOf(m_grids[oldest].columns, m_grids[oldest].rows);
        m_grids.erase(m_grids.begin() + static_cast<std::ptrdiff_t>(oldest));
    }
    Grid grid;
    grid.columns = columns;
    grid.rows = rows;
    try {
        std::vector<float> vertices;
        vertices.reserve(static_cast<size_t>(columns + 1) * rows * 2 * 3);
        // u and v run in double precision so that the last column and row land on 1.0.
        const double du = 1.0 / columns, dv = 1.0 / rows;
        double v = 0.0;
        for (int32_t r = 0; r < rows; ++r, v += dv) {
            double u = 0.0;
            for (int32_t c = 0; c <= columns; ++c, u += du) {
                vertices.insert(vertices.end(),
                                {static_cast<float>(u), static_cast<float>(v + dv), 1.0f});
                vertices.insert(vertices.end(),
                                {static_cast<float>(u), static_cast<float>(v), 1.0f});
            }
        }
        grid.first.resize(static_cast<size_t>(rows));
        grid.count.resize(static_cast<size_t>(rows));
        for (int32_t r = 0; r < rows; ++r) {
            grid.first[static_cast<size_t>(r)] = (columns + 1) * r * 2;
            grid.count[static_cast<size_t>(r)] = columns * 2 + 2;
        }
        glGenBuffers(1, &grid.buffer);
        glBindBuffer(GL_ARRAY_BUFFER, grid.buffer);
        glBufferData(GL_ARRAY_BUFFER, static_cast<GLsizeiptr>(vertices.size() * sizeof(float)),
                     vertices.data(), GL_STATIC_DRAW);
        glBindBuffer(GL_ARRAY_BUFFER, 0);
        LogGlError("SPHERA::CRender::CreateSphereVertBuffer");
        m_grids.push_back(std::move(grid));
    } catch (const std::bad_alloc&) {
        if (grid.buffer != 0)
            glDeleteBuffers(1, &grid.buffer);
        return nullptr;
    }
    return &m_grids.back();
}

void CRender::DeleteGrids() {
    for (Grid& grid : m_grids) {
        if (grid.buffer != 0)
            glDeleteBuffers(1, &grid.buffer);
    }
    m_grids.clear();
}

uint32_t CRender::GetGridBuffer(int32_t columns, int32_t rows) const {
    for (const Grid& g : m_grids) {
        if (g.columns == columns && g.rows == rows)
            return g.buffer;
    }
    return 0;
}

void CRender::DrawGrid(int32_t columns, int32_t rows) {
    if (columns <= 0 || rows <= 0 || columns > kMaxGridSide || rows > kMaxGridSide)
        return;
    Grid* grid = nullptr;
    for (Grid& g : m_grids) {
        if (g.columns == columns && g.rows == rows)
            grid = &g;
    }
    if (grid == nullptr)
        grid = CreateSphereVertBuffer(columns, rows);
    if (grid == nullptr)
        return;
    grid->lastUse = ++m_gridUse;
    glBindBuffer(GL_ARRAY_BUFFER, grid->buffer);
    glVertexAttribPointer(kVertexAttribute, 3, GL_FLOAT, GL_FALSE, 0, nullptr);
    glEnableVertexAttribArray(kVertexAttribute);
    glMultiDrawArrays(GL_TRIANGLE_STRIP, grid->first.data(), grid->count.data(), rows);
    glBindBuffer(GL_ARRAY_BUFFER, 0);
}

void CRender::DrawQuad() {
    glBindBuffer(GL_ARRAY_BUFFER, m_quadBuffer);
    glVertexAttribPointer(kVertexAttribute, 2, GL_FLOAT, GL_FALSE, 0, nullptr);
    glEnableVertexAttribArray(kVertexAttribute);
    glDrawArrays(GL_TRIANGLE_STRIP, 0, 4);
    glBindBuffer(GL_ARRAY_BUFFER, 0);
}

}  // namespace SPHERA
