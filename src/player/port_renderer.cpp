#include "player/port_renderer.h"

#include "base/hlog.h"

namespace {

int32_t Extent(int32_t from, int32_t to) {
    const int64_t d = int64_t{to} - from;
    return static_cast<int32_t>(d > INT32_MAX ? INT32_MAX : (d < INT32_MIN ? INT32_MIN : d));
}

}  // namespace

int32_t PortRegionSettings::Width() const {
    return Extent(left, right);
}

int32_t PortRegionSettings::Height() const {
    return Extent(top, bottom);
}

void CPortPicture::Release() {
    if (release != nullptr && data != nullptr)
        release(data);
    data = nullptr;
    release = nullptr;
    heap.clear();
}

QUORIX_RECT PortRect(int32_t x, int32_t y, int32_t width, int32_t height) {
    // Wide arithmetic: a renderer's rectangle near the i32 limits must not overflow.
    auto clamp = [](int64_t v) {
        return static_cast<int32_t>(v > INT32_MAX ? INT32_MAX : (v < INT32_MIN ? INT32_MIN : v));
    };
    return QUORIX_RECT{x, y, clamp(int64_t{x} + width), clamp(int64_t{y} + height)};
}

void LogRegionHandOver(uint16_t region, const PortRegionSettings& settings) {
    HLOG("player", "quorixsdk", BRIXEL::HLOG_INFO, "CPlayer::OnCreateRender",
         "set %d region (l=%d,t=%d,w=%d,h=%d)", static_cast<int>(region), settings.left,
         settings.top, settings.Width(), settings.Height());
}
