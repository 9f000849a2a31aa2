// Display and view control of a player port: the region records, their hand-over to a new
// renderer, the forwarding of every display request to the port's renderer (port_renderer.h
// says which answers what), the host's callbacks behind the renderers' adapters, and the
// engine's picture output.

#include <atomic>
#include <mutex>

#include "base/hpixel.h"
#include "player/player.h"

namespace {

// The record fields that drawing threads read while host threads write them.
template <typename T>
T LoadShared(T& field) {
    return std::atomic_ref<T>(field).load(std::memory_order_acquire);
}
template <typename T>
void StoreShared(T& field, T value) {
    std::atomic_ref<T>(field).store(value, std::memory_order_release);
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// The records

PortRegionSettings CPlayer::RegionSettings(uint16_t region) const {
    std::lock_guard<std::mutex> lock(m_regionLock);
    return m_regions[region].settings;
}

void CPlayer::OnCreateRender() {
    PortRegionSettings regions[kRegionCount];
    for (uint16_t region = 0; region < kRegionCount; ++region)
        regions[region] = RegionSettings(region);
    m_portRenderer.load()->ApplyRegions(regions);
}

// ---------------------------------------------------------------------------------------------
// Region requests: the record first, then the renderer with a copy of it

uint32_t CPlayer::SetDisplayRegion(uint16_t region, const QUORIX_RECT* rect, uint32_t enable) {
    {
        std::lock_guard<std::mutex> lock(m_regionLock);
        PortRegionSettings& record = m_regions[region].settings;
        if (rect != nullptr) {
            record.left = rect->left;
            record.top = rect->top;
            record.right = rect->right;
            record.bottom = rect->bottom;
        } else {
            record.left = record.top = record.right = record.bottom = 0;
        }
        record.enabled = enable;
    }
    const PortRegionSettings settings = RegionSettings(region);
    const CRendererUse use(*this);
    return use->SetRegion(region, settings);
}

uint32_t CPlayer::SetBackgroundColor(uint16_t region, uint32_t color) {
    // The renderer receives it the next time the region is enabled; the external renderer's
    // pre-render adapter reads it at every frame, without the lock.
    std::lock_guard<std::mutex> lock(m_regionLock);
    StoreShared(m_regions[region].settings.background, color);
    return QUORIX_OK;
}

uint32_t CPlayer::GetDisplayTypeList(uint32_t* types, int32_t* count) {
    const CRendererUse use(*this);
    return use->GetDisplayTypeList(types, count);
}

uint32_t CPlayer::GetDisplayType(uint16_t region, uint32_t* type) {
    const CRendererUse use(*this);
    return use->GetDisplayType(region, type);
}

// The stored type is handed to the next renderer whatever this one answers.
uint32_t CPlayer::SetDisplayType(uint16_t region, uint32_t type) {
    {
        std::lock_guard<std::mutex> lock(m_regionLock);
        m_regions[region].settings.displayType = type;
    }
    const CRendererUse use(*this);
    return use->SetDisplayType(region, type);
}

uint32_t CPlayer::GetPtz(uint16_t region, float* pan, float* tilt, float* zoom) {
    const CRendererUse use(*this);
    return use->GetPtz(region, pan, tilt, zoom);
}

// Stored as given; a renderer may hold the zoom to what it can show.
uint32_t CPlayer::SetPtz(uint16_t region, float pan, float tilt, float zoom) {
    {
        std::lock_guard<std::mutex> lock(m_regionLock);
        PortRegionSettings& record = m_regions[region].settings;
        record.pan = pan;
        record.tilt = tilt;
        record.zoom = zoom;
        record.ptzSet = true;
    }
    const CRendererUse use(*this);
    return use->SetPtz(region, pan, tilt, zoom);
}

uint32_t CPlayer::EnableBlankPtz(uint16_t region, uint32_t enable) {
    const CRendererUse use(*this);
    return use->EnableBlankPtz(region, enable != 0);
}

uint32_t CPlayer::SetFlip(uint16_t region, uint32_t flip) {
    const CRendererUse use(*this);
    return use->SetFlip(region, flip);
}

uint32_t CPlayer::SetRatioType(uint16_t region, uint32_t ratioType) {
    const CRendererUse use(*this);
    return use->SetRatioType(region, ratioType);
}

uint32_t CPlayer::Project(uint16_t region, const float* x, const float* y, float* outX, float* outY,
                          uint32_t count) {
    const CRendererUse use(*this);
    return use->Project(region, x, y, outX, outY, count);
}

uint32_t CPlayer::UnProject(uint16_t region, const float* x, const float* y, float* outX,
                            float* outY, uint32_t count) {
    if (x == nullptr || y == nullptr || outX == nullptr || outY == nullptr || count == 0)
        return QUORIX_E_PARAM;
    const CRendererUse use(*this);  // a close on another thread waits for the answer
    return use->UnProject(region, x, y, outX, outY, count);
}

uint32_t CPlayer::SetDrawCallback(uint16_t region, QUORIX_DrawCallback callback, void* user) {
    // The adapter reads the pair on the drawing thread: the function goes last, so a thread
    // that sees the new function also sees its user value.
    CRegionStatus& record = m_regions[region];
    StoreShared(record.drawCallback, static_cast<QUORIX_DrawCallback>(nullptr));
    StoreShared(record.drawUser, user);
    StoreShared(record.drawCallback, callback);
    const CRendererUse use(*this);
    use->DrawCallbackChanged(region);
    return QUORIX_OK;
}

// Stored whatever the renderer answers: the next renderer receives it.
uint32_t CPlayer::SetRenderStatusCallback(QUORIX_RenderStatusCallback callback, void* user) {
    m_statusCallback.store(nullptr);
    m_statusUser.store(user);
    m_statusCallback.store(callback);
    const CRendererUse use(*this);
    return use->InstallStatusCallback();
}

// ---------------------------------------------------------------------------------------------
// Manual rendering: the host draws on its own GL thread

uint32_t CPlayer::GetManualSupport(int32_t* support) {
    if (support == nullptr)
        return QUORIX_E_PARAM;
    const CRendererUse use(*this);
    *support = use->ManualSupport();
    return QUORIX_OK;
}

uint32_t CPlayer::ManualInit(uint32_t createContext) {
    const CRendererUse use(*this);
    return use->ManualInit(createContext != 0);
}

uint32_t CPlayer::ManualRender() {
    const CRendererUse use(*this);
    return use->ManualRender();
}

uint32_t CPlayer::ManualSwapbuffers() {
    const CRendererUse use(*this);
    return use->ManualSwapbuffers();
}

uint32_t CPlayer::ManualUnInit() {
    const CRendererUse use(*this);
    return use->ManualUnInit();
}

// ---------------------------------------------------------------------------------------------
// The host's callbacks behind the renderers' adapters (drawing threads)

uint32_t CPlayer::RegionBackground(uint16_t region) const {
    return LoadShared(const_cast<CRegionStatus&>(m_regions[region]).settings.background);
}

void CPlayer::CallDrawCallback(uint16_t region, int32_t drawMode, QUORIX_HDC dc,
                               const QUORIX_RECT* image, const QUORIX_RECT* rect) {
    if (region >= kRegionCount)
        return;
    CRegionStatus& record = m_regions[region];
    const QUORIX_DrawCallback callback = LoadShared(record.drawCallback);
    if (callback == nullptr)
        return;
    callback(static_cast<uint16_t>(m_port), region, drawMode, dc, image, rect,
             LoadShared(record.drawUser));
}

void CPlayer::CallStatusCallback(uint32_t status) {
    const QUORIX_RenderStatusCallback callback = m_statusCallback.load();
    if (callback != nullptr)
        callback(static_cast<uint16_t>(m_port), status, m_statusUser.load());
}

// ---------------------------------------------------------------------------------------------
// The engine's picture output. A close stops the threads that show pictures before the
// renderer goes, so they read the renderer without a use; the registration of a new stream's
// buffer return can come from any feeding thread and holds one.

uint32_t CPlayer::OnVideoFrame(uint16_t streamId, uint32_t, uint32_t, uint16_t width,
                               uint16_t height, uint8_t* const planes[3], const int32_t strides[3],
                               BRIXEL::CHYUVColour colour) {
    const uint8_t* const constPlanes[3] = {planes[0], planes[1], planes[2]};
    uint32_t unsignedStrides[3];
    for (int i = 0; i < 3; ++i) {
        if (strides[i] < 0)
            return QUORIX_E_PARAM;
        unsignedStrides[i] = static_cast<uint32_t>(strides[i]);
    }
    return m_portRenderer.load()->InputPicture(streamId, width, height, constPlanes,
                                               unsignedStrides, colour);
}

uint32_t CPlayer::RenderFrame(uint16_t streamId, uint32_t, uint32_t, uint16_t width,
                              uint16_t height, uint8_t* buffer, uint32_t size,
                              BRIXEL::CHYUVColour colour) {
    // The engine packs every picture, odd sizes included, in the one planar 4:2:0 block layout.
    if (buffer == nullptr || width == 0 || height == 0 ||
        BRIXEL::HPixelI420Size(width, height) > size)
        return QUORIX_E_PARAM;
    return m_portRenderer.load()->AttachPicture(streamId, width, height, buffer, size, colour);
}

uint32_t CPlayer::SetRecoveryCallback(uint16_t streamId, BRIXEL::HRecoveryCallback callback,
                                      void* context) {
    m_recoveryContext.store(context);
    m_recovery.store(callback);
    // A stream is made by the first record that names it, on whichever thread feeds the port:
    // also a host thread that pushes records while another one closes the port.
    const CRendererUse use(*this);
    return use->SetPictureRelease(streamId, callback, context);
}

void CPlayer::ReturnPicture(uint8_t* data, uint32_t size) {
    const BRIXEL::HRecoveryCallback callback = m_recovery.load();
    if (callback != nullptr) {
        callback(data, size, m_recoveryContext.load());
    } else {
        // Nobody to take it back: the buffer came from the engine's own allocation.
        BRIXEL::CHBuffer owner;
        owner.Attach(data, size, true);
    }
}

void CPlayer::RecyclePicture(uint8_t* data, uint32_t size) {
    RecycleBuffer(data, size, static_cast<CHPlayer*>(this));
}
