#pragma once
// Support of the capture suites: a still test picture encoded as H.264 records, a port opened on
// a live stream and shown headless through the public interface, readers of the BMP and JPEG
// files the captures write, and a collector of snapshot callbacks.

#include <quorixsdk.h>

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "support/media_encoder.h"

namespace capturetest {

constexpr uint32_t kWaitMs = 30000;

// A still picture whose top half ramps up from left to right and whose bottom half ramps down,
// so a flipped or mirrored capture cannot pass for the right one. Grey (chroma 128).
struct StillPicture {
    uint32_t width = 0;
    uint32_t height = 0;
    std::vector<uint8_t> luma;  // top row first
    uint8_t At(uint32_t x, uint32_t y) const { return luma[size_t{y} * width + x]; }
};
StillPicture MakeStill(uint32_t width, uint32_t height);

// `count` H.264 frame records of the still picture, the first a key frame; empty without libx264.
std::vector<std::vector<uint8_t>> StillRecords(const StillPicture& still, uint32_t count);

// One frame record with the given header fields and payload.
std::vector<uint8_t> Record(uint8_t type, uint32_t sequence, uint32_t timestamp, uint8_t codec,
                            uint16_t width, uint16_t height, const std::vector<uint8_t>& payload,
                            bool subFrame = false);

// Mean absolute difference between grey pixels read from packed B, G, R(, X) rows and the still
// picture, over its inner part (a tenth of each side left out). Rows are given top row first
// by `rowOf(y)`. Both usual YUV-to-RGB ranges are tried; the smaller difference counts.
double GreyDifference(const StillPicture& still, uint32_t bytesPerPixel,
                      const std::function<const uint8_t*(uint32_t y)>& rowOf);

// What is wrong with a capture of the edge picture (playertest::EdgePicture) of width x height,
// read from packed B, G, R(, X) rows given top row first by `rowOf(y)`; empty when its body is
// dark and its right-hand and bottom stripes, the last column and row included, are bright.
std::string EdgeCaptureProblem(uint32_t width, uint32_t height, uint32_t bytesPerPixel,
                               const std::function<const uint8_t*(uint32_t y)>& rowOf);
// Colour charts: vertical bars of chosen Y, U, V over horizontal luma ramps of fixed chroma, coded
// losslessly by libx264 with the range and matrix given (or none signalled).
struct ColourCase {
    const char* name;
    bool fullRange;
    bool bt709;
    bool signalled;  // false: the stream says nothing (the decoder assumes limited range)
};
const std::vector<ColourCase>& ColourCases();
quorix_test::Picture ColourChart(uint32_t width, uint32_t height, bool fullRange);
std::vector<std::vector<uint8_t>> ColourRecords(const quorix_test::Picture& chart,
                                                const ColourCase& colour, uint32_t count);
// FFmpeg's swscale with accurate rounding and full chroma interpolation: B, G, R rows, top first.
std::vector<uint8_t> SwscaleBgr(const quorix_test::Picture& chart, bool fullRange, bool bt709);
// Largest difference on any channel at the chart's test points (bar and band interiors) between
// packed B, G, R(, X) rows (`rowOf(y)`, top first) and the reference.
int ChartDifference(const quorix_test::Picture& chart, const std::vector<uint8_t>& referenceBgr,
                    uint32_t bytesPerPixel, const std::function<const uint8_t*(uint32_t y)>& rowOf);

// Each renderer stays within one level of swscale, so that the
// OpenGL renderer and the software display, checked against the same reference in processes of
// their own, are within two levels of each other.
constexpr int kColourTolerance = 1;

struct BmpFile {
    bool ok = false;
    uint32_t fileSize = 0;  // the header's
    uint32_t dataOffset = 0;
    uint32_t headerSize = 0;
    int32_t width = 0;
    int32_t height = 0;
    uint16_t planes = 0;
    uint16_t bitCount = 0;
    uint32_t imageSize = 0;
    std::vector<uint8_t> bytes;  // the whole file
    uint32_t Stride() const { return height != 0 ? imageSize / static_cast<uint32_t>(height) : 0; }
    // Picture row y (top row first) of the bottom-up rows.
    const uint8_t* Row(uint32_t y) const {
        return bytes.data() + dataOffset +
               size_t{Stride()} * (static_cast<uint32_t>(height) - 1 - y);
    }
};
BmpFile ReadBmp(const std::string& path);

std::vector<uint8_t> ReadFile(const std::string& path);
bool FileExists(const std::string& path);

// The first luminance quantisation table of a JPEG file in natural order, empty when none.
std::vector<uint16_t> JpegLumaTable(const std::vector<uint8_t>& jpeg);
// What a libjpeg-style encoder writes for `quality`.
std::vector<uint16_t> ScaledLumaTable(int quality);
// Decodes a JPEG to B, G, R rows, top row first.
bool DecodeJpeg(const std::vector<uint8_t>& jpeg, uint32_t* width, uint32_t* height,
                std::vector<uint8_t>* bgr);

// A directory of the test's own, removed at the end.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    std::string Path(const std::string& name) const { return m_path + "/" + name; }

private:
    std::string m_path;
};

// Snapshot callbacks of one port, copied out of the drawing thread.
struct SnapCollector {
    struct Shot {
        uint16_t port = 0, region = 0;
        uint32_t width = 0, stride = 0, height = 0, format = 0;
        std::vector<uint8_t> data;
    };
    std::mutex lock;
    std::condition_variable changed;
    int calls = 0;
    Shot last;  // guarded by lock: the drawing thread keeps writing it; read it through Last()
    // Runs on the drawing thread inside the callback, before the copy; may call the library.
    // Guarded by lock; set it through SetAction once callbacks may be running.
    std::function<void(uint16_t port, uint16_t region)> action;

    static void Callback(uint16_t port, uint16_t region, uint32_t width, uint32_t stride,
                         uint32_t height, uint32_t format, const uint8_t* data, void* user);
    // Waits until `done(last, calls)` holds (checked at every call); false after kWaitMs.
    bool WaitFor(const std::function<bool(const Shot&, int)>& done);
    int Calls() {
        std::lock_guard<std::mutex> guard(lock);
        return calls;
    }
    Shot Last() {
        std::lock_guard<std::mutex> guard(lock);
        return last;
    }
    void SetAction(std::function<void(uint16_t port, uint16_t region)> run) {
        std::lock_guard<std::mutex> guard(lock);
        action = std::move(run);
    }
};

// A port of its own on a live stream of `model`, with region 0 (or none) shown headless.
class LivePort {
public:
    // regionWidth 0: no region is enabled.
    LivePort(int32_t model, uint32_t regionWidth, uint32_t regionHeight);
    ~LivePort();
    LivePort(const LivePort&) = delete;
    LivePort& operator=(const LivePort&) = delete;

    uint16_t Port() const { return m_port; }
    bool Ok() const { return m_ok; }
    const std::string& Error() const { return m_error; }
    // Pushes every record; the first failure is returned.
    uint32_t Push(const std::vector<std::vector<uint8_t>>& records);

private:
    uint16_t m_port = 0xFFFF;
    bool m_ok = false;
    std::string m_error;
};

}  // namespace capturetest
