// quorix-mux run as a program on media files written here, its container files read back.

#include <gtest/gtest.h>
#include <quorixsdk_codes.h>

#include <cmath>
#include <cstring>
#include <fstream>
#include <ostream>
#include <set>

#include "tools_support.h"

using namespace toolstest;

namespace {

const std::string kMux = QUORIX_MUX_PATH;

int Mux(const std::string& args, std::string* out = nullptr) {
    return toolstest::Run(kMux + " --quiet " + args + " 2>&1", out);
}

std::vector<const Record*> Video(const Container& c) {
    std::vector<const Record*> v;
    for (const Record& r : c.records) {
        if (r.kind == 1 || r.kind == 3)
            v.push_back(&r);
    }
    return v;
}

struct ConvertCase {
    const char* name;
    MediaPlan plan;
    const char* extension;
    uint8_t codec;
    const char* decoder;
};

// Test names carry the case's name, not its bytes.
void PrintTo(const ConvertCase& c, std::ostream* os) {
    *os << c.name;
}

MediaPlan Plan(const char* encoder, const char* container, int bFrames = 0) {
    MediaPlan s;
    s.encoder = encoder;
    s.container = container;
    s.bFrames = bFrames;
    return s;
}

class MuxConvert : public ::testing::TestWithParam<ConvertCase> {};

// Every picture decodes to the same bytes as FFmpeg's own decoding of the input, and the records
// carry what the reader needs: kinds, counts, sequence, millisecond stamps, codec, size, index.
TEST_P(MuxConvert, RecordsDecodeLikeTheInput) {
    const ConvertCase& tc = GetParam();
    TempDir dir;
    const std::string input = dir / (std::string("in.") + tc.extension);
    if (!WriteMedia(input, tc.plan))
        GTEST_SKIP() << "no " << tc.plan.encoder << " or " << tc.plan.container;
    const std::string output = dir / "out.zbm";
    std::string log;
    ASSERT_EQ(Mux(input + " " + output, &log), 0) << log;

    const Container c = ReadContainer(output);
    ASSERT_TRUE(c.ok);
    const auto video = Video(c);
    ASSERT_EQ(video.size(), tc.plan.frames);
    EXPECT_EQ(Le32(c.header + 52), tc.plan.frames);
    EXPECT_EQ(static_cast<int8_t>(c.header[61]), 1);
    EXPECT_EQ(c.header[60], 2);
    EXPECT_EQ(video.front()->kind, 1) << "decoding starts at the first record";

    std::vector<std::vector<uint8_t>> payloads;
    uint32_t keys = 0;
    for (size_t i = 0; i < video.size(); ++i) {
        const Record& r = *video[i];
        EXPECT_EQ(r.sequence, i);
        EXPECT_EQ(r.codec, tc.codec);
        EXPECT_EQ(r.media[0] | (r.media[1] << 8), static_cast<int>(tc.plan.width));
        EXPECT_EQ(r.media[2] | (r.media[3] << 8), static_cast<int>(tc.plan.height));
        if (i > 0) {
            EXPECT_GT(r.timestamp, video[i - 1]->timestamp) << "stamps run forward in file order";
        }
        if (r.kind == 1)
            ++keys;
        payloads.push_back(r.payload);
    }
    EXPECT_NEAR(video.back()->timestamp - video.front()->timestamp, (tc.plan.frames - 1) * 40.0,
                40.0);
    EXPECT_EQ(Le32(c.header + 40), video.front()->timestamp);
    EXPECT_EQ(Le32(c.header + 44), video.back()->timestamp);

    // The index names every key record with its running frame number.
    ASSERT_EQ(c.index.size(), keys * 3u);
    EXPECT_EQ(Le32(c.header + 56), keys);
    for (size_t e = 0; e < c.index.size(); e += 3) {
        const Record* key = nullptr;
        size_t number = 0;
        for (size_t i = 0; i < video.size(); ++i) {
            if (video[i]->offset == c.index[e + 1]) {
                key = video[i];
                number = i + 1;
            }
        }
        ASSERT_NE(key, nullptr) << "index entry " << e / 3 << " points at no record";
        EXPECT_EQ(key->kind, 1);
        EXPECT_EQ(key->timestamp, c.index[e]);
        EXPECT_EQ(c.index[e + 2], number);
    }

    const auto expected = DecodeFileHashes(input);
    ASSERT_EQ(expected.size(), tc.plan.frames);
    EXPECT_EQ(DecodePacketHashes(tc.decoder, payloads), expected);
}

INSTANTIATE_TEST_SUITE_P(
    Inputs, MuxConvert,
    ::testing::Values(ConvertCase{"H264Mp4WithBFrames", Plan("libx264", "mp4", 2), "mp4", 1,
                                  "h264"},
                      ConvertCase{"H264RawAnnexB", Plan("libx264", "h264"), "h264", 1, "h264"},
                      ConvertCase{"H265Matroska", Plan("libx265", "matroska"), "mkv", 6, "hevc"},
                      ConvertCase{"MjpegAvi", Plan("mjpeg", "avi"), "avi", 2, "mjpeg"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(MuxAudio, OtherCodecsBecomeG711InTwentyMillisecondRecords) {
    TempDir dir;
    MediaPlan plan = Plan("libx264", "mp4");
    plan.aacAudio = true;
    plan.frames = 50;  // 2 s
    if (!WriteMedia(dir / "in.mp4", plan))
        GTEST_SKIP() << "no libx264 or aac";
    std::string log;
    ASSERT_EQ(Mux(dir / "in.mp4" + " " + dir / "out.zbm", &log), 0) << log;
    const Container c = ReadContainer(dir / "out.zbm");
    ASSERT_TRUE(c.ok);
    std::vector<const Record*> audio;
    for (const Record& r : c.records) {
        if (r.kind == 0)
            audio.push_back(&r);
    }
    // AAC's priming and the resampler's delay cost a few blocks at most.
    ASSERT_GE(audio.size(), 90u);
    ASSERT_LE(audio.size(), 101u);
    for (size_t i = 0; i < audio.size(); ++i) {
        const Record& r = *audio[i];
        EXPECT_EQ(r.codec, 3);
        EXPECT_EQ(r.media[0], 1) << "channels";
        EXPECT_EQ(r.media[1], 16) << "bits of the decoded samples";
        EXPECT_EQ(Le32(r.media + 2), 8000u);
        EXPECT_EQ(r.payload.size(), 160u);
        EXPECT_EQ(r.sequence, i);
        if (i > 0) {
            EXPECT_EQ(r.timestamp - audio[i - 1]->timestamp, 20u);
        }
    }
}

TEST(MuxRefusal, MissingInputOrForeignCodecWritesNothing) {
    TempDir dir;
    std::string log;
    EXPECT_NE(Mux(dir / "missing.mp4" + " " + dir / "a.zbm", &log), 0);
    EXPECT_FALSE(std::ifstream(dir / "a.zbm").good());

    if (WriteMedia(dir / "in.avi", Plan("mpeg4", "avi"))) {
        log.clear();
        EXPECT_NE(Mux(dir / "in.avi" + " " + dir / "b.zbm", &log), 0);
        EXPECT_NE(log.find("mpeg4"), std::string::npos) << log;
        EXPECT_FALSE(std::ifstream(dir / "b.zbm").good());
    }
    EXPECT_EQ(toolstest::Run(kMux + " --model 9 a b 2>&1"), 2);
    EXPECT_EQ(toolstest::Run(kMux + " --fisheye 1,2 a b 2>&1"), 2);
    EXPECT_EQ(toolstest::Run(kMux + " --mount attic a b 2>&1"), 2);
}

// K maps the shader's circle of radius 0.5 around (0.5, 0.5) onto the lens circle in the picture.
void ExpectFisheyeBlock(const Container& c, double w, double h, double cx, double cy, double r,
                        double tol) {
    ASSERT_EQ(static_cast<int8_t>(c.header[61]), 0) << "the model comes from the block";
    const std::vector<uint8_t>* block = nullptr;
    for (const auto& e : c.extensions) {
        if (e.first == 2)
            block = &e.second;
    }
    ASSERT_NE(block, nullptr);
    ASSERT_EQ(block->size(), 88u + 200u);
    const uint8_t* b = block->data();
    EXPECT_EQ(std::memcmp(b, "SPH\0", 4), 0);
    EXPECT_EQ(Le32(b + 4), block->size());
    EXPECT_EQ(Le32(b + 8), 2u);
    EXPECT_EQ(Le32(b + 12), 1u);
    const uint8_t* k = b + 88;
    EXPECT_NEAR(LeF32(k + 0), 2 * r / w, tol / w);
    EXPECT_NEAR(LeF32(k + 8), 1 - cx / w, tol / w);
    EXPECT_NEAR(LeF32(k + 16), 2 * r / h, tol / h);
    EXPECT_NEAR(LeF32(k + 20), 1 - cy / h, tol / h);
    EXPECT_EQ(LeF32(k + 32), 1.0f);
    EXPECT_EQ(LeF32(k + 56), 1.0f) << "R is the identity";
    // Where the shader looks for the rim point straight right of the centre (s = 0.5, t = 0):
    // (1 - s', 1 - t') in picture fractions must land on the circle's left or right edge.
    const double x = (1 - (LeF32(k) * 0.5 + LeF32(k + 8))) * w;
    EXPECT_NEAR(std::fabs(x - cx), r, tol);
}

TEST(MuxFisheye, GivenCircleAutoDetectedCircleAndInfoBlock) {
    TempDir dir;
    MediaPlan plan = Plan("libx264", "mp4");
    plan.width = 400;
    plan.height = 300;
    plan.frames = 5;
    plan.disc = true;
    plan.cx = 220;
    plan.cy = 140;
    plan.r = 90;
    if (!WriteMedia(dir / "in.mp4", plan))
        GTEST_SKIP() << "no libx264";
    { std::ofstream(dir / "info.bin", std::ios::binary) << std::string("camera 7\0tail", 13); }
    std::string log;
    ASSERT_EQ(Mux("--fisheye 200,150,100 --info " + dir / "info.bin" + " " + dir / "in.mp4" + " " +
                      dir / "a.zbm",
                  &log),
              0)
        << log;
    const Container given = ReadContainer(dir / "a.zbm");
    ASSERT_TRUE(given.ok);
    ExpectFisheyeBlock(given, 400, 300, 200, 150, 100, 1e-3);
    ASSERT_EQ(given.extensions.size(), 2u);
    EXPECT_EQ(given.extensions[0].first, 1);
    EXPECT_EQ(std::string(given.extensions[0].second.begin(), given.extensions[0].second.end()),
              std::string("camera 7\0tail", 13));

    // quorix-info decodes the block: K scaled by 2r / size and moved to the centre.
    std::string info;
    ASSERT_EQ(toolstest::Run(std::string(QUORIX_INFO_PATH) + " " + dir / "a.zbm", &info), 0);
    EXPECT_NE(info.find("model data: magic SPH, block size 288, model type 2, cameras 1"),
              std::string::npos)
        << info;
    EXPECT_NE(info.find("K      0.5, 0, 0.5 | 0, 0.666667, 0.5 | 0, 0, 1"), std::string::npos)
        << info;

    // No mount given: the four bytes stay clear, which reads as a ceiling camera. With one,
    // they hold "MNT" and the mount.
    for (const auto& e : given.extensions) {
        if (e.first == 2) {
            EXPECT_EQ(Le32(e.second.data() + QUORIX_MOUNT_OFFSET), 0u);
        }
    }
    ASSERT_EQ(
        Mux("--fisheye 200,150,100 --mount wall " + dir / "in.mp4" + " " + dir / "w.zbm", &log), 0)
        << log;
    const Container wall = ReadContainer(dir / "w.zbm");
    ASSERT_TRUE(wall.ok);
    ExpectFisheyeBlock(wall, 400, 300, 200, 150, 100, 1e-3);
    for (const auto& e : wall.extensions) {
        if (e.first == 2) {
            EXPECT_EQ(std::string(e.second.begin() + QUORIX_MOUNT_OFFSET,
                                  e.second.begin() + QUORIX_MOUNT_OFFSET + 4),
                      std::string("MNT\x01", 4));
        }
    }

    ASSERT_EQ(Mux("--fisheye auto " + dir / "in.mp4" + " " + dir / "b.zbm", &log), 0) << log;
    const Container detected = ReadContainer(dir / "b.zbm");
    ASSERT_TRUE(detected.ok);
    ExpectFisheyeBlock(detected, 400, 300, 220, 140, 90, 2.0);
    EXPECT_EQ(Video(detected).size(), 5u) << "frames held back for the detection are all written";

    ASSERT_EQ(Mux("--model 4 " + dir / "in.mp4" + " " + dir / "c.zbm", &log), 0) << log;
    const Container model = ReadContainer(dir / "c.zbm");
    ASSERT_TRUE(model.ok);
    EXPECT_EQ(model.header[61], 4);
    EXPECT_TRUE(model.extensions.empty());
}

TEST(MuxSynthetic, EachSceneHasItsModelDecodableVideoAndSound) {
    struct Case {
        const char* kind;
        int model;
        bool block;
    };
    for (const Case& tc : {Case{"fisheye", 0, true}, Case{"sphere", 3, false},
                           Case{"ring", 5, false}, Case{"normal", 1, false}}) {
        SCOPED_TRACE(tc.kind);
        TempDir dir;
        std::string log;
        ASSERT_EQ(
            Mux(std::string("--synthetic ") + tc.kind + " --frames 12 " + dir / "s.zbm", &log), 0)
            << log;
        const Container c = ReadContainer(dir / "s.zbm");
        ASSERT_TRUE(c.ok);
        EXPECT_EQ(static_cast<int8_t>(c.header[61]), tc.model);
        EXPECT_EQ(c.extensions.size(), tc.block ? 1u : 0u);
        const auto video = Video(c);
        ASSERT_EQ(video.size(), 12u);
        std::vector<std::vector<uint8_t>> payloads;
        for (const Record* r : video)
            payloads.push_back(r->payload);
        const auto hashes = DecodePacketHashes(video[0]->codec == 1 ? "h264" : "mjpeg", payloads);
        EXPECT_EQ(hashes.size(), 12u);
        EXPECT_GT(std::set<uint64_t>(hashes.begin(), hashes.end()).size(), 1u) << "the scene moves";
        EXPECT_GT(c.records.size(), video.size()) << "a tone goes with the pictures";
    }
}

}  // namespace
