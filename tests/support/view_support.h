#pragma once
// Helpers of the display and view tests: flat-colour live streams, a draw callback that reads
// the region back while the library's GL context is current, status and log capture.

#include <quorixsdk.h>

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "support/container_builder.h"

namespace viewtest {

constexpr uint32_t kWaitMs = 30000;

// H.264 records of `frames` pictures of one Y, U, V value (the first a key frame).
std::vector<std::vector<uint8_t>> FlatRecords(uint32_t width, uint32_t height, uint8_t y, uint8_t u,
                                              uint8_t v, uint32_t frames = 3);
// Flat BT.601 colours.
struct Yuv {
    uint8_t y, u, v;
};
constexpr Yuv kGreen{145, 54, 34};
constexpr Yuv kBlue{41, 240, 110};
constexpr Yuv kRed{81, 90, 240};

// Pushes every record into the port; false when one is refused.
bool Feed(uint16_t port, const std::vector<std::vector<uint8_t>>& records);

// Whether an RGB(A) pixel is mostly the named primary.
bool IsGreen(const uint8_t* rgb);
bool IsBlue(const uint8_t* rgb);
bool IsRed(const uint8_t* rgb);

// What a region's draw callback saw. With readBack set, the callback reads the centre of the
// region and then paints a small red square at the region's lower-left corner (an overlay)
// and reads it back, all through the GL context current on the drawing thread.
struct DrawProbe {
    std::mutex lock;
    std::condition_variable changed;
    int calls = 0;
    uint16_t port = 0xFFFF;
    uint16_t region = 0xFFFF;
    int32_t drawMode = -1;
    QUORIX_HDC dc = nullptr;
    bool hadRects = false;
    QUORIX_RECT image{};
    QUORIX_RECT rect{};
    bool readBack = true;
    uint8_t centre[4] = {};
    uint8_t overlay[4] = {};
    // Set by the test: the callback counts a call as "good" when this holds for the centre.
    std::function<bool(const uint8_t* rgb)> want;
    int good = 0;

    static void Callback(uint16_t port, uint16_t region, int32_t drawMode, QUORIX_HDC dc,
                         const QUORIX_RECT* image, const QUORIX_RECT* rect, void* user);
    // Waits until `n` good calls (or plain calls without `want`) have been seen.
    bool WaitGood(int n);
};

struct StatusProbe {
    std::mutex lock;
    std::condition_variable changed;
    std::vector<uint32_t> statuses;
    static void Callback(uint16_t port, uint32_t status, void* user);
    bool WaitFor(uint32_t status);
};

// QUORIX_SetSnapRect cases and the answer each must get: a rectangle is a non-empty part of
// [0, 1] x [0, 1] (x, y, width, height).
struct SnapRectCase {
    const char* name;
    float x, y, width, height;
    uint32_t want;
};
std::vector<SnapRectCase> SnapRectCases();

// Log files of the library in a folder of their own while it lives.
class LogFiles {
public:
    LogFiles();
    ~LogFiles();
    std::string Text() const;
    bool Contains(const std::string& what) const { return Text().find(what) != std::string::npos; }

private:
    quorixtest::TempDir m_dir;
};

}  // namespace viewtest
