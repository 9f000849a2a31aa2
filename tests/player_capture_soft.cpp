// Captures of a port on the software display, through the public interface. The choice of that
// display is one-way for the process, so this suite runs in a process of its own.

#include <gtest/gtest.h>
#include <quorixsdk.h>
#include <stdlib.h>

#include <string>

#include "support/capture_support.h"

using namespace capturetest;

namespace {

const bool g_headless = [] {
    unsetenv("DISPLAY");
    return true;
}();

constexpr uint32_t kWidth = 320;
constexpr uint32_t kHeight = 240;

class CaptureSoft : public ::testing::Test {
protected:
    static void SetUpTestSuite() { QUORIX_SetRenderMode(1); }
    void SetUp() override {
        ASSERT_TRUE(g_headless);
        ASSERT_EQ(QUORIX_OK, QUORIX_InitSDK());
    }
    void TearDown() override { QUORIX_ReleaseSDK(); }
    TempDir m_dir;
};

// Played but never fed: the display has drawn no picture, so a capture waits for one within
// its time limit and then answers the time-out, leaving no file.
TEST_F(CaptureSoft, CapturesBeforeTheFirstPictureTimeOut) {
    LivePort live(1, kWidth, kHeight);
    ASSERT_TRUE(live.Ok()) << live.Error();
    const std::string path = m_dir.Path("early.bmp");
    EXPECT_EQ(QUORIX_E_TIMEOUT, QUORIX_CaptureBmp(live.Port(), 0, path.c_str()));
    EXPECT_EQ(QUORIX_E_TIMEOUT, QUORIX_CaptureJpeg(live.Port(), 0, path.c_str()));
    EXPECT_EQ(QUORIX_E_TIMEOUT, QUORIX_CaptureOriginalBmp(live.Port(), path.c_str()));
    EXPECT_FALSE(FileExists(path));
}

TEST_F(CaptureSoft, RegionZeroCarriesEveryCapture) {
    const StillPicture still = MakeStill(kWidth, kHeight);
    const auto records = StillRecords(still, 4);
    ASSERT_FALSE(records.empty()) << "libx264 missing";
    SnapCollector zero, two;  // outlive the port that calls them
    LivePort live(1, kWidth, kHeight);
    ASSERT_TRUE(live.Ok()) << live.Error();
    const uint16_t port = live.Port();

    // The display has one snapshot callback: whatever region the host names, it reports region
    // 0's pair, so a pair stored for region 2 is never called.
    ASSERT_EQ(QUORIX_OK, QUORIX_SetSnapCallback(port, 0, &SnapCollector::Callback, &zero, 4, 4));
    ASSERT_EQ(QUORIX_OK, QUORIX_SetSnapCallback(port, 2, &SnapCollector::Callback, &two, 4, 4));
    ASSERT_EQ(QUORIX_OK, live.Push(records));
    ASSERT_TRUE(zero.WaitFor(
        [](const SnapCollector::Shot& s, int calls) { return calls >= 2 && s.width != 0; }));
    EXPECT_EQ(0u, zero.Last().region);
    EXPECT_EQ(20u, zero.Last().format);  // the display hands over its planar 4:2:0 picture
    EXPECT_EQ(kWidth, zero.Last().width);
    EXPECT_EQ(kHeight, zero.Last().height);
    EXPECT_EQ(0, two.Calls());

    const std::string bmpPath = m_dir.Path("soft.bmp");
    ASSERT_EQ(QUORIX_OK, QUORIX_CaptureBmp(port, 0, bmpPath.c_str()));
    const BmpFile bmp = ReadBmp(bmpPath);
    ASSERT_TRUE(bmp.ok);
    EXPECT_EQ(static_cast<int32_t>(kWidth), bmp.width);
    EXPECT_EQ(static_cast<int32_t>(kHeight), bmp.height);
    EXPECT_EQ(24u, bmp.bitCount);
    EXPECT_EQ(size_t{kWidth} * 3 * kHeight + 54, bmp.bytes.size());

    // Only region 0 has a picture to capture; the full-resolution callback does not exist here.
    EXPECT_EQ(QUORIX_E_STATE, QUORIX_CaptureBmp(port, 1, bmpPath.c_str()));
    EXPECT_EQ(QUORIX_E_NOT_IMPL,
              QUORIX_SetScreenOffSnapCallback(port, &SnapCollector::Callback, &zero, 1, 4, 4));
    EXPECT_EQ(QUORIX_E_NOT_IMPL, QUORIX_SetScreenOffSnapRect(port, 0, 0, 1, 1));
    EXPECT_EQ(QUORIX_OK, QUORIX_SetSnapRect(port, 0, 0.0f, 0.0f, 0.5f, 0.5f));
    const std::string original = m_dir.Path("soft_original.bmp");
    ASSERT_EQ(QUORIX_OK, QUORIX_CaptureOriginalBmp(port, original.c_str()));
    EXPECT_TRUE(ReadBmp(original).ok);
    EXPECT_EQ(QUORIX_OK, QUORIX_CaptureOriginalJpeg(port, m_dir.Path("no/such.jpg").c_str()));
    ASSERT_EQ(QUORIX_OK, QUORIX_CloseStream(port));
}

}  // namespace
