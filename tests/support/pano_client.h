// The external renderer double as the tests reach it: the library (or its copy) beside the test
// executable has loaded libPanoRenderOGL.so from there, and the query entries are looked up in
// that same module.
#pragma once

#include <dlfcn.h>

#include <filesystem>
#include <string>

#include "support/pano_double.h"

namespace panotest {

struct PanoDouble {
    void* module = nullptr;
    PlayerPanoResetFn reset = nullptr;
    PlayerPanoSetCreateResultFn setCreateResult = nullptr;
    PlayerPanoFrameCountFn frameCount = nullptr;
    PlayerPanoWaitFramesFn waitFrames = nullptr;
    PlayerPanoFrameFn frame = nullptr;
    // Calls of an entry since the reset; "stale": entries reached with a destroyed handle and
    // destroys of a handle still in use.
    PlayerPanoCallsFn calls = nullptr;
    PlayerPanoSetFrameHookFn setFrameHook = nullptr;

    static PanoDouble& Get() {
        static PanoDouble d = [] {
            PanoDouble p;
            const std::string dir =
                std::filesystem::read_symlink("/proc/self/exe").parent_path().string();
            p.module = dlopen((dir + "/libPanoRenderOGL.so").c_str(), RTLD_NOW);
            if (p.module == nullptr)
                return p;
            auto entry = [&p](auto& field, const char* name) {
                field = reinterpret_cast<std::remove_reference_t<decltype(field)>>(
                    dlsym(p.module, name));
            };
            entry(p.reset, "PlayerPano_Reset");
            entry(p.setCreateResult, "PlayerPano_SetCreateResult");
            entry(p.frameCount, "PlayerPano_FrameCount");
            entry(p.waitFrames, "PlayerPano_WaitFrames");
            entry(p.frame, "PlayerPano_Frame");
            entry(p.calls, "PlayerPano_Calls");
            entry(p.setFrameHook, "PlayerPano_SetFrameHook");
            return p;
        }();
        return d;
    }
};

}  // namespace panotest
