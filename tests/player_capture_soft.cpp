// Captures of a port on the software display, through the public interface. The choice of that
// display is one-way for the process, so this suite runs in a process of its own.

#include <gtest/gtest.h>
#include <quorixsdk.h>
#include <stdlib.h>

#include <string>

#include "support/capture_support.h"
#include "support/player_media.h"

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
    // Pictures that arrive together may be drawn, and so handed over, once.
    ASSERT_TRUE(zero.WaitFor(
        [](const SnapCollector::Shot& s, int calls) { return calls >= 1 && s.width != 0; }));
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

// Odd sizes and widths that are no multiple of 8, from MJPEG and H.264, are shown whole in every
// play mode: the display's 4:2:0 snapshot keeps its chroma planes of ((stride+1)/2) x
// ((height+1)/2) where they belong, and the full-resolution capture has the picture's size with
// its right-hand and bottom stripes, last column and row included.
TEST_F(CaptureSoft, OddSizedPicturesAreCapturedWholeInEveryPlayMode) {
    struct Case {
        const char* encoder;
        uint32_t width, height;
    };
    const Case cases[] = {{"mjpeg", 65, 49},   {"libx264", 65, 49},     {"mjpeg", 64, 49},
                          {"libx264", 70, 48}, {"libx264", 1918, 1078}, {"mjpeg", 1917, 1079}};
    constexpr double kTolerance = 20.0;  // lossy coding around sharp edges
    using playertest::kEdgeBody;
    using playertest::kEdgeStripe;
    for (const Case& c : cases) {
        const auto records = playertest::EdgeRecords(c.encoder, c.width, c.height, 5, false);
        ASSERT_FALSE(records.empty()) << c.encoder << " missing";
        for (uint32_t mode = 0; mode <= 2; ++mode) {
            SCOPED_TRACE(std::string(c.encoder) + " " + std::to_string(c.width) + "x" +
                         std::to_string(c.height) + " mode " + std::to_string(mode));
            SnapCollector shots;  // outlives the port that calls it
            LivePort live(1, 0, 0);
            ASSERT_TRUE(live.Ok()) << live.Error();
            const uint16_t port = live.Port();
            ASSERT_EQ(QUORIX_OK, QUORIX_SetStreamOpenMode(port, mode));
            ASSERT_EQ(QUORIX_OK,
                      QUORIX_SetSnapCallback(port, 0, &SnapCollector::Callback, &shots, 4, 4));
            ASSERT_EQ(QUORIX_OK, live.Push(records));
            ASSERT_TRUE(shots.WaitFor([&](const SnapCollector::Shot& s, int) {
                return s.width == c.width && s.height == c.height;
            })) << "last shot "
                << shots.Last().width << "x" << shots.Last().height;
            ASSERT_EQ(QUORIX_OK, QUORIX_SetSnapCallback(port, 0, nullptr, nullptr, 4, 4));

            const SnapCollector::Shot shot = shots.Last();
            ASSERT_EQ(20u, shot.format);
            ASSERT_GE(shot.stride, c.width);
            const uint32_t cs = (shot.stride + 1) / 2, ch = (c.height + 1) / 2;
            ASSERT_GE(shot.data.size(), size_t{shot.stride} * c.height + 2 * size_t{cs} * ch);
            const uint8_t* u = shot.data.data() + size_t{shot.stride} * c.height;
            const uint8_t* v = u + size_t{cs} * ch;
            const uint32_t xs = playertest::EdgeColumn(c.width), ys = playertest::EdgeRow(c.height);
            const uint32_t cw = (c.width + 1) / 2;
            struct Plane {
                const char* name;
                const uint8_t* data;
                uint32_t stride, w, h, xs, ys;
                uint8_t body, stripe;
            };
            const Plane planes[] = {
                {"Y", shot.data.data(), shot.stride, c.width, c.height, xs, ys, kEdgeBody.y,
                 kEdgeStripe.y},
                {"U", u, cs, cw, ch, xs / 2, ys / 2, kEdgeBody.u, kEdgeStripe.u},
                {"V", v, cs, cw, ch, xs / 2, ys / 2, kEdgeBody.v, kEdgeStripe.v}};
            for (const Plane& p : planes) {
                SCOPED_TRACE(p.name);
                EXPECT_NEAR(p.body, playertest::PlaneMean(p.data, p.stride, 0, p.xs, 0, p.ys),
                            kTolerance);
                EXPECT_NEAR(p.stripe, playertest::PlaneMean(p.data, p.stride, p.w - 1, p.w, 0, p.h),
                            kTolerance)
                    << "last column";
                EXPECT_NEAR(p.stripe, playertest::PlaneMean(p.data, p.stride, 0, p.w, p.h - 1, p.h),
                            kTolerance)
                    << "last row";
            }

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

// Colour bars and ramps coded in each range and matrix (or none signalled) come out as FFmpeg's
// swscale converts them, on every channel.
TEST_F(CaptureSoft, ColoursFollowTheStreamsRangeAndMatrix) {
    for (const ColourCase& colour : ColourCases()) {
        SCOPED_TRACE(colour.name);
        const quorix_test::Picture chart = ColourChart(kWidth, kHeight, colour.fullRange);
        const auto records = ColourRecords(chart, colour, 4);
        ASSERT_FALSE(records.empty()) << "libx264 missing";
        const std::vector<uint8_t> reference = SwscaleBgr(chart, colour.fullRange, colour.bt709);
        ASSERT_FALSE(reference.empty());
        SnapCollector shots;
        LivePort live(1, kWidth, kHeight);
        ASSERT_TRUE(live.Ok()) << live.Error();
        const uint16_t port = live.Port();
        ASSERT_EQ(QUORIX_OK,
                  QUORIX_SetSnapCallback(port, 0, &SnapCollector::Callback, &shots, 4, 4));
        ASSERT_EQ(QUORIX_OK, live.Push(records));
        ASSERT_TRUE(shots.WaitFor(
            [](const SnapCollector::Shot& s, int calls) { return calls >= 1 && s.width != 0; }));
        EXPECT_EQ(20u, shots.Last().format);  // the display hands over the decoded picture
        const std::string path = m_dir.Path(std::string(colour.name) + ".bmp");
        ASSERT_EQ(QUORIX_OK, QUORIX_CaptureBmp(port, 0, path.c_str()));
        const BmpFile bmp = ReadBmp(path);
        ASSERT_TRUE(bmp.ok);
        ASSERT_EQ(static_cast<int32_t>(kWidth), bmp.width);
        ASSERT_EQ(static_cast<int32_t>(kHeight), bmp.height);
        EXPECT_LE(ChartDifference(chart, reference, bmp.bitCount / 8,
                                  [&](uint32_t y) { return bmp.Row(y); }),
                  kColourTolerance);
        EXPECT_EQ(QUORIX_OK, QUORIX_SetSnapCallback(port, 0, nullptr, nullptr, 4, 4));
        ASSERT_EQ(QUORIX_OK, QUORIX_CloseStream(port));
    }
}

}  // namespace
