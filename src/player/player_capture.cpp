// Snapshots of a port: one-shot captures into BMP or JPEG files, continuous snapshot callbacks
// through the renderer's adapters, and the sub-frames of composite packets that go to an
// attached port.
//
// A capture asks the renderer the port has: the external renderer grabs region 0 at its
// original size, the software display copies its last picture, the OpenGL renderer reads back
// the next frame it draws (a region as shown, or region 9 for the full-resolution picture).

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "base/hfile.h"
#include "base/hlog.h"
#include "codec/dec_ximage.h"
#include "ddraw/display.h"
#include "media/hmfformat.h"
#include "panorama/region.h"
#include "panorama/render.h"
#include "player/gpano.h"
#include "player/player.h"
#include "player/playerhost.h"

namespace {

constexpr const char* kSource = "player_capture";
constexpr const char* kModule = "quorixsdk";
constexpr uint32_t kBmpHeaderBytes = 54;
constexpr uint32_t kBmpFileType = 1;
constexpr uint16_t kScreenOffRegion = 9;  // how the full-resolution capture is reported

void PutLe16(uint8_t* p, uint32_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
}

void PutLe32(uint8_t* p, uint32_t v) {
    for (int i = 0; i < 4; ++i)
        p[i] = static_cast<uint8_t>(v >> (8 * i));
}

// Full-resolution captures answer for the picture, not for a file that could not be created;
// but a file that was begun and could not be written whole (a full disk) is a failure.
uint32_t FileResultOfOriginal(uint32_t saved) {
    return saved == QUORIX_E_WRITE_FILE ? saved : QUORIX_OK;
}

// Packed three-byte RGB and BGR are 24 bits a pixel; every other layout is written as 32.
uint32_t BitsPerPixel(uint32_t format) {
    return format == 2 || format == 4 ? 24 : 32;
}

// A picture taken for a capture, released the way its source hands pictures out.
class CSnapPicture {
public:
    enum class Owner { None, Heap, Gl, Display };

    CSnapPicture() = default;
    ~CSnapPicture() { Release(); }
    CSnapPicture(const CSnapPicture&) = delete;
    CSnapPicture& operator=(const CSnapPicture&) = delete;

    void Release() {
        switch (owner) {
            case Owner::Gl:
                SPHERA::FreeSnapData(data);
                break;
            case Owner::Display:
                HDD::FreeSnapData(data);
                break;
            case Owner::Heap:
            case Owner::None:
                break;
        }
        data = nullptr;
        heap.clear();
        owner = Owner::None;
    }

    Owner owner = Owner::None;
    uint8_t* data = nullptr;
    std::vector<uint8_t> heap;  // Owner::Heap
    uint32_t width = 0, stride = 0, height = 0, format = 0;
};

}  // namespace

// ---------------------------------------------------------------------------------------------
// Files

uint32_t CPlayer::SaveSnapData(const char* path, uint16_t quality, uint32_t fileType,
                               uint32_t width, uint32_t stride, uint32_t height, uint32_t format,
                               const uint8_t* data) {
    if (path == nullptr || path[0] == '\0')
        return QUORIX_E_OPEN_FILE;
    // Everything that can refuse the request is settled before the file is touched, and the
    // file replaces the old one only once it is whole: a refused or failed call leaves the
    // target as it was.
    const uint64_t imageBytes = uint64_t{stride} * height;
    const uint32_t bits = BitsPerPixel(format);
    uint8_t header[kBmpHeaderBytes] = {};
    uint8_t* jpeg = nullptr;
    uint32_t jpegBytes = 0;
    if (fileType == kBmpFileType) {
        // The header sizes are 32-bit: a picture that does not fit them has no BMP file.
        if (imageBytes + kBmpHeaderBytes > UINT32_MAX || (data == nullptr && imageBytes != 0))
            return QUORIX_E_PARAM;
        header[0] = 'B';
        header[1] = 'M';
        PutLe32(header + 2, static_cast<uint32_t>(imageBytes + kBmpHeaderBytes));
        PutLe32(header + 10, kBmpHeaderBytes);
        PutLe32(header + 14, 40);
        PutLe32(header + 18, width);
        PutLe32(header + 22, height);
        PutLe16(header + 26, 1);
        PutLe16(header + 28, bits);
        PutLe32(header + 34, static_cast<uint32_t>(imageBytes));
    } else {
        const uint32_t encoded = HCC::EncodeSnapshotJpeg(data, width, stride, height, bits,
                                                         quality & 0xFFu, &jpeg, &jpegBytes);
        if (encoded != QUORIX_OK)
            return encoded;
    }
    struct JpegRelease {
        uint8_t* block;
        ~JpegRelease() {
            if (block != nullptr)
                HCC::ReleaseSnapshotJpeg(block);
        }
    } release{jpeg};

    BRIXEL::CHReplaceFile file;
    if (!file.Open(path))
        return QUORIX_E_OPEN_FILE;
    const bool written = fileType == kBmpFileType
                             ? file.Write(header, kBmpHeaderBytes) && file.Write(data, imageBytes)
                             : file.Write(jpeg, jpegBytes);
    if (!written || !file.Commit()) {
        HLOG(kSource, kModule, BRIXEL::HLOG_ERROR, "CPlayer::SaveSnapData", "write %s fail", path);
        return QUORIX_E_WRITE_FILE;
    }
    return QUORIX_OK;
}

// ---------------------------------------------------------------------------------------------
// One-shot captures

uint32_t CPlayer::SnapExternal(uint32_t handle, const char* path, uint16_t quality,
                               uint32_t fileType, bool reportFile) {
    const CGPano& pano = m_host.GetGPano();
    if (pano.GetOriginalPanoSize == nullptr)
        return QUORIX_E_NOT_IMPL;
    uint32_t width = 0;
    uint32_t height = 0;
    const uint32_t sized = pano.GetOriginalPanoSize(handle, &width, &height);
    if (sized != QUORIX_OK)
        return sized;
    const uint64_t stride = (uint64_t{width} * 24 + 31) / 32 * 4;
    const uint64_t bytes = stride * height;
    // The renderer's answer is not trusted to be a size worth allocating.
    if (bytes == 0 || bytes > UINT32_MAX - kBmpHeaderBytes)
        return QUORIX_E_NOT_SUPPORTED;
    if (pano.GrabPano == nullptr)
        return QUORIX_E_NOT_IMPL;
    CSnapPicture picture;
    picture.heap.assign(static_cast<size_t>(bytes), 0);
    const uint32_t grabbed = pano.GrabPano(handle, width, height, picture.heap.data());
    if (grabbed != QUORIX_OK)
        return grabbed;
    const uint32_t saved =
        SaveSnapData(path, quality, fileType, width, static_cast<uint32_t>(stride), height,
                     kSnapFormatBgr, picture.heap.data());
    return reportFile ? saved : FileResultOfOriginal(saved);
}

uint32_t CPlayer::Snap(uint32_t region, const char* path, uint16_t quality, uint32_t fileType) {
    if (region >= kRegionCount || path == nullptr)
        return QUORIX_E_PARAM;
    const CRendererUse use(*this);
    if (m_external.load()) {
        if (region != 0 || use.Handle() == kNoPanoHandle)
            return QUORIX_E_STATE;
        return SnapExternal(use.Handle(), path, quality, fileType, true);
    }
    // The capture's own format: the settings of the host's snapshot callback stay untouched.
    CSnapPicture picture;
    if (m_directDraw) {
        HDD::CDisplay* display = use.Display();
        if (display == nullptr || region != 0)
            return QUORIX_E_STATE;
        const uint32_t taken =
            HDD::Snapshot(display, &picture.width, &picture.stride, &picture.height,
                          &picture.format, &picture.data, kSnapFormatBgr, kSnapTimeoutMs);
        picture.owner = CSnapPicture::Owner::Display;
        if (taken != QUORIX_OK)
            return taken;
    } else {
        SPHERA::CRender* render = use.Render();
        if (render == nullptr)
            return QUORIX_E_STATE;
        const uint32_t taken = SPHERA::Snap(render, region, kSnapTimeoutMs, &picture.width,
                                            &picture.stride, &picture.height, &picture.format,
                                            &picture.data, {kSnapFormatBgr, 4, 0.0f});
        picture.owner = CSnapPicture::Owner::Gl;
        if (taken != QUORIX_OK) {
            HLOG(kSource, kModule, BRIXEL::HLOG_DEBUG, "CPlayer::Snap", "Snap fail,ret=%#x", taken);
            return taken;
        }
    }
    return SaveSnapData(path, quality, fileType, picture.width, picture.stride, picture.height,
                        picture.format, picture.data);
}

uint32_t CPlayer::SnapOriginal(const char* path, uint16_t quality, uint32_t fileType) {
    const CRendererUse use(*this);
    if (m_external.load()) {
        if (use.Handle() == kNoPanoHandle)
            return QUORIX_E_STATE;
        // Only taking the picture can fail the request; the file is the host's business.
        return SnapExternal(use.Handle(), path, quality, fileType, false);
    }
    CSnapPicture picture;
    if (m_directDraw) {
        HDD::CDisplay* display = use.Display();
        if (display == nullptr)
            return QUORIX_E_STATE;
        const uint32_t taken =
            HDD::Snapshot(display, &picture.width, &picture.stride, &picture.height,
                          &picture.format, &picture.data, kSnapFormatBgr, kSnapTimeoutMs);
        picture.owner = CSnapPicture::Owner::Display;
        if (taken != QUORIX_OK)
            return taken;
    } else {
        SPHERA::CRender* render = use.Render();
        if (render == nullptr)
            return QUORIX_E_STATE;
        // Full size whatever factor the host's screen-off callback draws at.
        const uint32_t taken = SPHERA::ScreenOffSnap(
            render, kSnapTimeoutMs, &picture.width, &picture.stride, &picture.height,
            &picture.format, &picture.data, {kSnapFormatBgr, 4, 1.0f});
        picture.owner = CSnapPicture::Owner::Gl;
        if (taken != QUORIX_OK) {
            HLOG(kSource, kModule, BRIXEL::HLOG_DEBUG, "CPlayer::SnapOriginal",
                 "ScreenOffSnap fail,ret=%#x", taken);
            return taken;
        }
    }
    return FileResultOfOriginal(SaveSnapData(path, quality, fileType, picture.width, picture.stride,
                                             picture.height, picture.format, picture.data));
}

// ---------------------------------------------------------------------------------------------
// Renderer uses

namespace {

// The ports whose renderer this thread uses, innermost last. Uses nest only through host
// callbacks, a few deep at most; a deeper one goes unrecorded (its port is recorded already).
constexpr unsigned kHeldUseRoom = 8;
thread_local const void* t_heldUses[kHeldUseRoom];
thread_local unsigned t_heldUseCount = 0;

}  // namespace

CPlayer::CRendererUse::CRendererUse(CPlayer& player) : m_player(player) {
    // Counted before the pointers are read: a close that cleared them and then finds no use
    // cannot be raced by one that still read the old ones.
    m_player.m_rendererUses.fetch_add(1);
    m_render = m_player.m_render.load();
    m_display = m_player.m_display.load();
    m_handle = m_player.m_panoHandle.load();
    if (t_heldUseCount < kHeldUseRoom) {
        t_heldUses[t_heldUseCount++] = &m_player;
        m_recorded = true;
    }
}

CPlayer::CRendererUse::~CRendererUse() {
    if (m_recorded)
        --t_heldUseCount;
    if (m_player.m_rendererUses.fetch_sub(1) == 1) {
        std::lock_guard<std::mutex> guard(m_player.m_rendererUseLock);
        m_player.m_rendererUsesDone.notify_all();
    }
}

bool CPlayer::HoldsRendererUse() const {
    for (unsigned i = 0; i < t_heldUseCount; ++i) {
        if (t_heldUses[i] == this)
            return true;
    }
    return false;
}

bool CPlayer::OnOwnDrawingThread() const {
    const SPHERA::CRender* renders[] = {m_render.load(), m_retiredRender.load()};
    const HDD::CDisplay* displays[] = {m_display.load(), m_retiredDisplay.load()};
    for (const SPHERA::CRender* render : renders) {
        if (render != nullptr && render->IsWorkerThread())
            return true;
    }
    for (const HDD::CDisplay* display : displays) {
        if (display != nullptr && display->IsWorkerThread())
            return true;
    }
    return false;
}

void CPlayer::WaitForRendererUses() {
    // Uses are bounded (a capture or a projection waits at most its time limit for the
    // drawing thread, which has stopped by now).
    std::unique_lock<std::mutex> lock(m_rendererUseLock);
    m_rendererUsesDone.wait(lock, [this] { return m_rendererUses.load() == 0; });
}

// ---------------------------------------------------------------------------------------------
// Continuous captures

void CPlayer::OnGlSnap(uint16_t region, uint32_t width, uint32_t stride, uint32_t height,
                       uint32_t format, const uint8_t* data, void* user) {
    CPlayer* self = static_cast<CPlayer*>(user);
    QUORIX_SnapCallback callback = nullptr;
    void* hostUser = nullptr;
    if (region == kScreenOffRegion) {
        callback = self->m_screenOffCallback.load();
        hostUser = self->m_screenOffUser.load();
    } else if (region < kRegionCount) {
        std::atomic_ref<QUORIX_SnapCallback> pair(self->m_regions[region].snapCallback);
        std::atomic_ref<void*> pairUser(self->m_regions[region].snapUser);
        callback = pair.load();
        hostUser = pairUser.load();
    }
    if (callback != nullptr) {
        callback(static_cast<uint16_t>(self->m_port), region, width, stride, height, format, data,
                 hostUser);
    }
}

// The software display reports every picture it draws as region 0's.
void CPlayer::OnDisplaySnap(uint32_t width, uint32_t stride, uint32_t height, uint32_t format,
                            const uint8_t* data, void* user) {
    OnGlSnap(0, width, stride, height, format, data, user);
}

void CPlayer::OnPanoRegionOutput(uint32_t width, uint32_t height, const uint8_t* data, void* user) {
    OnGlSnap(0, width, width * 3, height, kSnapFormatBgr, data, user);
}

void CPlayer::OnPanoScreenOffOutput(uint32_t width, uint32_t height, const uint8_t* data,
                                    void* user) {
    OnGlSnap(kScreenOffRegion, width, width * 3, height, kSnapFormatBgr, data, user);
}

uint32_t CPlayer::SetSnapCallback(uint32_t region, QUORIX_SnapCallback callback, void* user,
                                  uint32_t format, uint32_t align) {
    const CRendererUse use(*this);
    if (region >= kRegionCount)
        return QUORIX_E_PARAM;
    if (m_external.load()) {
        const uint32_t handle = use.Handle();
        if (region != 0 || handle == kNoPanoHandle)
            return QUORIX_E_STATE;
        const CGPano& pano = m_host.GetGPano();
        if (pano.SetOutputCallBack == nullptr)
            return QUORIX_E_NOT_IMPL;
        pano.SetOutputCallBack(handle, &CPlayer::OnPanoRegionOutput, 1.0f, this);
    } else if (m_directDraw) {
        HDD::CDisplay* display = use.Display();
        if (display == nullptr)
            return QUORIX_E_PARAM;
        // The adapter reads region 0's pair whatever region the host names.
        const uint32_t set = HDD::SetSnapCallback(display, &CPlayer::OnDisplaySnap, this);
        if (set != QUORIX_OK)
            return set;
    } else {
        SPHERA::CRender* render = use.Render();
        if (render == nullptr)
            return QUORIX_E_PARAM;
        const uint32_t formatted = SPHERA::SetSnapFormat(render, region, format, align);
        if (formatted != QUORIX_OK)
            return formatted;
        const uint32_t set = SPHERA::SetSnapCallback(
            render, region, callback != nullptr ? &CPlayer::OnGlSnap : nullptr, this);
        if (set != QUORIX_OK)
            return set;
    }
    // The drawing thread reads the pair word by word: the function goes last, so a reader that
    // sees it also sees its user value.
    std::atomic_ref<QUORIX_SnapCallback> pair(m_regions[region].snapCallback);
    std::atomic_ref<void*> pairUser(m_regions[region].snapUser);
    pair.store(nullptr);
    pairUser.store(user);
    pair.store(callback);
    return QUORIX_OK;
}

uint32_t CPlayer::SetScreenOffSnapCallback(QUORIX_SnapCallback callback, void* user, float scale,
                                           uint32_t format, uint32_t align) {
    const CRendererUse use(*this);
    if (m_external.load()) {
        const uint32_t handle = use.Handle();
        if (handle == kNoPanoHandle)
            return QUORIX_E_STATE;
        const CGPano& pano = m_host.GetGPano();
        if (pano.SetOutputCallBack == nullptr)
            return QUORIX_E_NOT_IMPL;
        pano.SetOutputCallBack(handle, &CPlayer::OnPanoScreenOffOutput, scale, this);
    } else if (m_directDraw) {
        return QUORIX_E_NOT_IMPL;
    } else {
        // Like every other request of the OpenGL renderer when none exists.
        SPHERA::CRender* render = use.Render();
        if (render == nullptr)
            return QUORIX_E_PARAM;
        const uint32_t formatted = SPHERA::SetScreenOffSnapFormat(render, scale, format, align);
        if (formatted != QUORIX_OK)
            return formatted;
        const uint32_t set = SPHERA::SetScreenOffSnapCallback(
            render, callback != nullptr ? &CPlayer::OnGlSnap : nullptr, this);
        if (set != QUORIX_OK)
            return set;
    }
    m_screenOffCallback.store(nullptr);
    m_screenOffUser.store(user);
    m_screenOffCallback.store(callback);
    return QUORIX_OK;
}

uint32_t CPlayer::SetSnapRect(uint32_t region, float x, float y, float width, float height) {
    const CRendererUse use(*this);
    if (region >= kRegionCount)
        return QUORIX_E_PARAM;
    if (m_external.load())
        return QUORIX_E_NOT_IMPL;
    if (m_directDraw) {
        HDD::CDisplay* display = use.Display();
        if (display == nullptr)
            return QUORIX_E_PARAM;
        return HDD::SetSnapRect(display, x, y, width, height);
    }
    SPHERA::CRender* render = use.Render();
    if (render == nullptr)
        return QUORIX_E_PARAM;
    return SPHERA::SetSnapRect(render, region, x, y, width, height);
}

uint32_t CPlayer::SetScreenOffSnapRect(float x, float y, float width, float height) {
    const CRendererUse use(*this);
    if (m_external.load() || m_directDraw)
        return QUORIX_E_NOT_IMPL;
    SPHERA::CRender* render = use.Render();
    if (render == nullptr)
        return QUORIX_E_PARAM;
    return SPHERA::SetScreenOffSnapRect(render, x, y, width, height);
}

// ---------------------------------------------------------------------------------------------
// Attached port

void CPlayer::SetAttachCallback(QUORIX_AttachCallback callback, void* user) {
    m_attachCallback.store(nullptr);
    m_attachUser.store(user);
    m_attachCallback.store(callback);
}

uint32_t CPlayer::OnSubFrame(uint8_t streamId, const uint8_t* data, uint32_t length) {
    // A sub-frame that is itself a composite packet stays with this port.
    if (data == nullptr || length < BRIXEL::kHMFFrameHeaderSize ||
        (data[2] & BRIXEL::kHMFCompositeBit) != 0) {
        return 0;
    }
    if (CPlayer* attached = m_attached.load())
        attached->InputData(data, length);
    const QUORIX_AttachCallback callback = m_attachCallback.load();
    if (callback != nullptr)
        callback(static_cast<uint16_t>(m_port), streamId, data, length, m_attachUser.load());
    return 1;
}
