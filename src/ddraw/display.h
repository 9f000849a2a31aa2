#pragma once
// The software display of a player port: a thread that keeps the latest decoded picture,
// converts it into the format of a DirectDraw surface on every monitor the window touches and
// composes up to nine regions into the window (each with its own fit mode, electronic pan, tilt
// and zoom, background colour and overlay callback). It draws when something shown changed: a
// new picture, a region or view setting, the window's size or place, or an exposure of the
// window; an idle display only looks at its window every 40 ms. It also cuts snapshots from
// the picture it holds, with or without a window.

#include <quorixsdk_codes.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <vector>

#include "base/hbuffer.h"
#include "base/hevent.h"
#include "base/hlock.h"
#include "base/hpixel.h"
#include "base/hthread.h"
#include "ddraw/monitor.h"
#include "platform/soft_ddraw.h"

namespace HDD {

constexpr uint32_t kMaxRegions = 9;
constexpr uint32_t kRedrawIntervalMs = 40;
// Where the window's exposures cannot be watched, an unchanged picture is drawn again after
// this many idle passes (about a second), so that an uncovered window gets it back.
constexpr uint32_t kIdleRedrawPasses = 25;

// Borrowed picture memory is no longer used (memory, capacity in bytes, user). The result is
// not looked at. Called without any lock of the display held: when a drawing still reads the
// picture it replaced, the memory goes back once that drawing ends (on the display thread).
using FrameReleaseCallback = uint32_t (*)(uint8_t* memory, uint32_t capacity, void* user);
// One picture about to be drawn: (width, stride, height, format 20, data, user).
using SnapCallback = void (*)(uint32_t width, uint32_t stride, uint32_t height, uint32_t format,
                              const uint8_t* data, void* user);
// A region's picture is in place on the cache surface: (dc = QUORIX_SURFACE* of the cache
// surface, region, picture rectangle x, y, width, height, region rectangle x, y, width, height,
// user).
using DrawCallback = void (*)(QUORIX_HDC dc, uint32_t region, int32_t imageX, int32_t imageY,
                              int32_t imageWidth, int32_t imageHeight, int32_t regionX,
                              int32_t regionY, int32_t regionWidth, int32_t regionHeight,
                              void* user);
// Internal: one drawing of the pending picture has ended with this result (0: on screen).
using FrameDrawnCallback = void (*)(uint32_t result, void* user);

// The planes of the picture the display holds (planar 4:2:0, chroma at half size).
struct FramePlanes {
    const uint8_t* y = nullptr;
    const uint8_t* u = nullptr;
    const uint8_t* v = nullptr;
    uint32_t strideY = 0, strideUV = 0;
    uint32_t width = 0, height = 0;
    BRIXEL::CHYUVColour colour = BRIXEL::HYUV_BT601_LIMITED;
};
// A region whose owner draws the picture itself instead of the e-PTZ crop (a de-warped view):
// (region, picture, BGRX destination, its row stride in bytes, width, height, image, user); 0
// when it drew every pixel. *image (preset to the whole region) receives the part showing the
// picture, relative to the region, without the bars. Called on the display thread with the
// draw lock held.
using RegionPainter = uint32_t (*)(uint32_t region, const FramePlanes& picture, uint8_t* dst,
                                   uint32_t stride, uint32_t width, uint32_t height,
                                   QXPLAT::DDRECT* image, void* user);
// What a caller of CDisplay::WithPicture does with the picture held now (under the frame lock).
using PictureVisitor = uint32_t (*)(const FramePlanes& picture, void* user);

class CPtz {
public:
    virtual ~CPtz() = default;
    float pan = 0.0f;   // -1..1
    float tilt = 0.0f;  // -1..1
    float zoom = 1.0f;  // at least 1
};

// Fit modes of a region.
enum : uint32_t {
    FIT_INSIDE = 1,  // whole picture, aspect ratio kept
    FIT_WIDTH = 2,   // fill the width
    FIT_HEIGHT = 3,  // fill the height
};

class CRegion {
public:
    virtual ~CRegion() = default;
    // Written by host threads without the frame lock, read by the display thread (each field
    // on its own; a drawing may mix an old and a new value for one frame).
    std::atomic<uint32_t> enabled{0};
    std::atomic<uint32_t> fitMode{FIT_INSIDE};
    std::atomic<int32_t> left{0}, top{0}, right{0}, bottom{0};
    CPtz ptz;  // the floats are read and written under m_ptzLock of the display
    std::atomic<uint32_t> color{0};  // 0x00RRGGBB
    std::atomic<DrawCallback> drawCallback{nullptr};
    std::atomic<void*> drawUser{nullptr};
    // Set and cleared under the draw lock.
    RegionPainter painter = nullptr;
    void* painterUser = nullptr;
};

class CScreen {
public:
    virtual ~CScreen() = default;
    QXPLAT::DDGUID guid{};
    QXPLAT::DDMONITOR monitor = 0;
    uint32_t videoMemory = 0;  // the device's capability, from the monitor list
    std::shared_ptr<QXPLAT::CDirectDraw7> dd;
    std::shared_ptr<QXPLAT::CDirectDrawSurface7> primary;
    std::shared_ptr<QXPLAT::CDirectDrawSurface7> cache;  // window client size
    std::shared_ptr<QXPLAT::CDirectDrawSurface7> back;   // source picture size
    std::shared_ptr<QXPLAT::CDirectDrawClipper> clippers[kMaxRegions];
    uint32_t present = 0;
    uint32_t videoFormat = 0;  // 0..9
    uint32_t pitch = 0;        // bytes per row of the back surface
    uint32_t fastMemory = 0;   // back surface is YUV or RGB in video memory
};

class CDisplay;

class CDecodeFrame {
public:
    explicit CDecodeFrame(CDisplay* owner) : m_owner(owner) {}
    virtual ~CDecodeFrame();
    CDecodeFrame(const CDecodeFrame&) = delete;
    CDecodeFrame& operator=(const CDecodeFrame&) = delete;

    struct Borrowed {
        uint8_t* memory = nullptr;
        uint32_t capacity = 0;
    };
    // Forgets borrowed memory and says what it was, so that it can be handed back once the
    // caller no longer holds a lock.
    Borrowed TakeBorrowed();
    // Hands borrowed memory back through the owner's frame release callback and forgets it.
    void GiveBack();

    uint32_t width = 0;
    uint32_t height = 0;
    uint32_t stride = 0;    // of the Y plane; the chroma planes have half of it
    BRIXEL::CHBuffer data;  // Y, U, V
    BRIXEL::CHYUVColour colour = BRIXEL::HYUV_BT601_LIMITED;  // matrix and range of data

private:
    CDisplay* m_owner;
};

// The e-PTZ arithmetic of one region: region rectangle R (window coordinates), fit mode, the
// region's PTZ (pan or tilt reset to 0 when the source is not cropped in that direction) and a
// w x h picture give the destination D on the cache surface and the source S in the picture.
// QUORIX_E_PARAM for an empty region or picture, QUORIX_E_NOT_SUPPORTED for an empty D.
uint32_t ComputeRegionRects(const QXPLAT::DDRECT& region, uint32_t fitMode, CPtz* ptz,
                            uint32_t width, uint32_t height, QXPLAT::DDRECT* dest,
                            QXPLAT::DDRECT* source);

class CDisplay : public BRIXEL::CHThread {
public:
    CDisplay();
    ~CDisplay() override;

    uint32_t OnThreadLoop(uint64_t param) override;

    uint32_t SetWindow(uintptr_t window);
    // colour: the picture's matrix and range, used whenever it becomes RGB.
    uint32_t InputPicture(uint32_t width, uint32_t height, uint32_t format,
                          const uint8_t* const* planes, const uint32_t* strides,
                          BRIXEL::CHYUVColour colour = BRIXEL::HYUV_BT601_LIMITED);
    uint32_t AttachPicture(uint32_t width, uint32_t height, uint32_t format, uint8_t* data,
                           uint32_t size, BRIXEL::CHYUVColour colour = BRIXEL::HYUV_BT601_LIMITED);
    uint32_t SetRegion(uint32_t index, int32_t x, int32_t y, int32_t width, int32_t height,
                       uint32_t enabled);
    uint32_t SetRegionPtz(uint32_t index, float pan, float tilt, float zoom);
    uint32_t GetRegionPtz(uint32_t index, float* pan, float* tilt, float* zoom);
    uint32_t SetRegionColor(uint32_t index, uint32_t color);
    uint32_t SetRegionFitMode(uint32_t index, uint32_t mode);
    uint32_t SetRegionDrawCallback(uint32_t index, DrawCallback callback, void* user);
    uint32_t SetFrameReleaseCallback(FrameReleaseCallback callback, void* user);
    uint32_t SetSnapCallback(SnapCallback callback, void* user);
    uint32_t SetFrameDrawnCallback(FrameDrawnCallback callback, void* user);
    uint32_t SetSnapRect(float x, float y, float width, float height);
    uint32_t SetSnapFormat(uint32_t format);
    // The picture held now, cropped, in `askedFormat` (0: the set snapshot format). Without a
    // picture yet it waits up to `timeoutMs` for the first one (QUORIX_E_TIMEOUT after that).
    uint32_t Snapshot(uint32_t* width, uint32_t* stride, uint32_t* height, uint32_t* format,
                      uint8_t** data, uint32_t askedFormat = 0, uint32_t timeoutMs = 0);

    // null: the region shows the e-PTZ crop again.
    uint32_t SetRegionPainter(uint32_t index, RegionPainter painter, void* user);
    // Hands the picture held now to visit, under no lock of the display (new pictures keep
    // coming meanwhile; this one stays as it is until visit returns); without a picture yet
    // waits up to timeoutMs for the first one (QUORIX_E_TIMEOUT after that). visit's result, or
    // QUORIX_E_SYSTEM without one.
    uint32_t WithPicture(uint32_t timeoutMs, PictureVisitor visit, void* user);
    // Matrix and range of the picture the display thread holds (for its snapshot callback).
    BRIXEL::CHYUVColour HeldColour() const { return m_heldColour.load(); }
    // Draws the held picture again soon (a view changed).
    void Redraw() { Changed(); }

    // Tests and benchmarks: passes of the display thread so far, and a wait for `passes` more
    // (false on time-out). A pass that starts after a change has drawn it when it ends.
    uint64_t GetLoopPasses();
    bool WaitLoopPasses(uint64_t passes, uint32_t timeoutMs);
    // Drawings of the picture so far (successful or not).
    uint64_t GetDrawings() const { return m_drawings.load(); }

    // Stops the thread and gives everything back (surfaces, borrowed memory).
    void Shutdown();

    // Video format of screen i (0 when not present); for tests and diagnostics.
    uint32_t GetScreenVideoFormat(uint32_t index);

private:
    friend class CDecodeFrame;
    uint32_t InitDDraw(uint32_t sourceWidth, uint32_t sourceHeight, uint32_t clientWidth,
                       uint32_t clientHeight);
    uint32_t InitScreen(uint32_t index);
    void ReleaseAll();
    uint32_t ResizeCache(uint32_t width, uint32_t height);
    uint32_t DrawFrame(const CDecodeFrame& frame);
    // *image: the picture's part of the region, in cache-surface coordinates.
    uint32_t PaintRegion(CScreen& screen, uint32_t index, const CDecodeFrame& frame,
                         const QXPLAT::DDRECT& rect, QXPLAT::DDRECT* image);
    std::shared_ptr<CDecodeFrame> NewFrame();
    void GiveBack(const CDecodeFrame::Borrowed& borrowed);
    void SyncClippers(CScreen& screen);
    void RestoreAfterFailure(CScreen& screen, bool cacheFilled);
    // Something shown changed: the next pass draws.
    void Changed() {
        m_generation.fetch_add(1);
        m_wakeEvent.Set();
    }
    // Display thread: whether the window needs the picture although nothing set changed (its
    // size or place changed, it was exposed, or it cannot be watched and was left a while).
    // *usable: the window exists and has an area to draw on.
    bool WindowNeedsDrawing(uintptr_t window, bool* usable);
    void UnwatchWindow();
    // Whether the display draws or reports its pictures at all.
    bool Busy() const;
    // Frame lock held, before a new picture is stored: see m_queued.
    void KeepUndrawnLocked();
    // Frame lock held, after a new picture could not be stored: the newest waiting one is the
    // current picture again.
    void TakeBackNewestQueuedLocked();

    // The host's callbacks run under neither lock: a callback that closes its own port waits
    // for the video thread, and that thread must not be stuck in InputPicture behind it.
    bool m_initialised = false;  // draw lock
    std::atomic<uintptr_t> m_window{0};
    uintptr_t m_surfaceWindow = 0;  // draw lock: the window the surfaces were made for
    // Auto-reset and set, not pulsed: a picture that arrives while the thread draws the one
    // before is drawn as soon as that ends, not at the next redraw interval.
    BRIXEL::CHEvent m_wakeEvent{true, false, false};
    BRIXEL::CHLock m_frameLock{true, false};         // mutex kind; guards m_frame and m_spare only
    BRIXEL::CHLock m_drawLock{true, false};          // mutex kind; guards the surfaces and drawing
    uint32_t m_cacheWidth = 0, m_cacheHeight = 0;    // draw lock
    uint32_t m_sourceWidth = 0, m_sourceHeight = 0;  // draw lock
    CScreen m_screens[kMaxScreens];                  // draw lock
    CRegion m_regions[kMaxRegions];
    BRIXEL::CHLock m_ptzLock;  // guards the CPtz floats of every region
    std::atomic<FrameReleaseCallback> m_releaseCallback{nullptr};
    std::atomic<void*> m_releaseUser{nullptr};
    std::atomic<SnapCallback> m_snapCallback{nullptr};
    std::atomic<void*> m_snapUser{nullptr};
    std::atomic<FrameDrawnCallback> m_drawnCallback{nullptr};
    std::atomic<void*> m_drawnUser{nullptr};
    std::atomic<uint32_t> m_snapFormat{3};
    BRIXEL::CHEvent m_pictureEvent{true, true, false};  // manual reset: set by the first picture
    BRIXEL::CHLock m_snapRectLock;                      // guards the crop
    float m_cropX = 0.0f, m_cropY = 0.0f, m_cropW = 1.0f, m_cropH = 1.0f;
    // Frame lock. The pending picture; the display thread shares it while it hands it to the
    // snap callback and draws it, so a new picture never overwrites one that is being read.
    std::shared_ptr<CDecodeFrame> m_frame;
    std::shared_ptr<CDecodeFrame> m_spare;  // frame lock: an owned picture buffer to reuse
    // Frame lock. Pictures that come in a burst (a decoder catching up, a display thread that
    // got no core for a while) are each drawn: a picture the display thread has not taken yet
    // waits here when the next one arrives (kMaxQueued at most; beyond that the newest replaces
    // the pending one), and the oldest is drawn first.
    static constexpr size_t kMaxQueued = 3;
    std::deque<std::shared_ptr<CDecodeFrame>> m_queued;
    bool m_frameTaken = false;  // the display thread took m_frame since it last changed
    bool m_shutDown = false;
    std::atomic<BRIXEL::CHYUVColour> m_heldColour{BRIXEL::HYUV_BT601_LIMITED};
    std::vector<uint8_t> m_paintScratch;  // draw lock: a region reaching outside the window
    // Bumped by every change of what is shown; the display thread draws while it differs from
    // the generation it drew last.
    std::atomic<uint64_t> m_generation{1};
    uint64_t m_drawnGeneration = 0;  // display thread
    bool m_retry = false;            // display thread: the last drawing failed and may not again
    // Display thread: the window looked at last (its client rectangle on the screen, or
    // nothing when it is gone) and whether its exposures are watched.
    uintptr_t m_probedWindow = 0;
    QXPLAT::DDRECT m_probedRect{};
    bool m_probedUsable = false;
    uintptr_t m_watchTried = 0;     // the window whose exposures were last asked for
    uintptr_t m_watchedWindow = 0;  // ... and got, or 0
    uint32_t m_idlePasses = 0;
    std::atomic<uint64_t> m_drawings{0};
    std::mutex m_passMutex;
    std::condition_variable m_passDone;
    uint64_t m_passes = 0;  // m_passMutex
};

// ---- entry points of the player port (a null display gives QUORIX_E_PARAM) ----
uint32_t CreateDisplay(CDisplay** out);
uint32_t DestroyDisplay(CDisplay* display);
uint32_t SetWindow(CDisplay* display, uintptr_t window);
uint32_t InputPicture(CDisplay* display, uint32_t width, uint32_t height, uint32_t format,
                      const uint8_t* const* planes, const uint32_t* strides,
                      BRIXEL::CHYUVColour colour = BRIXEL::HYUV_BT601_LIMITED);
uint32_t AttachPicture(CDisplay* display, uint32_t width, uint32_t height, uint32_t format,
                       uint8_t* data, uint32_t size,
                       BRIXEL::CHYUVColour colour = BRIXEL::HYUV_BT601_LIMITED);
uint32_t SetRegion(CDisplay* display, uint32_t index, int32_t x, int32_t y, int32_t width,
                   int32_t height, uint32_t enabled);
uint32_t SetRegionPtz(CDisplay* display, uint32_t index, float pan, float tilt, float zoom);
uint32_t GetRegionPtz(CDisplay* display, uint32_t index, float* pan, float* tilt, float* zoom);
uint32_t SetRegionColor(CDisplay* display, uint32_t index, uint32_t color);
uint32_t SetRegionFitMode(CDisplay* display, uint32_t index, uint32_t mode);
uint32_t SetRegionDrawCallback(CDisplay* display, uint32_t index, DrawCallback callback,
                               void* user);
uint32_t SetFrameReleaseCallback(CDisplay* display, FrameReleaseCallback callback, void* user);
uint32_t SetSnapCallback(CDisplay* display, SnapCallback callback, void* user);
uint32_t SetFrameDrawnCallback(CDisplay* display, FrameDrawnCallback callback, void* user);
uint32_t SetSnapRect(CDisplay* display, float x, float y, float width, float height);
uint32_t SetSnapFormat(CDisplay* display, uint32_t format);
uint32_t Snapshot(CDisplay* display, uint32_t* width, uint32_t* stride, uint32_t* height,
                  uint32_t* format, uint8_t** data, uint32_t askedFormat = 0,
                  uint32_t timeoutMs = 0);
void FreeSnapData(uint8_t* data);
// Enumerates the monitors anew (each initialisation of the library). 0.
uint32_t EnumMonitors();

}  // namespace HDD
