#pragma once
// The DirectDraw devices of the machine, one per monitor, found anew at each initialisation of
// the library. Every display builds its per-device surfaces from this list.

#include <cstdint>
#include <mutex>

#include "platform/soft_ddraw.h"

namespace HDD {

constexpr uint32_t kMaxScreens = 16;

class CScreenInfo {
public:
    virtual ~CScreenInfo() = default;

    QXPLAT::DDGUID guid{};  // all zero: the default device
    QXPLAT::DDMONITOR monitor = 0;
    uint32_t present = 0;      // 1 when the entry is filled
    uint32_t videoMemory = 0;  // 1 when the driver can place surfaces in video memory
};

class CMonitorMgr {
public:
    // The process-wide list (created on first use, destroyed at exit).
    static CMonitorMgr& Instance();

    CMonitorMgr() = default;
    virtual ~CMonitorMgr() = default;
    CMonitorMgr(const CMonitorMgr&) = delete;
    CMonitorMgr& operator=(const CMonitorMgr&) = delete;

    // Fills the list; does nothing after the first successful call. 0.
    uint32_t Enumerate();
    // Forgets the list and fills it again: the monitors (and whether there is a display at all)
    // may have changed since the last initialisation.
    uint32_t Refresh();
    // Entries 0..15; null from 16 on. The entry may change under a Refresh: see CopyEntry.
    const CScreenInfo* GetEntry(uint32_t index) const;
    // A copy of entry 0..15 taken under the list's lock; false from 16 on.
    bool CopyEntry(uint32_t index, CScreenInfo* entry) const;
    uint32_t GetCount() const;
    bool IsEnumerated() const;

    // Called for every reported device; true to continue (always).
    bool OnDevice(const QXPLAT::DDGUID* guid, QXPLAT::DDMONITOR monitor);

protected:
    // The platform's device enumeration and capability probe; replaced in tests.
    virtual uint32_t EnumerateDevices();
    // Creates the device, reads its driver capabilities and releases it. 0 or the failure.
    virtual uint32_t ProbeDevice(const QXPLAT::DDGUID& guid, uint32_t* videoMemory);

private:
    mutable std::recursive_mutex m_mutex;  // guards the fields below
    CScreenInfo m_entries[kMaxScreens];
    uint32_t m_count = 0;
    uint32_t m_enumerated = 0;
};

// The monitor's rectangle in screen coordinates; for a null monitor the whole screen. False for
// a monitor that no longer exists.
bool GetMonitorRect(QXPLAT::DDMONITOR monitor, QXPLAT::DDRECT* rect);
// Where a window (its client rectangle in screen coordinates) lies on a monitor's primary
// surface: false when it does not intersect the monitor, else the window's rectangle moved by
// minus the monitor's top-left corner.
bool PlaceWindow(const QXPLAT::DDRECT& monitor, const QXPLAT::DDRECT& window,
                 QXPLAT::DDRECT* placed);

}  // namespace HDD
