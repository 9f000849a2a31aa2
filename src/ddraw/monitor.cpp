#include "ddraw/monitor.h"

#include <quorixsdk_codes.h>

#include <cstring>
#include <memory>

namespace HDD {

namespace {

bool EnumThunk(const QXPLAT::DDGUID* guid, const char*, const char*, void* context,
               QXPLAT::DDMONITOR monitor) {
    return static_cast<CMonitorMgr*>(context)->OnDevice(guid, monitor);
}

}  // namespace

CMonitorMgr& CMonitorMgr::Instance() {
    static CMonitorMgr instance;
    return instance;
}

bool CMonitorMgr::OnDevice(const QXPLAT::DDGUID* guid, QXPLAT::DDMONITOR monitor) {
    // The entry without a GUID is the display driver as a whole, not a device of its own.
    if (guid == nullptr)
        return true;
    std::lock_guard<std::recursive_mutex> guard(m_mutex);
    if (m_count < kMaxScreens) {
        CScreenInfo& e = m_entries[m_count];
        e.guid = *guid;
        e.monitor = monitor;
        e.present = 1;
        ++m_count;
    }
    return true;
}

uint32_t CMonitorMgr::EnumerateDevices() {
    return QXPLAT::DirectDrawEnumerateEx(
        &EnumThunk, this,
        QXPLAT::DDENUM_ATTACHEDSECONDARYDEVICES | QXPLAT::DDENUM_NONDISPLAYDEVICES);
}

uint32_t CMonitorMgr::ProbeDevice(const QXPLAT::DDGUID& guid, uint32_t* videoMemory) {
    std::shared_ptr<QXPLAT::CDirectDraw7> dd;
    uint32_t r = QXPLAT::DirectDrawCreateEx(QXPLAT::DDGuidIsNull(guid) ? nullptr : &guid, &dd);
    if (r != QXPLAT::DD_OK)
        return r;
    QXPLAT::DDCAPS caps{};
    caps.size = sizeof(caps);
    r = dd->GetCaps(&caps, nullptr);
    if (r != QXPLAT::DD_OK)
        return r;
    *videoMemory = (caps.surfaceCaps & QXPLAT::DDSCAPS_VIDEOMEMORY) != 0 ? 1 : 0;
    return QXPLAT::DD_OK;
}

uint32_t CMonitorMgr::Enumerate() {
    std::lock_guard<std::recursive_mutex> guard(m_mutex);
    if (m_enumerated != 0)
        return QUORIX_OK;
    const uint32_t r = EnumerateDevices();
    if (r != QXPLAT::DD_OK)
        return r;
    for (uint32_t i = 0; i < kMaxScreens; ++i) {
        CScreenInfo& e = m_entries[i];
        if (i > 0 && e.present == 0)
            break;
        uint32_t videoMemory = 0;
        if (ProbeDevice(e.guid, &videoMemory) != QXPLAT::DD_OK)
            break;
        e.videoMemory = videoMemory;
    }
    m_enumerated = 1;
    return QUORIX_OK;
}

uint32_t CMonitorMgr::Refresh() {
    std::lock_guard<std::recursive_mutex> guard(m_mutex);
    for (CScreenInfo& e : m_entries)
        e = CScreenInfo();
    m_count = 0;
    m_enumerated = 0;
    return Enumerate();
}

bool CMonitorMgr::CopyEntry(uint32_t index, CScreenInfo* entry) const {
    if (index >= kMaxScreens || entry == nullptr)
        return false;
    std::lock_guard<std::recursive_mutex> guard(m_mutex);
    *entry = m_entries[index];
    return true;
}

const CScreenInfo* CMonitorMgr::GetEntry(uint32_t index) const {
    if (index >= kMaxScreens)
        return nullptr;
    return &m_entries[index];
}

uint32_t CMonitorMgr::GetCount() const {
    std::lock_guard<std::recursive_mutex> guard(m_mutex);
    return m_count;
}

bool CMonitorMgr::IsEnumerated() const {
    std::lock_guard<std::recursive_mutex> guard(m_mutex);
    return m_enumerated != 0;
}

bool GetMonitorRect(QXPLAT::DDMONITOR monitor, QXPLAT::DDRECT* rect) {
    if (monitor == 0) {
        int32_t w = 0, h = 0;
        QXPLAT::DDGetScreenSize(&w, &h);
        *rect = {0, 0, w, h};
        return true;
    }
    return QXPLAT::DDGetMonitorRect(monitor, rect, nullptr);
}

bool PlaceWindow(const QXPLAT::DDRECT& monitor, const QXPLAT::DDRECT& window,
                 QXPLAT::DDRECT* placed) {
    const bool intersects = window.left < monitor.right && monitor.left < window.right &&
                            window.top < monitor.bottom && monitor.top < window.bottom &&
                            window.left < window.right && window.top < window.bottom;
    if (!intersects)
        return false;
    *placed = {window.left - monitor.left, window.top - monitor.top, window.right - monitor.left,
               window.bottom - monitor.top};
    return true;
}

}  // namespace HDD
