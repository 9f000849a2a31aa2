// The exported display and view functions: the uniform checks, then the port.

#include <quorixsdk.h>

#include "base/hlog.h"
#include "sdk/exportcheck.h"
#include "sdk/quorixapp.h"

using namespace quorixexport;

namespace {

constexpr const char* kSource = "quorixsdk";
constexpr const char* kModule = "quorixsdk";

}  // namespace

extern "C" {

uint32_t QUORIX_SetDisplayRegion(uint16_t port, uint16_t region, const QUORIX_RECT* rect,
                                 uint32_t enable) {
    HLOG(kSource, kModule, BRIXEL::HLOG_DEBUG, "QUORIX_SetDisplayRegion", "%s",
         "QUORIX_SetDisplayRegion");
    return OnRegion(port, region,
                    [=](CPlayer& p) { return p.SetDisplayRegion(region, rect, enable); });
}

uint32_t QUORIX_SetBackgroundColor(uint16_t port, uint16_t region, uint32_t color) {
    return OnRegion(port, region, [=](CPlayer& p) { return p.SetBackgroundColor(region, color); });
}

uint32_t QUORIX_GetSupportedDisplayTypeList(uint16_t port, uint32_t* types, int32_t* count) {
    return OnPort(port, [=](CPlayer& p) { return p.GetDisplayTypeList(types, count); });
}

uint32_t QUORIX_GetCurrentDisplayType(uint16_t port, uint16_t region, uint32_t* type) {
    return OnRegion(port, region, [=](CPlayer& p) { return p.GetDisplayType(region, type); });
}

uint32_t QUORIX_SetCurrentDisplayType(uint16_t port, uint16_t region, uint32_t type) {
    return OnRegion(port, region, [=](CPlayer& p) { return p.SetDisplayType(region, type); });
}

uint32_t QUORIX_GetPTZPosition(uint16_t port, uint16_t region, float* pan, float* tilt,
                               float* zoom) {
    return OnRegion(port, region, [=](CPlayer& p) { return p.GetPtz(region, pan, tilt, zoom); });
}

uint32_t QUORIX_SetPTZPosition(uint16_t port, uint16_t region, float pan, float tilt, float zoom) {
    return OnRegion(port, region, [=](CPlayer& p) { return p.SetPtz(region, pan, tilt, zoom); });
}

uint32_t QUORIX_EnableBlankPTZ(uint16_t port, uint16_t region, uint32_t enable) {
    return OnRegion(port, region, [=](CPlayer& p) { return p.EnableBlankPtz(region, enable); });
}

uint32_t QUORIX_SetFlip(uint16_t port, uint16_t region, uint32_t flip) {
    return OnRegion(port, region, [=](CPlayer& p) { return p.SetFlip(region, flip); });
}

uint32_t QUORIX_SetDisplayRatioType(uint16_t port, uint16_t region, uint32_t ratioType) {
    return OnRegion(port, region, [=](CPlayer& p) { return p.SetRatioType(region, ratioType); });
}

uint32_t QUORIX_Project(uint16_t port, uint16_t region, const float* x, const float* y, float* outX,
                        float* outY, uint32_t count) {
    return OnRegion(port, region,
                    [=](CPlayer& p) { return p.Project(region, x, y, outX, outY, count); });
}

uint32_t QUORIX_UnProject(uint16_t port, uint16_t region, const float* x, const float* y,
                          float* outX, float* outY, uint32_t count) {
    return OnRegion(port, region,
                    [=](CPlayer& p) { return p.UnProject(region, x, y, outX, outY, count); });
}

uint32_t QUORIX_SetDrawCallback(uint16_t port, uint16_t region, QUORIX_DrawCallback cb,
                                void* user) {
    return OnRegion(port, region, [=](CPlayer& p) { return p.SetDrawCallback(region, cb, user); });
}

uint32_t QUORIX_SetRenderStatusCallback(uint16_t port, QUORIX_RenderStatusCallback cb, void* user) {
    return OnPort(port, [=](CPlayer& p) { return p.SetRenderStatusCallback(cb, user); });
}

uint32_t QUORIX_GetManualSupport(uint16_t port, int32_t* support) {
    return OnPort(port, [=](CPlayer& p) { return p.GetManualSupport(support); });
}

uint32_t QUORIX_ManualInit(uint16_t port, uint32_t createContext) {
    return OnPort(port, [=](CPlayer& p) { return p.ManualInit(createContext); });
}

uint32_t QUORIX_ManualRender(uint16_t port) {
    return OnPort(port, [](CPlayer& p) { return p.ManualRender(); });
}

uint32_t QUORIX_ManualSwapbuffers(uint16_t port) {
    return OnPort(port, [](CPlayer& p) { return p.ManualSwapbuffers(); });
}

uint32_t QUORIX_ManualUnInit(uint16_t port) {
    return OnPort(port, [](CPlayer& p) { return p.ManualUnInit(); });
}

}  // extern "C"
