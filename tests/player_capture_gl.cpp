// Captures of a port shown by the OpenGL renderer, headless, through the public interface:
// region and full-resolution captures into BMP and JPEG files, continuous snapshot callbacks,
// and callbacks that call back into the library on the drawing thread.

#include <gtest/gtest.h>
#include <quorixsdk.h>
#include <stdlib.h>

#include <atomic>
#include <string>

#include "support/capture_support.h"
#include "support/player_media.h"
#include "support/special_files.h"

using namespace capturetest;

namespace {

// The renderer draws into an off-screen surface when there is no X display.
const bool g_headless = [] {
    unsetenv("DISPLAY");
    return true;
}();

constexpr uint32_t kWidth = 640;
constexpr uint32_t kHeight = 480;
constexpr double kGreyTolerance = 12.0;  // the picture went through H.264 and YUV to RGB
constexpr double kJpegTolerance = 14.0;  // and through JPEG as well
constexpr uint32_t kColourWidth = 320;
constexpr uint32_t kColourHeight = 240;

const StillPicture& Still() {
    static const StillPicture still = MakeStill(kWidth, kHeight);
    return still;
}

const std::vector<std::vector<uint8_t>>& StillStream() {
    static const auto records = StillRecords(Still(), 6);
    return records;
}

double ShotDifference(const SnapCollector::Shot& shot, uint32_t bytesPerPixel) {
    if (shot.width != kWidth || shot.height != kHeight ||
        shot.data.size() < size_t{shot.stride} * shot.height)
        return 1e9;
    // Read-back rows come bottom row first.
    return GreyDifference(Still(), bytesPerPixel, [&](uint32_t y) {
        return shot.data.data() + size_t{shot.stride} * (shot.height - 1 - y);
    });
}

class CaptureGl : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(g_headless);
        ASSERT_FALSE(StillStream().empty()) << "libx264 missing";
        ASSERT_EQ(QUORIX_OK, QUORIX_InitSDK());
    }
    void TearDown() override {
        QUORIX_SetJpegQuality(90);
        QUORIX_ReleaseSDK();
    }

    // Region 0 of the port shows the still picture: its snapshot callback has seen it.
    void ShowStill(LivePort& live, SnapCollector& shots) {
        ASSERT_TRUE(live.Ok()) << live.Error();
        ASSERT_EQ(QUORIX_OK,
                  QUORIX_SetSnapCallback(live.Port(), 0, &SnapCollector::Callback, &shots, 4, 4));
        ASSERT_EQ(QUORIX_OK, live.Push(StillStream()));
        ASSERT_TRUE(shots.WaitFor([](const SnapCollector::Shot& s, int) {
            return ShotDifference(s, 3) < kGreyTolerance;
        })) << "the picture never reached region 0";
    }

    // The renderer draws new pictures and changes only: a test that waits for more callbacks of
    // the still picture hands it in again.
    void ShowAgain(LivePort& live) { ASSERT_EQ(QUORIX_OK, live.Push(StillStream())); }

    TempDir m_dir;
};

TEST_F(CaptureGl, RegionCapturesWriteThePictureAsShown) {
    SnapCollector shots;  // outlives the port that calls it
    LivePort live(1, kWidth, kHeight);
    ShowStill(live, shots);
    EXPECT_EQ(kWidth * 3, shots.Last().stride);
    EXPECT_EQ(4u, shots.Last().format);
    EXPECT_EQ(0u, shots.Last().region);
    EXPECT_EQ(live.Port(), shots.Last().port);

    const std::string bmpPath = m_dir.Path("region.bmp");
    ASSERT_EQ(QUORIX_OK, QUORIX_CaptureBmp(live.Port(), 0, bmpPath.c_str()));
    const BmpFile bmp = ReadBmp(bmpPath);
    ASSERT_TRUE(bmp.ok);
    EXPECT_EQ(921654u, bmp.bytes.size());
    EXPECT_EQ(921654u, bmp.fileSize);
    EXPECT_EQ(54u, bmp.dataOffset);
    EXPECT_EQ(40u, bmp.headerSize);
    EXPECT_EQ(static_cast<int32_t>(kWidth), bmp.width);
    EXPECT_EQ(static_cast<int32_t>(kHeight), bmp.height);
    EXPECT_EQ(1u, bmp.planes);
    EXPECT_EQ(24u, bmp.bitCount);
    EXPECT_EQ(921600u, bmp.imageSize);
    EXPECT_LT(GreyDifference(Still(), 3, [&](uint32_t y) { return bmp.Row(y); }), kGreyTolerance);

    // JPEG: the same picture, at the library's quality, which every port follows.
    for (int quality : {90, 50}) {
        if (quality != 90) {
            ASSERT_EQ(QUORIX_OK, QUORIX_SetJpegQuality(static_cast<uint16_t>(quality)));
        }
        const std::string jpegPath = m_dir.Path("region" + std::to_string(quality) + ".jpg");
        ASSERT_EQ(QUORIX_OK, QUORIX_CaptureJpeg(live.Port(), 0, jpegPath.c_str()));
        const std::vector<uint8_t> jpeg = ReadFile(jpegPath);
        EXPECT_EQ(ScaledLumaTable(quality), JpegLumaTable(jpeg)) << "quality " << quality;
        uint32_t width = 0, height = 0;
        std::vector<uint8_t> bgr;
        ASSERT_TRUE(DecodeJpeg(jpeg, &width, &height, &bgr));
        ASSERT_EQ(kWidth, width);
        ASSERT_EQ(kHeight, height);
        EXPECT_LT(GreyDifference(Still(), 3,
                                 [&](uint32_t y) { return bgr.data() + size_t{y} * width * 3; }),
                  kJpegTolerance);
    }
}

TEST_F(CaptureGl, CaptureFilesThatCannotBeWritten) {
    SnapCollector shots;  // outlives the port that calls it
    LivePort live(1, kWidth, kHeight);
    ShowStill(live, shots);
    const uint16_t port = live.Port();
    const std::string missingDir = m_dir.Path("missing/shot");
    const std::string longPath = m_dir.Path(std::string(5000, 'x'));

    // Region captures report the file; original-size captures only the picture.
    for (const std::string& path : {missingDir, longPath, std::string(), m_dir.Path("")}) {
        SCOPED_TRACE(path.substr(0, 80));
        EXPECT_EQ(QUORIX_E_OPEN_FILE, QUORIX_CaptureBmp(port, 0, path.c_str()));
        EXPECT_EQ(QUORIX_E_OPEN_FILE, QUORIX_CaptureJpeg(port, 0, path.c_str()));
        EXPECT_EQ(QUORIX_OK, QUORIX_CaptureOriginalBmp(port, path.c_str()));
        EXPECT_EQ(QUORIX_OK, QUORIX_CaptureOriginalJpeg(port, path.c_str()));
    }
    EXPECT_FALSE(FileExists(missingDir));

    // A pipe or a device is no file to write: refused at once, never waited on.
    const std::string fifo = m_dir.Path("pipe");
    ASSERT_TRUE(fifotest::MakeFifo(fifo));
    for (const std::string& path : {fifo, std::string("/dev/full")}) {
        SCOPED_TRACE(path);
        const fifotest::Outcome bmp =
            fifotest::CallOnFifo(fifo, [&] { return QUORIX_CaptureBmp(port, 0, path.c_str()); });
        EXPECT_TRUE(bmp.returned) << "blocked on a pipe";
        EXPECT_EQ(QUORIX_E_OPEN_FILE, bmp.result);
        const fifotest::Outcome jpeg =
            fifotest::CallOnFifo(fifo, [&] { return QUORIX_CaptureJpeg(port, 0, path.c_str()); });
        EXPECT_TRUE(jpeg.returned) << "blocked on a pipe";
        EXPECT_EQ(QUORIX_E_OPEN_FILE, jpeg.result);
        const fifotest::Outcome original = fifotest::CallOnFifo(
            fifo, [&] { return QUORIX_CaptureOriginalBmp(port, path.c_str()); });
        EXPECT_TRUE(original.returned) << "blocked on a pipe";
        EXPECT_EQ(QUORIX_OK, original.result);
    }
    EXPECT_TRUE(fifotest::IsFifo(fifo));

    // A full disk: the files come up short. Every capture says so and leaves no file.
    {
        const std::string full = m_dir.Path("full.pic");
        fifotest::ScopedFileSizeLimit limit(1000);
        ASSERT_TRUE(limit.Ok());
        EXPECT_EQ(QUORIX_E_WRITE_FILE, QUORIX_CaptureBmp(port, 0, full.c_str()));
        EXPECT_EQ(QUORIX_E_WRITE_FILE, QUORIX_CaptureJpeg(port, 0, full.c_str()));
        EXPECT_EQ(QUORIX_E_WRITE_FILE, QUORIX_CaptureOriginalBmp(port, full.c_str()));
        EXPECT_EQ(QUORIX_E_WRITE_FILE, QUORIX_CaptureOriginalJpeg(port, full.c_str()));
        EXPECT_FALSE(FileExists(full));
    }
    EXPECT_EQ(QUORIX_E_PARAM, QUORIX_CaptureBmp(port, 0, nullptr));
    EXPECT_EQ(QUORIX_E_PARAM, QUORIX_CaptureJpeg(port, 0, nullptr));
    EXPECT_EQ(QUORIX_OK, QUORIX_CaptureOriginalJpeg(port, nullptr));
    EXPECT_EQ(QUORIX_E_PARAM, QUORIX_CaptureBmp(port, 6, m_dir.Path("r6.bmp").c_str()));
}

TEST_F(CaptureGl, OriginalCaptureOfAFisheyeIsTheHalfPanoramaAtSourceSize) {
    SnapCollector offScreen;
    LivePort live(2, 0, 0);
    ASSERT_TRUE(live.Ok()) << live.Error();
    ASSERT_EQ(QUORIX_OK, QUORIX_SetScreenOffSnapCallback(live.Port(), &SnapCollector::Callback,
                                                         &offScreen, 1.0f, 3, 4));
    ASSERT_EQ(QUORIX_OK, live.Push(StillStream()));
    // The half panorama is square: the source's smaller side is widened, so that no bars
    // surround the picture.
    ASSERT_TRUE(
        offScreen.WaitFor([](const SnapCollector::Shot& s, int) { return s.width == kWidth; }));
    EXPECT_EQ(9u, offScreen.Last().region);
    EXPECT_EQ(kWidth, offScreen.Last().height);
    EXPECT_EQ(kWidth * 4, offScreen.Last().stride);
    EXPECT_EQ(3u, offScreen.Last().format);

    const std::string path = m_dir.Path("original.bmp");
    ASSERT_EQ(QUORIX_OK, QUORIX_CaptureOriginalBmp(live.Port(), path.c_str()));
    const BmpFile bmp = ReadBmp(path);
    ASSERT_TRUE(bmp.ok);
    EXPECT_EQ(static_cast<int32_t>(kWidth), bmp.width);
    EXPECT_EQ(static_cast<int32_t>(kWidth), bmp.height);
    EXPECT_EQ(24u, bmp.bitCount);
    EXPECT_EQ(size_t{kWidth} * 3 * kWidth + 54, bmp.bytes.size());
}

// Odd sizes and widths that are no multiple of 8, from MJPEG and H.264, are shown whole in every
// play mode: the full-resolution capture has the picture's size, and its right-hand and bottom
// stripes, last column and row included, are where the picture has them.
TEST_F(CaptureGl, OddSizedPicturesAreCapturedWholeInEveryPlayMode) {
    struct Case {
        const char* encoder;
        uint32_t width, height;
    };
    const Case cases[] = {
        {"mjpeg", 65, 49}, {"libx264", 65, 49}, {"libx264", 1918, 1078}, {"mjpeg", 1917, 1079}};
    for (const Case& c : cases) {
        const auto records = playertest::EdgeRecords(c.encoder, c.width, c.height, 5, false);
        ASSERT_FALSE(records.empty()) << c.encoder << " missing";
        for (uint32_t mode = 0; mode <= 2; ++mode) {
            SCOPED_TRACE(std::string(c.encoder) + " " + std::to_string(c.width) + "x" +
                         std::to_string(c.height) + " mode " + std::to_string(mode));
            SnapCollector offScreen;  // outlives the port that calls it
            LivePort live(1, 0, 0);
            ASSERT_TRUE(live.Ok()) << live.Error();
            const uint16_t port = live.Port();
            ASSERT_EQ(QUORIX_OK, QUORIX_SetStreamOpenMode(port, mode));
            ASSERT_EQ(QUORIX_OK, QUORIX_SetScreenOffSnapCallback(port, &SnapCollector::Callback,
                                                                 &offScreen, 1.0f, 3, 4));
            ASSERT_EQ(QUORIX_OK, live.Push(records));
            ASSERT_TRUE(offScreen.WaitFor([&](const SnapCollector::Shot& s, int) {
                return s.width == c.width && s.height == c.height;
            })) << "last shot "
                << offScreen.Last().width << "x" << offScreen.Last().height;
            ASSERT_EQ(QUORIX_OK,
                      QUORIX_SetScreenOffSnapCallback(port, nullptr, nullptr, 1.0f, 3, 4));

            const std::string path = m_dir.Path("odd.bmp");
            ASSERT_EQ(QUORIX_OK, QUORIX_CaptureOriginalBmp(port, path.c_str()));
            const BmpFile bmp = ReadBmp(path);
            ASSERT_TRUE(bmp.ok);
            ASSERT_EQ(static_cast<int32_t>(c.width), bmp.width);
            ASSERT_EQ(static_cast<int32_t>(c.height), bmp.height);
            EXPECT_EQ("", EdgeCaptureProblem(c.width, c.height, bmp.bitCount / 8u,
                                             [&](uint32_t y) { return bmp.Row(y); }));
            ASSERT_EQ(QUORIX_OK, QUORIX_SetStreamOpenMode(port, 0));
        }
    }
}

TEST_F(CaptureGl, CapturesWithoutAPictureAnswerInsteadOfWaiting) {
    uint16_t port = 0;
    ASSERT_EQ(QUORIX_OK, QUORIX_GetPort(&port));
    const std::string path = m_dir.Path("none.bmp");
    // No renderer at all.
    EXPECT_EQ(QUORIX_E_STATE, QUORIX_CaptureBmp(port, 0, path.c_str()));
    EXPECT_EQ(QUORIX_E_STATE, QUORIX_CaptureOriginalJpeg(port, path.c_str()));
    SnapCollector shots;
    EXPECT_EQ(QUORIX_E_PARAM,
              QUORIX_SetSnapCallback(port, 0, &SnapCollector::Callback, &shots, 4, 4));
    EXPECT_EQ(QUORIX_E_PARAM,
              QUORIX_SetScreenOffSnapCallback(port, &SnapCollector::Callback, &shots, 1.0f, 4, 4));
    EXPECT_EQ(QUORIX_E_PARAM, QUORIX_SetSnapRect(port, 0, 0.0f, 0.0f, 1.0f, 1.0f));

    // A renderer that draws nothing yet: the request times out.
    const QUORIX_RECT rect{0, 0, 320, 240};
    ASSERT_EQ(QUORIX_OK, QUORIX_SetDisplayRegion(port, 0, &rect, 1));
    ASSERT_EQ(QUORIX_OK, QUORIX_OpenStream(port, 1, nullptr, 0, nullptr, 0));
    EXPECT_EQ(QUORIX_E_TIMEOUT, QUORIX_CaptureBmp(port, 0, path.c_str()));
    EXPECT_EQ(QUORIX_E_TIMEOUT, QUORIX_CaptureOriginalBmp(port, path.c_str()));
    EXPECT_FALSE(FileExists(path));
    // Playing, but never fed: the renderer runs and draws its regions without a picture, and a
    // capture of that is no picture either.
    ASSERT_EQ(QUORIX_OK, QUORIX_Play(port, 0, nullptr, 0));
    EXPECT_EQ(QUORIX_E_TIMEOUT, QUORIX_CaptureBmp(port, 0, path.c_str()));
    EXPECT_EQ(QUORIX_E_TIMEOUT, QUORIX_CaptureJpeg(port, 0, path.c_str()));
    EXPECT_EQ(QUORIX_E_TIMEOUT, QUORIX_CaptureOriginalBmp(port, path.c_str()));
    EXPECT_FALSE(FileExists(path));
    EXPECT_EQ(QUORIX_OK, QUORIX_FreePort(port));
}

TEST_F(CaptureGl, SnapshotCallbackSettings) {
    SnapCollector shots, refused, wide, aligned;  // outlive the port that calls them
    LivePort live(1, kWidth, kHeight);
    ShowStill(live, shots);
    const uint16_t port = live.Port();

    // A refused setting stores nothing: the callback in place keeps receiving.
    EXPECT_EQ(QUORIX_E_PARAM,
              QUORIX_SetSnapCallback(port, 0, &SnapCollector::Callback, &refused, 4, 3));
    EXPECT_EQ(QUORIX_E_PARAM,
              QUORIX_SetSnapCallback(port, 0, &SnapCollector::Callback, &refused, 5, 4));
    const int before = shots.Calls();
    ShowAgain(live);
    ASSERT_TRUE(shots.WaitFor(
        [before](const SnapCollector::Shot&, int calls) { return calls >= before + 1; }));
    EXPECT_EQ(0, refused.Calls());
    EXPECT_EQ(4u, shots.Last().format);

    // Format 0 reads four bytes a pixel; the rows follow the alignment.
    ASSERT_EQ(QUORIX_OK, QUORIX_SetSnapCallback(port, 0, &SnapCollector::Callback, &wide, 0, 4));
    ShowAgain(live);
    ASSERT_TRUE(wide.WaitFor(
        [](const SnapCollector::Shot& s, int calls) { return calls >= 2 && s.width != 0; }));
    EXPECT_EQ(3u, wide.Last().format);
    EXPECT_EQ(kWidth * 4, wide.Last().stride);
    EXPECT_LT(ShotDifference(wide.Last(), 4), kGreyTolerance);

    const QUORIX_RECT odd{0, 0, 322, 200};
    ASSERT_EQ(QUORIX_OK, QUORIX_SetDisplayRegion(port, 1, &odd, 1));
    ASSERT_EQ(QUORIX_OK, QUORIX_SetSnapCallback(port, 1, &SnapCollector::Callback, &aligned, 4, 8));
    ASSERT_TRUE(aligned.WaitFor([](const SnapCollector::Shot& s, int) { return s.width == 322; }));
    EXPECT_EQ(1u, aligned.Last().region);
    EXPECT_EQ(968u, aligned.Last().stride);  // 966 bytes rounded up to 8

    // The rectangle takes a part of the region.
    ASSERT_EQ(QUORIX_OK, QUORIX_SetSnapRect(port, 0, 0.0f, 0.0f, 0.5f, 0.5f));
    ASSERT_TRUE(
        wide.WaitFor([](const SnapCollector::Shot& s, int) { return s.width == kWidth / 2; }));
    EXPECT_EQ(kHeight / 2, wide.Last().height);

    // Switched off: no more calls once the switch has been seen by the drawing thread.
    ASSERT_EQ(QUORIX_OK, QUORIX_SetSnapCallback(port, 1, nullptr, nullptr, 4, 4));
    const int afterOff = aligned.Calls();
    const int wideNow = wide.Calls();
    ShowAgain(live);
    ASSERT_TRUE(wide.WaitFor(
        [wideNow](const SnapCollector::Shot&, int calls) { return calls >= wideNow + 1; }));
    EXPECT_LE(aligned.Calls(), afterOff + 1);
}

// A one-shot capture brings its own format, row alignment and size: the host's continuous
// callbacks go on receiving exactly what they asked for, before, during and after it.
TEST_F(CaptureGl, OneShotCapturesLeaveTheCallbackSettingsAlone) {
    SnapCollector shots, odd, offScreen;  // outlive the port that calls them
    LivePort live(1, kWidth, kHeight);
    ShowStill(live, shots);
    const uint16_t port = live.Port();

    // 321 pixels of packed RGB: 963 bytes a row, 968 at alignment 8 but 964 at the capture's 4.
    constexpr uint32_t kOddWidth = 321, kOddHeight = 200;
    const QUORIX_RECT rect{0, 0, static_cast<int32_t>(kOddWidth), static_cast<int32_t>(kOddHeight)};
    ASSERT_EQ(QUORIX_OK, QUORIX_SetDisplayRegion(port, 1, &rect, 1));
    ASSERT_EQ(QUORIX_OK, QUORIX_SetSnapCallback(port, 1, &SnapCollector::Callback, &odd, 2, 8));
    ASSERT_EQ(QUORIX_OK, QUORIX_SetScreenOffSnapCallback(port, &SnapCollector::Callback, &offScreen,
                                                         0.5f, 1, 8));
    ASSERT_TRUE(odd.WaitFor([](const SnapCollector::Shot& s, int) { return s.width != 0; }));
    ASSERT_TRUE(offScreen.WaitFor([](const SnapCollector::Shot& s, int) { return s.width != 0; }));
    EXPECT_EQ(kWidth / 2, offScreen.Last().width);
    EXPECT_EQ(kHeight / 2, offScreen.Last().height);

    const std::string regionPath = m_dir.Path("odd.bmp");
    ASSERT_EQ(QUORIX_OK, QUORIX_CaptureBmp(port, 1, regionPath.c_str()));
    ASSERT_EQ(QUORIX_OK, QUORIX_CaptureJpeg(port, 1, m_dir.Path("odd.jpg").c_str()));
    const std::string originalPath = m_dir.Path("original.bmp");
    ASSERT_EQ(QUORIX_OK, QUORIX_CaptureOriginalBmp(port, originalPath.c_str()));

    // The files are the captures' own: packed B, G, R in rows aligned to 4, at full size.
    const BmpFile region = ReadBmp(regionPath);
    ASSERT_TRUE(region.ok);
    EXPECT_EQ(static_cast<int32_t>(kOddWidth), region.width);
    EXPECT_EQ(24u, region.bitCount);
    EXPECT_EQ(964u * kOddHeight, region.imageSize);
    const BmpFile original = ReadBmp(originalPath);
    ASSERT_TRUE(original.ok);
    EXPECT_EQ(static_cast<int32_t>(kWidth), original.width);
    EXPECT_EQ(static_cast<int32_t>(kHeight), original.height);
    EXPECT_EQ(24u, original.bitCount);

    // Every picture the callbacks receive afterwards is still in their own settings.
    bool oddChanged = false, offChanged = false;
    const int oddSeen = odd.Calls(), offSeen = offScreen.Calls();
    ShowAgain(live);
    ASSERT_TRUE(odd.WaitFor([&](const SnapCollector::Shot& s, int calls) {
        oddChanged = oddChanged || s.format != 2 || s.stride != 968 || s.width != kOddWidth;
        return calls >= oddSeen + 1;
    }));
    ASSERT_TRUE(offScreen.WaitFor([&](const SnapCollector::Shot& s, int calls) {
        offChanged =
            offChanged || s.format != 1 || s.width != kWidth / 2 || s.stride != kWidth / 2 * 4;
        return calls >= offSeen + 1;
    }));
    EXPECT_FALSE(oddChanged) << "format " << odd.Last().format << ", stride " << odd.Last().stride;
    EXPECT_FALSE(offChanged) << "format " << offScreen.Last().format << ", width "
                             << offScreen.Last().width;
    EXPECT_EQ(QUORIX_OK, QUORIX_CloseStream(port));
}

// The drawing thread runs the host's callback; the callback may call the library, even close or
// free its own port. One-shot captures asked from there time out instead of waiting for the
// thread that would serve them.
TEST_F(CaptureGl, SnapshotCallbackThatCallsBackIntoTheLibrary) {
    for (const bool free : {false, true}) {
        SCOPED_TRACE(free ? "free" : "close");
        SnapCollector shots, after;  // outlive the port that calls them
        LivePort live(1, kWidth, kHeight);
        ShowStill(live, shots);
        const uint16_t port = live.Port();
        const std::string path = m_dir.Path("inside.bmp");
        std::atomic<bool> once{false};
        std::atomic<uint32_t> capture{0}, rect{0}, close{0};
        shots.SetAction([&](uint16_t p, uint16_t) {
            if (once.exchange(true))
                return;
            capture = QUORIX_CaptureBmp(p, 0, path.c_str());
            rect = QUORIX_SetSnapRect(p, 0, 0.0f, 0.0f, 1.0f, 1.0f);
            QUORIX_SetSnapCallback(p, 1, nullptr, nullptr, 4, 4);
            close = free ? QUORIX_FreePort(p) : QUORIX_CloseStream(p);
        });
        const int seen = shots.Calls();
        ShowAgain(live);
        ASSERT_TRUE(
            shots.WaitFor([seen](const SnapCollector::Shot&, int calls) { return calls > seen; }));
        ASSERT_TRUE(shots.WaitFor(
            [&](const SnapCollector::Shot&, int) { return close.load() == QUORIX_OK && once; }));
        EXPECT_EQ(QUORIX_E_TIMEOUT, capture.load());
        EXPECT_EQ(QUORIX_OK, rect.load());
        EXPECT_FALSE(FileExists(path));

        // The port is usable again from the host's thread.
        if (free) {
            uint16_t again = 0xFFFF;
            ASSERT_EQ(QUORIX_OK, QUORIX_GetPort(&again));
            EXPECT_EQ(port, again);
            const QUORIX_RECT rect0{0, 0, static_cast<int32_t>(kWidth),
                                    static_cast<int32_t>(kHeight)};
            ASSERT_EQ(QUORIX_OK, QUORIX_SetDisplayRegion(port, 0, &rect0, 1));
        }
        ASSERT_EQ(QUORIX_OK, QUORIX_OpenStream(port, 1, nullptr, 0, nullptr, 0));
        ASSERT_EQ(QUORIX_OK, QUORIX_Play(port, 0, nullptr, 0));
        ASSERT_EQ(QUORIX_OK,
                  QUORIX_SetSnapCallback(port, 0, &SnapCollector::Callback, &after, 4, 4));
        ASSERT_EQ(QUORIX_OK, live.Push(StillStream()));
        EXPECT_TRUE(after.WaitFor([](const SnapCollector::Shot& s, int) {
            return ShotDifference(s, 3) < kGreyTolerance;
        }));
        EXPECT_EQ(QUORIX_OK, QUORIX_CloseStream(port));
    }
}

// Colour bars and ramps coded in each range and matrix (or none signalled) come out as FFmpeg's
// swscale converts them, on every channel: the capture and the snapshot callback alike.
TEST_F(CaptureGl, ColoursFollowTheStreamsRangeAndMatrix) {
    for (const ColourCase& colour : ColourCases()) {
        SCOPED_TRACE(colour.name);
        const quorix_test::Picture chart =
            ColourChart(kColourWidth, kColourHeight, colour.fullRange);
        const auto records = ColourRecords(chart, colour, 4);
        ASSERT_FALSE(records.empty()) << "libx264 missing";
        const std::vector<uint8_t> reference = SwscaleBgr(chart, colour.fullRange, colour.bt709);
        ASSERT_FALSE(reference.empty());
        SnapCollector shots;
        LivePort live(1, kColourWidth, kColourHeight);
        ASSERT_TRUE(live.Ok()) << live.Error();
        const uint16_t port = live.Port();
        ASSERT_EQ(QUORIX_OK,
                  QUORIX_SetSnapCallback(port, 0, &SnapCollector::Callback, &shots, 4, 4));
        ASSERT_EQ(QUORIX_OK, live.Push(records));
        ASSERT_TRUE(shots.WaitFor(
            [](const SnapCollector::Shot& s, int calls) { return calls >= 2 && s.width != 0; }));
        const SnapCollector::Shot shot = shots.Last();
        ASSERT_EQ(kColourWidth, shot.width);
        ASSERT_EQ(kColourHeight, shot.height);
        // Read-back rows come bottom row first.
        EXPECT_LE(ChartDifference(chart, reference, 3,
                                  [&](uint32_t y) {
                                      return shot.data.data() +
                                             size_t{shot.stride} * (shot.height - 1 - y);
                                  }),
                  kColourTolerance);
        const std::string path = m_dir.Path(std::string(colour.name) + ".bmp");
        ASSERT_EQ(QUORIX_OK, QUORIX_CaptureBmp(port, 0, path.c_str()));
        const BmpFile bmp = ReadBmp(path);
        ASSERT_TRUE(bmp.ok);
        ASSERT_EQ(static_cast<int32_t>(kColourWidth), bmp.width);
        ASSERT_EQ(static_cast<int32_t>(kColourHeight), bmp.height);
        EXPECT_LE(ChartDifference(chart, reference, bmp.bitCount / 8,
                                  [&](uint32_t y) { return bmp.Row(y); }),
                  kColourTolerance);
        EXPECT_EQ(QUORIX_OK, QUORIX_SetSnapCallback(port, 0, nullptr, nullptr, 4, 4));
        ASSERT_EQ(QUORIX_OK, QUORIX_CloseStream(port));
    }
}

}  // namespace
