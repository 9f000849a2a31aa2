// Damaged and hostile files: each must open (or fail) as designed, play what is sound, and end
// as end of data, without a crash, a hang or an allocation beyond what the file holds.

#include <gtest/gtest.h>

#include <unistd.h>

#include "reader_support.h"

using namespace BRIXEL;
using namespace quorixtest;

namespace {

constexpr uint32_t kPayload = 32;

// Header, one 10-byte open-information record, two groups of five frames (sequences 0-9),
// index of two entries.
ContainerBuilder SoundFile(bool withIndex = true) {
    ContainerBuilder b;
    b.AddExtension(HMF_EXT_OPEN_INFO, std::vector<uint8_t>(10, 0xAB));
    b.AddGroups(2, 5, 40, 0, 0, kPayload);
    b.WithIndex(withIndex);
    return b;
}

std::vector<uint32_t> Seq(uint32_t n) {
    std::vector<uint32_t> v;
    for (uint32_t i = 0; i < n; ++i)
        v.push_back(i);
    return v;
}

}  // namespace

TEST(ReaderDamage, EachDamageEndsAsDesigned) {
    const struct Case {
        const char* name;
        std::function<void(std::vector<uint8_t>&, const ContainerBuilder&)> damage;
        bool withIndex;
        std::vector<uint32_t> played;
        size_t indexEntries;
        uint64_t openInfoLength;
    } cases[] = {
        {"sound file", [](auto&, auto&) {}, true, Seq(10), 2, 10},
        {"zero-length file", [](auto& f, auto&) { f.clear(); }, true, {}, 0, 0},
        {"header cut short", [](auto& f, auto&) { f.resize(40); }, true, {}, 0, 0},
        {"foreign magic: read as bare records", [](auto& f, auto&) { f[0] = 'X'; }, true, {}, 0, 0},
        {"extension length past the data offset", [](auto& f, auto&) { PatchLE32(f, 72, 1000); },
         true, Seq(10), 2, 0},
        {"extension length of 4 GiB", [](auto& f, auto&) { PatchLE32(f, 72, 0xFFFFFFFF); }, true,
         Seq(10), 2, 0},
        {"extension magic broken", [](auto& f, auto&) { f[64] = 'X'; }, true, Seq(10), 2, 0},
        {"data offset past the end",
         [](auto& f, auto&) { PatchLE32(f, 32, 0xFFFFFF00); },
         true,
         {},
         0,
         10},
        {"payload length of 4 GiB",
         [](auto& f, auto& b) { PatchLE32(f, b.FrameOffset(3) + 24, 0xFFFFFFFF); }, true, Seq(3), 2,
         10},
        {"payload running into the index",
         [](auto& f, auto& b) { PatchLE32(f, b.FrameOffset(3) + 24, 1000); }, true, Seq(3), 2, 10},
        {"record magic broken mid-file", [](auto& f, auto& b) { f[b.FrameOffset(6)] = 'X'; }, true,
         Seq(6), 2, 10},
        {"index offset inside the header", [](auto& f, auto&) { PatchLE32(f, 36, 10); }, true,
         Seq(10), 2, 10},
        {"index offset inside the extension area", [](auto& f, auto&) { PatchLE32(f, 36, 70); },
         true, Seq(10), 2, 10},
        {"index offset past the end", [](auto& f, auto&) { PatchLE32(f, 36, 0xFFFF0000); }, true,
         Seq(10), 2, 10},
        {"index entry pointing outside the file",
         [](auto& f, auto& b) { PatchLE32(f, b.IndexOffset() + 12 + 4, 0xFFFFFF00); }, true,
         Seq(10), 1, 10},
        {"index entry pointing into the header",
         [](auto& f, auto& b) { PatchLE32(f, b.IndexOffset() + 4, 8); }, true, Seq(10), 1, 10},
        {"all-zero index entry",
         [](auto& f, auto& b) {
             PatchLE32(f, b.IndexOffset(), 0);
             PatchLE32(f, b.IndexOffset() + 4, 0);
             PatchLE32(f, b.IndexOffset() + 8, 0);
         },
         true, Seq(10), 1, 10},
        {"closed recording cut mid-record",
         [](auto& f, auto& b) { f.resize(b.FrameOffset(7) + 40); }, true, Seq(7), 2, 10},
        {"unclosed recording cut mid-record",
         [](auto& f, auto& b) { f.resize(b.FrameOffset(7) + 40); }, false, Seq(7), 2, 10},
        {"unclosed recording cut inside a record header",
         [](auto& f, auto& b) { f.resize(b.FrameOffset(8) + 5); }, false, Seq(8), 2, 10},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir dir;
        ContainerBuilder b = SoundFile(c.withIndex);
        auto bytes = b.Build();
        c.damage(bytes, b);
        CHBuffer openInfo, renderParams;
        RecordingCallback cb;
        TestReader reader;
        reader.SetDataBlocks(&openInfo, &renderParams);
        OpenBytes(reader, cb, dir, bytes);
        EXPECT_EQ(c.indexEntries, reader.GetIndex().size());
        EXPECT_EQ(c.openInfoLength, openInfo.GetLength());
        EXPECT_LE(reader.GetFrameDataEnd(), bytes.size());
        ASSERT_EQ(QUORIX_OK, reader.Play());
        ASSERT_TRUE(cb.WaitFileEnds(1));
        EXPECT_EQ(c.played, cb.Sequences());
        for (const Delivered& d : cb.Frames())
            EXPECT_TRUE(d.payloadIntact);
        // Seeking a damaged file stays inside it.
        EXPECT_EQ(QUORIX_OK, reader.SeekTo(200, true));
        reader.Close();
    }
}

TEST(ReaderDamage, IndexWalkStopsAtTheHeaderCount) {
    TempDir dir;
    ContainerBuilder b = SoundFile();
    auto bytes = b.Build();
    PatchLE32(bytes, 56, 1);  // the header admits one entry of the two
    RecordingCallback cb;
    TestReader reader;
    OpenBytes(reader, cb, dir, bytes);
    ASSERT_EQ(QUORIX_OK, reader.SeekTo(300, true));
    EXPECT_EQ(0u, reader.GetPlayedTime());
    ASSERT_EQ(QUORIX_OK, reader.Play());
    ASSERT_TRUE(cb.WaitFileEnds(1));
    EXPECT_EQ(Seq(10), cb.Sequences());
}

TEST(ReaderDamage, FileGrowingWhileReadEndsAtItsSizeWhenOpened) {
    TempDir dir;
    ContainerBuilder b = SoundFile(false);
    auto bytes = b.Build();
    RecordingCallback cb;
    TestReader reader;
    OpenBytes(reader, cb, dir, bytes);
    ContainerBuilder more;
    more.WithHeader(false).AddGroups(1, 5, 40, 400, 10);
    ASSERT_TRUE(AppendFile(dir.Path("file.hmf"), more.Build()));
    ASSERT_EQ(QUORIX_OK, reader.Play());
    ASSERT_TRUE(cb.WaitFileEnds(1));
    EXPECT_EQ(Seq(10), cb.Sequences());
    EXPECT_EQ(10u, reader.GetTotalFrames());
}

TEST(ReaderDamage, FileShrinkingWhileReadEndsAtTheCut) {
    TempDir dir;
    ContainerBuilder b = SoundFile();
    auto bytes = b.Build();
    RecordingCallback cb;
    TestReader reader;
    OpenBytes(reader, cb, dir, bytes);
    ASSERT_EQ(0, truncate(dir.Path("file.hmf").c_str(), b.FrameOffset(4) + 10));
    ASSERT_EQ(QUORIX_OK, reader.Play());
    ASSERT_TRUE(cb.WaitFileEnds(1));
    // What stdio had buffered before the cut may still come; nothing after it does.
    const auto played = cb.Sequences();
    EXPECT_LE(played.size(), 10u);
    for (size_t i = 0; i < played.size(); ++i)
        EXPECT_EQ(i, played[i]);
    for (const Delivered& d : cb.Frames())
        EXPECT_TRUE(d.payloadIntact);
}

TEST(ReaderDamage, RandomCorruptionEndsCleanly) {
    ContainerBuilder b;
    b.AddExtension(HMF_EXT_OPEN_INFO, std::vector<uint8_t>(10, 0xAB));
    b.AddExtension(HMF_EXT_RENDER_PARAM, std::vector<uint8_t>(6, 0xCD));
    for (uint32_t g = 0; g < 3; ++g) {
        b.AddAudio(g * 200, 12);
        b.AddGroups(1, 5, 40, g * 200, g * 5, 24);
    }
    const auto sound = b.Build();
    uint32_t state = 12345;
    auto next = [&state] {
        state = state * 1103515245u + 12345u;
        return state >> 8;
    };
    TempDir dir;
    for (int round = 0; round < 60; ++round) {
        SCOPED_TRACE(round);
        auto bytes = sound;
        const uint32_t hits = 1 + next() % 6;
        for (uint32_t i = 0; i < hits; ++i) {
            const size_t at = next() % bytes.size();
            bytes[at] = (next() & 1) != 0 ? static_cast<uint8_t>(next()) : 0xFF;
        }
        if (next() % 4 == 0)
            bytes.resize(next() % bytes.size());
        RecordingCallback cb;
        TestReader reader;
        CHBuffer openInfo, renderParams;
        reader.SetDataBlocks(&openInfo, &renderParams);
        OpenBytes(reader, cb, dir, bytes, ("r" + std::to_string(round)).c_str());
        EXPECT_LE(openInfo.GetLength() + renderParams.GetLength(), bytes.size());
        ASSERT_EQ(QUORIX_OK, reader.Play());
        ASSERT_TRUE(cb.WaitFileEnds(1));
        const auto frames = cb.Frames();
        EXPECT_LE(frames.size(), 18u);
        uint64_t total = 0;
        for (const Delivered& d : frames) {
            EXPECT_EQ(d.length, kHMFFrameHeaderSize + d.header.payloadLength);
            total += d.length;
        }
        EXPECT_LE(total, bytes.size());
    }
}
