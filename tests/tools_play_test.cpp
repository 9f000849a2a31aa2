// quorix-play run headless on recordings quorix-mux makes: it plays them to the end and leaves a
// picture per display type of the recording's model.

#include <gtest/gtest.h>

#include <dirent.h>

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
    unsigned frames = 0, snapshots = 0, types = 0;
};

Summary ParseSummary(const std::string& out) {
    Summary s;
    std::smatch m;
    if (std::regex_search(
            out, m,
            std::regex("summary: frames=(\\d+) drawn=\\d+ seconds=[0-9.]+ fps=[0-9.]+ "
                       "snapshots=(\\d+) types=(\\d+)"))) {
        s.found = true;
        s.frames = static_cast<unsigned>(std::stoul(m[1]));
        s.snapshots = static_cast<unsigned>(std::stoul(m[2]));
        s.types = static_cast<unsigned>(std::stoul(m[3]));
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
    EXPECT_EQ(s.types, 5u) << log;

    const auto pictures = Pictures(out);
    EXPECT_EQ(pictures.size(), s.snapshots);
    // Each display type's picture, and the full-resolution one.
    for (const char* name :
         {"display-11-sphere.jpg", "display-12-plane180.jpg", "display-13-plane360.jpg",
          "display-0-plane.jpg", "display-10-vr.jpg", "original.jpg"}) {
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
