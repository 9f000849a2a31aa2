// The exported functions of captures, snapshot callbacks, recording, clip export, sound and
// attached ports. The same uniform checks as every port function: the library is initialised
// (QUORIX_E_NOT_INIT), the port number and a region number are in range and the port is in use
// (QUORIX_E_PARAM); value getters answer 0 instead.

#include <quorixsdk.h>

#include "media/waveout.h"
#include "sdk/exportcheck.h"
#include "sdk/quorixapp.h"

using namespace quorixexport;

namespace {

constexpr uint32_t kBmpFile = 1;
constexpr uint32_t kJpegFile = 0;

uint16_t JpegQuality() {
    return GetApp().GetJpegQuality();
}

}  // namespace

extern "C" {

/* ---- Captures ---- */

uint32_t QUORIX_CaptureBmp(uint16_t port, uint16_t region, const char* path) {
    return OnRegion(port, region,
                    [&](CPlayer& p) { return p.Snap(region, path, JpegQuality(), kBmpFile); });
}

uint32_t QUORIX_CaptureJpeg(uint16_t port, uint16_t region, const char* path) {
    return OnRegion(port, region,
                    [&](CPlayer& p) { return p.Snap(region, path, JpegQuality(), kJpegFile); });
}

uint32_t QUORIX_CaptureOriginalBmp(uint16_t port, const char* path) {
    return OnPort(port, [&](CPlayer& p) { return p.SnapOriginal(path, JpegQuality(), kBmpFile); });
}

uint32_t QUORIX_CaptureOriginalJpeg(uint16_t port, const char* path) {
    return OnPort(port, [&](CPlayer& p) { return p.SnapOriginal(path, JpegQuality(), kJpegFile); });
}

uint32_t QUORIX_SnapDataSaveToFile(const char* path, uint16_t quality, uint32_t fileType,
                                   uint32_t width, uint32_t stride, uint32_t height,
                                   uint32_t format, const uint8_t* data) {
    return Guarded([=] {
        return CPlayer::SaveSnapData(path, quality, fileType, width, stride, height, format, data);
    });
}

/* ---- Snapshot callbacks ---- */

uint32_t QUORIX_SetSnapCallback(uint16_t port, uint16_t region, QUORIX_SnapCallback cb, void* user,
                                uint32_t format, uint32_t align) {
    return OnRegion(port, region,
                    [&](CPlayer& p) { return p.SetSnapCallback(region, cb, user, format, align); });
}

uint32_t QUORIX_SetSnapRect(uint16_t port, uint16_t region, float x, float y, float width,
                            float height) {
    return OnRegion(port, region,
                    [&](CPlayer& p) { return p.SetSnapRect(region, x, y, width, height); });
}

uint32_t QUORIX_SetScreenOffSnapCallback(uint16_t port, QUORIX_SnapCallback cb, void* user,
                                         float scale, uint32_t format, uint32_t align) {
    return OnPort(port, [&](CPlayer& p) {
        return p.SetScreenOffSnapCallback(cb, user, scale, format, align);
    });
}

uint32_t QUORIX_SetScreenOffSnapRect(uint16_t port, float x, float y, float width, float height) {
    return OnPort(port, [&](CPlayer& p) { return p.SetScreenOffSnapRect(x, y, width, height); });
}

/* ---- Recording and clip export ---- */

uint32_t QUORIX_StartLocalRecord(uint16_t port, const char* path) {
    return OnPort(port, [&](CPlayer& p) { return p.StartLocalRecord(path); });
}

uint32_t QUORIX_StopLocalRecord(uint16_t port) {
    return OnPort(port, [](CPlayer& p) { return p.StopLocalRecord(); });
}

uint32_t QUORIX_FilmEditing(uint16_t port, const char* path, uint32_t begin, uint32_t end,
                            int32_t byTime, int32_t withAudio) {
    return OnPort(port, [&](CPlayer& p) {
        return p.FilmEditing(path, begin, end, byTime != 0, withAudio != 0);
    });
}

/* ---- Sound ---- */

uint32_t QUORIX_PlayAudio(uint16_t port) {
    return OnPort(port, [port](CPlayer&) {
        CQuorixApp& app = GetApp();
        app.SetAudioPort(port);
        // Without a usable device the port still holds the audio; its sound is dropped.
        if (BRIXEL::CWaveOut* wave = app.GetWaveOut())
            wave->Open();
        return QUORIX_OK;
    });
}

uint32_t QUORIX_StopAudio(void) {
    return Guarded([] {
        CQuorixApp& app = GetApp();
        if (!app.IsInitialized())
            return QUORIX_E_NOT_INIT;
        app.SetAudioPort(QUORIX_NO_AUDIO_PORT);
        if (BRIXEL::CWaveOut* wave = app.GetWaveOut())
            wave->Close();
        return QUORIX_OK;
    });
}

uint32_t QUORIX_SetVolume(uint16_t port, uint32_t volume) {
    return OnPort(port, [volume](CPlayer& p) { return p.SetVolume(volume); });
}

uint32_t QUORIX_GetVolume(uint16_t port) {
    return Guarded<uint32_t>(0, [port] {
        const PortAccess access = CheckPort(port);
        return access ? access.player->GetVolume() : 0u;
    });
}

/* ---- Attached ports ---- */

uint32_t QUORIX_SetAttachPlayer(uint16_t port, uint16_t attachedPort) {
    return OnPort(port, [attachedPort](CPlayer& p) {
        // A number out of range detaches; the attached port may be free, closed or this one.
        p.SetAttachPlayer(GetApp().GetPlayer(attachedPort));
        return QUORIX_OK;
    });
}

uint32_t QUORIX_SetAttachCallback(uint16_t port, QUORIX_AttachCallback cb, void* user) {
    return OnPort(port, [&](CPlayer& p) {
        p.SetAttachCallback(cb, user);
        return QUORIX_OK;
    });
}

}  // extern "C"
