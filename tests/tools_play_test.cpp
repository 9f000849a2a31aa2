// quorix-play run headless on recordings quorix-mux makes: it plays them to the end and leaves a
// picture per display type of the recording's model.

#include <gtest/gtest.h>

#include <dirent.h>

#include <cmath>
#include <fstream>
#include <iterator>
#include <map>
#include <regex>

#include "tools_support.h"

using namespace toolstest;

namespace {

const std::string kMux = QUORIX_MUX_PATH;
const std::string kPlay = QUORIX_PLAY_PATH;

std::map<std::string, std::string> Pictures(const std::string& dir) {
    std::map<std::string, std::string> files;
    if (DIR* d = opendir(dir.c_str())) {
        while (dirent* e = readdir(d)) {
            const std::string name = e->d_name;
            if (name.size() > 4 && name.compare(name.size() - 4, 4, ".jpg") == 0) {
                std::ifstream in(dir + "/" + name, std::ios::binary);
                files[name].assign(std::istreambuf_iterator<char>(in),
                                   std::istreambuf_iterator<char>());
            }
        }
        closedir(d);
    }
    return files;
}

struct Summary {
    bool found = false;
    unsigned frames = 0, drawn = 0, snapshots = 0, types = 0;
    double seconds = 0, fps = 0;
};

Summary ParseSummary(const std::string& out) {
    Summary s;
    std::smatch m;
    if (std::regex_search(
            out, m,
            std::regex("summary: frames=(\\d+) drawn=(\\d+) seconds=([0-9.]+) fps=([0-9.]+) "
                       "snapshots=(\\d+) types=(\\d+)"))) {
        s.found = true;
        s.frames = static_cast<unsigned>(std::stoul(m[1]));
        s.drawn = static_cast<unsigned>(std::stoul(m[2]));
        s.seconds = std::stod(m[3]);
        s.fps = std::stod(m[4]);
        s.snapshots = static_cast<unsigned>(std::stoul(m[5]));
        s.types = static_cast<unsigned>(std::stoul(m[6]));
    }
    return s;
}

// The fisheye recording offers five display types; each picture differs from the others, so
// the type really changed between the captures.
TEST(PlayHeadless, PlaysToTheEndWithADifferentPicturePerDisplayType) {
    TempDir dir;
    std::string log;
    ASSERT_EQ(toolstest::Run(kMux + " --quiet --synthetic fisheye --width 384 --frames 40 " +
                                 dir / "f.zbm 2>&1",
                             &log),
              0)
        << log;
    const std::string out = dir / "out";
    log.clear();
    const int rc = toolstest::Run(
        kPlay + " --headless --size 320x240 --out " + out + " " + dir / "f.zbm 2>&1", &log);
    ASSERT_EQ(rc, 0) << log;
    const Summary s = ParseSummary(log);
    ASSERT_TRUE(s.found) << log;
    EXPECT_EQ(s.frames, 40u) << "the file ended and reported its frames\n" << log;
    // 11, 12, 13, 0 and the perspective view 10.
    EXPECT_EQ(s.types, 5u) << log;

    const auto pictures = Pictures(out);
    EXPECT_EQ(pictures.size(), s.snapshots);
    // Each display type's picture, and the full-resolution one.
    for (const char* name :
         {"display-11-sphere.jpg", "display-12-plane180.jpg", "display-13-plane360.jpg",
          "display-0-plane.jpg", "display-10-perspective.jpg", "original.jpg"}) {
        SCOPED_TRACE(name);
        const auto it = pictures.find(name);
        ASSERT_NE(it, pictures.end()) << log;
        ASSERT_GT(it->second.size(), 1000u);
        EXPECT_EQ(it->second.compare(0, 3, "\xFF\xD8\xFF"), 0) << "a JPEG file";
    }
    for (auto a = pictures.begin(); a != pictures.end(); ++a) {
        for (auto b = std::next(a); b != pictures.end(); ++b)
            EXPECT_NE(a->second, b->second) << a->first << " = " << b->first;
    }
}

// Records piped in: a container file (its header gives the model and the parameter block).
TEST(PlayHeadless, LiveRecordsFromAPipe) {
    TempDir dir;
    std::string log;
    ASSERT_EQ(toolstest::Run(kMux + " --quiet --synthetic normal --width 320 --frames 50 " +
                                 dir / "n.zbm 2>&1",
                             &log),
              0)
        << log;
    log.clear();
    const int rc =
        toolstest::Run("cat " + dir / "n.zbm | " + kPlay +
                           " --live --headless --size 320x180 --out " + dir / "out" + " 2>&1",
                       &log);
    ASSERT_EQ(rc, 0) << log;
    const Summary s = ParseSummary(log);
    ASSERT_TRUE(s.found) << log;
    EXPECT_EQ(s.types, 1u) << "a normal picture has the plane only";
    const auto pictures = Pictures(dir / "out");
    ASSERT_EQ(pictures.count("display-0-plane.jpg"), 1u) << log;
    EXPECT_GT(pictures.at("display-0-plane.jpg").size(), 1000u);
}

// Stopped before the end of the file, the summary's rate is the pictures drawn over the time
// played (the OpenGL renderer draws off-screen and reports each picture).
TEST(PlayHeadless, FpsIsThePicturesDrawnPerSecond) {
    TempDir dir;
    std::string log;
    ASSERT_EQ(toolstest::Run(kMux + " --quiet --synthetic fisheye --width 256 --duration 30 " +
                                 dir / "f.zbm 2>&1",
                             &log),
              0)
        << log;
    log.clear();
    const int rc = toolstest::Run("QUORIX_CPU_DEWARP=0 " + kPlay +
                                      " --headless --seconds 3 --size 320x240 --out " +
                                      dir / "out" + " " + dir / "f.zbm 2>&1",
                                  &log);
    ASSERT_EQ(rc, 0) << log;
    const Summary s = ParseSummary(log);
    ASSERT_TRUE(s.found) << log;
    EXPECT_EQ(s.frames, 0u) << "stopped before the end\n" << log;
    ASSERT_GT(s.drawn, 0u) << log;
    ASSERT_GT(s.seconds, 0.0) << log;
    // Both printed with a few decimals: the rate agrees to their rounding.
    EXPECT_NEAR(s.fps, s.drawn / s.seconds, 0.06 + s.drawn * 0.005 / (s.seconds * s.seconds))
        << log;
}

// A media file that is not a recording of ours is handed to the library's camera interface.
// A library that cannot pull yet answers QUORIX_E_NOT_IMPL, which the player names plainly.
TEST(PlayHeadless, MediaFileGoesThroughTheCameraInterface) {
    TempDir dir;
    MediaPlan plan;
    plan.frames = 75;
    if (!WriteMedia(dir / "clip.mp4", plan))
        GTEST_SKIP() << "no H.264 encoder";
    std::string log;
    const int rc = toolstest::Run(kPlay + " --headless --seconds 3 --size 320x240 --out " +
                                      dir / "out" + " " + dir / "clip.mp4 2>&1",
                                  &log);
    EXPECT_EQ(log.find("QUORIX_OpenFile"), std::string::npos) << log;
    if (log.find("NOT_IMPL") != std::string::npos) {
        EXPECT_EQ(rc, 1) << log;
        EXPECT_NE(log.find("QUORIX_CameraOpen"), std::string::npos) << log;
        EXPECT_NE(log.find("cannot pull"), std::string::npos) << log;
    } else {
        EXPECT_EQ(rc, 0) << log;
        EXPECT_NE(log.find("camera playing"), std::string::npos) << log;
        const Summary s = ParseSummary(log);
        EXPECT_TRUE(s.found) << log;
        EXPECT_GT(s.snapshots, 0u) << log;
    }
}

// The demonstration recording looks like a lens's picture: a disc on black. Inside the lens
// circle the room is lit everywhere (no black areas), outside it is dark; de-warped, its straight
// lines come out straight.
TEST(PlayDemo, SyntheticFisheyeIsALitDiscOnBlack) {
    TempDir dir;
    std::string log;
    const int n = 384;
    ASSERT_EQ(toolstest::Run(kMux + " --quiet --synthetic fisheye --width " + std::to_string(n) +
                                 " --frames 3 " + dir / "f.zbm 2>&1",
                             &log),
              0)
        << log;
    const Container c = ReadContainer(dir / "f.zbm");
    ASSERT_TRUE(c.ok);
    std::vector<std::vector<uint8_t>> packets;
    uint8_t codec = 0;
    for (const Record& r : c.records) {
        if (r.kind == 1 || r.kind == 3) {
            packets.push_back(r.payload);
            codec = r.codec;
        }
    }
    int w = 0, h = 0;
    const auto luma = DecodeFirstLuma(codec == 1 ? "h264" : "mjpeg", packets, &w, &h);
    ASSERT_EQ(w, n);
    ASSERT_EQ(h, n);
    const double radius = n / 2.0;
    size_t outside = 0, brightOutside = 0, inside = 0, darkInside = 0;
    double outsideSum = 0;
    for (int y = 0; y < n; ++y) {
        for (int x = 0; x < n; ++x) {
            const double d = std::hypot(x + 0.5 - n / 2.0, y + 0.5 - n / 2.0);
            const int v = luma[size_t(y) * n + x];
            if (d > radius + 4) {
                ++outside;
                outsideSum += v;
                brightOutside += v > 24;
            } else if (d < radius - 4) {
                ++inside;
                darkInside += v < 40;
            }
        }
    }
    ASSERT_GT(outside, 0u);
    EXPECT_EQ(brightOutside, 0u) << "mean outside " << outsideSum / outside;
    EXPECT_LT(outsideSum / outside, 18.0);
    EXPECT_LT(double(darkInside) / inside, 0.01) << darkInside << " of " << inside;

    // Straight lines that the de-warp straightens: the view straight down (90°), made here from
    // the equidistant lens model (angle from the axis proportional to the distance from the
    // centre), shows the floor's joints as full-length straight lines, rows and columns of dark.
    const int half = 100;
    const double focal = half;
    const int side = 2 * half + 1;
    std::vector<int> darkInColumn(side, 0), darkInRow(side, 0);
    for (int v = -half; v <= half; ++v) {
        for (int u = -half; u <= half; ++u) {
            const double r = std::hypot(u, v);
            const double rho = radius * std::atan2(r, focal) / (M_PI / 2);
            const double px = n / 2.0 + (r > 0 ? rho * u / r : 0) - 0.5;
            const double py = n / 2.0 + (r > 0 ? rho * v / r : 0) - 0.5;
            const int x0 = int(std::floor(px)), y0 = int(std::floor(py));
            const double fx = px - x0, fy = py - y0;
            auto at = [&](int x, int y) { return double(luma[size_t(y) * n + x]); };
            const double value = (1 - fy) * ((1 - fx) * at(x0, y0) + fx * at(x0 + 1, y0)) +
                                 fy * ((1 - fx) * at(x0, y0 + 1) + fx * at(x0 + 1, y0 + 1));
            if (value < 100) {
                ++darkInColumn[u + half];
                ++darkInRow[v + half];
            }
        }
    }
    auto lines = [&](const std::vector<int>& dark) {
        int count = 0;
        for (int i = 0; i < side; ++i) {
            // A line a pixel or two wide counts once.
            if (dark[i] >= side * 8 / 10 && (i == 0 || dark[i - 1] < side * 8 / 10))
                ++count;
        }
        return count;
    };
    EXPECT_GE(lines(darkInColumn), 3) << "straight lines across the view";
    EXPECT_GE(lines(darkInRow), 3) << "straight lines along the view";
}

TEST(PlayRefusal, MissingFileAndBadOptions) {
    TempDir dir;
    std::string log;
    EXPECT_EQ(
        toolstest::Run(kPlay + " --headless --out " + dir / "o " + dir / "missing.zbm 2>&1", &log),
        1);
    EXPECT_NE(log.find("QUORIX_OpenFile"), std::string::npos) << log;
    EXPECT_EQ(toolstest::Run(kPlay + " --layout 3x3 x 2>&1"), 2);
    EXPECT_EQ(toolstest::Run(kPlay + " 2>&1"), 2);
}

}  // namespace
