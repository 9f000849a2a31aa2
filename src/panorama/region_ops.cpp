// The renderer-level operations on regions (regions 0-8 for the host, 9 for the off-screen
// snapshot): argument checks and result codes in front of the region's own operations.

#include <algorithm>
#include <cmath>
#include <cstdlib>

#include <quorixsdk_codes.h>

#include "panorama/region.h"

namespace SPHERA {

namespace {

// A read-back rectangle is a non-empty part of the region: one reaching past an edge would read
// the neighbouring regions' pixels, or undefined ones outside the target.
bool IsSnapRectInside(float x, float y, float width, float height) {
    constexpr float kSlack = 1.0e-6f;  // 0.1 + 0.9 may round a hair above 1
    const bool finite =
        std::isfinite(x) && std::isfinite(y) && std::isfinite(width) && std::isfinite(height);
    return finite && x >= 0.0f && y >= 0.0f && width > 0.0f && height > 0.0f &&
           x + width <= 1.0f + kSlack && y + height <= 1.0f + kSlack;
}

CRegion* HostRegion(IRegionHost* render, uint32_t region) {
    if (render == nullptr || region >= kScreenOffRegion)
        return nullptr;
    return render->GetRegion(region);
}

// The flat setters and getters: QUORIX_E_PARAM without the region, else the call and QUORIX_OK.
template <typename Call>
uint32_t OnHostRegion(IRegionHost* render, uint32_t region, Call&& call) {
    CRegion* r = HostRegion(render, region);
    if (r == nullptr)
        return QUORIX_E_PARAM;
    call(*r);
    return QUORIX_OK;
}

}  // namespace

uint32_t GetDisplayTypeList(IRegionHost* render, int32_t* types, uint32_t* count) {
    if (render == nullptr || count == nullptr)
        return QUORIX_E_PARAM;
    const auto list = DisplayTypeList(render->GetModelType(), render->GetCameraCount());
    const uint32_t needed = static_cast<uint32_t>(list.size());
    const uint32_t room = *count;
    *count = needed;
    if (room < needed)
        return QUORIX_E_BUFFER_TOO_SMALL;
    if (types == nullptr)
        return QUORIX_E_PARAM;
    std::copy(list.begin(), list.end(), types);
    return QUORIX_OK;
}

uint32_t EnableRegion(IRegionHost* render, uint32_t region, int32_t x, int32_t y, int32_t width,
                      int32_t height, bool enable) {
    if (render == nullptr || region >= kRegionCount)
        return QUORIX_E_PARAM;
    CRegion* r = render->GetRegion(region);
    if (r == nullptr)
        return QUORIX_E_PARAM;
    // A negative size is as empty as a zero one: nothing could be drawn into it.
    if (width > 0 && height > 0 && enable) {
        r->Enable(x, y, width, height);
        if (r->GetDisplayType() == -1) {
            const auto list = DisplayTypeList(render->GetModelType(), render->GetCameraCount());
            r->SetDisplayType(list.empty() ? SPH_DISPLAY_PLANE : list.front());
        }
    } else {
        r->Disable();
    }
    return QUORIX_OK;
}

uint32_t SetDisplayType(IRegionHost* render, uint32_t region, int32_t type) {
    CRegion* r = HostRegion(render, region);
    if (r == nullptr)
        return QUORIX_E_PARAM;
    if (!IsDisplayTypeSupported(render->GetModelType(), render->GetCameraCount(), type))
        return QUORIX_E_PARAM;
    r->SetDisplayType(type);
    return QUORIX_OK;
}

uint32_t GetDisplayType(IRegionHost* render, uint32_t region, int32_t* type) {
    CRegion* r = HostRegion(render, region);
    if (r == nullptr || type == nullptr)
        return QUORIX_E_PARAM;
    *type = r->GetDisplayType();
    return QUORIX_OK;
}

uint32_t SetPtz(IRegionHost* render, uint32_t region, float pan, float tilt, float zoom) {
    return OnHostRegion(render, region, [&](CRegion& r) { r.SetPtz(pan, tilt, zoom); });
}

uint32_t GetPtz(IRegionHost* render, uint32_t region, float* pan, float* tilt, float* zoom) {
    return OnHostRegion(render, region, [&](CRegion& r) { r.GetPtz(pan, tilt, zoom); });
}

uint32_t SetRatioType(IRegionHost* render, uint32_t region, uint32_t ratioType) {
    return OnHostRegion(render, region, [&](CRegion& r) { r.SetRatioType(ratioType); });
}

uint32_t SetFlip(IRegionHost* render, uint32_t region, uint32_t flip) {
    return OnHostRegion(render, region, [&](CRegion& r) { r.SetFlip(flip); });
}

uint32_t SetBackgroundColor(IRegionHost* render, uint32_t region, uint32_t colour) {
    return OnHostRegion(render, region, [&](CRegion& r) { r.SetBackgroundColor(colour); });
}

uint32_t EnableBlankPtz(IRegionHost* render, uint32_t region, bool enable) {
    return OnHostRegion(render, region, [&](CRegion& r) { r.EnableBlankPtz(enable); });
}

uint32_t SetDrawCallback(IRegionHost* render, uint32_t region, DrawCallback callback, void* user) {
    return OnHostRegion(render, region, [&](CRegion& r) { r.SetDrawCallback(callback, user); });
}

uint32_t SetSnapCallback(IRegionHost* render, uint32_t region, SnapCallback callback, void* user) {
    return OnHostRegion(render, region, [&](CRegion& r) { r.SetSnapCallback(callback, user); });
}

uint32_t SetSnapRect(IRegionHost* render, uint32_t region, float x, float y, float width,
                     float height) {
    CRegion* r = HostRegion(render, region);
    if (r == nullptr || !IsSnapRectInside(x, y, width, height))
        return QUORIX_E_PARAM;
    r->SetSnapRect(x, y, width, height);
    return QUORIX_OK;
}

uint32_t SetSnapFormat(IRegionHost* render, uint32_t region, uint32_t format, uint32_t align) {
    CRegion* r = HostRegion(render, region);
    if (r == nullptr)
        return QUORIX_E_PARAM;
    const uint32_t rc = r->SetSnapFormat(format);
    if (rc != QUORIX_OK)
        return rc;
    return r->SetSnapAlign(align);
}

uint32_t Snap(IRegionHost* render, uint32_t region, uint32_t timeoutMs, uint32_t* width,
              uint32_t* stride, uint32_t* height, uint32_t* format, uint8_t** data,
              const SnapRequest& request) {
    CRegion* r = HostRegion(render, region);
    if (r == nullptr)
        return QUORIX_E_PARAM;
    return r->Snap(timeoutMs, width, stride, height, format, data, request);
}

namespace {
CRegion* OffScreenRegion(IRegionHost* render) {
    return render == nullptr ? nullptr : render->GetRegion(kScreenOffRegion);
}

void PrepareOffScreen(IRegionHost* render, CRegion* r9) {
    r9->Enable(0, 0, 0, 0);
    int32_t type = ScreenOffDisplayType(render->GetModelType(), r9->GetDisplayType());
    if (type == -1)
        type = SPH_DISPLAY_PLANE;
    r9->SetDisplayType(type);
}
}  // namespace

uint32_t ScreenOffSnap(IRegionHost* render, uint32_t timeoutMs, uint32_t* width, uint32_t* stride,
                       uint32_t* height, uint32_t* format, uint8_t** data,
                       const SnapRequest& request) {
    CRegion* r9 = OffScreenRegion(render);
    if (r9 == nullptr)
        return QUORIX_E_PARAM;
    if (data == nullptr)
        return QUORIX_E_PARAM;
    BRIXEL::CHAutoLock lock(&r9->SnapLock());
    if (!r9->HasSnapCallback())
        PrepareOffScreen(render, r9);
    render->SetSnapshotBusy(true);
    lock.Unlock();
    const uint32_t rc = r9->Snap(timeoutMs, width, stride, height, format, data, request);
    lock.Lock();
    if (!r9->HasSnapCallback())
        r9->Disable();
    render->SetSnapshotBusy(false);
    return rc;
}

uint32_t SetScreenOffSnapCallback(IRegionHost* render, SnapCallback callback, void* user) {
    CRegion* r9 = OffScreenRegion(render);
    if (r9 == nullptr)
        return QUORIX_E_PARAM;
    BRIXEL::CHAutoLock lock(&r9->SnapLock());
    if (!render->IsSnapshotBusy()) {
        if (callback != nullptr)
            PrepareOffScreen(render, r9);
        else
            r9->Disable();
    }
    r9->SetSnapCallback(callback, user);
    return QUORIX_OK;
}

uint32_t SetScreenOffSnapRect(IRegionHost* render, float x, float y, float width, float height) {
    CRegion* r9 = OffScreenRegion(render);
    if (r9 == nullptr || !IsSnapRectInside(x, y, width, height))
        return QUORIX_E_PARAM;
    r9->SetSnapRect(x, y, width, height);
    return QUORIX_OK;
}

uint32_t SetScreenOffSnapFormat(IRegionHost* render, float sizeFactor, uint32_t format,
                                uint32_t align) {
    CRegion* r9 = OffScreenRegion(render);
    if (r9 == nullptr)
        return QUORIX_E_PARAM;
    r9->SetSnapScale(sizeFactor);
    const uint32_t rc = r9->SetSnapFormat(format);
    if (rc != QUORIX_OK)
        return rc;
    return r9->SetSnapAlign(align);
}

void FreeSnapData(uint8_t* data) {
    std::free(data);
}

uint32_t Project(IRegionHost* render, uint32_t region, const float* xs, const float* ys,
                 float* outXs, float* outYs, uint32_t count) {
    CRegion* r = HostRegion(render, region);
    if (r == nullptr)
        return QUORIX_E_PARAM;
    return r->Project(kProjectTimeoutMs, xs, ys, outXs, outYs, count, false);
}

uint32_t UnProject(IRegionHost* render, uint32_t region, const float* xs, const float* ys,
                   float* outXs, float* outYs, uint32_t count) {
    CRegion* r = HostRegion(render, region);
    if (r == nullptr)
        return QUORIX_E_PARAM;
    return r->Project(kProjectTimeoutMs, xs, ys, outXs, outYs, count, true);
}

}  // namespace SPHERA
