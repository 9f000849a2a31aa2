// The exported C functions: the uniform checks, then the port or the application object.
//
// Every port function checks, in this order: the library is initialised (QUORIX_E_NOT_INIT), the
// port number is below MAX_PORTS and a region number below MAX_REGIONS (QUORIX_E_PARAM), the port
// is in use (QUORIX_E_PARAM); value getters answer 0 instead. A failed check logs nothing and
// changes nothing. Operations this build does not carry answer QUORIX_E_NOT_IMPL after the checks.

#include <quorixsdk.h>

#include <sys/stat.h>

#include <cstring>

#include "base/hdatetime.h"
#include "base/hfile.h"
#include "base/hlog.h"
#include "media/hmfreader.h"
#include "sdk/exportcheck.h"
#include "sdk/quorixapp.h"

using namespace quorixexport;

namespace {

constexpr const char* kSource = "quorixsdk";
constexpr const char* kModule = "quorixsdk";

void LogOwnName(const char* name) {
    HLOG(kSource, kModule, BRIXEL::HLOG_DEBUG, name, "%s", name);
}

bool IsDirectory(const char* path) {
    struct stat info {};
    return stat(path, &info) == 0 && S_ISDIR(info.st_mode);
}

}  // namespace

extern "C" {

/* ---- Library and ports ---- */

uint32_t QUORIX_InitSDK(void) {
    return GuardedLoading([] {
        LogOwnName("QUORIX_InitSDK");
        return GetApp().InitInstance();
    });
}

uint32_t QUORIX_ReleaseSDK(void) {
    return Guarded([] { return GetApp().ExitInstance(); });
}

void QUORIX_SetRenderMode(uint32_t mode) {
    GuardedLoading([mode] {
        GetApp().SetRenderMode(mode);
        return QUORIX_OK;
    });
}

void QUORIX_SetLogAttribute(uint32_t enable, uint32_t level, const char* logPath,
                            const char* logExtension) {
    Guarded([&] {
        // Applied twice in a row: the second pass finds everything in place and changes nothing.
        for (int pass = 0; pass < 2; ++pass) {
            BRIXEL::CHLog::Instance().Configure(enable != 0 ? 1 : 0, level, logPath, logExtension);
        }
        return QUORIX_OK;
    });
}

uint32_t QUORIX_GetPort(uint16_t* port) {
    return Guarded([port] {
        LogOwnName("QUORIX_GetPort");
        CQuorixApp& app = GetApp();
        if (!app.IsInitialized()) {
            return QUORIX_E_NOT_INIT;
        }
        if (port == nullptr) {
            return QUORIX_E_PARAM;
        }
        return app.AllocatePort(port);
    });
}

uint32_t QUORIX_FreePort(uint16_t port) {
    return Guarded([port] {
        CQuorixApp& app = GetApp();
        if (!app.IsInitialized()) {
            return QUORIX_OK;
        }
        CPlayer* player = app.GetPlayer(port);
        if (player == nullptr) {
            return QUORIX_E_PARAM;
        }
        app.FreePort(*player);
        return QUORIX_OK;
    });
}

uint32_t QUORIX_GetFileInfo(const char* path, double* beginTime, double* endTime) {
    return Guarded([=] {
        if (beginTime == nullptr || endTime == nullptr) {
            return QUORIX_E_PARAM;
        }
        // fopen succeeds on a directory here; it is no more a file to read than a missing one.
        BRIXEL::CHFile file;
        if (path == nullptr || IsDirectory(path) || !file.Open(path, "rb")) {
            return QUORIX_E_OPEN_FILE;
        }
        return BRIXEL::CHMFReader::ReadFileTimes(file, beginTime, endTime);
    });
}

uint32_t QUORIX_CheckFrameNum(uint16_t port, int32_t enable) {
    return Guarded([=] {
        const PortAccess access = CheckPort(port);
        if (!access) {
            return access.code;
        }
        access.player->SetCheckFrameNum(enable != 0);
        return QUORIX_OK;
    });
}

uint32_t QUORIX_IsPlaying(uint16_t port, uint32_t* playing) {
    return Guarded([=] {
        const PortAccess access = CheckPort(port);
        if (!access) {
            return access.code;
        }
        if (playing != nullptr) {
            *playing = access.player->ReportsPlaying() ? 1 : 0;
        }
        return QUORIX_OK;
    });
}

uint32_t QUORIX_SetJpegQuality(uint16_t quality) {
    return Guarded([quality] {
        CQuorixApp& app = GetApp();
        if (!app.IsInitialized()) {
            return QUORIX_E_NOT_INIT;
        }
        app.SetJpegQuality(quality);
        return QUORIX_OK;
    });
}

/* ---- Opening, closing and feeding ---- */

uint32_t QUORIX_OpenFile(uint16_t port, const char* path) {
    return GuardedLoading([=] {
        LogOwnName("QUORIX_OpenFile");
        const PortAccess access = CheckPort(port);
        if (!access) {
            return access.code;
        }
        return access.player->OpenFile(path);
    });
}

uint32_t QUORIX_CloseFile(uint16_t port) {
    return Guarded([=] {
        const PortAccess access = CheckPort(port);
        return access ? access.player->CloseFile() : access.code;
    });
}

uint32_t QUORIX_OpenStream(uint16_t port, int32_t model, const void* infoData, uint32_t infoLen,
                           const void* modelData, uint32_t modelLen) {
    return GuardedLoading([=] {
        const PortAccess access = CheckPort(port);
        return access ? access.player->OpenStream(model, infoData, infoLen, modelData, modelLen)
                      : access.code;
    });
}

uint32_t QUORIX_CloseStream(uint16_t port) {
    return Guarded([=] {
        const PortAccess access = CheckPort(port);
        return access ? access.player->CloseStream() : access.code;
    });
}

uint32_t QUORIX_SetStreamOpenMode(uint16_t port, uint32_t mode) {
    return Guarded([=] {
        const PortAccess access = CheckPort(port);
        return access ? access.player->SetPlayMode(mode) : access.code;
    });
}

uint32_t QUORIX_InputStreamData(uint16_t port, const uint8_t* data, uint32_t len) {
    return Guarded([=] {
        const PortAccess access = CheckPort(port);
        if (!access) {
            return access.code;
        }
        // Nothing of the record is read before it is known to hold a whole header.
        if (data == nullptr || len < 28) {
            return QUORIX_E_PARAM;
        }
        return access.player->InputData(data, len);
    });
}

uint32_t QUORIX_SetFileEndCallback(uint16_t port, QUORIX_FileEndCallback cb, void* user) {
    return Guarded([=] {
        const PortAccess access = CheckPort(port);
        if (!access) {
            return access.code;
        }
        access.player->SetFileEndCallback(cb, user);
        return QUORIX_OK;
    });
}

uint32_t QUORIX_SetFileOpenInfoCallback(uint16_t port, QUORIX_FileOpenInfoCallback cb, void* user) {
    return Guarded([=] {
        const PortAccess access = CheckPort(port);
        if (!access) {
            return access.code;
        }
        access.player->SetFileOpenInfoCallback(cb, user);
        return QUORIX_OK;
    });
}

/* ---- Play control ---- */

uint32_t QUORIX_Play(uint16_t port, QUORIX_HWND window, QUORIX_HDC dc, uint32_t manual) {
    return GuardedLoading([=] {
        LogOwnName("QUORIX_Play");
        const PortAccess access = CheckPort(port);
        return access ? access.player->BeginPlay(window, dc, manual) : access.code;
    });
}

uint32_t QUORIX_Stop(uint16_t port) {
    return Guarded([=] {
        const PortAccess access = CheckPort(port);
        return access ? access.player->Stop() : access.code;
    });
}

uint32_t QUORIX_Pause(uint16_t port, int32_t pause) {
    return Guarded([=] {
        const PortAccess access = CheckPort(port);
        return access ? access.player->Pause(pause != 0) : access.code;
    });
}

uint32_t QUORIX_Fast(uint16_t port) {
    return Guarded([=] {
        const PortAccess access = CheckPort(port);
        return access ? access.player->Fast() : access.code;
    });
}

uint32_t QUORIX_Slow(uint16_t port) {
    return Guarded([=] {
        const PortAccess access = CheckPort(port);
        return access ? access.player->Slow() : access.code;
    });
}

uint32_t QUORIX_SetPlaySpeed(uint16_t port, int32_t speed) {
    return Guarded([=] {
        const PortAccess access = CheckPort(port);
        return access ? access.player->SetSpeed(speed) : access.code;
    });
}

uint32_t QUORIX_GetPlaySpeed(uint16_t port, int32_t* speed) {
    return Guarded([=] {
        const PortAccess access = CheckPort(port);
        if (!access) {
            return access.code;
        }
        if (speed == nullptr) {
            return QUORIX_E_PARAM;
        }
        *speed = access.player->GetSpeed();
        return QUORIX_OK;
    });
}

uint32_t QUORIX_OneByOne(uint16_t port) {
    return Guarded([=] {
        const PortAccess access = CheckPort(port);
        return access ? access.player->Step(false) : access.code;
    });
}

uint32_t QUORIX_OneByOneBack(uint16_t port) {
    return Guarded([=] {
        const PortAccess access = CheckPort(port);
        return access ? access.player->Step(true) : access.code;
    });
}

uint32_t QUORIX_SetPlayedTime(uint16_t port, uint32_t ms) {
    return Guarded([=] {
        const PortAccess access = CheckPort(port);
        return access ? access.player->SeekTime(ms) : access.code;
    });
}

uint32_t QUORIX_GetPlayedTime(uint16_t port) {
    return Guarded<uint32_t>(0, [=] {
        const PortAccess access = CheckPort(port);
        return access ? access.player->GetPlayedTime() : 0u;
    });
}

uint32_t QUORIX_SetPlayedPos(uint16_t port, float pos) {
    return Guarded([=] {
        const PortAccess access = CheckPort(port);
        return access ? access.player->SeekPos(pos) : access.code;
    });
}

float QUORIX_GetPlayedPos(uint16_t port) {
    return Guarded<float>(0.0f, [=] {
        const PortAccess access = CheckPort(port);
        return access ? access.player->GetPlayedPos() : 0.0f;
    });
}

uint32_t QUORIX_GetFileTotleTimes(uint16_t port) {
    return Guarded<uint32_t>(0, [=] {
        const PortAccess access = CheckPort(port);
        return access ? access.player->GetTotalTime() : 0u;
    });
}

uint32_t QUORIX_GetFileTotleFrames(uint16_t port) {
    return Guarded<uint32_t>(0, [=] {
        const PortAccess access = CheckPort(port);
        return access ? access.player->GetTotalFrames() : 0u;
    });
}

uint32_t QUORIX_GetCurrentVideoFrameStamp(uint16_t port) {
    return Guarded<uint32_t>(0, [=] {
        const PortAccess access = CheckPort(port);
        return access ? access.player->GetLastFrameStamp() : 0u;
    });
}

uint32_t QUORIX_GetCurrentVideoFrameClock(uint16_t port) {
    return Guarded<uint32_t>(0, [=] {
        const PortAccess access = CheckPort(port);
        return access ? access.player->GetLastFrameClock() : 0u;
    });
}

/* Display and view: quorixsdk_view.cpp */

/* Captures, snapshot callbacks, recording, clip export, sound and attached ports are in
   quorixsdk_capture.cpp. */

}  // extern "C"
