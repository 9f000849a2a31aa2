// The uniform checks and the exception guard that every exported port function goes through:
// the library is initialised (QUORIX_E_NOT_INIT), the port and region numbers are in range and
// the port is in use (QUORIX_E_PARAM).
#pragma once

#include <quorixsdk.h>

#include <cxxabi.h>

#include "base/hthread.h"
#include "sdk/quorixapp.h"

namespace quorixexport {

// The result of the uniform checks: the port to forward to, or the code to answer.
struct PortAccess {
    CPlayer* player = nullptr;
    uint32_t code = QUORIX_OK;
    explicit operator bool() const { return player != nullptr; }
};

inline PortAccess CheckPort(uint16_t port) {
    CQuorixApp& app = GetApp();
    if (!app.IsInitialized())
        return {nullptr, QUORIX_E_NOT_INIT};
    CPlayer* player = app.GetPlayer(port);
    if (player == nullptr || !player->IsInUse())
        return {nullptr, QUORIX_E_PARAM};
    return {player, QUORIX_OK};
}

inline PortAccess CheckRegion(uint16_t port, uint16_t region) {
    if (region >= CQuorixApp::MAX_REGIONS) {
        return {nullptr, GetApp().IsInitialized() ? QUORIX_E_PARAM : QUORIX_E_NOT_INIT};
    }
    return CheckPort(port);
}

// Nothing may unwind into the host's C code: an exception becomes QUORIX_E_EXCEPTION (or the
// given value for a value getter). Thread cancellation of a host thread must keep unwinding.
template <typename Result, typename Body>
H_PASSES_CANCEL Result Guarded(Result onException, Body&& body) {
    try {
        Result result = body();
        ArmExitSentinel();
        return result;
    } catch (abi::__forced_unwind&) {
        throw;
    } catch (...) {
        return onException;
    }
}

template <typename Body>
uint32_t Guarded(Body&& body) {
    return Guarded<uint32_t>(QUORIX_E_EXCEPTION, static_cast<Body&&>(body));
}

// For the exports that may load libraries (decoders, the GL driver, the renderer plug-in): after
// the call, the exit handler is registered again if the loader brought something new.
template <typename Body>
uint32_t GuardedLoading(Body&& body) {
    return Guarded([&] {
        const uint32_t result = body();
        ArmExitHandler();
        return result;
    });
}

// Runs `call` on the port after the checks, or answers the failed check's code.
template <typename Call>
uint32_t OnPort(uint16_t port, Call&& call) {
    return Guarded([&] {
        const PortAccess access = CheckPort(port);
        return access ? call(*access.player) : access.code;
    });
}

template <typename Call>
uint32_t OnRegion(uint16_t port, uint16_t region, Call&& call) {
    return Guarded([&] {
        const PortAccess access = CheckRegion(port, region);
        return access ? call(*access.player) : access.code;
    });
}

}  // namespace quorixexport
