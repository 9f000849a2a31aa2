// The library as a host sees it: libquorixsdk.so through its public header only.

#include <quorixsdk.h>
#include <quorixsdk_camera.h>

#include <cxxabi.h>
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <link.h>
#include <stdlib.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <regex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "support/player_media.h"
#include "support/sdk_elf.h"
#include "support/special_files.h"

namespace fs = std::filesystem;

namespace {

// ---------------------------------------------------------------------------------------------
// Every export that takes a port, with arguments that are valid apart from the port and region.

enum class Answer {
    Code,   // returns a result code
    Value,  // returns a value, 0 when a check fails
};

struct PortExport {
    const char* name;
    bool takesRegion;
    Answer answer;
    // Without an open renderer the port itself answers QUORIX_E_PARAM for these, so that code
    // cannot tell whether the uniform checks or the port answered.
    bool paramWithoutRenderer;
    std::function<uint32_t(uint16_t port, uint16_t region)> call;
};

uint32_t g_u32;
int32_t g_i32;
float g_f32[4];
uint32_t g_types[32];
const float g_points[2] = {0.5f, 0.5f};
const uint8_t g_record[64] = {'h', 't'};
const QUORIX_RECT g_rect = {0, 0, 320, 240};

void OnFileEnd(uint16_t, void*) {}
void OnFileOpenInfo(uint16_t, int32_t, const uint8_t*, uint32_t, void*) {}
void OnDraw(uint16_t, uint16_t, int32_t, QUORIX_HDC, const QUORIX_RECT*, const QUORIX_RECT*,
            void*) {}
void OnStatus(uint16_t, uint32_t, void*) {}
void OnSnap(uint16_t, uint16_t, uint32_t, uint32_t, uint32_t, uint32_t, const uint8_t*, void*) {}
void OnAttach(uint16_t, uint16_t, const uint8_t*, uint32_t, void*) {}

std::string TempPath(const char* leaf) {
    return (fs::temp_directory_path() / leaf).string();
}

const std::vector<PortExport>& PortExports() {
    using P = uint16_t;
    static const std::vector<PortExport> table = {
        {"QUORIX_CheckFrameNum", false, Answer::Code, false,
         [](P p, P) { return QUORIX_CheckFrameNum(p, 1); }},
        {"QUORIX_IsPlaying", false, Answer::Code, false,
         [](P p, P) { return QUORIX_IsPlaying(p, &g_u32); }},
        {"QUORIX_OpenFile", false, Answer::Code, false,
         [](P p, P) { return QUORIX_OpenFile(p, "/nonexistent/file.kz"); }},
        {"QUORIX_CloseFile", false, Answer::Code, false,
         [](P p, P) { return QUORIX_CloseFile(p); }},
        {"QUORIX_OpenStream", false, Answer::Code, false,
         [](P p, P) { return QUORIX_OpenStream(p, 1, nullptr, 0, nullptr, 0); }},
        {"QUORIX_CloseStream", false, Answer::Code, false,
         [](P p, P) { return QUORIX_CloseStream(p); }},
        {"QUORIX_SetStreamOpenMode", false, Answer::Code, false,
         [](P p, P) { return QUORIX_SetStreamOpenMode(p, 0); }},
        // A record of the wrong magic: refused by the port, never read past its length.
        {"QUORIX_InputStreamData", false, Answer::Code, true,
         [](P p, P) { return QUORIX_InputStreamData(p, g_record, 8); }},
        {"QUORIX_SetFileEndCallback", false, Answer::Code, false,
         [](P p, P) { return QUORIX_SetFileEndCallback(p, OnFileEnd, nullptr); }},
        {"QUORIX_SetFileOpenInfoCallback", false, Answer::Code, false,
         [](P p, P) { return QUORIX_SetFileOpenInfoCallback(p, OnFileOpenInfo, nullptr); }},
        {"QUORIX_Play", false, Answer::Code, false,
         [](P p, P) { return QUORIX_Play(p, 0, nullptr, 0); }},
        {"QUORIX_Stop", false, Answer::Code, false, [](P p, P) { return QUORIX_Stop(p); }},
        {"QUORIX_Pause", false, Answer::Code, false, [](P p, P) { return QUORIX_Pause(p, 1); }},
        {"QUORIX_Fast", false, Answer::Code, false, [](P p, P) { return QUORIX_Fast(p); }},
        {"QUORIX_Slow", false, Answer::Code, false, [](P p, P) { return QUORIX_Slow(p); }},
        {"QUORIX_SetPlaySpeed", false, Answer::Code, false,
         [](P p, P) { return QUORIX_SetPlaySpeed(p, 1); }},
        {"QUORIX_GetPlaySpeed", false, Answer::Code, false,
         [](P p, P) { return QUORIX_GetPlaySpeed(p, &g_i32); }},
        {"QUORIX_OneByOne", false, Answer::Code, false, [](P p, P) { return QUORIX_OneByOne(p); }},
        {"QUORIX_OneByOneBack", false, Answer::Code, false,
         [](P p, P) { return QUORIX_OneByOneBack(p); }},
        {"QUORIX_SetPlayedTime", false, Answer::Code, false,
         [](P p, P) { return QUORIX_SetPlayedTime(p, 1000); }},
        {"QUORIX_GetPlayedTime", false, Answer::Value, false,
         [](P p, P) { return QUORIX_GetPlayedTime(p); }},
        {"QUORIX_SetPlayedPos", false, Answer::Code, false,
         [](P p, P) { return QUORIX_SetPlayedPos(p, 0.5f); }},
        {"QUORIX_GetPlayedPos", false, Answer::Value, false,
         [](P p, P) { return QUORIX_GetPlayedPos(p) != 0.0f ? 1u : 0u; }},
        {"QUORIX_GetFileTotleTimes", false, Answer::Value, false,
         [](P p, P) { return QUORIX_GetFileTotleTimes(p); }},
        {"QUORIX_GetFileTotleFrames", false, Answer::Value, false,
         [](P p, P) { return QUORIX_GetFileTotleFrames(p); }},
        {"QUORIX_GetCurrentVideoFrameStamp", false, Answer::Value, false,
         [](P p, P) { return QUORIX_GetCurrentVideoFrameStamp(p); }},
        {"QUORIX_GetCurrentVideoFrameClock", false, Answer::Value, false,
         [](P p, P) { return QUORIX_GetCurrentVideoFrameClock(p); }},
        {"QUORIX_SetDisplayRegion", true, Answer::Code, false,
         [](P p, P r) { return QUORIX_SetDisplayRegion(p, r, &g_rect, 1); }},
        {"QUORIX_SetBackgroundColor", true, Answer::Code, false,
         [](P p, P r) { return QUORIX_SetBackgroundColor(p, r, 0x00112233); }},
        {"QUORIX_GetSupportedDisplayTypeList", false, Answer::Code, true,
         [](P p, P) {
             int32_t n = 32;
             return QUORIX_GetSupportedDisplayTypeList(p, g_types, &n);
         }},
        {"QUORIX_GetCurrentDisplayType", true, Answer::Code, true,
         [](P p, P r) { return QUORIX_GetCurrentDisplayType(p, r, &g_u32); }},
        {"QUORIX_SetCurrentDisplayType", true, Answer::Code, false,
         [](P p, P r) { return QUORIX_SetCurrentDisplayType(p, r, 0); }},
        {"QUORIX_GetPTZPosition", true, Answer::Code, true,
         [](P p, P r) { return QUORIX_GetPTZPosition(p, r, &g_f32[0], &g_f32[1], &g_f32[2]); }},
        {"QUORIX_SetPTZPosition", true, Answer::Code, false,
         [](P p, P r) { return QUORIX_SetPTZPosition(p, r, 0.0f, 0.0f, 1.0f); }},
        {"QUORIX_EnableBlankPTZ", true, Answer::Code, true,
         [](P p, P r) { return QUORIX_EnableBlankPTZ(p, r, 1); }},
        {"QUORIX_SetFlip", true, Answer::Code, false,
         [](P p, P r) { return QUORIX_SetFlip(p, r, 1); }},
        {"QUORIX_SetDisplayRatioType", true, Answer::Code, false,
         [](P p, P r) { return QUORIX_SetDisplayRatioType(p, r, 1); }},
        {"QUORIX_Project", true, Answer::Code, true,
         [](P p, P r) {
             return QUORIX_Project(p, r, &g_points[0], &g_points[1], &g_f32[0], &g_f32[1], 1);
         }},
        {"QUORIX_UnProject", true, Answer::Code, true,
         [](P p, P r) {
             return QUORIX_UnProject(p, r, &g_points[0], &g_points[1], &g_f32[0], &g_f32[1], 1);
         }},
        {"QUORIX_SetDrawCallback", true, Answer::Code, false,
         [](P p, P r) { return QUORIX_SetDrawCallback(p, r, OnDraw, nullptr); }},
        {"QUORIX_SetRenderStatusCallback", false, Answer::Code, true,
         [](P p, P) { return QUORIX_SetRenderStatusCallback(p, OnStatus, nullptr); }},
        {"QUORIX_GetManualSupport", false, Answer::Code, false,
         [](P p, P) { return QUORIX_GetManualSupport(p, &g_i32); }},
        {"QUORIX_ManualInit", false, Answer::Code, false,
         [](P p, P) { return QUORIX_ManualInit(p, 0); }},
        {"QUORIX_ManualRender", false, Answer::Code, false,
         [](P p, P) { return QUORIX_ManualRender(p); }},
        {"QUORIX_ManualSwapbuffers", false, Answer::Code, false,
         [](P p, P) { return QUORIX_ManualSwapbuffers(p); }},
        {"QUORIX_ManualUnInit", false, Answer::Code, false,
         [](P p, P) { return QUORIX_ManualUnInit(p); }},
        {"QUORIX_CaptureBmp", true, Answer::Code, false,
         [](P p, P r) { return QUORIX_CaptureBmp(p, r, TempPath("sdk_api_capture.bmp").c_str()); }},
        {"QUORIX_CaptureJpeg", true, Answer::Code, false,
         [](P p, P r) {
             return QUORIX_CaptureJpeg(p, r, TempPath("sdk_api_capture.jpg").c_str());
         }},
        {"QUORIX_CaptureOriginalBmp", false, Answer::Code, false,
         [](P p, P) {
             return QUORIX_CaptureOriginalBmp(p, TempPath("sdk_api_original.bmp").c_str());
         }},
        {"QUORIX_CaptureOriginalJpeg", false, Answer::Code, false,
         [](P p, P) {
             return QUORIX_CaptureOriginalJpeg(p, TempPath("sdk_api_original.jpg").c_str());
         }},
        {"QUORIX_SetSnapCallback", true, Answer::Code, true,
         [](P p, P r) { return QUORIX_SetSnapCallback(p, r, OnSnap, nullptr, 4, 4); }},
        {"QUORIX_SetSnapRect", true, Answer::Code, true,
         [](P p, P r) { return QUORIX_SetSnapRect(p, r, 0.0f, 0.0f, 1.0f, 1.0f); }},
        {"QUORIX_SetScreenOffSnapCallback", false, Answer::Code, true,
         [](P p, P) { return QUORIX_SetScreenOffSnapCallback(p, OnSnap, nullptr, 1.0f, 4, 4); }},
        {"QUORIX_SetScreenOffSnapRect", false, Answer::Code, true,
         [](P p, P) { return QUORIX_SetScreenOffSnapRect(p, 0.0f, 0.0f, 1.0f, 1.0f); }},
        {"QUORIX_StartLocalRecord", false, Answer::Code, false,
         [](P p, P) { return QUORIX_StartLocalRecord(p, "/nonexistent/dir/record.kz"); }},
        {"QUORIX_StopLocalRecord", false, Answer::Code, false,
         [](P p, P) { return QUORIX_StopLocalRecord(p); }},
        {"QUORIX_FilmEditing", false, Answer::Code, false,
         [](P p, P) { return QUORIX_FilmEditing(p, "/nonexistent/dir/clip.kz", 0, 1000, 1, 0); }},
        {"QUORIX_PlayAudio", false, Answer::Code, false,
         [](P p, P) { return QUORIX_PlayAudio(p); }},
        {"QUORIX_SetVolume", false, Answer::Code, false,
         [](P p, P) { return QUORIX_SetVolume(p, 50); }},
        {"QUORIX_GetVolume", false, Answer::Value, false,
         [](P p, P) { return QUORIX_GetVolume(p); }},
        {"QUORIX_SetAttachPlayer", false, Answer::Code, false,
         [](P p, P) { return QUORIX_SetAttachPlayer(p, QUORIX_MAX_PORTS); }},
        {"QUORIX_SetAttachCallback", false, Answer::Code, false,
         [](P p, P) { return QUORIX_SetAttachCallback(p, OnAttach, nullptr); }},
    };
    return table;
}

// Leaves the library as a fresh process has it: every port free, not initialised. Ports survive a
// release, so they are freed while initialised.
void ResetLibrary() {
    QUORIX_InitSDK();
    for (uint16_t port = 0; port < QUORIX_MAX_PORTS; ++port) {
        QUORIX_FreePort(port);
    }
    QUORIX_ReleaseSDK();
}

class SdkApi : public ::testing::Test {
protected:
    void SetUp() override { ResetLibrary(); }
    void TearDown() override {
        QUORIX_SetLogAttribute(0, 0, nullptr, nullptr);
        ResetLibrary();
    }
};

bool IsInitialised() {
    // QUORIX_SetJpegQuality makes only the initialisation check and stores a value that every
    // test here leaves at its default.
    return QUORIX_SetJpegQuality(90) == QUORIX_OK;
}

// ---------------------------------------------------------------------------------------------

TEST_F(SdkApi, EveryPortExportAnswersNotInitBeforeInit) {
    ASSERT_FALSE(IsInitialised());
    for (const PortExport& e : PortExports()) {
        const uint32_t got = e.call(0, 0);
        if (e.answer == Answer::Value) {
            EXPECT_EQ(got, 0u) << e.name;
        } else {
            EXPECT_EQ(got, QUORIX_E_NOT_INIT) << e.name;
        }
    }
    uint16_t port = 0xBEEF;
    EXPECT_EQ(QUORIX_GetPort(&port), QUORIX_E_NOT_INIT);
    EXPECT_EQ(port, 0xBEEF);
    EXPECT_EQ(QUORIX_GetPort(nullptr), QUORIX_E_NOT_INIT);
    EXPECT_EQ(QUORIX_SetJpegQuality(50), QUORIX_E_NOT_INIT);
    EXPECT_EQ(QUORIX_StopAudio(), QUORIX_E_NOT_INIT);
    // Freeing is harmless before initialisation, whatever the number.
    EXPECT_EQ(QUORIX_FreePort(0), QUORIX_OK);
    EXPECT_EQ(QUORIX_FreePort(QUORIX_MAX_PORTS), QUORIX_OK);
}

TEST_F(SdkApi, PortAndRegionNumbersAreCheckedBeforeTheInUseFlag) {
    ASSERT_EQ(QUORIX_InitSDK(), QUORIX_OK);
    uint16_t port = 0xFFFF;
    ASSERT_EQ(QUORIX_GetPort(&port), QUORIX_OK);
    ASSERT_EQ(port, 0);

    for (const PortExport& e : PortExports()) {
        for (uint16_t bad : {uint16_t{QUORIX_MAX_PORTS}, uint16_t{0xFFFF}}) {
            const uint32_t expected = e.answer == Answer::Value ? 0u : QUORIX_E_PARAM;
            EXPECT_EQ(e.call(bad, 0), expected) << e.name << " port " << bad;
        }
        if (e.takesRegion) {
            // Port 0 is in use, so only the region number can be refused here.
            for (uint16_t region : {uint16_t{QUORIX_MAX_REGIONS}, uint16_t{0xFFFF}}) {
                EXPECT_EQ(e.call(port, region), QUORIX_E_PARAM) << e.name << " region " << region;
            }
            // The last valid region is let through.
            if (!e.paramWithoutRenderer) {
                EXPECT_NE(e.call(port, QUORIX_MAX_REGIONS - 1), QUORIX_E_PARAM) << e.name;
            }
        }
    }
    EXPECT_EQ(QUORIX_FreePort(QUORIX_MAX_PORTS), QUORIX_E_PARAM);
    EXPECT_EQ(QUORIX_FreePort(0xFFFF), QUORIX_E_PARAM);
    EXPECT_EQ(QUORIX_ReleaseSDK(), QUORIX_OK);
}

TEST_F(SdkApi, PortNotInUseIsRefusedAndFreeingItIsHarmless) {
    ASSERT_EQ(QUORIX_InitSDK(), QUORIX_OK);
    for (const PortExport& e : PortExports()) {
        const uint32_t expected = e.answer == Answer::Value ? 0u : QUORIX_E_PARAM;
        EXPECT_EQ(e.call(5, 0), expected) << e.name;
    }
    EXPECT_EQ(QUORIX_FreePort(5), QUORIX_OK);
    uint16_t port = 0xFFFF;
    ASSERT_EQ(QUORIX_GetPort(&port), QUORIX_OK);
    EXPECT_EQ(port, 0) << "freeing an unused port must not allocate anything";
    EXPECT_EQ(QUORIX_ReleaseSDK(), QUORIX_OK);
}

TEST_F(SdkApi, AllocatedPortReachesThePort) {
    ASSERT_EQ(QUORIX_InitSDK(), QUORIX_OK);
    uint16_t port = 0xFFFF;
    ASSERT_EQ(QUORIX_GetPort(&port), QUORIX_OK);
    for (const PortExport& e : PortExports()) {
        const uint32_t got = e.call(port, 0);
        if (e.answer == Answer::Code) {
            EXPECT_NE(got, QUORIX_E_NOT_INIT) << e.name;
            if (!e.paramWithoutRenderer) {
                EXPECT_NE(got, QUORIX_E_PARAM) << e.name;
            }
        }
    }
    // A port that never opened anything is not playing.
    uint32_t playing = 7;
    EXPECT_EQ(QUORIX_IsPlaying(port, &playing), QUORIX_OK);
    EXPECT_EQ(playing, 0u);
    EXPECT_EQ(QUORIX_IsPlaying(port, nullptr), QUORIX_OK);
    EXPECT_EQ(QUORIX_GetPlaySpeed(port, nullptr), QUORIX_E_PARAM);
    EXPECT_EQ(QUORIX_GetManualSupport(port, nullptr), QUORIX_E_PARAM);
    EXPECT_EQ(QUORIX_CheckFrameNum(port, 0), QUORIX_OK);
    EXPECT_EQ(QUORIX_CheckFrameNum(port, 1), QUORIX_OK);
    // Value getters of a port with nothing open.
    EXPECT_EQ(QUORIX_GetPlayedTime(port), 0u);
    EXPECT_EQ(QUORIX_GetPlayedPos(port), 0.0f);
    EXPECT_EQ(QUORIX_GetFileTotleTimes(port), 0u);
    EXPECT_EQ(QUORIX_GetFileTotleFrames(port), 0u);
    EXPECT_EQ(QUORIX_GetCurrentVideoFrameStamp(port), 0u);
    EXPECT_EQ(QUORIX_GetCurrentVideoFrameClock(port), 0u);
    EXPECT_EQ(QUORIX_ReleaseSDK(), QUORIX_OK);
}

// Every setter that needs the OpenGL renderer answers alike while there is none.
TEST_F(SdkApi, RendererSettersOfAPortWithNothingOpenAnswerParam) {
    ASSERT_EQ(QUORIX_InitSDK(), QUORIX_OK);
    uint16_t port = 0xFFFF;
    ASSERT_EQ(QUORIX_GetPort(&port), QUORIX_OK);
    EXPECT_EQ(QUORIX_SetSnapCallback(port, 0, OnSnap, nullptr, 4, 4), QUORIX_E_PARAM);
    EXPECT_EQ(QUORIX_SetScreenOffSnapCallback(port, OnSnap, nullptr, 1.0f, 4, 4), QUORIX_E_PARAM);
    EXPECT_EQ(QUORIX_SetScreenOffSnapCallback(port, nullptr, nullptr, 1.0f, 4, 4), QUORIX_E_PARAM);
    EXPECT_EQ(QUORIX_SetSnapRect(port, 0, 0.0f, 0.0f, 1.0f, 1.0f), QUORIX_E_PARAM);
    EXPECT_EQ(QUORIX_SetSnapRect(port, 5, 0.25f, 0.25f, 0.5f, 0.5f), QUORIX_E_PARAM);
    EXPECT_EQ(QUORIX_SetScreenOffSnapRect(port, 0.0f, 0.0f, 1.0f, 1.0f), QUORIX_E_PARAM);
    // The same after a stream was open and closed again.
    ASSERT_EQ(QUORIX_OpenStream(port, 1, nullptr, 0, nullptr, 0), QUORIX_OK);
    ASSERT_EQ(QUORIX_CloseStream(port), QUORIX_OK);
    EXPECT_EQ(QUORIX_SetScreenOffSnapCallback(port, OnSnap, nullptr, 1.0f, 4, 4), QUORIX_E_PARAM);
    EXPECT_EQ(QUORIX_SetSnapRect(port, 0, 0.0f, 0.0f, 1.0f, 1.0f), QUORIX_E_PARAM);
    EXPECT_EQ(QUORIX_SetScreenOffSnapRect(port, 0.0f, 0.0f, 1.0f, 1.0f), QUORIX_E_PARAM);
    EXPECT_EQ(QUORIX_ReleaseSDK(), QUORIX_OK);
}

// ---------------------------------------------------------------------------------------------
// Frame records written by hand: the 28-byte header (little-endian) and its payload.

void PutLe(std::vector<uint8_t>& bytes, size_t at, uint32_t value, int width) {
    for (int i = 0; i < width; ++i)
        bytes[at + i] = static_cast<uint8_t>(value >> (8 * i));
}

std::vector<uint8_t> VideoRecord(const char magic[2], uint8_t type, uint32_t sequence,
                                 uint32_t stamp, uint32_t payloadLength) {
    std::vector<uint8_t> record(28 + payloadLength, 0x5A);
    record[0] = static_cast<uint8_t>(magic[0]);
    record[1] = static_cast<uint8_t>(magic[1]);
    record[2] = type;
    record[3] = 0;
    PutLe(record, 4, sequence, 4);
    PutLe(record, 8, stamp, 4);
    PutLe(record, 12, 1700000000u, 4);
    PutLe(record, 16, 1, 4);  // H.264
    PutLe(record, 18, 64, 2);
    PutLe(record, 20, 48, 4);
    PutLe(record, 24, payloadLength, 4);
    return record;
}

// A composite packet holding one key-frame sub-record stamped `stamp`.
std::vector<uint8_t> CompositePacket(uint32_t stamp) {
    const std::vector<uint8_t> sub = VideoRecord("HT", 1, 1, stamp, 16);
    std::vector<uint8_t> packet = VideoRecord("ht", 0x81, 1, stamp, 0);
    PutLe(packet, 24, static_cast<uint32_t>(sub.size()), 4);
    packet.insert(packet.end(), sub.begin(), sub.end());
    return packet;
}

TEST_F(SdkApi, FreeingAPortDetachesThePortsAttachedToIt) {
    ASSERT_EQ(QUORIX_InitSDK(), QUORIX_OK);
    uint16_t source = 0xFFFF, target = 0xFFFF;
    ASSERT_EQ(QUORIX_GetPort(&source), QUORIX_OK);
    ASSERT_EQ(QUORIX_GetPort(&target), QUORIX_OK);
    ASSERT_EQ(QUORIX_SetAttachPlayer(source, target), QUORIX_OK);
    // Attached, the sub-frames reach the target (its last video stamp names them).
    std::vector<uint8_t> packet = CompositePacket(1000);
    ASSERT_EQ(QUORIX_InputStreamData(source, packet.data(), static_cast<uint32_t>(packet.size())),
              QUORIX_OK);
    ASSERT_EQ(QUORIX_GetCurrentVideoFrameStamp(target), 1000u);

    // The target goes to a new owner: nothing of the source's reaches it any more.
    ASSERT_EQ(QUORIX_FreePort(target), QUORIX_OK);
    uint16_t again = 0xFFFF;
    ASSERT_EQ(QUORIX_GetPort(&again), QUORIX_OK);
    ASSERT_EQ(again, target);
    packet = CompositePacket(2000);
    ASSERT_EQ(QUORIX_InputStreamData(source, packet.data(), static_cast<uint32_t>(packet.size())),
              QUORIX_OK);
    EXPECT_EQ(QUORIX_GetCurrentVideoFrameStamp(again), 0u)
        << "the new owner got another port's sub-frames";
    // The source still consumes its sub-frames and can be attached again.
    ASSERT_EQ(QUORIX_SetAttachPlayer(source, again), QUORIX_OK);
    packet = CompositePacket(3000);
    ASSERT_EQ(QUORIX_InputStreamData(source, packet.data(), static_cast<uint32_t>(packet.size())),
              QUORIX_OK);
    EXPECT_EQ(QUORIX_GetCurrentVideoFrameStamp(again), 3000u);
    EXPECT_EQ(QUORIX_ReleaseSDK(), QUORIX_OK);
}

}  // namespace

// The sanitizer runtimes walk the loader's list themselves, before this program can, so the
// count is kept only in plain builds.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define SDK_COUNTS_LOADER_WALKS 0
#else
#define SDK_COUNTS_LOADER_WALKS 1
// The loader walks made by this thread. The executable's definition comes first in symbol lookup,
// so the library's calls arrive here and go on to the C library's.
static thread_local unsigned t_loaderWalks = 0;

extern "C" __attribute__((visibility("default"))) int dl_iterate_phdr(
    int (*callback)(dl_phdr_info*, size_t, void*), void* data) noexcept {
    using Walk = int (*)(int (*)(dl_phdr_info*, size_t, void*), void*);
    static const Walk real = reinterpret_cast<Walk>(dlsym(RTLD_NEXT, "dl_iterate_phdr"));
    ++t_loaderWalks;
    return real(callback, data);
}
#endif

namespace {

// Walking the loader's list takes its lock: the exports a host calls per record or per picture
// must not, only those that can load libraries look for new ones.
TEST_F(SdkApi, OnlyExportsThatLoadLibrariesWalkTheLoadersList) {
#if !SDK_COUNTS_LOADER_WALKS
    GTEST_SKIP() << "the sanitizer runtime owns the loader walk";
#else
    t_loaderWalks = 0;
    ASSERT_EQ(QUORIX_InitSDK(), QUORIX_OK);
    EXPECT_GT(t_loaderWalks, 0u) << "initialisation loads libraries and must look for them";
    uint16_t source = 0xFFFF, target = 0xFFFF;
    ASSERT_EQ(QUORIX_GetPort(&source), QUORIX_OK);
    ASSERT_EQ(QUORIX_GetPort(&target), QUORIX_OK);
    ASSERT_EQ(QUORIX_SetAttachPlayer(source, target), QUORIX_OK);
    t_loaderWalks = 0;
    for (uint32_t stamp = 40; stamp <= 4000; stamp += 40) {
        const std::vector<uint8_t> packet = CompositePacket(stamp);
        ASSERT_EQ(
            QUORIX_InputStreamData(source, packet.data(), static_cast<uint32_t>(packet.size())),
            QUORIX_OK);
        (void)QUORIX_GetCurrentVideoFrameStamp(target);
        (void)QUORIX_GetPlayedTime(source);
    }
    EXPECT_GT(QUORIX_GetCurrentVideoFrameStamp(target), 0u) << "the records went nowhere";
    EXPECT_EQ(t_loaderWalks, 0u) << "per-record exports walked the loader's list";
    EXPECT_EQ(QUORIX_ReleaseSDK(), QUORIX_OK);
#endif
}

// ---------------------------------------------------------------------------------------------

TEST_F(SdkApi, PortsAreHandedOutLowestFirstUntilExhausted) {
    ASSERT_EQ(QUORIX_InitSDK(), QUORIX_OK);
    for (uint16_t expected = 0; expected < 6; ++expected) {
        uint16_t port = 0xFFFF;
        ASSERT_EQ(QUORIX_GetPort(&port), QUORIX_OK);
        EXPECT_EQ(port, expected);
    }
    ASSERT_EQ(QUORIX_FreePort(3), QUORIX_OK);
    ASSERT_EQ(QUORIX_FreePort(1), QUORIX_OK);
    uint16_t port = 0xFFFF;
    ASSERT_EQ(QUORIX_GetPort(&port), QUORIX_OK);
    EXPECT_EQ(port, 1);
    ASSERT_EQ(QUORIX_GetPort(&port), QUORIX_OK);
    EXPECT_EQ(port, 3);
    ASSERT_EQ(QUORIX_GetPort(&port), QUORIX_OK);
    EXPECT_EQ(port, 6);

    for (uint16_t expected = 7; expected < QUORIX_MAX_PORTS; ++expected) {
        ASSERT_EQ(QUORIX_GetPort(&port), QUORIX_OK);
        ASSERT_EQ(port, expected);
    }
    port = 0xBEEF;
    EXPECT_EQ(QUORIX_GetPort(&port), QUORIX_E_NO_FREE_PORT);
    EXPECT_EQ(port, 0xBEEF) << "nothing is written when no port is free";
    EXPECT_EQ(QUORIX_GetPort(nullptr), QUORIX_E_PARAM);

    ASSERT_EQ(QUORIX_FreePort(QUORIX_MAX_PORTS - 1), QUORIX_OK);
    ASSERT_EQ(QUORIX_GetPort(&port), QUORIX_OK);
    EXPECT_EQ(port, QUORIX_MAX_PORTS - 1);
    EXPECT_EQ(QUORIX_ReleaseSDK(), QUORIX_OK);
}

TEST_F(SdkApi, ConcurrentAllocationNeverHandsOutAPortTwice) {
    ASSERT_EQ(QUORIX_InitSDK(), QUORIX_OK);
    constexpr int kThreads = 4;
    constexpr int kPerThread = QUORIX_MAX_PORTS / kThreads + 4;  // more asks than ports
    std::vector<std::vector<uint16_t>> got(kThreads);
    std::vector<int> refused(kThreads, 0);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([t, &got, &refused] {
            for (int i = 0; i < kPerThread; ++i) {
                uint16_t port = 0xFFFF;
                const uint32_t result = QUORIX_GetPort(&port);
                if (result == QUORIX_OK) {
                    got[t].push_back(port);
                } else if (result == QUORIX_E_NO_FREE_PORT) {
                    ++refused[t];
                }
            }
        });
    }
    for (std::thread& thread : threads)
        thread.join();
    std::set<uint16_t> all;
    size_t handed = 0;
    int refusals = 0;
    for (int t = 0; t < kThreads; ++t) {
        all.insert(got[t].begin(), got[t].end());
        handed += got[t].size();
        refusals += refused[t];
    }
    EXPECT_EQ(handed, size_t{QUORIX_MAX_PORTS});
    EXPECT_EQ(all.size(), size_t{QUORIX_MAX_PORTS}) << "a port was handed out twice";
    EXPECT_EQ(refusals, kThreads * kPerThread - QUORIX_MAX_PORTS);
    EXPECT_EQ(QUORIX_ReleaseSDK(), QUORIX_OK);
}

// ---------------------------------------------------------------------------------------------

TEST_F(SdkApi, InitAndReleaseNestAndPortsSurviveARelease) {
    ASSERT_EQ(QUORIX_InitSDK(), QUORIX_OK);
    ASSERT_EQ(QUORIX_InitSDK(), QUORIX_OK);
    uint16_t port = 0xFFFF;
    ASSERT_EQ(QUORIX_GetPort(&port), QUORIX_OK);
    ASSERT_EQ(port, 0);

    EXPECT_EQ(QUORIX_ReleaseSDK(), QUORIX_OK);
    EXPECT_TRUE(IsInitialised()) << "the inner release must not release";
    EXPECT_EQ(QUORIX_ReleaseSDK(), QUORIX_OK);
    EXPECT_FALSE(IsInitialised());
    EXPECT_EQ(QUORIX_IsPlaying(port, nullptr), QUORIX_E_NOT_INIT);

    // The port stays allocated across the release.
    ASSERT_EQ(QUORIX_InitSDK(), QUORIX_OK);
    EXPECT_EQ(QUORIX_IsPlaying(port, nullptr), QUORIX_OK);
    ASSERT_EQ(QUORIX_GetPort(&port), QUORIX_OK);
    EXPECT_EQ(port, 1);
    EXPECT_EQ(QUORIX_ReleaseSDK(), QUORIX_OK);
}

TEST_F(SdkApi, ReleaseWithoutInitIsBalancedByTheNextInit) {
    EXPECT_EQ(QUORIX_ReleaseSDK(), QUORIX_OK);
    EXPECT_EQ(QUORIX_InitSDK(), QUORIX_OK);
    EXPECT_FALSE(IsInitialised()) << "this init only balances the extra release";
    uint16_t port = 0xFFFF;
    EXPECT_EQ(QUORIX_GetPort(&port), QUORIX_E_NOT_INIT);
    EXPECT_EQ(QUORIX_InitSDK(), QUORIX_OK);
    EXPECT_TRUE(IsInitialised());
    EXPECT_EQ(QUORIX_GetPort(&port), QUORIX_OK);
    EXPECT_EQ(QUORIX_ReleaseSDK(), QUORIX_OK);
    EXPECT_FALSE(IsInitialised());
}

// ---------------------------------------------------------------------------------------------
// Recorded-file header: "ZEBM", begin date-time (f64) at 24, first and last video time stamps
// (u32, ms) at 40 and 44.

class TempDir {
public:
    TempDir() {
        std::string pattern = (fs::temp_directory_path() / "sdk_api_XXXXXX").string();
        path_ = mkdtemp(pattern.data()) != nullptr ? pattern : std::string();
    }
    ~TempDir() {
        std::error_code ignored;
        fs::remove_all(path_, ignored);
    }
    std::string File(const char* leaf) const { return (fs::path(path_) / leaf).string(); }
    const std::string& Path() const { return path_; }

private:
    std::string path_;
};

std::vector<uint8_t> FileHeader(double begin, uint32_t firstMs, uint32_t lastMs) {
    std::vector<uint8_t> header(64, 0);
    std::memcpy(header.data(), "ZEBM", 4);
    std::memcpy(header.data() + 24, &begin, 8);  // the test host is little-endian like the format
    std::memcpy(header.data() + 40, &firstMs, 4);
    std::memcpy(header.data() + 44, &lastMs, 4);
    header[60] = 2;
    return header;
}

void WriteBytes(const std::string& path, const std::vector<uint8_t>& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
}

TEST_F(SdkApi, FileInfoReadsTheHeaderWithoutInit) {
    TempDir dir;
    ASSERT_FALSE(dir.Path().empty());
    // 2020-03-31 12:00 local, one minute of video, followed by some frame bytes.
    std::vector<uint8_t> bytes = FileHeader(43921.5, 1000, 61000);
    bytes.resize(200, 0xAB);
    WriteBytes(dir.File("good.kz"), bytes);

    double begin = 0.0, end = 0.0;
    ASSERT_FALSE(IsInitialised());
    ASSERT_EQ(QUORIX_GetFileInfo(dir.File("good.kz").c_str(), &begin, &end), QUORIX_OK);
    EXPECT_DOUBLE_EQ(begin, 43921.5);
    EXPECT_NEAR(end, 43921.5 + 60000.0 / 86400000.0, 1e-9);

    // The millisecond counter wrapped during the recording: the length is still 2 s.
    WriteBytes(dir.File("wrapped.kz"), FileHeader(43921.5, 0xFFFFFC18u, 1000));
    ASSERT_EQ(QUORIX_GetFileInfo(dir.File("wrapped.kz").c_str(), &begin, &end), QUORIX_OK);
    EXPECT_NEAR(end - begin, 2000.0 / 86400000.0, 1e-9);
}

TEST_F(SdkApi, FileInfoRefusesWhatIsNotARecording) {
    TempDir dir;
    ASSERT_FALSE(dir.Path().empty());
    std::vector<uint8_t> good = FileHeader(43921.5, 0, 1000);
    WriteBytes(dir.File("short.kz"), std::vector<uint8_t>(good.begin(), good.begin() + 63));
    WriteBytes(dir.File("empty.kz"), {});
    std::vector<uint8_t> magic = good;
    std::memcpy(magic.data(), "MBEZ", 4);
    WriteBytes(dir.File("magic.kz"), magic);
    fs::create_directory(dir.File("folder.kz"));

    struct Case {
        const char* what;
        std::string path;
        bool nullPath;
        uint32_t expected;
    };
    const std::vector<Case> cases = {
        {"missing file", dir.File("missing.kz"), false, QUORIX_E_OPEN_FILE},
        {"directory", dir.File("folder.kz"), false, QUORIX_E_OPEN_FILE},
        {"null path", "", true, QUORIX_E_OPEN_FILE},
        {"empty path", "", false, QUORIX_E_OPEN_FILE},
        {"63-byte file", dir.File("short.kz"), false, QUORIX_E_FILE_FORMAT},
        {"empty file", dir.File("empty.kz"), false, QUORIX_E_FILE_FORMAT},
        {"wrong magic", dir.File("magic.kz"), false, QUORIX_E_FILE_FORMAT},
    };
    for (const Case& c : cases) {
        double begin = -1.0, end = -2.0;
        EXPECT_EQ(QUORIX_GetFileInfo(c.nullPath ? nullptr : c.path.c_str(), &begin, &end),
                  c.expected)
            << c.what;
        EXPECT_EQ(begin, -1.0) << c.what << ": outputs must stay untouched";
        EXPECT_EQ(end, -2.0) << c.what << ": outputs must stay untouched";
    }

    WriteBytes(dir.File("good.kz"), good);
    double value = 0.0;
    EXPECT_EQ(QUORIX_GetFileInfo(dir.File("good.kz").c_str(), nullptr, &value), QUORIX_E_PARAM);
    EXPECT_EQ(QUORIX_GetFileInfo(dir.File("good.kz").c_str(), &value, nullptr), QUORIX_E_PARAM);
    EXPECT_EQ(value, 0.0);
}

// A file without the container header is played as bare frame records, by the OpenGL renderer
// as by the software display: nothing in it names a lens, so the picture is shown as it is.
TEST_F(SdkApi, FileOfBareRecordsOpensOnTheOpenGLRenderer) {
    TempDir dir;
    ASSERT_FALSE(dir.Path().empty());
    std::vector<uint8_t> bytes;
    for (uint32_t i = 0; i < 3; ++i) {
        const std::vector<uint8_t> record = VideoRecord("ht", i == 0 ? 1 : 3, i, 40 * i, 32);
        bytes.insert(bytes.end(), record.begin(), record.end());
    }
    WriteBytes(dir.File("bare.kz"), bytes);

    ASSERT_EQ(QUORIX_InitSDK(), QUORIX_OK);
    uint16_t port = 0xFFFF;
    ASSERT_EQ(QUORIX_GetPort(&port), QUORIX_OK);
    struct Seen {
        int calls = 0;
        int32_t model = 99;
    } seen;
    ASSERT_EQ(QUORIX_SetFileOpenInfoCallback(
                  port,
                  [](uint16_t, int32_t model, const uint8_t*, uint32_t, void* user) {
                      auto* s = static_cast<Seen*>(user);
                      ++s->calls;
                      s->model = model;
                  },
                  &seen),
              QUORIX_OK);
    ASSERT_EQ(QUORIX_OpenFile(port, dir.File("bare.kz").c_str()), QUORIX_OK);
    EXPECT_EQ(seen.calls, 1);
    EXPECT_EQ(seen.model, 0) << "the file's (zero) header reports model 0";
    int32_t manual = 0;
    ASSERT_EQ(QUORIX_GetManualSupport(port, &manual), QUORIX_OK);
    EXPECT_EQ(manual, 1) << "not the OpenGL renderer: the case is not tested";
    EXPECT_EQ(QUORIX_GetFileTotleFrames(port), 3u);
    EXPECT_EQ(QUORIX_CloseFile(port), QUORIX_OK);
    EXPECT_EQ(QUORIX_ReleaseSDK(), QUORIX_OK);
}

// A capture whose read-back yields no picture answers a code of the table, never the seek
// failure's 0xFFFFFFFF: here the host's full-picture rectangle selects no pixel at all.
TEST_F(SdkApi, OriginalCaptureOfNoPixelsAnswersAListedCode) {
    const playertest::Clip clip = playertest::EncodeClip("libx264", 160, 120, 4, 4);
    ASSERT_FALSE(clip.packets.empty()) << "libx264 missing";
    ASSERT_EQ(QUORIX_InitSDK(), QUORIX_OK);
    uint16_t port = 0xFFFF;
    ASSERT_EQ(QUORIX_GetPort(&port), QUORIX_OK);
    ASSERT_EQ(QUORIX_OpenStream(port, 1, nullptr, 0, nullptr, 0), QUORIX_OK);
    int32_t manual = 0;
    ASSERT_EQ(QUORIX_GetManualSupport(port, &manual), QUORIX_OK);
    ASSERT_EQ(manual, 1) << "not the OpenGL renderer: the case is not tested";
    ASSERT_EQ(QUORIX_Play(port, 0, nullptr, 0), QUORIX_OK);
    for (const std::vector<uint8_t>& record : playertest::ClipRecords(clip, 40)) {
        ASSERT_EQ(QUORIX_InputStreamData(port, record.data(), static_cast<uint32_t>(record.size())),
                  QUORIX_OK);
    }
    TempDir dir;
    const std::string path = dir.File("original.bmp");
    // The first picture on the screen: each capture waits for a drawn frame by itself.
    uint32_t captured = QUORIX_E_TIMEOUT;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (captured != QUORIX_OK && std::chrono::steady_clock::now() < deadline) {
        captured = QUORIX_CaptureOriginalBmp(port, path.c_str());
    }
    ASSERT_EQ(captured, QUORIX_OK);
    ASSERT_TRUE(fs::exists(path));
    fs::remove(path);

    ASSERT_EQ(QUORIX_SetScreenOffSnapRect(port, 0.0f, 0.0f, 0.001f, 0.001f), QUORIX_OK);
    EXPECT_EQ(QUORIX_CaptureOriginalBmp(port, path.c_str()), QUORIX_E_PARAM);
    EXPECT_FALSE(fs::exists(path));
    // The whole picture again: captured as before.
    ASSERT_EQ(QUORIX_SetScreenOffSnapRect(port, 0.0f, 0.0f, 1.0f, 1.0f), QUORIX_OK);
    EXPECT_EQ(QUORIX_CaptureOriginalBmp(port, path.c_str()), QUORIX_OK);
    EXPECT_EQ(QUORIX_FreePort(port), QUORIX_OK);
    EXPECT_EQ(QUORIX_ReleaseSDK(), QUORIX_OK);
}

// A pipe where a recording is expected answers at once instead of waiting for a writer.
TEST_F(SdkApi, FileInfoAndOpenFileOfAPipeAnswerAtOnce) {
    TempDir dir;
    ASSERT_FALSE(dir.Path().empty());
    const std::string fifo = dir.File("pipe.kz");
    ASSERT_TRUE(fifotest::MakeFifo(fifo));
    double begin = -1.0, end = -2.0;
    const fifotest::Outcome info =
        fifotest::CallOnFifo(fifo, [&] { return QUORIX_GetFileInfo(fifo.c_str(), &begin, &end); });
    EXPECT_TRUE(info.returned) << "blocked on a pipe";
    EXPECT_EQ(QUORIX_E_OPEN_FILE, info.result);
    EXPECT_EQ(begin, -1.0);

    ASSERT_EQ(QUORIX_OK, QUORIX_InitSDK());
    uint16_t port = 0;
    ASSERT_EQ(QUORIX_OK, QUORIX_GetPort(&port));
    const fifotest::Outcome opened =
        fifotest::CallOnFifo(fifo, [&] { return QUORIX_OpenFile(port, fifo.c_str()); });
    EXPECT_TRUE(opened.returned) << "blocked on a pipe";
    EXPECT_EQ(QUORIX_E_OPEN_FILE, opened.result);
    EXPECT_TRUE(fifotest::IsFifo(fifo));
    EXPECT_EQ(QUORIX_OK, QUORIX_FreePort(port));
    EXPECT_EQ(QUORIX_OK, QUORIX_ReleaseSDK());
}

// ---------------------------------------------------------------------------------------------

std::string ReadText(const std::string& path) {
    std::ifstream in(path);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::vector<std::string> FilesIn(const std::string& dir) {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(dir))
        names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

std::string LocalDateSuffix(time_t when) {
    struct tm local {};
    localtime_r(&when, &local);
    char text[16];
    strftime(text, sizeof(text), "_%Y%m%d", &local);
    return text;
}

TEST_F(SdkApi, LogAttributeDisabledWritesNothing) {
    TempDir dir;
    const std::string base = dir.File("sdk");
    QUORIX_SetLogAttribute(0, 0, base.c_str(), "txt");
    ::testing::internal::CaptureStderr();
    QUORIX_InitSDK();
    uint16_t port = 0;
    QUORIX_GetPort(&port);
    const std::string err = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(err.find("QUORIX_"), std::string::npos) << err;
    EXPECT_TRUE(FilesIn(dir.Path()).empty());
    QUORIX_ReleaseSDK();
}

TEST_F(SdkApi, LogAttributeWithoutPathWritesToStandardErrorOnly) {
    TempDir dir;
    const std::string base = dir.File("sdk");
    // First with a file, then without: the second call must take the file output away again.
    QUORIX_SetLogAttribute(1, 10, base.c_str(), "txt");
    QUORIX_SetLogAttribute(1, 10, "", nullptr);
    ::testing::internal::CaptureStderr();
    QUORIX_InitSDK();
    const std::string err = ::testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find("(DEBUG)quorixsdk:<quorixsdk QUORIX_InitSDK LINE:"), std::string::npos)
        << err;
    EXPECT_NE(err.find("(INFO)quorixsdk:<quorixapp CQuorixApp::InitInstance LINE:"),
              std::string::npos)
        << err;
    EXPECT_TRUE(FilesIn(dir.Path()).empty());
    QUORIX_ReleaseSDK();
}

TEST_F(SdkApi, ExportsThatNameThemselvesLogBeforeAnyCheck) {
    QUORIX_SetLogAttribute(1, 10, nullptr, nullptr);
    ::testing::internal::CaptureStderr();
    // Not initialised, and bad ports or regions besides: the five still log; nothing else does.
    uint16_t port = 0;
    EXPECT_EQ(QUORIX_GetPort(&port), QUORIX_E_NOT_INIT);
    EXPECT_EQ(QUORIX_Play(QUORIX_MAX_PORTS, 0, nullptr, 0), QUORIX_E_NOT_INIT);
    EXPECT_EQ(QUORIX_OpenFile(QUORIX_MAX_PORTS, "x"), QUORIX_E_NOT_INIT);
    EXPECT_EQ(QUORIX_SetDisplayRegion(0, QUORIX_MAX_REGIONS, nullptr, 1), QUORIX_E_NOT_INIT);
    for (const PortExport& e : PortExports()) {
        if (std::strcmp(e.name, "QUORIX_Play") != 0 &&
            std::strcmp(e.name, "QUORIX_OpenFile") != 0 &&
            std::strcmp(e.name, "QUORIX_SetDisplayRegion") != 0) {
            e.call(QUORIX_MAX_PORTS, 0);
        }
    }
    EXPECT_EQ(QUORIX_InitSDK(), QUORIX_OK);
    const std::string err = ::testing::internal::GetCapturedStderr();
    std::vector<std::string> named;
    const std::regex line(R"(\(DEBUG\)quorixsdk:<quorixsdk (QUORIX_\w+) LINE:\d+> (QUORIX_\w+)\n)");
    for (std::sregex_iterator it(err.begin(), err.end(), line), end; it != end; ++it) {
        EXPECT_EQ((*it)[1], (*it)[2]) << "function and text are both the export's name";
        named.push_back((*it)[2]);
    }
    const std::vector<std::string> expected = {"QUORIX_GetPort", "QUORIX_Play", "QUORIX_OpenFile",
                                               "QUORIX_SetDisplayRegion", "QUORIX_InitSDK"};
    EXPECT_EQ(named, expected) << err;
    QUORIX_ReleaseSDK();
}

TEST_F(SdkApi, LogAttributeWritesADatedFileAtTheChosenLevel) {
    TempDir dir;
    const std::string base = dir.File("sdk");
    const time_t before = time(nullptr);
    QUORIX_SetLogAttribute(1, 10, base.c_str(), "txt");
    ::testing::internal::CaptureStderr();
    QUORIX_InitSDK();
    uint16_t port = 0;
    QUORIX_GetPort(&port);
    ::testing::internal::GetCapturedStderr();
    const time_t after = time(nullptr);

    const std::vector<std::string> files = FilesIn(dir.Path());
    ASSERT_EQ(files.size(), 1u);
    EXPECT_TRUE(files[0] == "sdk" + LocalDateSuffix(before) + ".txt" ||
                files[0] == "sdk" + LocalDateSuffix(after) + ".txt")
        << files[0];
    const std::string text = ReadText(dir.File(files[0].c_str()));
    EXPECT_TRUE(std::regex_search(
        text,
        std::regex(
            R"(\[\d\d:\d\d:\d\d\.\d\d\d\]\(DEBUG\)quorixsdk:<quorixsdk QUORIX_GetPort LINE:\d+> QUORIX_GetPort\n)")))
        << text;
    fs::remove(dir.File(files[0].c_str()));

    // Raising the level to INFO drops the DEBUG lines of the exports.
    QUORIX_SetLogAttribute(1, 20, base.c_str(), nullptr);
    ::testing::internal::CaptureStderr();
    QUORIX_GetPort(&port);
    ::testing::internal::GetCapturedStderr();
    EXPECT_TRUE(FilesIn(dir.Path()).empty()) << "a DEBUG line passed an INFO threshold";
    QUORIX_ReleaseSDK();
}

// ---------------------------------------------------------------------------------------------

struct NamedExport {
    const char* name;
    void* address;
};

#define SDK_EXPORT(fn)                      \
    NamedExport {                           \
#fn, reinterpret_cast < void*>(&fn) \
    }

TEST(SdkExports, TheLibraryExportsExactlyTheDeclaredFunctions) {
    // Taking every address here also proves that the header declares each of them.
    const std::vector<NamedExport> declared = {
        SDK_EXPORT(QUORIX_InitSDK),
        SDK_EXPORT(QUORIX_ReleaseSDK),
        SDK_EXPORT(QUORIX_SetRenderMode),
        SDK_EXPORT(QUORIX_SetLogAttribute),
        SDK_EXPORT(QUORIX_GetPort),
        SDK_EXPORT(QUORIX_FreePort),
        SDK_EXPORT(QUORIX_GetFileInfo),
        SDK_EXPORT(QUORIX_CheckFrameNum),
        SDK_EXPORT(QUORIX_IsPlaying),
        SDK_EXPORT(QUORIX_SetJpegQuality),
        SDK_EXPORT(QUORIX_OpenFile),
        SDK_EXPORT(QUORIX_CloseFile),
        SDK_EXPORT(QUORIX_OpenStream),
        SDK_EXPORT(QUORIX_CloseStream),
        SDK_EXPORT(QUORIX_SetStreamOpenMode),
        SDK_EXPORT(QUORIX_InputStreamData),
        SDK_EXPORT(QUORIX_SetFileEndCallback),
        SDK_EXPORT(QUORIX_SetFileOpenInfoCallback),
        SDK_EXPORT(QUORIX_Play),
        SDK_EXPORT(QUORIX_Stop),
        SDK_EXPORT(QUORIX_Pause),
        SDK_EXPORT(QUORIX_Fast),
        SDK_EXPORT(QUORIX_Slow),
        SDK_EXPORT(QUORIX_SetPlaySpeed),
        SDK_EXPORT(QUORIX_GetPlaySpeed),
        SDK_EXPORT(QUORIX_OneByOne),
        SDK_EXPORT(QUORIX_OneByOneBack),
        SDK_EXPORT(QUORIX_SetPlayedTime),
        SDK_EXPORT(QUORIX_GetPlayedTime),
        SDK_EXPORT(QUORIX_SetPlayedPos),
        SDK_EXPORT(QUORIX_GetPlayedPos),
        SDK_EXPORT(QUORIX_GetFileTotleTimes),
        SDK_EXPORT(QUORIX_GetFileTotleFrames),
        SDK_EXPORT(QUORIX_GetCurrentVideoFrameStamp),
        SDK_EXPORT(QUORIX_GetCurrentVideoFrameClock),
        SDK_EXPORT(QUORIX_SetDisplayRegion),
        SDK_EXPORT(QUORIX_SetBackgroundColor),
        SDK_EXPORT(QUORIX_GetSupportedDisplayTypeList),
        SDK_EXPORT(QUORIX_GetCurrentDisplayType),
        SDK_EXPORT(QUORIX_SetCurrentDisplayType),
        SDK_EXPORT(QUORIX_GetPTZPosition),
        SDK_EXPORT(QUORIX_SetPTZPosition),
        SDK_EXPORT(QUORIX_EnableBlankPTZ),
        SDK_EXPORT(QUORIX_SetFlip),
        SDK_EXPORT(QUORIX_SetDisplayRatioType),
        SDK_EXPORT(QUORIX_Project),
        SDK_EXPORT(QUORIX_UnProject),
        SDK_EXPORT(QUORIX_SetDrawCallback),
        SDK_EXPORT(QUORIX_SetRenderStatusCallback),
        SDK_EXPORT(QUORIX_GetManualSupport),
        SDK_EXPORT(QUORIX_ManualInit),
        SDK_EXPORT(QUORIX_ManualRender),
        SDK_EXPORT(QUORIX_ManualSwapbuffers),
        SDK_EXPORT(QUORIX_ManualUnInit),
        SDK_EXPORT(QUORIX_CaptureBmp),
        SDK_EXPORT(QUORIX_CaptureJpeg),
        SDK_EXPORT(QUORIX_CaptureOriginalBmp),
        SDK_EXPORT(QUORIX_CaptureOriginalJpeg),
        SDK_EXPORT(QUORIX_SnapDataSaveToFile),
        SDK_EXPORT(QUORIX_SetSnapCallback),
        SDK_EXPORT(QUORIX_SetSnapRect),
        SDK_EXPORT(QUORIX_SetScreenOffSnapCallback),
        SDK_EXPORT(QUORIX_SetScreenOffSnapRect),
        SDK_EXPORT(QUORIX_StartLocalRecord),
        SDK_EXPORT(QUORIX_StopLocalRecord),
        SDK_EXPORT(QUORIX_FilmEditing),
        SDK_EXPORT(QUORIX_PlayAudio),
        SDK_EXPORT(QUORIX_StopAudio),
        SDK_EXPORT(QUORIX_SetVolume),
        SDK_EXPORT(QUORIX_GetVolume),
        SDK_EXPORT(QUORIX_SetAttachPlayer),
        SDK_EXPORT(QUORIX_SetAttachCallback),
    };
    ASSERT_EQ(declared.size(), 72u);
    // The companion header of pulled sources adds its own functions beside the 72.
    const std::vector<NamedExport> companion = {
        SDK_EXPORT(QUORIX_CameraDefaultOptions),
        SDK_EXPORT(QUORIX_CameraOpen),
        SDK_EXPORT(QUORIX_CameraClose),
        SDK_EXPORT(QUORIX_CameraGetState),
    };

    Dl_info info{};
    ASSERT_NE(dladdr(reinterpret_cast<void*>(&QUORIX_InitSDK), &info), 0);
    ASSERT_NE(info.dli_fname, nullptr);
    const std::string library = info.dli_fname;
    ASSERT_NE(library.find("libquorixsdk.so"), std::string::npos) << library;

    std::vector<uint8_t> image;
    ASSERT_TRUE(sdk_elf::ReadFile(library, &image));
    std::vector<sdk_elf::DynamicSymbol> symbols;
    ASSERT_TRUE(sdk_elf::ListDynamicSymbols(image, &symbols));
    std::set<std::string> exportedC;
    for (const sdk_elf::DynamicSymbol& symbol : symbols) {
        const bool visible = symbol.bind == STB_GLOBAL || symbol.bind == STB_WEAK;
        if (!symbol.defined || !visible)
            continue;
        if (symbol.name.rfind("_Z", 0) != 0) {
            exportedC.insert(symbol.name);
            continue;
        }
        // The only C++ names that may leave are the image classes of the codec library (their
        // members, type information and virtual tables), never a library's inline internals.
        int status = -1;
        char* demangled = abi::__cxa_demangle(symbol.name.c_str(), nullptr, nullptr, &status);
        const std::string readable = status == 0 && demangled != nullptr ? demangled : symbol.name;
        free(demangled);
        EXPECT_TRUE(readable.rfind("quorix_image::", 0) == 0 ||
                    readable.rfind("typeinfo for quorix_image::", 0) == 0 ||
                    readable.rfind("typeinfo name for quorix_image::", 0) == 0 ||
                    readable.rfind("vtable for quorix_image::", 0) == 0)
            << "unexpected export " << readable;
    }
    std::set<std::string> expected;
    for (const NamedExport& e : declared)
        expected.insert(e.name);
    for (const NamedExport& e : companion)
        expected.insert(e.name);
    EXPECT_EQ(exportedC, expected);

    void* self = dlopen(library.c_str(), RTLD_NOW | RTLD_NOLOAD);
    ASSERT_NE(self, nullptr);
    for (const std::vector<NamedExport>* list : {&declared, &companion}) {
        for (const NamedExport& e : *list)
            EXPECT_EQ(dlsym(self, e.name), e.address) << e.name;
    }
    dlclose(self);
}

}  // namespace
