// Decoder failures in the middle of playback: damaged payloads in a live stream and in a
// recorded file. The port decodes what it can, skips what it cannot, and shows the pictures of
// the next good group of pictures.

#include <gtest/gtest.h>
#include <quorixsdk.h>

#include <atomic>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "media/hmfformat.h"
#include "support/container_builder.h"
#include "support/stress_support.h"

namespace {

using stresstest::PanoDouble;
using Record = std::vector<uint8_t>;

constexpr uint32_t kWaitMs = 60000;

struct Damage {
    const char* name;
    std::function<void(Record&, size_t indexInGroup)> apply;
};

uint32_t Lcg(uint32_t& seed) {
    seed = seed * 1103515245u + 12345u;
    return seed >> 8;
}

const std::vector<Damage>& Damages() {
    static const std::vector<Damage> table = {
        {"payload bytes flipped",
         [](Record& r, size_t i) {
             uint32_t seed = static_cast<uint32_t>(i) + 7;
             for (size_t b = BRIXEL::kHMFFrameHeaderSize + 4; b < r.size(); b += 1 + Lcg(seed) % 16)
                 r[b] ^= 0x5A;
         }},
        {"payload cut to half",
         [](Record& r, size_t) {
             const uint32_t length = BRIXEL::HLoadLE32(&r[24]) / 2;
             r.resize(BRIXEL::kHMFFrameHeaderSize + length);
             BRIXEL::HStoreLE32(&r[24], length);
         }},
        {"payload all noise",
         [](Record& r, size_t i) {
             uint32_t seed = static_cast<uint32_t>(i) * 31 + 1;
             for (size_t b = BRIXEL::kHMFFrameHeaderSize; b < r.size(); ++b)
                 r[b] = static_cast<uint8_t>(Lcg(seed));
         }},
        {"payload empty",
         [](Record& r, size_t) {
             r.resize(BRIXEL::kHMFFrameHeaderSize);
             BRIXEL::HStoreLE32(&r[24], 0);
         }},
        {"key frame marked as delta", [](Record& r, size_t) { r[2] = BRIXEL::HMF_KIND_DELTA; }},
        {"H.264 labelled H.265", [](Record& r, size_t) { r[16] = 6; }},
        {"header picture size 16x16",
         [](Record& r, size_t) {
             BRIXEL::HStoreLE16(&r[18], 16);
             BRIXEL::HStoreLE16(&r[20], 16);
         }},
        {"header picture size 8192x8192",
         [](Record& r, size_t) {
             BRIXEL::HStoreLE16(&r[18], 8192);
             BRIXEL::HStoreLE16(&r[20], 8192);
         }},
    };
    return table;
}

class FaultStream : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_NE(nullptr, PanoDouble::Get().module)
            << "renderer double missing beside the executable";
        ASSERT_FALSE(stresstest::H264Clip().packets.empty()) << "libx264 missing";
        ASSERT_EQ(QUORIX_OK, QUORIX_InitSDK());
        ASSERT_EQ(QUORIX_OK, QUORIX_GetPort(&m_port));
    }
    void TearDown() override {
        EXPECT_EQ(QUORIX_OK, QUORIX_FreePort(m_port));
        QUORIX_ReleaseSDK();
    }

    // Pushes records 8 * group .. 8 * group + 7 of the clip, numbered on from the last push.
    void PushGroup(size_t group, const Damage* damage) {
        const auto& records = stresstest::H264Records();
        for (size_t i = 0; i < 8; ++i) {
            Record r = records[group * 8 + i];
            BRIXEL::HStoreLE32(&r[4], m_sequence);
            BRIXEL::HStoreLE32(&r[8], m_sequence * 40);
            ++m_sequence;
            if (damage != nullptr)
                damage->apply(r, i);
            const uint32_t code = stresstest::Push(m_port, r);
            // A damaged record may be refused; a good one never is.
            if (damage == nullptr) {
                ASSERT_EQ(QUORIX_OK, code) << "record " << i;
            }
        }
    }

    uint16_t m_port = 0;
    uint32_t m_sequence = 0;
};

TEST_F(FaultStream, LivePortShowsTheNextGoodGroupAfterEveryKindOfDamage) {
    ASSERT_EQ(QUORIX_OK, QUORIX_OpenStream(m_port, -1, nullptr, 0, nullptr, 0));
    ASSERT_EQ(QUORIX_OK, QUORIX_Play(m_port, 0, nullptr, 0));
    int shown = PanoDouble::Get().frameCount();
    PushGroup(0, nullptr);
    ASSERT_GE(PanoDouble::Get().waitFrames(shown + 4, kWaitMs), shown + 4);
    for (const Damage& damage : Damages()) {
        SCOPED_TRACE(damage.name);
        // A damaged group in the middle, then two good ones: the second is whole after a key
        // frame, so at least its eight pictures must show.
        PushGroup(1, &damage);
        shown = PanoDouble::Get().frameCount();
        PushGroup(2, nullptr);
        PushGroup(0, nullptr);
        ASSERT_GE(PanoDouble::Get().waitFrames(shown + 8, kWaitMs), shown + 8);
        uint32_t playing = 0;
        EXPECT_EQ(QUORIX_OK, QUORIX_IsPlaying(m_port, &playing));
        EXPECT_EQ(1u, playing);
    }
    EXPECT_EQ(QUORIX_OK, QUORIX_CloseStream(m_port));
}

// A file whose middle group of pictures is damaged plays to its end; the pictures of the
// groups around the damage show.
TEST_F(FaultStream, FileWithDamagedGroupPlaysToTheEnd) {
    quorixtest::TempDir dir;
    for (const Damage& damage : Damages()) {
        SCOPED_TRACE(damage.name);
        // Damage that only a header field carries does not survive the file's own headers.
        if (std::string(damage.name).rfind("payload", 0) != 0)
            continue;
        playertest::Clip clip = stresstest::H264Clip();
        for (size_t i = 8; i < 16; ++i) {
            Record r = playertest::MakeRecord(BRIXEL::HMF_KIND_DELTA, 0, 0, 1, 320, 240,
                                              clip.packets[i].data);
            damage.apply(r, i);
            clip.packets[i].data.assign(r.begin() + BRIXEL::kHMFFrameHeaderSize, r.end());
        }
        const std::string path = dir.Path("damaged.kz");
        ASSERT_TRUE(quorixtest::WriteFile(path, playertest::ClipFile(clip, 40, -1)));
        struct Ends {
            std::mutex lock;
            std::condition_variable changed;
            int count = 0;
        } ends;
        ASSERT_EQ(QUORIX_OK, QUORIX_SetFileEndCallback(
                                 m_port,
                                 [](uint16_t, void* user) {
                                     auto* e = static_cast<Ends*>(user);
                                     std::lock_guard<std::mutex> guard(e->lock);
                                     ++e->count;
                                     e->changed.notify_all();
                                 },
                                 &ends));
        const int before = PanoDouble::Get().frameCount();
        ASSERT_EQ(QUORIX_OK, QUORIX_OpenFile(m_port, path.c_str()));
        ASSERT_EQ(QUORIX_OK, QUORIX_Play(m_port, 0, nullptr, 0));
        {
            std::unique_lock<std::mutex> guard(ends.lock);
            ASSERT_TRUE(ends.changed.wait_for(guard, std::chrono::milliseconds(kWaitMs),
                                              [&] { return ends.count > 0; }));
        }
        EXPECT_GE(PanoDouble::Get().waitFrames(before + 16, kWaitMs), before + 16);
        EXPECT_EQ(QUORIX_OK, QUORIX_CloseFile(m_port));
    }
}

}  // namespace
