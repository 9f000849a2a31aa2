#pragma once
// The OpenGL renderer of one player port. It owns the rendering context, the shader program,
// the vertex buffers, ten regions (0-8 on screen, 9 the off-screen capture region) and the
// video sources. It renders either on its own thread ("CRender_%x": wait at most 40 ms for the
// next frame or change, then render and swap only when something shown has changed) or on the
// host's GL thread through the manual operations, where the host decides when to draw.

#include <array>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "base/hevent.h"
#include "base/hlock.h"
#include "base/hthread.h"
#include "panorama/camera.h"
#include "panorama/hglx.h"
#include "panorama/modeldata.h"
#include "panorama/region.h"
#include "panorama/view.h"

namespace SPHERA {

// status 1: GL objects ready; 0: GL objects about to be released. Runs on the GL thread.
using RenderStatusCallback = void (*)(uint32_t status, void* user);

class CRender : public BRIXEL::CHThread, public IRegionHost {
public:
    CRender();
    ~CRender() override;

    // 0x80008015 before GlobalInit. A non-zero model type makes one default source; model type
    // 0 reads the model-data block.
    uint32_t SetModel(int32_t modelType, const uint8_t* block, uint32_t size);
    // window: X11 window id or 0; dc: the host's Display* or null.
    uint32_t Init(uintptr_t window, void* dc, bool threadMode);
    void UnInit();

    uint32_t InitContext(bool createContext);
    uint32_t InitGL();
    uint32_t Render();
    void Swap();
    void UnInitGL();

    bool IsThreadMode() const { return m_threadMode; }
    bool IsStarted() const { return m_started; }
    bool IsGlReady() const { return m_glReady; }
    void SetStatusCallback(RenderStatusCallback callback, void* user);
    CCamera* GetCamera(uint32_t index) const;
    const ModelDataHeader& GetModelData() const { return m_modelData; }
    CHGlx& Glx() { return m_glx; }

    // ---- IRegionHost ----
    int32_t GetModelType() const override;
    int32_t GetMount() const override;
    uint32_t GetCameraCount() const override;
    void GetCameraImageSize(uint32_t index, uint32_t* width, uint32_t* height) const override;
    uint16_t GetStitchedWidth() const override;
    float GetStitchedAspect() const override;
    int32_t GetMaxTextureSize() const override { return m_maxTextureSize; }
    int32_t GetMaxTextureBufferSize() const override { return m_maxTextureBufferSize; }
    void GetScreenSize(uint32_t* width, uint32_t* height) const override;
    uint32_t GetProgram() const override;
    int32_t GetUniform(EUniform u) const override;
    void DrawGrid(int32_t columns, int32_t rows) override;
    void DrawQuad() override;
    CRegion* GetRegion(uint32_t index) const override;
    bool IsSnapshotBusy() const override { return m_snapshotBusy.load(); }
    void SetSnapshotBusy(bool busy) override { m_snapshotBusy.store(busy); }
    bool HasPicture() const override { return m_hasPicture; }
    void Invalidate() override;

    // Tests and benchmarks: frames drawn and passes of the render thread's loop so far, and a
    // wait until the loop has made `passes` more passes (false on time-out).
    uint64_t GetDrawnFrames() const { return m_drawnFrames.load(); }
    uint64_t GetLoopPasses();
    bool WaitLoopPasses(uint64_t passes, uint32_t timeoutMs);

    // The GL buffer of a kept grid (0 when that grid is not built) and how many grids are kept.
    uint32_t GetGridBuffer(int32_t columns, int32_t rows) const;
    uint32_t GetGridCount() const { return static_cast<uint32_t>(m_grids.size()); }

    // Logs the pending GL error, if any, as its text at level 10 under the renderer's source.
    static void LogGlError(const char* function);
    static const char* GlErrorText(uint32_t error);

protected:
    uint32_t OnThreadLoop(uint64_t param) override;
    uint32_t OnThreadStart(uint64_t param) override;
    void OnThreadEnd(uint64_t param, uint32_t exitCode) override;

private:
    struct Grid {
        int32_t columns = -1, rows = 0;
        uint32_t buffer = 0;
        std::vector<int32_t> first, count;  // start vertex and vertex count of each strip
        uint64_t lastUse = 0;
    };

    // A camera-pass program with the model, display type and picture format compiled in: a
    // software rasteriser runs every branch a uniform chooses between, so the branches that
    // cannot be taken are removed at compile time instead.
    struct Variant {
        int32_t model = 0, display = 0, format = -1;  // format -1: chosen by the uniform
        int32_t pass = kPassCamera;
        uint32_t program = 0;  // 0: failed to build; the default is used
        int32_t uniforms[U_COUNT];
    };

    // The camera pass drawn directly, its texture-coordinate map, and the picture drawn through
    // that map.
    static constexpr int32_t kPassCamera = 0, kPassMap = 1, kPassApply = 2;

    uint32_t LoadShaders(const std::string& vertexSource, const std::string& fragmentSource);
    void ReleaseShaders();
    // Makes the program for a region's camera pass (or one of the map passes) current and gives
    // it the per-frame uniforms. False when that pass has no program of its own.
    bool SelectProgram(int32_t displayType, int32_t pass = kPassCamera);
    // The camera pass of a region with one source through its cached texture-coordinate map,
    // rebuilt when the view has changed. False when the map cannot serve; nothing was drawn then.
    bool RenderCameraThroughMap(CRegion* region, RegionView& view);
    void SetCalibrationUniforms(const CCamera& camera);
    uint32_t BuildVariant(Variant& variant);
    // Render thread: whether anything shown has changed since the last frame drawn (or a
    // request waits for a frame, or the window may need its picture back).
    bool NeedsFrame();
    const int32_t* ActiveUniforms() const;
    Grid* CreateSphereVertBuffer(int32_t columns, int32_t rows);
    void DeleteGrids();

    std::atomic<bool> m_bThreadDone{false};
    void* m_dc = nullptr;
    uintptr_t m_window = 0;
    std::array<std::unique_ptr<CRegion>, kRegionCount> m_regions;
    // GL thread only:
    uint32_t m_program = 0, m_vertexShader = 0, m_fragmentShader = 0;
    CHGlx m_glx;
    int32_t m_maxTextureBufferSize = 0, m_maxFramebufferWidth = 0, m_maxFramebufferHeight = 0;
    int32_t m_maxTextureSize = 0;
    uint32_t m_screenWidth = 0, m_screenHeight = 0;  // read when the context is made

    BRIXEL::CHLock m_statusLock;  // guards the status callback pair
    RenderStatusCallback m_statusCallback = nullptr;
    void* m_statusUser = nullptr;

    // GL thread only: the unit square and a few sphere grids (regions of different sizes ask
    // for different densities; each is built once and kept).
    uint32_t m_quadBuffer = 0;
    std::vector<Grid> m_grids;
    uint64_t m_gridUse = 0;

    ModelDataHeader m_modelData;
    // The sources are made by SetModel before the renderer starts and live until destruction;
    // each guards its own frame state.
    std::vector<std::unique_ptr<CCamera>> m_cameras;
    int32_t m_uniforms[U_COUNT];
    // GL thread only: the shader text the variants are built from, the variants built so far
    // and the one in use (-1: the default program).
    std::string m_vertSource, m_fragSource;
    std::vector<Variant> m_variants;
    int32_t m_activeVariant = -1;

    std::atomic<bool> m_snapshotBusy{false};
    bool m_threadMode = true;
    std::atomic<bool> m_started{false};
    bool m_contextReady = false;  // GL thread: InitContext made a context current
    bool m_glReady = false;       // GL thread
    bool m_frameDrawn = false;    // GL thread
    bool m_hasPicture = false;    // GL thread: every source has a picture in its textures
    // Counts every change of what is shown; the render thread draws when it differs from the
    // count it last drew.
    std::atomic<uint64_t> m_generation{1};
    uint64_t m_drawnGeneration = 0;  // render thread
    uint32_t m_idlePasses = 0;       // render thread: passes since the last frame drawn
    uint32_t m_surfaceWidth = 0, m_surfaceHeight = 0;  // render thread: as last drawn
    std::atomic<uint64_t> m_drawnFrames{0};
    std::mutex m_passMutex;
    std::condition_variable m_passDone;
    uint64_t m_passes = 0;  // guarded by m_passMutex
    // Auto-reset and set (not pulsed) for every frame: a frame that arrives while the thread is
    // drawing is drawn right after, instead of after the next 40 ms wait.
    BRIXEL::CHEvent m_newFrameEvent{true, false, false};
};

// ---- process-wide ----
// Takes the embedded shader text; 0 (also when already done).
uint32_t GlobalInit();
void GlobalUnInit();
// Replaces the process-wide shader text (another shader variant, or a broken one in tests).
void SetShaderSources(const char* vertexSource, const char* fragmentSource);
// Benchmarks and the tests that compare the two paths draw every camera pass directly.
void ForceDirectCameraPass(bool force);
// Benchmarks: the render thread draws at every pass, changed or not, as it used to.
void DrawEveryPass(bool every);
// OpenGL capability probe: a temporary context on (window, dc) that compiles both shaders.
bool CheckSupport(uintptr_t window, void* dc);

// ---- the renderer operations of the player port ----
uint32_t CreateRender(int32_t modelType, const uint8_t* block, uint32_t size, CRender** out);
void DestroyRender(CRender* render);
uint32_t Init(CRender* render, uintptr_t window, void* dc, bool threadMode);
uint32_t UnInit(CRender* render);
uint32_t ManualInit(CRender* render, bool createContext);
uint32_t ManualRender(CRender* render);
uint32_t ManualSwapbuffers(CRender* render);
uint32_t ManualUnInit(CRender* render);
uint32_t SetStatusCallback(CRender* render, RenderStatusCallback callback, void* user);
// colour: matrix and range of a type-20 frame (see CCamera).
uint32_t InputFrame(CRender* render, uint32_t camera, uint32_t width, uint32_t height,
                    uint32_t type, const uint8_t* const* planes, const uint32_t* strides,
                    BRIXEL::CHYUVColour colour = BRIXEL::HYUV_BT601_LIMITED);
uint32_t AttachFrame(CRender* render, uint32_t camera, uint32_t width, uint32_t height,
                     uint32_t type, uint8_t* data, uint32_t size,
                     BRIXEL::CHYUVColour colour = BRIXEL::HYUV_BT601_LIMITED);
uint32_t SetReleaseCallback(CRender* render, uint32_t camera, ReleaseCallback callback, void* user);

}  // namespace SPHERA
