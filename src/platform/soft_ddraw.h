#pragma once
// A small software DirectDraw: devices are the monitors of the X display (one default device
// without X), surfaces live in system memory, blits and colour fills go through pixman, and the
// primary surface of a device is the part of a window that lies on its monitor, presented with
// MIT-SHM (plain PutImage when the server lacks it). X requests go through XCB so that a window
// destroyed by its owner comes back as a failed blit, never as a process-wide X error.
//
// Coordinates of a primary surface are those of its monitor (0, 0 is the monitor's top-left
// corner), as the display expects of a real primary surface. No X or pixman header leaks out.

#include <quorixsdk_codes.h>

#include <cstdint>
#include <memory>
#include <vector>

#include "base/hpixel.h"

namespace QXPLAT {

// ---- results (values as the platform reports them) ----
constexpr uint32_t DD_OK = 0;
constexpr uint32_t DDERR_GENERIC = 0x80004005u;
constexpr uint32_t DDERR_INVALIDPARAMS = 0x80070057u;
constexpr uint32_t DDERR_OUTOFMEMORY = 0x8007000Eu;
constexpr uint32_t DDERR_UNSUPPORTED = 0x80004001u;
constexpr uint32_t DDERR_INVALIDPIXELFORMAT = 0x88760091u;
constexpr uint32_t DDERR_NODIRECTDRAWHW = 0x887600FFu;
constexpr uint32_t DDERR_NOCLIPLIST = 0x887600CDu;
constexpr uint32_t DDERR_NOVIDEOMEMORY = 0x8876017Cu;  // this device has none
constexpr uint32_t DDERR_SURFACEBUSY = 0x887601AEu;
constexpr uint32_t DDERR_NOTLOCKED = 0x887602A2u;
constexpr uint32_t DDERR_SURFACELOST = 0x887601C2u;  // the window is gone or unusable
constexpr uint32_t DDERR_NOHWND = 0x88760231u;
constexpr uint32_t DDERR_INVALIDRECT = 0x88760096u;

// ---- flags ----
constexpr uint32_t DDENUM_ATTACHEDSECONDARYDEVICES = 0x1;
constexpr uint32_t DDENUM_NONDISPLAYDEVICES = 0x4;
constexpr uint32_t DDSCL_NORMAL = 0x8;
constexpr uint32_t DDSD_CAPS = 0x1;
constexpr uint32_t DDSD_HEIGHT = 0x2;
constexpr uint32_t DDSD_WIDTH = 0x4;
constexpr uint32_t DDSD_PITCH = 0x8;
constexpr uint32_t DDSD_PIXELFORMAT = 0x1000;
constexpr uint32_t DDSD_LPSURFACE = 0x800;
constexpr uint32_t DDSCAPS_OFFSCREENPLAIN = 0x40;
constexpr uint32_t DDSCAPS_PRIMARYSURFACE = 0x200;
constexpr uint32_t DDSCAPS_SYSTEMMEMORY = 0x800;
constexpr uint32_t DDSCAPS_VIDEOMEMORY = 0x4000;
constexpr uint32_t DDPF_FOURCC = 0x4;
constexpr uint32_t DDPF_RGB = 0x40;
constexpr uint32_t DDLOCK_WAIT = 0x1;
constexpr uint32_t DDBLT_COLORFILL = 0x400;
constexpr uint32_t DDBLT_WAIT = 0x1000000;

constexpr uint32_t DDMakeFourCC(char a, char b, char c, char d) {
    return static_cast<uint32_t>(static_cast<uint8_t>(a)) |
           (static_cast<uint32_t>(static_cast<uint8_t>(b)) << 8) |
           (static_cast<uint32_t>(static_cast<uint8_t>(c)) << 16) |
           (static_cast<uint32_t>(static_cast<uint8_t>(d)) << 24);
}
constexpr uint32_t DDFOURCC_YV12 = DDMakeFourCC('Y', 'V', '1', '2');
constexpr uint32_t DDFOURCC_I420 = DDMakeFourCC('I', '4', '2', '0');
constexpr uint32_t DDFOURCC_YUY2 = DDMakeFourCC('Y', 'U', 'Y', '2');
constexpr uint32_t DDFOURCC_YUYV = DDMakeFourCC('Y', 'U', 'Y', 'V');
constexpr uint32_t DDFOURCC_UYVY = DDMakeFourCC('U', 'Y', 'V', 'Y');

// Setting this environment variable to 1 makes every device refuse FourCC surfaces, so that
// the RGB path of a display can be reached on any machine.
constexpr const char* kDDrawNoFourCCEnv = "QUORIX_DDRAW_NO_FOURCC";
// A comma-separated list of FourCC codes ("YUY2,UYVY") limits the FourCC surfaces a device
// makes to those, so that each YUV path of a display can be reached.
constexpr const char* kDDrawFourCCsEnv = "QUORIX_DDRAW_FOURCCS";
// Setting this one to 1 makes primary surfaces send their pictures with plain PutImage requests,
// as on a server without MIT-SHM (read when a primary surface first shows something).
constexpr const char* kDDrawNoShmEnv = "QUORIX_DDRAW_NO_SHM";

struct DDGUID {
    uint8_t bytes[16];
};
bool DDGuidIsNull(const DDGUID& guid);

// A monitor: 0 is "none"; other values are handed out by the enumeration.
using DDMONITOR = uintptr_t;

struct DDRECT {
    int32_t left;
    int32_t top;
    int32_t right;
    int32_t bottom;
};

struct DDPIXELFORMAT {
    uint32_t size;
    uint32_t flags;  // DDPF_FOURCC or DDPF_RGB
    uint32_t fourCC;
    uint32_t rgbBitCount;
    uint32_t rBitMask;
    uint32_t gBitMask;
    uint32_t bBitMask;
    uint32_t aBitMask;
};

struct DDSURFACEDESC2 {
    uint32_t size;
    uint32_t flags;  // DDSD_*
    uint32_t height;
    uint32_t width;
    int32_t pitch;
    uint8_t* surface;  // filled by Lock
    uint32_t caps;     // DDSCAPS_*
    DDPIXELFORMAT pixelFormat;
};

struct DDCAPS {
    uint32_t size;
    uint32_t caps;
    uint32_t videoMemoryTotal;
    uint32_t videoMemoryFree;
    uint32_t surfaceCaps;  // the DDSCAPS_* kinds of surface the driver can make
};

// ---- devices and monitors ----

// Called once per device: guid is null for the display driver as a whole (reported first),
// otherwise the device of one monitor. Return false to stop.
using DDEnumCallback = bool (*)(const DDGUID* guid, const char* description, const char* name,
                                void* context, DDMONITOR monitor);
// Re-reads the monitors of $DISPLAY. Without an X display only the driver entry and one device
// without a monitor are reported.
uint32_t DirectDrawEnumerateEx(DDEnumCallback callback, void* context, uint32_t flags);

// The monitor's rectangle and work area in screen coordinates; false for an unknown monitor.
bool DDGetMonitorRect(DDMONITOR monitor, DDRECT* rect, DDRECT* work);
// Size of the X screen; 0 x 0 without an X display.
void DDGetScreenSize(int32_t* width, int32_t* height);
// Client rectangle (0, 0, width, height) of a window; false when it does not exist.
bool DDGetClientRect(uintptr_t window, DDRECT* rect);
// Moves a point from window client coordinates to screen coordinates; false when unknown.
bool DDClientToScreen(uintptr_t window, int32_t* x, int32_t* y);

class CDirectDraw7;
class CDirectDrawSurface7;

class CDirectDrawClipper {
public:
    uint32_t SetHWnd(uint32_t flags, uintptr_t window);
    uintptr_t GetHWnd() const { return m_window; }

private:
    uintptr_t m_window = 0;
};

struct DDPresenter;  // X side of a primary surface

class CDirectDrawSurface7 {
public:
    ~CDirectDrawSurface7();
    CDirectDrawSurface7(const CDirectDrawSurface7&) = delete;
    CDirectDrawSurface7& operator=(const CDirectDrawSurface7&) = delete;

    // rect must be null (whole surface). Fills pitch, pointer, size and pixel format.
    uint32_t Lock(const DDRECT* rect, DDSURFACEDESC2* desc, uint32_t flags, void* event);
    uint32_t Unlock(const DDRECT* rect);
    // destRect null = whole surface. With DDBLT_COLORFILL, fillColor is the raw pixel value
    // (0x00RRGGBB on 32-bit surfaces) and source is ignored; otherwise source's sourceRect (null
    // = whole) is stretched onto destRect. The destination must be an RGB surface; a YUV source
    // is converted. On a primary surface the blit is clipped to the clipper's window (or the
    // cooperative window) and to the monitor, then shown.
    uint32_t Blt(const DDRECT* destRect, CDirectDrawSurface7* source, const DDRECT* sourceRect,
                 uint32_t flags, uint32_t fillColor);
    // RGB surfaces only: *dc receives a QUORIX_SURFACE* valid until ReleaseDC.
    uint32_t GetDC(QUORIX_HDC* dc);
    uint32_t ReleaseDC(QUORIX_HDC dc);
    uint32_t SetClipper(std::shared_ptr<CDirectDrawClipper> clipper);
    // Memory surfaces are never lost; a primary surface drops its X resources and makes them
    // again at the next blit.
    uint32_t Restore();
    uint32_t GetSurfaceDesc(DDSURFACEDESC2* desc) const;

    // YUV surfaces: the matrix and range of what is written into them, used when they are
    // shown as RGB (a video driver takes it from the video's colour description).
    void SetYUVColour(BRIXEL::CHYUVColour colour);

    bool IsPrimary() const { return m_primary; }
    bool IsYUV() const { return m_fourCC != 0; }

private:
    friend class CDirectDraw7;
    CDirectDrawSurface7() = default;
    uint32_t FillRect(const DDRECT& dest, uint32_t color);
    uint32_t StretchFrom(const DDRECT& dest, CDirectDrawSurface7* source, const DDRECT& sourceRect);
    uint32_t PrimaryBlt(const DDRECT* destRect, CDirectDrawSurface7* source,
                        const DDRECT* sourceRect, uint32_t flags, uint32_t fillColor);
    // The BGRX picture of a YUV surface, made again after each Unlock.
    const uint8_t* RGBView(uint32_t* stride);
    void DescribeFormat(DDPIXELFORMAT* format) const;

    bool m_primary = false;
    uint32_t m_width = 0;
    uint32_t m_height = 0;
    uint32_t m_pitch = 0;   // bytes per row (the Y row of planar formats)
    uint32_t m_fourCC = 0;  // 0: RGB 32 (B, G, R, X)
    uint32_t m_caps = 0;
    std::vector<uint8_t> m_memory;
    bool m_locked = false;
    bool m_dcOut = false;
    QUORIX_SURFACE m_dc{};
    std::vector<uint8_t> m_rgb;  // YUV surfaces: converted copy
    bool m_rgbValid = false;
    BRIXEL::CHYUVColour m_yuvColour = BRIXEL::HYUV_BT601_LIMITED;
    std::shared_ptr<CDirectDrawClipper> m_clipper;
    // Primary surfaces: the device's monitor and window.
    DDMONITOR m_monitor = 0;
    uintptr_t m_cooperativeWindow = 0;
    std::unique_ptr<DDPresenter> m_presenter;
};

class CDirectDraw7 {
public:
    ~CDirectDraw7();
    CDirectDraw7(const CDirectDraw7&) = delete;
    CDirectDraw7& operator=(const CDirectDraw7&) = delete;

    uint32_t GetCaps(DDCAPS* driverCaps, DDCAPS* helCaps) const;
    uint32_t SetCooperativeLevel(uintptr_t window, uint32_t flags);
    uint32_t CreateSurface(const DDSURFACEDESC2* desc,
                           std::shared_ptr<CDirectDrawSurface7>* surface);
    uint32_t CreateClipper(uint32_t flags, std::shared_ptr<CDirectDrawClipper>* clipper);
    uint32_t RestoreDisplayMode();

    DDMONITOR GetMonitor() const { return m_monitor; }

private:
    friend uint32_t DirectDrawCreateEx(const DDGUID* guid, std::shared_ptr<CDirectDraw7>* out);
    CDirectDraw7() = default;
    DDMONITOR m_monitor = 0;
    uintptr_t m_window = 0;
    bool m_noFourCC = false;
    std::vector<uint32_t> m_fourCCs;  // empty: every known one
};

// guid null or all zero: the default device (the first monitor, or the whole screen).
uint32_t DirectDrawCreateEx(const DDGUID* guid, std::shared_ptr<CDirectDraw7>* out);

}  // namespace QXPLAT
