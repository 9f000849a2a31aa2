#pragma once
// The renderer behind a player port: one interface, one implementation per renderer.
//
//   renderer_gl.cpp        the OpenGL panorama renderer (the only caller of its entry functions)
//   renderer_soft.cpp      the software display (the only caller of its entry functions)
//   renderer_external.cpp  the external panorama renderer library (the CGPano table)
//   renderer_none.cpp      what a port without a renderer answers
//
// Each operation answers one host request (or one picture of the engine) as that renderer does,
// so each file reads as one renderer's answers to every request. The port keeps the host's
// region settings and callback pairs; a renderer receives copies of the settings and calls the
// host back through the adapters it installs, which reach the port through IRendererPort.
//
// Threads: host threads call the requests while the port holds the renderer through a use (see
// CPlayer::CRendererUse), so a renderer is never destroyed under a request; the engine's
// threads call the picture operations, and the port stops them before its renderer goes.

#include <quorixsdk.h>

#include <cstdint>
#include <memory>
#include <vector>

#include "media/hplayer.h"

class IPlayerHost;

// The host's settings of one region, as a renderer receives them.
struct PortRegionSettings {
    int32_t left = 0;
    int32_t top = 0;
    int32_t right = 0;
    int32_t bottom = 0;
    uint32_t enabled = 0;
    uint32_t displayType = 0xFFFFFFFFu;  // not set
    bool ptzSet = false;
    float pan = 0.0f;
    float tilt = 0.0f;
    float zoom = 1.0f;
    uint32_t background = 0;

    // Held to the i32 range: a rectangle near the limits must not overflow.
    int32_t Width() const;
    int32_t Height() const;
};

// The port as its renderer sees it. The adapters a renderer installs get the port as their user
// pointer (IRendererPort*), never the renderer: a drawing thread that read an adapter just
// before the renderer went still finds the port.
class IRendererPort {
public:
    virtual uint16_t PortNumber() const = 0;
    // Region `region`'s background colour now (the external renderer reads it at every frame).
    virtual uint32_t RegionBackground(uint16_t region) const = 0;
    // The region record's draw callback, when one is stored.
    virtual void CallDrawCallback(uint16_t region, int32_t drawMode, QUORIX_HDC dc,
                                  const QUORIX_RECT* image, const QUORIX_RECT* rect) = 0;
    virtual bool HasStatusCallback() const = 0;
    virtual void CallStatusCallback(uint32_t status) = 0;
    // The region record's snapshot pair, or the screen-off pair for kPortScreenOffRegion.
    virtual void CallSnapCallback(uint16_t region, uint32_t width, uint32_t stride, uint32_t height,
                                  uint32_t format, const uint8_t* data) = 0;
    // A picture buffer the renderer is done with goes back to the engine that lent it.
    virtual void ReturnPicture(uint8_t* data, uint32_t size) = 0;
    // A picture buffer the renderer copied during the call: the engine takes it back at once.
    virtual void RecyclePicture(uint8_t* data, uint32_t size) = 0;
    virtual IPlayerHost& PlayerHost() = 0;

protected:
    ~IRendererPort() = default;
};

constexpr uint32_t kPortRegionCount = QUORIX_MAX_REGIONS;
constexpr uint16_t kPortScreenOffRegion = 9;  // how the full-resolution capture is reported
constexpr uint32_t kPortSnapTimeoutMs = 500;
constexpr uint32_t kPortSnapFormatBgr = 4;  // packed B, G, R: what capture files hold

// A picture taken for a capture, released the way its renderer hands pictures out.
class CPortPicture {
public:
    CPortPicture() = default;
    ~CPortPicture() { Release(); }
    CPortPicture(const CPortPicture&) = delete;
    CPortPicture& operator=(const CPortPicture&) = delete;
    void Release();

    uint8_t* data = nullptr;
    void (*release)(uint8_t* data) = nullptr;  // null: data points into `heap`
    std::vector<uint8_t> heap;
    uint32_t width = 0, stride = 0, height = 0, format = 0;
};

class IPortRenderer {
public:
    enum class Kind { None, OpenGl, Software, External };

    virtual ~IPortRenderer() = default;
    virtual Kind GetKind() const = 0;

    // ---- life ----
    // Hands the stored settings of every region to the renderer just made.
    virtual void ApplyRegions(const PortRegionSettings (&regions)[kPortRegionCount]) = 0;
    // QUORIX_Play's first start of the renderer on the host's window.
    virtual uint32_t Start(QUORIX_HWND window, QUORIX_HDC dc, bool manual) = 0;
    // Takes the port's adapters off the renderer before it goes.
    virtual void DetachCallbacks() = 0;
    // The calling thread is the renderer's own drawing thread (which cannot join itself).
    virtual bool OnDrawingThread() const = 0;
    // The port keeps the renderer to destroy it later from another thread: it was closed from
    // its own drawing thread (which is asked to end here) or from inside a request that uses it.
    virtual void Retire(bool fromDrawingThread) = 0;

    // ---- regions and views ----
    // The region's rectangle and on/off; on enable the region first receives its background
    // colour and the port's draw adapter.
    virtual uint32_t SetRegion(uint16_t region, const PortRegionSettings& settings) = 0;
    // count: capacity on entry, length of the list on return.
    virtual uint32_t GetDisplayTypeList(uint32_t* types, int32_t* count) = 0;
    virtual uint32_t GetDisplayType(uint16_t region, uint32_t* type) = 0;
    virtual uint32_t SetDisplayType(uint16_t region, uint32_t type) = 0;
    virtual uint32_t GetPtz(uint16_t region, float* pan, float* tilt, float* zoom) = 0;
    virtual uint32_t SetPtz(uint16_t region, float pan, float tilt, float zoom) = 0;
    virtual uint32_t EnableBlankPtz(uint16_t region, bool enable) = 0;
    virtual uint32_t SetFlip(uint16_t region, uint32_t flip) = 0;
    virtual uint32_t SetRatioType(uint16_t region, uint32_t ratioType) = 0;
    // The four arrays hold `count` values (UnProject's were checked by the port).
    virtual uint32_t Project(uint16_t region, const float* x, const float* y, float* outX,
                             float* outY, uint32_t count) = 0;
    virtual uint32_t UnProject(uint16_t region, const float* x, const float* y, float* outX,
                               float* outY, uint32_t count) = 0;
    // The port's status adapter, after the port stored the host's pair.
    virtual uint32_t InstallStatusCallback() = 0;
    // The host's draw callback of `region` changed: a renderer that draws only on change shows
    // the picture again, so the new callback sees it.
    virtual void DrawCallbackChanged(uint16_t /*region*/) {}

    // ---- manual rendering: the host draws on its own GL thread ----
    // 1 can, 0 cannot, -1 not yet (QUORIX_GetManualSupport).
    virtual int32_t ManualSupport() const = 0;
    virtual uint32_t ManualInit(bool createContext) = 0;
    virtual uint32_t ManualRender() = 0;
    virtual uint32_t ManualSwapbuffers() = 0;
    virtual uint32_t ManualUnInit() = 0;

    // ---- captures ----
    // One region's picture as shown, in kPortSnapFormatBgr; blocks up to kPortSnapTimeoutMs.
    virtual uint32_t CaptureRegion(uint32_t region, CPortPicture& picture) = 0;
    // The full-resolution picture, in kPortSnapFormatBgr.
    virtual uint32_t CaptureOriginal(CPortPicture& picture) = 0;
    // Installs (on) or removes the port's snapshot adapter of one region, with the host's
    // format and row alignment; the port stores the host's pair once this succeeds.
    virtual uint32_t SetSnapCallback(uint32_t region, bool on, uint32_t format, uint32_t align) = 0;
    virtual uint32_t SetScreenOffSnapCallback(bool on, float scale, uint32_t format,
                                              uint32_t align) = 0;
    virtual uint32_t SetSnapRect(uint32_t region, float x, float y, float width, float height) = 0;
    virtual uint32_t SetScreenOffSnapRect(float x, float y, float width, float height) = 0;

    // ---- pictures (engine threads); every picture is planar 4:2:0 ----
    // Copied during the call.
    virtual uint32_t InputPicture(uint16_t streamId, uint16_t width, uint16_t height,
                                  const uint8_t* const planes[3], const uint32_t strides[3],
                                  BRIXEL::CHYUVColour colour) = 0;
    // Lent: the renderer hands the buffer back through the port (0 means it took it).
    virtual uint32_t AttachPicture(uint16_t streamId, uint16_t width, uint16_t height,
                                   uint8_t* buffer, uint32_t size, BRIXEL::CHYUVColour colour) = 0;
    // The engine registered its buffer return for a stream (the port already keeps it).
    virtual uint32_t SetPictureRelease(uint16_t streamId, BRIXEL::HRecoveryCallback callback,
                                       void* context) = 0;
};

// What a port's open asks for.
struct PortRendererRequest {
    int32_t model;  // the render model: -1 external, 0 lens from the parameter block, else built in
    bool softwareMode;  // the host's render mode: the software display instead of OpenGL
    const uint8_t* params;
    uint32_t paramsLen;
    IRendererPort& port;
    bool manual = false;  // the port is about to draw in the host's GL context
};

// The renderers a port can make, in the order they are considered: the first that can serve a
// request makes the port's renderer.
struct PortRendererChoice {
    const char* name;
    // The renderer lives in a library of its own, which must stay loaded from the choice on.
    bool usesPanoLibrary;
    bool (*canCreate)(const PortRendererRequest& request);
    uint32_t (*create)(const PortRendererRequest& request, std::unique_ptr<IPortRenderer>& out);
};
bool CanCreateExternalRenderer(const PortRendererRequest& request);
uint32_t CreateExternalRenderer(const PortRendererRequest& request,
                                std::unique_ptr<IPortRenderer>& out);
bool CanCreateSoftRenderer(const PortRendererRequest& request);
uint32_t CreateSoftRenderer(const PortRendererRequest& request,
                            std::unique_ptr<IPortRenderer>& out);
bool CanCreateGlRenderer(const PortRendererRequest& request);
uint32_t CreateGlRenderer(const PortRendererRequest& request, std::unique_ptr<IPortRenderer>& out);
inline constexpr PortRendererChoice kPortRendererChoices[] = {
    {"external", true, &CanCreateExternalRenderer, &CreateExternalRenderer},
    {"software", false, &CanCreateSoftRenderer, &CreateSoftRenderer},
    {"opengl", false, &CanCreateGlRenderer, &CreateGlRenderer},
};

// Whether ports that did not ask for the software display get it all the same, to de-warp on
// the CPU (the machine's OpenGL is only a software rasteriser). Set at each initialisation.
void SetCpuDewarpByDefault(bool on);
bool CpuDewarpByDefault();

// What a port answers without a renderer. A port whose last open chose the software display
// keeps answering as that display does once it is closed (NoSoftRenderer); otherwise as the
// OpenGL renderer does when it does not exist (NoRenderer). Both live for the whole process.
IPortRenderer& NoRenderer();
IPortRenderer& NoSoftRenderer();

// Helpers shared by the renderers' adapters.
// (x, y, width, height) as a rectangle, held to the i32 range.
QUORIX_RECT PortRect(int32_t x, int32_t y, int32_t width, int32_t height);
// The log line of a region handed to a new renderer.
void LogRegionHandOver(uint16_t region, const PortRegionSettings& settings);
