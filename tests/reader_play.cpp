// Playing a file: pacing, fast-play thinning, steps, seeks, end of data, and callbacks that call
// back into the reader.

#include <gtest/gtest.h>

#include "reader_support.h"

using namespace BRIXEL;
using namespace quorixtest;

namespace {

std::vector<uint32_t> Range(uint32_t from, uint32_t to) {
    std::vector<uint32_t> v;
    for (uint32_t i = from; i < to; ++i)
        v.push_back(i);
    return v;
}

}  // namespace

TEST(ReaderPacing, IntervalsFollowStampsWithGapsWrapAndUntrustedStamps) {
    TempDir dir;
    ContainerBuilder b;
    b.AddFrame(HMF_KIND_KEY, 65500, 0, 8);    // first: no pause before the next
    b.AddFrame(HMF_KIND_DELTA, 65540, 1, 8);  // low 16 bits wrap: still 40
    b.AddFrame(HMF_KIND_KEY, 65580, 2, 8);
    b.AddFrame(HMF_KIND_UNTIMED, 999999, 3, 8);  // untrusted: previous + previous interval
    b.AddFrame(HMF_KIND_DELTA, 65650, 4, 8);     // 30 after the replaced 65620
    b.AddFrame(HMF_KIND_KEY, 75650, 5, 8);       // a 10 s gap keeps the previous pace
    b.AddFrame(HMF_KIND_DELTA, 75630, 6, 8);     // backwards keeps it too
    b.AddFrame(HMF_KIND_DELTA, 75680, 7, 8);
    RecordingCallback cb;
    TestReader reader;
    OpenBytes(reader, cb, dir, b.Build());
    ASSERT_EQ(QUORIX_OK, reader.Play());
    ASSERT_TRUE(cb.WaitFileEnds(1));

    EXPECT_EQ((std::vector<uint32_t>{40, 40, 40, 30, 30, 30, 50}), reader.Waits());
    EXPECT_EQ((std::vector<uint32_t>{65500, 65540, 65580, 65620, 65650, 75650, 75630, 75680}),
              reader.FrameTimes());
    const auto frames = cb.Frames();
    ASSERT_EQ(8u, frames.size());
    // The play clock is the sum of the intervals delivered before.
    EXPECT_EQ(0u, frames[0].clockMs);
    EXPECT_EQ(0u, frames[1].clockMs);
    EXPECT_EQ(40u, frames[2].clockMs);
    EXPECT_EQ(80u, frames[3].clockMs);
    EXPECT_EQ(120u + 30 + 30 + 30, frames[7].clockMs);
    // The record itself is delivered as read.
    EXPECT_EQ(999999u, frames[3].header.timestamp);
    EXPECT_DOUBLE_EQ(7 * 100.0 / 8, frames[7].percent);
}

TEST(ReaderPacing, SpeedScalesEveryPause) {
    const struct {
        int32_t speed;
        uint32_t waitMs;
    } cases[] = {{-4, 640}, {-1, 80}, {0, 40}, {1, 20}, {2, 10}, {3, 5}, {4, 2}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.speed);
        TempDir dir;
        ContainerBuilder b;
        b.AddGroups(1, 4, 40, 0, 0);
        RecordingCallback cb;
        TestReader reader;
        OpenBytes(reader, cb, dir, b.Build());
        reader.SetSpeed(c.speed);
        reader.SetSpeed(5);  // out of range: ignored
        EXPECT_EQ(c.speed, reader.GetSpeed());
        ASSERT_EQ(QUORIX_OK, reader.Play());
        ASSERT_TRUE(cb.WaitFileEnds(1));
        EXPECT_EQ(std::vector<uint32_t>(3, c.waitMs), reader.Waits());
    }
}

TEST(ReaderThinning, DropsTheTailOfEachGroupAndAudioWhenFast) {
    const struct {
        int32_t speed;
        uint32_t queued;
        size_t perLaterGroup;  // video frames delivered from groups 2 and 3 (group 1 is whole)
        size_t firstGroup;
        size_t audio;
    } cases[] = {
        {0, 30, 25, 25, 3}, {1, 3, 25, 25, 0}, {1, 30, 22, 25, 0},
        {2, 10, 15, 25, 0},  // the last 10 non-key frames of each group of 25
        {2, 0, 21, 25, 0},  {3, 21, 2, 25, 0}, {4, 0, 1, 1, 0},  // key frames only
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << "speed " << c.speed << " queued " << c.queued);
        TempDir dir;
        ContainerBuilder b;
        for (uint32_t g = 0; g < 3; ++g) {
            b.AddAudio(g * 1000, 16);
            b.AddGroups(1, 25, 40, g * 1000, g * 25);
        }
        RecordingCallback cb;
        TestReader reader;
        cb.queuedFrames = c.queued;
        OpenBytes(reader, cb, dir, b.Build());
        reader.SetSpeed(c.speed);
        ASSERT_EQ(QUORIX_OK, reader.Play());
        ASSERT_TRUE(cb.WaitFileEnds(1));
        std::vector<uint32_t> expected = Range(0, static_cast<uint32_t>(c.firstGroup));
        for (uint32_t g = 1; g < 3; ++g) {
            for (uint32_t i = 0; i < c.perLaterGroup; ++i)
                expected.push_back(g * 25 + i);
        }
        EXPECT_EQ(expected, cb.Sequences());
        EXPECT_EQ(c.audio, cb.Sequences(false).size() - expected.size());
        // Dropped frames are still paced: thinning spares the decoder, not the clock.
        EXPECT_EQ(74u, reader.Waits().size());
    }
}

TEST(ReaderControl, StatesRefuseWhatTheyDoNotAccept) {
    TempDir dir;
    ContainerBuilder b;
    b.AddGroups(2, 5, 40, 0, 0);
    RecordingCallback cb;
    TestReader reader;
    EXPECT_EQ(QUORIX_E_NOT_OPEN, reader.Step(false));
    EXPECT_EQ(QUORIX_E_NOT_OPEN, reader.Pause());
    EXPECT_EQ(QUORIX_E_NOT_OPEN, reader.StopPlay());
    OpenBytes(reader, cb, dir, b.Build());
    EXPECT_EQ(QUORIX_E_NOT_OPEN, reader.Step(false));
    EXPECT_EQ(QUORIX_E_NOT_OPEN, reader.Pause());
    EXPECT_EQ(QUORIX_E_NOT_OPEN, reader.StopPlay());
    EXPECT_EQ(&cb, reader.SetCallback(nullptr));
    EXPECT_EQ(nullptr, reader.SetCallback(&cb));
}

// Pauses from inside the first delivery so the thread parks at a known record.
TEST(ReaderControl, StepsForwardAndBackFromKeyFrameToKeyFrame) {
    TempDir dir;
    ContainerBuilder b;
    b.AddGroups(3, 5, 40, 1000, 100);
    RecordingCallback cb;
    TestReader reader;
    cb.onFrame = [&](const Delivered& d, size_t count) {
        if (count == 8 && d.header.sequence == 107) {
            EXPECT_EQ(QUORIX_OK, reader.Pause());
        }
    };
    OpenBytes(reader, cb, dir, b.Build());
    ASSERT_EQ(QUORIX_OK, reader.Play());
    ASSERT_TRUE(cb.WaitFrames(8));
    EXPECT_EQ(CHMFReader::Paused, reader.GetState());

    size_t n = 8;
    auto step = [&](bool back) {
        EXPECT_EQ(QUORIX_OK, reader.Step(back));
        EXPECT_TRUE(cb.WaitFrames(++n));
        return cb.Sequences().back();
    };
    EXPECT_EQ(105u, step(true));  // the key frame before the current picture
    EXPECT_EQ(100u, step(true));
    EXPECT_EQ(105u, step(true));  // at the first key frame: the next key frame comes instead
    EXPECT_EQ(106u, step(false));
    EXPECT_EQ(107u, step(false));
    EXPECT_EQ(CHMFReader::Stepping, reader.GetState());

    // Steps asked for in a row are all served.
    ASSERT_EQ(QUORIX_OK, reader.Step(false));
    ASSERT_EQ(QUORIX_OK, reader.Step(false));
    ASSERT_EQ(QUORIX_OK, reader.Step(false));
    n += 3;
    ASSERT_TRUE(cb.WaitFrames(n));
    EXPECT_EQ(110u, cb.Sequences().back());
    EXPECT_EQ(400u, reader.GetPlayedTime());
    EXPECT_EQ(10u, reader.GetPlayedFrames());

    ASSERT_EQ(QUORIX_OK, reader.Play());
    ASSERT_TRUE(cb.WaitFileEnds(1));
    const auto all = cb.Sequences();
    ASSERT_GE(all.size(), 4u);
    EXPECT_EQ(Range(111, 115), std::vector<uint32_t>(all.end() - 4, all.end()));
    EXPECT_EQ(n + 4, cb.Frames().size());
}

TEST(ReaderControl, EndOfDataParksAndPlayStartsAgain) {
    TempDir dir;
    ContainerBuilder b;
    b.AddGroups(2, 5, 40, 0, 0);
    RecordingCallback cb;
    TestReader reader;
    OpenBytes(reader, cb, dir, b.Build());
    ASSERT_EQ(QUORIX_OK, reader.Play());
    ASSERT_TRUE(cb.WaitFileEnds(1));
    EXPECT_EQ(CHMFReader::Stopped, reader.GetState());
    EXPECT_EQ(QUORIX_E_NOT_OPEN, reader.Step(false));
    EXPECT_EQ(10u, cb.Frames().size());
    EXPECT_DOUBLE_EQ(90.0, reader.GetPlayedPercent());

    ASSERT_EQ(QUORIX_OK, reader.Play());
    ASSERT_TRUE(cb.WaitFileEnds(2));
    auto all = cb.Sequences();
    ASSERT_EQ(20u, all.size());
    EXPECT_EQ(Range(0, 10), std::vector<uint32_t>(all.begin() + 10, all.end()));
    EXPECT_EQ(0u, cb.Frames()[10].clockMs);  // the play clock restarts with the data
}

TEST(ReaderControl, StopPlayRewinds) {
    TempDir dir;
    ContainerBuilder b;
    b.AddGroups(2, 5, 40, 0, 0);
    RecordingCallback cb;
    TestReader reader;
    cb.onFrame = [&](const Delivered& d, size_t count) {
        if (count == 1 && d.header.sequence == 0) {
            EXPECT_EQ(QUORIX_OK, reader.Pause())
                << "state " << reader.GetState() << " open " << reader.IsOpen();
        }
    };
    OpenBytes(reader, cb, dir, b.Build());
    ASSERT_EQ(QUORIX_OK, reader.Play());
    ASSERT_TRUE(cb.WaitFrames(1));
    ASSERT_EQ(QUORIX_OK, reader.Step(false));
    ASSERT_TRUE(cb.WaitFrames(2));
    ASSERT_EQ(QUORIX_OK, reader.StopPlay());
    EXPECT_EQ(QUORIX_E_NOT_OPEN, reader.StopPlay());
    ASSERT_EQ(QUORIX_OK, reader.Play());
    ASSERT_TRUE(cb.WaitFileEnds(1));
    auto all = cb.Sequences();
    ASSERT_EQ(12u, all.size());
    EXPECT_EQ((std::vector<uint32_t>{0, 1}), std::vector<uint32_t>(all.begin(), all.begin() + 2));
    EXPECT_EQ(Range(0, 10), std::vector<uint32_t>(all.begin() + 2, all.end()));
}

TEST(ReaderSeek, LandsOnTheKeyFrameAtOrBeforeTheTarget) {
    // Video starts with two delta frames; key frames at 1080, 2080, 3080 (first stamp 1000).
    ContainerBuilder b;
    b.AddFrame(HMF_KIND_DELTA, 1000, 500, 8);
    b.AddFrame(HMF_KIND_DELTA, 1040, 501, 8);
    b.AddGroups(3, 25, 40, 1080, 502);
    const auto bytes = b.Build();
    // clang-format off
    const struct {
        uint32_t position;
        bool byTime;
        uint32_t expectedSequence;
    } cases[] = {
        {0, true, 502},        // before the first key frame: the first key frame
        {80, true, 502},       // exactly on it
        {1079, true, 502},
        {1080, true, 527},
        {1500, true, 527},
        {100000, true, 552},   // past the last: the last key frame
        {0, false, 502},
        {28, false, 527},      // the 29th video frame (count 29) lies in the second group
        {26, false, 502},
        {5000, false, 552},
    };
    // clang-format on
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.position << (c.byTime ? " ms" : " frames"));
        TempDir dir;
        RecordingCallback cb;
        TestReader reader;
        OpenBytes(reader, cb, dir, bytes);
        ASSERT_EQ(QUORIX_OK, reader.SeekTo(c.position, c.byTime));
        const uint32_t keyIndex = (c.expectedSequence - 502) / 25;
        EXPECT_EQ(80u + keyIndex * 1000, reader.GetPlayedTime());
        ASSERT_EQ(QUORIX_OK, reader.Play());
        ASSERT_TRUE(cb.WaitFileEnds(1));
        ASSERT_FALSE(cb.Sequences().empty());
        EXPECT_EQ(c.expectedSequence, cb.Sequences().front());
        EXPECT_EQ(0u, cb.Frames().front().clockMs);
    }
}

TEST(ReaderSeek, ScannedIndexAndWrappingStamps) {
    // Stamps wrap through 2^32 between the first and second key frame; no index on disk.
    ContainerBuilder b;
    b.WithIndex(false);
    b.AddGroups(1, 5, 64, 0xFFFFFF00u, 10);
    b.AddGroups(1, 5, 64, 0x00000040u, 15);
    b.AddGroups(1, 5, 64, 0x00000180u, 20);
    const auto bytes = b.Build();
    const struct {
        uint32_t position;
        bool byTime;
        uint32_t expectedSequence;
    } cases[] = {
        {0x100, true, 10}, {0x140, true, 15}, {0x300, true, 20},
        {4, false, 10},    {5, false, 15},  // sequence numbers: first sequence + 5
        {11, false, 20},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.position << (c.byTime ? " ms" : " frames"));
        TempDir dir;
        RecordingCallback cb;
        TestReader reader;
        OpenBytes(reader, cb, dir, bytes);
        EXPECT_EQ(0x180u + 4 * 64 - 0xFFFFFF00u, reader.GetTotalTime());
        ASSERT_EQ(QUORIX_OK, reader.SeekTo(c.position, c.byTime));
        EXPECT_EQ(c.expectedSequence - 10, reader.GetPlayedFrames());
        ASSERT_EQ(QUORIX_OK, reader.Play());
        ASSERT_TRUE(cb.WaitFileEnds(1));
        ASSERT_FALSE(cb.Sequences().empty());
        EXPECT_EQ(c.expectedSequence, cb.Sequences().front());
    }
}

TEST(ReaderSeek, WithoutKeyFramesTheStartIsTheOnlyPlace) {
    TempDir dir;
    ContainerBuilder b;
    b.AddFrame(HMF_KIND_DELTA, 0, 0, 8).AddAudio(10, 8).AddFrame(HMF_KIND_DELTA, 40, 1, 8);
    RecordingCallback cb;
    TestReader reader;
    OpenBytes(reader, cb, dir, b.Build());
    ASSERT_EQ(QUORIX_OK, reader.SeekTo(30, true));
    EXPECT_EQ(0u, reader.GetPlayedTime());
    ASSERT_EQ(QUORIX_OK, reader.Play());
    ASSERT_TRUE(cb.WaitFileEnds(1));
    EXPECT_TRUE(cb.Sequences().empty());        // no key frame: no video
    EXPECT_EQ(1u, cb.Sequences(false).size());  // the audio record
}

TEST(ReaderCallbacks, CloseFromTheFileEndCallback) {
    TempDir dir;
    ContainerBuilder b;
    b.AddGroups(1, 5, 40, 0, 0);
    const auto bytes = b.Build();
    RecordingCallback cb;
    TestReader reader;
    cb.onFileEnd = [&] {
        reader.Close();
        EXPECT_FALSE(reader.IsOpen());
        return false;
    };
    OpenBytes(reader, cb, dir, bytes);
    ASSERT_EQ(QUORIX_OK, reader.Play());
    ASSERT_TRUE(cb.WaitFileEnds(1));
    ASSERT_TRUE(cb.WaitFor([&] { return !reader.IsOpen(); }));
    // Another thread can open again: the ended thread is joined first.
    ASSERT_EQ(QUORIX_OK, reader.Open(dir.Path("file.hmf").c_str()));
    cb.onFileEnd = nullptr;
    ASSERT_EQ(QUORIX_OK, reader.Play());
    ASSERT_TRUE(cb.WaitFileEnds(2));
    EXPECT_EQ(10u, cb.Frames().size());
}

TEST(ReaderCallbacks, StopAndCloseFromTheFrameCallback) {
    TempDir dir;
    ContainerBuilder b;
    b.AddGroups(2, 5, 40, 0, 0);
    RecordingCallback cb;
    TestReader reader;
    cb.onFrame = [&](const Delivered&, size_t count) {
        if (count == 3) {
            EXPECT_EQ(QUORIX_OK, reader.StopPlay());
            reader.Close();
        }
    };
    OpenBytes(reader, cb, dir, b.Build());
    ASSERT_EQ(QUORIX_OK, reader.Play());
    ASSERT_TRUE(cb.WaitFor([&] { return !reader.IsOpen(); }));
    reader.Close();  // joins the thread
    EXPECT_EQ(3u, cb.Frames().size());
    EXPECT_EQ(0, cb.FileEnds());
}

TEST(ReaderCallbacks, FileEndReturningTrueEndsTheThread) {
    TempDir dir;
    ContainerBuilder b;
    b.AddGroups(1, 3, 40, 0, 0);
    RecordingCallback cb;
    TestReader reader;
    cb.onFileEnd = [] { return true; };
    OpenBytes(reader, cb, dir, b.Build());
    ASSERT_EQ(QUORIX_OK, reader.Play());
    ASSERT_TRUE(cb.WaitFileEnds(1));
    ASSERT_TRUE(cb.WaitFor([&] { return !reader.IsRunning(); }));
    EXPECT_TRUE(reader.IsOpen());
    reader.Close();
    EXPECT_EQ(3u, cb.Frames().size());
}

namespace {

// Paces on the real wake event; records how its thread ended.
class PacedReader : public CKZReader {
public:
    ~PacedReader() override { Close(); }
    void OnThreadEnd(uint64_t param, uint32_t exitCode) override {
        exitCodes.push_back(exitCode);
        CKZReader::OnThreadEnd(param, exitCode);
    }
    std::vector<uint32_t> exitCodes;  // written by the ending thread before it is joined
};

}  // namespace

TEST(ReaderPacing, CloseCutsALongPauseShort) {
    TempDir dir;
    ContainerBuilder b;
    b.AddGroups(1, 5, 1000, 0, 0);
    ASSERT_TRUE(WriteFile(dir.Path("slow.hmf"), b.Build()));
    RecordingCallback cb;
    PacedReader reader;
    reader.SetCallback(&cb);
    ASSERT_EQ(QUORIX_OK, reader.Open(dir.Path("slow.hmf").c_str()));
    reader.SetSpeed(-4);  // 16 s between frames
    ASSERT_EQ(QUORIX_OK, reader.Play());
    ASSERT_TRUE(cb.WaitFrames(2));
    // A thread that did not see the wake event would be cancelled after the stop time-out and
    // end with QUORIX_E_THREAD_KILLED instead.
    reader.Close();
    EXPECT_EQ(std::vector<uint32_t>{0}, reader.exitCodes);
    // Play's wake may still cut the first long pause; the second one holds.
    EXPECT_LE(cb.Frames().size(), 3u);
}
