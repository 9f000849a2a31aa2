#pragma once
// A render region: one host rectangle (or the off-screen capture region 9) drawn with its own
// display type and virtual pan/tilt/zoom into a frame buffer of its own, composed with its
// background colour, flip and colour adjustment, and copied into the window. It also serves
// read-backs (one-shot and continuous), the host's draw callback and the conversion of points
// between the view and the source sphere.
//
// One class, implemented by concern: region.cpp (state, view, GL objects, camera and compose
// passes), region_map.cpp (texture-coordinate map), region_readback.cpp (snapshots),
// region_project.cpp (project/unproject) and region_ops.cpp (the renderer-level operations).

#include <array>
#include <atomic>
#include <cstdint>
#include <vector>

#include "base/hevent.h"
#include "base/hlock.h"
#include "panorama/view.h"

namespace SPHERA {

// What a region needs from the renderer that owns it. The renderer implements it; the
// region never reaches further up.
class IRegionHost {
public:
    virtual ~IRegionHost() = default;
    virtual int32_t GetModelType() const = 0;
    // How the lens camera hangs (DEWARP::MOUNT_*, from the model data): ceiling unless told.
    virtual int32_t GetMount() const { return 0; }
    virtual uint32_t GetCameraCount() const = 0;
    // Picture size of one camera (0 x 0 when it does not exist or has no picture).
    virtual void GetCameraImageSize(uint32_t index, uint32_t* width, uint32_t* height) const = 0;
    virtual uint16_t GetStitchedWidth() const = 0;
    virtual float GetStitchedAspect() const = 0;
    virtual int32_t GetMaxTextureSize() const = 0;
    virtual int32_t GetMaxTextureBufferSize() const = 0;
    virtual void GetScreenSize(uint32_t* width, uint32_t* height) const = 0;
    virtual uint32_t GetProgram() const = 0;
    virtual int32_t GetUniform(EUniform u) const = 0;
    // Draws the sphere grid of (columns x rows) cells as triangle strips on attribute 3.
    virtual void DrawGrid(int32_t columns, int32_t rows) = 0;
    // Draws the unit square as one triangle strip on attribute 3.
    virtual void DrawQuad() = 0;
    virtual class CRegion* GetRegion(uint32_t index) const = 0;
    virtual bool IsSnapshotBusy() const = 0;
    virtual void SetSnapshotBusy(bool busy) = 0;
    // Render thread: whether this frame draws a real picture of every source. A frame drawn
    // before the first picture arrived shows only empty textures and serves no one-shot read-back.
    virtual bool HasPicture() const { return true; }
    // Any thread: something the next frame shows has changed. A renderer that draws only on
    // change draws again; one that draws all the time may ignore it.
    virtual void Invalidate() {}
};

using DrawCallback = void (*)(uint16_t index, int32_t imageX, int32_t imageY, int32_t imageWidth,
                              int32_t imageHeight, int32_t rectX, int32_t rectY, int32_t rectWidth,
                              int32_t rectHeight, void* user);
using SnapCallback = void (*)(uint16_t index, uint32_t width, uint32_t stride, uint32_t height,
                              uint32_t formatCode, const uint8_t* data, void* user);

// What a region's texture-coordinate map depends on (view, target, mesh, lens), compared
// bitwise: any change at all rebuilds the map.
struct RemapKey {
    std::array<uint32_t, 80> words{};
    uint32_t used = 0;
    void Add(float v);
    void Add(int32_t v);
    bool operator==(const RemapKey& other) const {
        return used == other.used && words == other.words;
    }
};

// What a one-shot read-back is taken in, apart from the settings of the region's continuous
// snapshot callback. Zeros stand for the region's own settings.
struct SnapRequest {
    uint32_t formatCode = 0;  // 1 RGBA, 2 RGB, 3 BGRA, 4 BGR
    uint32_t align = 0;       // row alignment: 1, 2, 4 or 8
    float scale = 0.0f;       // region 9's render-target size factor
};

constexpr uint32_t kRegionCount = 10;
constexpr uint32_t kScreenOffRegion = 9;
constexpr uint32_t kProjectTimeoutMs = 500;

class CRegion {
public:
    CRegion(uint32_t index, IRegionHost* owner);
    virtual ~CRegion();
    CRegion(const CRegion&) = delete;
    CRegion& operator=(const CRegion&) = delete;

    uint32_t GetIndex() const { return m_index; }

    // ---- host-side state (any thread) ----
    void Enable();
    void Enable(int32_t x, int32_t y, int32_t width, int32_t height);
    void Disable();
    bool IsEnabled();
    void SetDisplayType(int32_t type);
    int32_t GetDisplayType();
    void SetPtz(float pan, float tilt, float zoom);
    void GetPtz(float* pan, float* tilt, float* zoom);
    void SetRatioType(uint32_t ratioType);
    void SetFlip(uint32_t flip);
    void SetColorAdjust(float brightness, float saturation, float contrast);
    void SetBackgroundColor(uint32_t colour);
    void EnableBlankPtz(bool enable);
    void SetDrawCallback(DrawCallback callback, void* user);
    void SetSnapCallback(SnapCallback callback, void* user);
    bool HasSnapCallback();
    void SetSnapRect(float x, float y, float width, float height);
    uint32_t SetSnapFormat(uint32_t code);
    uint32_t SetSnapAlign(uint32_t align);
    void SetSnapScale(float factor);
    float GetSnapScale() const { return m_sizeFactor; }
    // A one-shot read-back or a project/unproject waits for the next frame drawn.
    bool HasPendingRequest();

    // One-shot read-back of the next frame drawn with a picture, in the request's settings (the
    // continuous callback's stay as they are). The data is released with FreeSnapData.
    uint32_t Snap(uint32_t timeoutMs, uint32_t* width, uint32_t* stride, uint32_t* height,
                  uint32_t* format, uint8_t** data, const SnapRequest& request = {});
    // Project (inverse false: source to screen) or unproject (inverse true) `count` points.
    uint32_t Project(uint32_t timeoutMs, const float* xs, const float* ys, float* outXs,
                     float* outYs, uint32_t count, bool inverse);

    // ---- render thread (GL context current) ----
    void CreateGL();
    void DeleteGL();
    bool GetView(RegionView& view);
    void ComputeView(RegionView& view);
    void RenderBegin(RegionView& view);
    void RenderCamera(RegionView& view);
    void RenderEnd(RegionView& view);
    // The view uniforms of the camera pass, for the program current now.
    void SetViewUniforms(const RegionView& view);

    // The texture-coordinate map of the camera pass. BeginRemap binds the map's target (false
    // when it cannot be made; the region then draws directly from then on); the camera pass
    // drawn next with the map program fills it; EndRemap records what it was made for and
    // returns to the region's own frame buffer. DrawThroughRemap draws the camera pass with the
    // program current now from the map (sampler and view-size uniform locations given).
    bool IsRemapCurrent(const RemapKey& key) const;
    bool BeginRemap(const RegionView& view);
    // The drawn rectangle of the map just drawn (the whole target when it cannot be read).
    void FindRemapBox();
    void EndRemap(const RemapKey& key);
    void DrawThroughRemap(const RegionView& view, int32_t mapLocation, int32_t sizeLocation,
                          int32_t originLocation);
    // How often the map was built since the region's GL objects were made.
    uint32_t GetRemapBuilds() const { return m_remapBuilds.load(); }

    // Region 9's lock for the off-screen snapshot set-up.
    BRIXEL::CHLock& SnapLock() { return m_snapLock; }

private:
    // Host threads, after a change of what the region shows.
    void Changed() {
        if (m_owner != nullptr)
            m_owner->Invalidate();
    }
    // Stores a view without announcing it: the render thread's own clamp of the frame it is
    // drawing changes nothing shown.
    void StorePtz(float pan, float tilt, float zoom);
    void ResizeTargets(uint32_t width, uint32_t height);
    // Viewport and scissor of the region's rectangle in the window.
    void BindWindowRect(const RegionView& view);
    // Back from the map's target to where this frame's camera pass draws.
    void ReturnFromRemap();
    void OnProject(const RegionView& view);
    // Render thread, as the frame's view is laid out: settles what the frame's read-back serves
    // and answers the size factor to draw region 9 at.
    float FrameSizeFactor();
    void OnSnap(int32_t x, int32_t y, int32_t width, int32_t height, bool fromFrameBuffer);
    // One read-back in the given format and alignment, handed to the callback and/or the
    // pending one-shot request.
    void ReadBack(int32_t x, int32_t y, int32_t width, int32_t height, bool fromFrameBuffer,
                  uint32_t code, uint32_t align, bool toCallback, bool toRequest);
    bool UseComposeProgram(const RegionView& view);
    void ComposePass(const RegionView& view);

    const uint32_t m_index;
    IRegionHost* const m_owner;

    BRIXEL::CHLock m_stateLock;
    // Guarded by m_stateLock:
    bool m_enabled = false;
    int32_t m_displayType = -1;
    uint32_t m_ratioType = 1;
    uint32_t m_flip = 0;
    float m_brightness = 1.0f, m_saturation = 1.0f, m_contrast = 1.0f;
    int32_t m_x = 0, m_y = 0, m_width = 0, m_height = 0;
    float m_pan = 0.0f, m_tilt = 0.0f, m_zoom = 1.0f;
    uint64_t m_viewSerial = 0;  // views handed to frames so far
    // Written by host threads without a lock, read once per frame by the render thread.
    std::atomic<bool> m_blankPtz{false};

    // Render thread only:
    uint32_t m_targetWidth = 0, m_targetHeight = 0;
    uint32_t m_depthBuffer = 0;
    uint32_t m_colourTexture[2] = {0, 0};
    std::atomic<uint32_t> m_current{0};  // also reset by Disable on a host thread
    uint32_t m_frameBuffer = 0;

    std::atomic<uint32_t> m_backgroundColour{0};  // 0x00BBGGRR, no lock

    BRIXEL::CHLock m_callbackLock;
    // Guarded by m_callbackLock:
    DrawCallback m_drawCallback = nullptr;
    void* m_drawUser = nullptr;

    BRIXEL::CHLock m_snapLock;
    // Guarded by m_snapLock:
    SnapCallback m_snapCallback = nullptr;
    void* m_snapUser = nullptr;
    BRIXEL::CHEvent m_snapDone{true, false, false};
    bool m_snapPending = false;
    bool m_snapReady = false;    // m_snapData and sizes belong to the pending request
    uint32_t m_snapWaiters = 0;  // Snap calls waiting for a frame
    // malloc'd by the render thread under m_snapLock; owned by the region until a waiting Snap
    // takes it (the caller then frees it with FreeSnapData), freed by the region otherwise.
    uint8_t* m_snapData = nullptr;
    uint32_t m_snapWidth = 0, m_snapStride = 0, m_snapHeight = 0, m_snapFormat = 0;
    int32_t m_snapResult = -1;
    SnapRequest m_snapRequest;  // the settings of the pending one-shot read-back
    // Taken when the frame's view is computed (render thread): whether the frame serves the
    // pending one-shot request, in which settings, and whether it was drawn at a size factor
    // other than the callback's (the callback then sits that frame out).
    bool m_frameServesRequest = false;
    bool m_frameSkipsCallback = false;
    SnapRequest m_frameRequest;

    // Snapshot settings: stored without a lock, read by the render thread per read-back.
    std::atomic<float> m_sizeFactor{1.0f};
    std::atomic<uint32_t> m_snapFormatCode{3};
    std::atomic<uint32_t> m_snapAlign{4};
    std::atomic<float> m_snapRect[4] = {0.0f, 0.0f, 1.0f, 1.0f};

    BRIXEL::CHLock m_projectLock;
    // Guarded by m_projectLock:
    BRIXEL::CHEvent m_projectDone{true, false, false};
    bool m_projectPending = false;
    bool m_projectInverse = false;
    // A frame whose view was taken before the request (before the host's latest settings)
    // leaves the request to the next one.
    uint64_t m_projectAfterView = 0;
    std::vector<float> m_xs, m_ys;

    // Render thread only:
    uint64_t m_drawnViewSerial = 0;  // the serial of the view the current frame draws
    uint32_t m_packBuffer = 0;
    uint32_t m_packBufferSize = 0;
    // The compose pass's own small program (0 until first use; ~0u when it cannot be built,
    // the renderer's program then composes).
    uint32_t m_composeProgram = 0;
    int32_t m_composeUniforms[6] = {-1, -1, -1, -1, -1, -1};
    // This frame's camera pass was cleared to the background colour and needs no compose pass.
    bool m_composeSkipped = false;
    // Render thread only: the texture-coordinate map (RGBA float: s, t, depth, drawn), its frame
    // buffer and what it was built for.
    uint32_t m_remapTexture = 0, m_remapFrameBuffer = 0;
    uint32_t m_remapWidth = 0, m_remapHeight = 0;
    bool m_remapValid = false;
    bool m_remapBroken = false;
    RemapKey m_remapKey;
    RegionView m_remapWindowView;
    // Render thread only: the smallest rectangle of the map's target holding every pixel the
    // camera pass drew (x0, y0 inclusive, x1, y1 exclusive, rows from the bottom). A software
    // rasteriser shades the fragments it discards nearly at full cost, so the quad that reads
    // the map is scissored to it.
    int32_t m_remapBox[4] = {0, 0, 0, 0};
    // Render thread only: this frame's camera pass draws straight into the window rectangle.
    bool m_drawToWindow = false;
    std::atomic<uint32_t> m_remapBuilds{0};
};

// Tests and benchmarks: every region draws into its own frame buffer and is copied into the
// window, also where it could draw into the window straight away.
void ForceRegionFrameBuffer(bool force);

// ---- renderer-level operations on regions (regions 0-8 for the host) ----
uint32_t GetDisplayTypeList(IRegionHost* render, int32_t* types, uint32_t* count);
uint32_t EnableRegion(IRegionHost* render, uint32_t region, int32_t x, int32_t y, int32_t width,
                      int32_t height, bool enable);
uint32_t SetDisplayType(IRegionHost* render, uint32_t region, int32_t type);
uint32_t GetDisplayType(IRegionHost* render, uint32_t region, int32_t* type);
uint32_t SetPtz(IRegionHost* render, uint32_t region, float pan, float tilt, float zoom);
uint32_t GetPtz(IRegionHost* render, uint32_t region, float* pan, float* tilt, float* zoom);
uint32_t SetRatioType(IRegionHost* render, uint32_t region, uint32_t ratioType);
uint32_t SetFlip(IRegionHost* render, uint32_t region, uint32_t flip);
uint32_t SetBackgroundColor(IRegionHost* render, uint32_t region, uint32_t colour);
uint32_t EnableBlankPtz(IRegionHost* render, uint32_t region, bool enable);
uint32_t SetDrawCallback(IRegionHost* render, uint32_t region, DrawCallback callback, void* user);
uint32_t SetSnapCallback(IRegionHost* render, uint32_t region, SnapCallback callback, void* user);
uint32_t SetSnapRect(IRegionHost* render, uint32_t region, float x, float y, float width,
                     float height);
uint32_t SetSnapFormat(IRegionHost* render, uint32_t region, uint32_t format, uint32_t align);
uint32_t Snap(IRegionHost* render, uint32_t region, uint32_t timeoutMs, uint32_t* width,
              uint32_t* stride, uint32_t* height, uint32_t* format, uint8_t** data,
              const SnapRequest& request = {});
uint32_t ScreenOffSnap(IRegionHost* render, uint32_t timeoutMs, uint32_t* width, uint32_t* stride,
                       uint32_t* height, uint32_t* format, uint8_t** data,
                       const SnapRequest& request = {});
uint32_t SetScreenOffSnapCallback(IRegionHost* render, SnapCallback callback, void* user);
uint32_t SetScreenOffSnapRect(IRegionHost* render, float x, float y, float width, float height);
uint32_t SetScreenOffSnapFormat(IRegionHost* render, float sizeFactor, uint32_t format,
                                uint32_t align);
void FreeSnapData(uint8_t* data);
uint32_t Project(IRegionHost* render, uint32_t region, const float* xs, const float* ys,
                 float* outXs, float* outYs, uint32_t count);
uint32_t UnProject(IRegionHost* render, uint32_t region, const float* xs, const float* ys,
                   float* outXs, float* outYs, uint32_t count);

}  // namespace SPHERA
