// Clip export from an open file: where the clip starts and ends, what it copies, its header,
// and that the playing reader is left where it was.

#include <gtest/gtest.h>

#include <thread>

#include "base/hclock.h"
#include "media/kzwriter.h"
#include "reader_support.h"
#include "support/writer_support.h"

using namespace BRIXEL;
using namespace quorixtest;

namespace {

struct FixedClock : IHClock {
    uint32_t Tick() override { return 777777; }
    void Sleep(uint32_t) override {}
};

// 20 groups of 25 video frames 40 ms apart from timestamp 1000 (sequence 100 on), each
// followed by an audio record 5 ms later; key frames at 1000, 2000, ... 20000.
struct Source {
    ContainerBuilder builder;
    Bytes bytes;
    explicit Source(bool withIndex) {
        builder.WithIndex(withIndex);
        builder.AddExtension(HMF_EXT_OPEN_INFO, Bytes(100, 0x11));
        builder.AddExtension(HMF_EXT_RENDER_PARAM, Bytes(40, 0x22));
        for (uint32_t n = 0; n < 500; ++n) {
            const uint32_t ts = 1000 + n * 40;
            builder.AddFrame(n % 25 == 0 ? HMF_KIND_KEY : HMF_KIND_DELTA, ts, 100 + n,
                             120 + n % 50);
            builder.AddAudio(ts + 5, 80);
        }
        bytes = builder.Build();
        // Carried by the clip unchanged, so not left zero.
        for (int i = 4; i < 20; ++i)
            bytes[i] = static_cast<uint8_t>(i);
        bytes[60] = 2;
        bytes[61] = static_cast<uint8_t>(-1);
    }
    // The records a clip should hold: from the record at startOffset up to (not including) the
    // first video record stamped after lastTs, audio only when asked for.
    std::vector<Bytes> Expected(uint32_t startOffset, uint32_t lastTs, bool withAudio) const {
        std::vector<Bytes> out;
        for (const Bytes& r :
             SplitRecords(bytes, startOffset,
                          builder.IndexOffset() ? builder.IndexOffset() : bytes.size())) {
            const HMFFrameHeader h = FrameHeaderOf(r);
            if (h.IsVideo() && h.timestamp > lastTs)
                break;
            if (h.IsAudio() && !withAudio)
                continue;
            out.push_back(r);
        }
        return out;
    }
    // Offset of the video record with this timestamp.
    uint32_t OffsetOf(uint32_t ts) const {
        for (const BuiltFrame& f : builder.Frames()) {
            if (f.header.IsVideo() && f.header.timestamp == ts)
                return f.offset;
        }
        return 0;
    }
};

}  // namespace

TEST(ClipExport, CopiesFromTheKeyFrameAtOrBeforeTheStartToTheEnd) {
    struct Case {
        const char* what;
        bool indexed;
        uint32_t start, end;
        bool byTime, withAudio;
        uint32_t keyTs;  // where the clip must begin
        uint32_t result;
    };
    const Case cases[] = {
        {"on a key frame", true, 10000, 15000, true, false, 11000, QUORIX_OK},
        {"between key frames, with audio", true, 10500, 15020, true, true, 11000, QUORIX_OK},
        {"by frames", true, 260, 12345, false, false, 11000, QUORIX_OK},
        {"by frames, no index on disk", false, 260, 12345, false, true, 11000, QUORIX_OK},
        {"by time, no index on disk", false, 10000, 15000, true, false, 11000, QUORIX_OK},
        {"from the start", true, 0, 3000, true, true, 1000, QUORIX_OK},
        {"past the last key frame", true, 50000, 60000, true, true, 20000, QUORIX_E_END_OF_DATA},
        {"end beyond the source", true, 18000, 99999, true, false, 19000, QUORIX_E_END_OF_DATA},
    };
    FixedClock clock;
    HSetClock(&clock);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Source src(c.indexed);
        TempDir dir;
        // The callback outlives the reader thread that calls it.
        RecordingCallback cb;
        TestReader reader;
        OpenBytes(reader, cb, dir, src.bytes, "source.hmf");
        const std::string clip = dir.Path("clip.hmf");
        EXPECT_EQ(c.result,
                  reader.FilmEditing(clip.c_str(), c.start, c.end, c.byTime, c.withAudio));

        const Bytes out = ReadWholeFile(clip);
        const HMFFileHeader h = HeaderOf(out);
        const uint32_t dataOffset = src.builder.DataOffset();
        ASSERT_EQ(dataOffset, h.dataOffset);
        // Header block: everything but the tick and the index fields as in the source.
        EXPECT_EQ(Bytes(src.bytes.begin(), src.bytes.begin() + 20),
                  Bytes(out.begin(), out.begin() + 20));
        EXPECT_EQ(Bytes(src.bytes.begin() + 32, src.bytes.begin() + 36),
                  Bytes(out.begin() + 32, out.begin() + 36));
        EXPECT_EQ(Bytes(src.bytes.begin() + 60, src.bytes.begin() + dataOffset),
                  Bytes(out.begin() + 60, out.begin() + dataOffset));
        EXPECT_EQ(777777u, h.createTick);

        const std::vector<Bytes> expected =
            src.Expected(src.OffsetOf(c.keyTs), 1000 + c.end, c.withAudio);
        const std::vector<Bytes> got =
            SplitRecords(out, dataOffset, h.indexOffset ? h.indexOffset : out.size());
        ASSERT_EQ(expected.size(), got.size());
        EXPECT_TRUE(expected == got);
        ASSERT_FALSE(got.empty());
        EXPECT_EQ(c.keyTs, FrameHeaderOf(got.front()).timestamp);

        // The clip's own header and index: its first video record sets the date-time, the
        // index counts the clip's own frames.
        const HMFFrameHeader first = FrameHeaderOf(got.front());
        EXPECT_EQ(LocalDateOf(first.clock), h.startTime);
        EXPECT_EQ(first.timestamp, h.firstTimestamp);
        EXPECT_EQ(first.sequence, h.firstSequence);
        uint32_t videos = 0;
        std::vector<uint32_t> keyCounts;
        for (const Bytes& r : got) {
            const HMFFrameHeader f = FrameHeaderOf(r);
            if (!f.IsVideo())
                continue;
            ++videos;
            if (f.IsKeyFrame())
                keyCounts.push_back(videos);
        }
        EXPECT_EQ(videos, h.frameCount);
        EXPECT_EQ(out.size() - keyCounts.size() * 12, h.indexOffset);
        const std::vector<HMFIndexEntry> index = IndexOf(out);
        ASSERT_EQ(keyCounts.size(), index.size());
        for (size_t i = 0; i < index.size(); ++i)
            EXPECT_EQ(keyCounts[i], index[i].frameNumber);
        reader.SetCallback(nullptr);
    }
    HSetClock(nullptr);
}

TEST(ClipExport, RefusesWhatItCannotBegin) {
    TempDir dir;
    Source src(true);
    // The callback outlives the reader thread that calls it.
    RecordingCallback cb;
    TestReader reader;
    EXPECT_EQ(QUORIX_E_FAIL,
              reader.FilmEditing(dir.Path("none.hmf").c_str(), 0, 1000, true, false));

    OpenBytes(reader, cb, dir, src.bytes, "source.hmf");
    EXPECT_EQ(QUORIX_E_FAIL, reader.FilmEditing(nullptr, 0, 1000, true, false));
    EXPECT_EQ(QUORIX_E_FAIL,
              reader.FilmEditing(dir.Path("no/such/dir/c.hmf").c_str(), 0, 1000, true, false));
    // Cutting a clip over its own source would truncate the file being read.
    EXPECT_EQ(QUORIX_E_FAIL,
              reader.FilmEditing(dir.Path("source.hmf").c_str(), 0, 1000, true, false));
    EXPECT_EQ(src.bytes, ReadWholeFile(dir.Path("source.hmf")));
    reader.Close();

    // Bare frame records: no header block to begin a clip with.
    ContainerBuilder bare;
    bare.WithHeader(false).AddGroups(2, 5, 40, 0, 0);
    OpenBytes(reader, cb, dir, bare.Build(), "bare.hmf");
    EXPECT_EQ(QUORIX_E_FAIL,
              reader.FilmEditing(dir.Path("bare-clip.hmf").c_str(), 0, 1000, true, false));
    // The reader still plays the bare file from its first record.
    ASSERT_EQ(QUORIX_OK, reader.Play());
    ASSERT_TRUE(cb.WaitFileEnds(1));
    EXPECT_EQ(10u, cb.Sequences().size());
    reader.SetCallback(nullptr);
}

TEST(ClipExport, LeavesThePlayingReaderWhereItWas) {
    TempDir dir;
    Source src(true);
    // The callback outlives the reader thread that calls it.
    RecordingCallback cb;
    TestReader reader;
    uint32_t exportResult = 0xDEAD;
    // Half-way through the file, while the reader thread is inside its callback, another
    // thread cuts a clip from the same file.
    cb.onFrame = [&](const Delivered&, size_t n) {
        if (n != 300)
            return;
        std::thread cutter([&] {
            exportResult = reader.FilmEditing(dir.Path("c.hmf").c_str(), 2000, 4000, true, true);
        });
        cutter.join();
    };
    OpenBytes(reader, cb, dir, src.bytes, "source.hmf");
    ASSERT_EQ(QUORIX_OK, reader.Play());
    ASSERT_TRUE(cb.WaitFileEnds(1));
    EXPECT_EQ(QUORIX_OK, exportResult);
    // Every record of the source was delivered once, in order: the export neither moved the
    // reader nor made it start over.
    const std::vector<uint32_t> seqs = cb.Sequences();
    ASSERT_EQ(500u, seqs.size());
    for (uint32_t i = 0; i < 500; ++i)
        ASSERT_EQ(100 + i, seqs[i]);
    EXPECT_EQ(1000u, cb.Frames().size());

    const Bytes out = ReadWholeFile(dir.Path("c.hmf"));
    EXPECT_TRUE(src.Expected(src.OffsetOf(3000), 5000, true) ==
                SplitRecords(out, HeaderOf(out).dataOffset, HeaderOf(out).indexOffset));
    reader.SetCallback(nullptr);
}
