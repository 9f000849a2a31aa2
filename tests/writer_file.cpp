// The file writer: layout of a recording, index and header upkeep, refusals, and what the
// reader and quorix-info make of a written file.

#include <gtest/gtest.h>

#include <sys/wait.h>

#include <cstdio>
#include <thread>

#include "base/hclock.h"
#include "base/hdatetime.h"
#include "media/kzwriter.h"
#include "reader_support.h"
#include "support/writer_support.h"

using namespace BRIXEL;
using namespace quorixtest;

namespace {

struct FixedClock : IHClock {
    uint32_t tick = 123456;
    uint32_t Tick() override { return tick; }
    void Sleep(uint32_t) override {}
};

// Installs a fixed tick for one test.
struct ClockScope {
    FixedClock clock;
    ClockScope() { HSetClock(&clock); }
    ~ClockScope() { HSetClock(nullptr); }
};

Bytes Block(size_t n, uint8_t seed) {
    Bytes b(n);
    for (size_t i = 0; i < n; ++i)
        b[i] = static_cast<uint8_t>(seed + i * 3);
    return b;
}

uint32_t WriteAll(CHMFWriter& w, const std::vector<Bytes>& records) {
    for (const Bytes& r : records) {
        const uint32_t result = w.WriteFrame(r.data(), static_cast<uint32_t>(r.size()));
        if (result != QUORIX_OK)
            return result;
    }
    return QUORIX_OK;
}

}  // namespace

TEST(WriterLayout, DataOffsetAndExtensionRecordsFollowTheBlocks) {
    ClockScope clock;
    TempDir dir;
    struct Case {
        uint32_t len1, len2, dataOffset;
    };
    const Case cases[] = {{0, 0, 64}, {100, 40, 228}, {100, 0, 176}, {0, 40, 116}};
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.len1 << "+" << c.len2);
        const Bytes b1 = Block(c.len1, 1), b2 = Block(c.len2, 77);
        const std::string path = dir.Path("layout.hmf");
        const double before = CHDateTime::Now().GetValue();
        {
            CKZWriter w;
            w.SetFormatTag(kHMFFormatTag);
            w.SetRenderModel(-1);
            ASSERT_EQ(QUORIX_OK, w.Create(path.c_str(), c.len1 ? b1.data() : nullptr, c.len1,
                                          c.len2 ? b2.data() : nullptr, c.len2));
            EXPECT_TRUE(w.IsOpen());
        }
        const double after = CHDateTime::Now().GetValue();
        const Bytes file = ReadWholeFile(path);
        ASSERT_EQ(c.dataOffset, file.size());
        const HMFFileHeader h = HeaderOf(file);
        EXPECT_TRUE(h.HasMagic());
        EXPECT_EQ(c.dataOffset, h.dataOffset);
        EXPECT_EQ(123456u, h.createTick);
        EXPECT_GE(h.startTime, before);
        EXPECT_LE(h.startTime, after);
        EXPECT_EQ(2, h.formatTag);
        EXPECT_EQ(-1, h.renderModel);
        EXPECT_EQ(Bytes(16, 0), Bytes(file.begin() + 4, file.begin() + 20));
        EXPECT_EQ(Bytes(24, 0), Bytes(file.begin() + 36, file.begin() + 60));
        // Type 1 first, then type 2, each a 12-byte record header and its payload.
        size_t at = kHMFHeaderSize;
        for (const auto& [type, block] : {std::pair<uint8_t, const Bytes*>{1, &b1}, {2, &b2}}) {
            if (block->empty())
                continue;
            HMFExtHeader e;
            HMFParseExtHeader(file.data() + at, &e);
            EXPECT_TRUE(e.HasMagic());
            EXPECT_EQ(type, e.type);
            EXPECT_EQ(0, e.reserved[0] | e.reserved[1] | e.reserved[2]);
            EXPECT_EQ(block->size(), e.length);
            EXPECT_EQ(*block,
                      Bytes(file.begin() + at + 12, file.begin() + at + 12 + block->size()));
            at += 12 + block->size();
        }
        EXPECT_EQ(c.dataOffset, at);
    }
    // A block given with a length but no data counts as empty.
    CKZWriter w;
    ASSERT_EQ(QUORIX_OK, w.Create(dir.Path("null.hmf").c_str(), nullptr, 100, nullptr, 40));
    EXPECT_EQ(64u, w.GetHeader().dataOffset);
}

TEST(WriterRecording, TwoKeyFramesGiveAnIndexOfRunningCounts) {
    TempDir dir;
    StreamSpec desc;
    desc.withAudio = true;
    const std::vector<Bytes> records = MakeStream(desc);
    const Bytes b1 = Block(100, 1), b2 = Block(40, 2);
    const std::string path = dir.Path("rec.hmf");
    CKZWriter w;
    w.SetFormatTag(2);
    w.SetRenderModel(3);
    ASSERT_EQ(QUORIX_OK, w.Create(path.c_str(), b1.data(), 100, b2.data(), 40));
    const uint32_t createTick = w.GetHeader().createTick;
    ASSERT_EQ(QUORIX_OK, WriteAll(w, records));
    ASSERT_EQ(QUORIX_OK, w.Close());
    EXPECT_FALSE(w.IsOpen());

    const Bytes file = ReadWholeFile(path);
    const HMFFileHeader h = HeaderOf(file);
    EXPECT_EQ(228u, h.dataOffset);
    EXPECT_EQ(file.size() - 24, h.indexOffset);
    // The frame data is the records exactly as given, audio included.
    EXPECT_EQ(Concat(records), Bytes(file.begin() + 228, file.begin() + h.indexOffset));
    EXPECT_EQ(50u, h.frameCount);
    EXPECT_EQ(2u, h.indexCount);
    EXPECT_EQ(1000u, h.firstTimestamp);
    EXPECT_EQ(1000u + 49 * 40, h.lastTimestamp);
    EXPECT_EQ(100u, h.firstSequence);
    EXPECT_EQ(createTick, h.createTick);
    EXPECT_EQ(LocalDateOf(desc.firstClock), h.startTime);
    EXPECT_EQ(3, h.renderModel);

    // Key frames are records 0 and 50 (each video record is followed by an audio record).
    const uint64_t secondKey = 228 + Concat({records.begin(), records.begin() + 50}).size();
    const std::vector<HMFIndexEntry> index = IndexOf(file);
    ASSERT_EQ(2u, index.size());
    EXPECT_EQ(1000u, index[0].timestamp);
    EXPECT_EQ(228u, index[0].offset);
    EXPECT_EQ(1u, index[0].frameNumber);
    EXPECT_EQ(2000u, index[1].timestamp);
    EXPECT_EQ(secondKey, index[1].offset);
    EXPECT_EQ(26u, index[1].frameNumber);
}

TEST(WriterRecording, WithoutKeyFramesThereIsNoIndex) {
    TempDir dir;
    // Audio only: the header is never rewritten.
    std::vector<Bytes> audio;
    for (uint32_t i = 0; i < 10; ++i)
        audio.push_back(MakeRecord(HMF_KIND_AUDIO, i * 20, i, 1800000000u, 160));
    // Video without a key frame: the header is rewritten once, at the first video record,
    // before that record is counted.
    std::vector<Bytes> deltas;
    for (uint32_t i = 0; i < 10; ++i)
        deltas.push_back(MakeRecord(HMF_KIND_DELTA, 500 + i * 40, 7 + i, 1600000000u, 90));

    for (const auto* records : {&audio, &deltas}) {
        const std::string path = dir.Path("nokey.hmf");
        CKZWriter w;
        ASSERT_EQ(QUORIX_OK, w.Create(path.c_str(), nullptr, 0, nullptr, 0));
        const double created = w.GetHeader().startTime;
        ASSERT_EQ(QUORIX_OK, WriteAll(w, *records));
        ASSERT_EQ(QUORIX_OK, w.Close());
        const Bytes file = ReadWholeFile(path);
        EXPECT_EQ(64 + Concat(*records).size(), file.size());
        const HMFFileHeader h = HeaderOf(file);
        EXPECT_EQ(0u, h.indexOffset);
        EXPECT_EQ(0u, h.indexCount);
        EXPECT_EQ(0u, h.frameCount);
        if (records == &audio) {
            EXPECT_EQ(created, h.startTime);
            EXPECT_EQ(0u, h.firstTimestamp);
        } else {
            EXPECT_EQ(LocalDateOf(1600000000u), h.startTime);
            EXPECT_EQ(500u, h.firstTimestamp);
            EXPECT_EQ(7u, h.firstSequence);
        }
    }
}

TEST(WriterRecording, ReaderPlaysTheRecordingOpenAndClosed) {
    TempDir dir;
    StreamSpec desc;
    desc.groups = 3;
    desc.groupLength = 10;
    const std::vector<Bytes> records = MakeStream(desc);
    const std::string path = dir.Path("play.hmf");
    CKZWriter w;
    ASSERT_EQ(QUORIX_OK, w.Create(path.c_str(), nullptr, 0, nullptr, 0));
    ASSERT_EQ(QUORIX_OK, WriteAll(w, records));

    for (bool closed : {false, true}) {
        SCOPED_TRACE(closed ? "closed" : "still recording");
        if (closed) {
            ASSERT_EQ(QUORIX_OK, w.Close());
        }
        // The callback outlives the reader thread that calls it.
        RecordingCallback cb;
        TestReader reader;
        reader.SetCallback(&cb);
        ASSERT_EQ(QUORIX_OK, reader.Open(path.c_str()));
        const HMFFileHeader h = reader.GetHeader();
        EXPECT_EQ(30u, h.frameCount);
        EXPECT_EQ(1000u + 29 * 40, h.lastTimestamp);
        const std::vector<HMFIndexEntry> index = reader.GetIndex();
        ASSERT_EQ(3u, index.size());
        // A closed recording numbers its key frames by running count, a scan by sequence.
        EXPECT_EQ(closed ? 11u : 110u, index[1].frameNumber);
        ASSERT_EQ(QUORIX_OK, reader.Play());
        ASSERT_TRUE(cb.WaitFileEnds(1));
        const std::vector<Delivered> got = cb.Frames();
        ASSERT_EQ(records.size(), got.size());
        for (size_t i = 0; i < got.size(); ++i) {
            EXPECT_EQ(FrameHeaderOf(records[i]).sequence, got[i].header.sequence);
            EXPECT_EQ(records[i].size(), got[i].length);
        }
        reader.SetCallback(nullptr);
    }
}

TEST(WriterRecording, RefusesRecordsThatWouldBreakTheFile) {
    TempDir dir;
    const std::string path = dir.Path("bad.hmf");
    CKZWriter w;
    const Bytes good = MakeRecord(HMF_KIND_KEY, 40, 1, 1700000000u, 50);
    EXPECT_EQ(QUORIX_E_NOT_WRITING, w.WriteFrame(good.data(), static_cast<uint32_t>(good.size())));
    ASSERT_EQ(QUORIX_OK, w.Create(path.c_str(), nullptr, 0, nullptr, 0));
    EXPECT_EQ(0u, w.GetLostRecords());

    Bytes otherMagic = good;
    otherMagic[0] = 'x';
    struct Case {
        const char* what;
        const uint8_t* data;
        uint32_t length;
    };
    const Case cases[] = {
        {"null", nullptr, 78},
        {"shorter than a header", good.data(), 27},
        {"another magic", otherMagic.data(), static_cast<uint32_t>(otherMagic.size())},
        {"payload cut short", good.data(), static_cast<uint32_t>(good.size() - 1)},
    };
    for (const Case& c : cases)
        EXPECT_EQ(QUORIX_E_PARAM, w.WriteFrame(c.data, c.length)) << c.what;
    EXPECT_EQ(64u, w.GetFileEnd());
    EXPECT_EQ(0u, w.GetHeader().frameCount);
    EXPECT_EQ(4u, w.GetLostRecords());
    EXPECT_EQ(QUORIX_OK, w.WriteFrame(good.data(), static_cast<uint32_t>(good.size())));
    EXPECT_EQ(4u, w.GetLostRecords());

    EXPECT_EQ(QUORIX_E_ALREADY_OPEN,
              w.Create(dir.Path("other.hmf").c_str(), nullptr, 0, nullptr, 0));
    const Bytes block = ReadWholeFile(path);
    EXPECT_EQ(QUORIX_E_ALREADY_OPEN, w.CreateFrom(dir.Path("other.hmf").c_str(), block.data(), 64));
    ASSERT_EQ(QUORIX_OK, w.Close());
    EXPECT_EQ(64 + good.size(), block.size());

    CKZWriter fresh;
    EXPECT_EQ(QUORIX_E_OPEN_FILE,
              fresh.Create(dir.Path("no/such/dir.hmf").c_str(), nullptr, 0, nullptr, 0));
    EXPECT_FALSE(fresh.IsOpen());
    EXPECT_EQ(QUORIX_E_PARAM, fresh.CreateFrom(dir.Path("c.hmf").c_str(), nullptr, 64));
    EXPECT_EQ(QUORIX_E_PARAM, fresh.CreateFrom(dir.Path("c.hmf").c_str(), block.data(), 63));
    // A block that is not the header block it claims to be (data offset 64, 100 bytes given).
    Bytes padded(block.begin(), block.begin() + 64);
    padded.resize(100);
    EXPECT_EQ(QUORIX_E_PARAM, fresh.CreateFrom(dir.Path("c.hmf").c_str(), padded.data(), 100));
    EXPECT_FALSE(fresh.IsOpen());
}

// A record the engine plays is written as the reader reads it back: a sub-frame's magic becomes
// the plain one and bytes after the announced payload are left out.
TEST(WriterRecording, WritesRecordsInTheFormTheReaderTakes) {
    TempDir dir;
    const std::string path = dir.Path("forms.hmf");
    const Bytes key = MakeRecord(HMF_KIND_KEY, 0, 1, 1700000000u, 50);
    const Bytes delta = MakeRecord(HMF_KIND_DELTA, 40, 2, 1700000000u, 30);
    Bytes subFrame = key;
    HStoreLE16(subFrame.data(), kHMFSubFrameMagic);
    Bytes longer = delta;
    longer.insert(longer.end(), 13, 0xEE);
    CKZWriter w;
    ASSERT_EQ(QUORIX_OK, w.Create(path.c_str(), nullptr, 0, nullptr, 0));
    ASSERT_EQ(QUORIX_OK, w.WriteFrame(subFrame.data(), static_cast<uint32_t>(subFrame.size())));
    ASSERT_EQ(QUORIX_OK, w.WriteFrame(longer.data(), static_cast<uint32_t>(longer.size())));
    EXPECT_EQ(0u, w.GetLostRecords());
    EXPECT_EQ(2u, w.GetHeader().frameCount);
    ASSERT_EQ(QUORIX_OK, w.Close());

    Bytes expected(key);
    expected.insert(expected.end(), delta.begin(), delta.end());
    const Bytes file = ReadWholeFile(path);
    ASSERT_EQ(64 + expected.size() + 12, file.size());
    EXPECT_EQ(expected,
              Bytes(file.begin() + 64, file.begin() + 64 + static_cast<long>(expected.size())));
}

TEST(WriterRecording, ASecondRecordingStartsClean) {
    TempDir dir;
    CKZWriter w;
    w.SetRenderModel(5);
    ASSERT_EQ(QUORIX_OK, w.Create(dir.Path("one.hmf").c_str(), nullptr, 0, nullptr, 0));
    ASSERT_EQ(QUORIX_OK, WriteAll(w, MakeStream(StreamSpec{})));
    ASSERT_EQ(QUORIX_OK, w.Close());
    ASSERT_EQ(QUORIX_OK, w.Create(dir.Path("two.hmf").c_str(), nullptr, 0, nullptr, 0));
    const HMFFileHeader h = w.GetHeader();
    EXPECT_EQ(0u, h.frameCount);
    EXPECT_EQ(0u, h.indexCount);
    EXPECT_EQ(0u, h.firstTimestamp);
    EXPECT_EQ(5, h.renderModel);
    EXPECT_TRUE(w.GetIndex().empty());
    const Bytes key = MakeRecord(HMF_KIND_KEY, 9000, 1, 1700000000u, 10);
    ASSERT_EQ(QUORIX_OK, w.WriteFrame(key.data(), static_cast<uint32_t>(key.size())));
    ASSERT_EQ(QUORIX_OK, w.Close());
    const std::vector<HMFIndexEntry> index = IndexOf(ReadWholeFile(dir.Path("two.hmf")));
    ASSERT_EQ(1u, index.size());
    EXPECT_EQ(1u, index[0].frameNumber);
    EXPECT_EQ(64u, index[0].offset);
}

TEST(WriterRecording, WritersOnSeveralThreadsKeepEveryRecordWhole) {
    TempDir dir;
    const std::string path = dir.Path("threads.hmf");
    CKZWriter w;
    ASSERT_EQ(QUORIX_OK, w.Create(path.c_str(), nullptr, 0, nullptr, 0));
    constexpr int kThreads = 4;
    std::vector<std::vector<Bytes>> streams;
    for (int t = 0; t < kThreads; ++t) {
        StreamSpec desc;
        desc.groups = 4;
        desc.groupLength = 30;
        desc.firstSequence = 100000u * static_cast<uint32_t>(t + 1);
        desc.payloadLength = 300 + 200 * static_cast<uint32_t>(t);
        streams.push_back(MakeStream(desc));
    }
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&w, &streams, t] { EXPECT_EQ(QUORIX_OK, WriteAll(w, streams[t])); });
    }
    for (std::thread& t : threads)
        t.join();
    ASSERT_EQ(QUORIX_OK, w.Close());

    const Bytes file = ReadWholeFile(path);
    const HMFFileHeader h = HeaderOf(file);
    const std::vector<Bytes> got = SplitRecords(file, h.dataOffset, h.indexOffset);
    ASSERT_EQ(size_t{kThreads} * 120, got.size());
    // Each thread's records appear whole and in its order.
    std::vector<size_t> next(kThreads, 0);
    for (const Bytes& r : got) {
        const int t = static_cast<int>(FrameHeaderOf(r).sequence / 100000u) - 1;
        ASSERT_TRUE(t >= 0 && t < kThreads);
        ASSERT_EQ(streams[t][next[t]], r);
        ++next[t];
    }
    // Every index entry points at a key frame and counts the video frames before it.
    const std::vector<HMFIndexEntry> index = IndexOf(file);
    ASSERT_EQ(16u, index.size());
    EXPECT_EQ(480u, h.frameCount);
    for (const HMFIndexEntry& e : index) {
        const HMFFrameHeader f =
            FrameHeaderOf(Bytes(file.begin() + e.offset, file.begin() + e.offset + 28));
        EXPECT_TRUE(f.IsKeyFrame());
        EXPECT_EQ(f.timestamp, e.timestamp);
        EXPECT_EQ(SplitRecords(file, h.dataOffset, e.offset).size() + 1, e.frameNumber);
    }
}

#ifdef QUORIX_INFO_PATH
TEST(WriterRecording, QuorixInfoShowsARecording) {
    TempDir dir;
    const std::string path = dir.Path("info.hmf");
    StreamSpec desc;
    desc.withAudio = true;
    {
        CKZWriter w;
        w.SetFormatTag(2);
        w.SetRenderModel(-1);
        const Bytes b1 = Block(100, 1), b2 = Block(40, 2);
        ASSERT_EQ(QUORIX_OK, w.Create(path.c_str(), b1.data(), 100, b2.data(), 40));
        ASSERT_EQ(QUORIX_OK, WriteAll(w, MakeStream(desc)));
    }
    const std::string command = std::string(QUORIX_INFO_PATH) + " --frames " + path + " 2>&1";
    FILE* p = popen(command.c_str(), "r");
    ASSERT_NE(nullptr, p);
    std::string out;
    char buffer[4096];
    size_t n;
    while ((n = fread(buffer, 1, sizeof buffer, p)) > 0)
        out.append(buffer, n);
    const int status = pclose(p);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(0, WEXITSTATUS(status)) << out;
    const CHDateTime start(LocalDateOf(desc.firstClock));
    for (const std::string& line : std::vector<std::string>{
             "data offset      228",
             "video frames     50",
             "index entries    2",
             "format tag       2",
             "render model     -1",
             "first timestamp  1000 ms",
             "last timestamp   2960 ms",
             "start            " + start.ToString(),
             "type 1 (file-open information), 100 bytes",
             "2 entries on disk, header says 2",
             "kind 1 (video key): 2 records",
         }) {
        EXPECT_NE(std::string::npos, out.find(line)) << line << "\n" << out;
    }
    EXPECT_EQ(std::string::npos, out.find("damage")) << out;
}
#endif

TEST(WriterRecording, SyncPeriodFlushesAtTheFirstRecordAfterIt) {
    ClockScope clock;
    clock.clock.tick = 0;
    TempDir dir;
    CKZWriter w;
    w.SetSyncPeriod(1000);
    ASSERT_EQ(QUORIX_OK, w.Create(dir.Path("sync.hmf").c_str(), nullptr, 0, nullptr, 0));
    const Bytes key = MakeRecord(HMF_KIND_KEY, 0, 1, 1700000000u, 10);
    struct Step {
        uint32_t tick;
        uint32_t syncs;
    };
    // The period counts from the last flush, not from the previous record.
    const Step steps[] = {{500, 0},  {999, 0},  {1000, 1}, {1500, 1},
                          {1999, 1}, {2100, 2}, {2100, 2}, {3100, 3}};
    for (const Step& s : steps) {
        clock.clock.tick = s.tick;
        ASSERT_EQ(QUORIX_OK, w.WriteFrame(key.data(), static_cast<uint32_t>(key.size())));
        EXPECT_EQ(s.syncs, w.GetSyncCount()) << "at tick " << s.tick;
    }
    w.SetSyncPeriod(0);
    clock.clock.tick = 90000;
    ASSERT_EQ(QUORIX_OK, w.WriteFrame(key.data(), static_cast<uint32_t>(key.size())));
    EXPECT_EQ(3u, w.GetSyncCount());
    // Close flushes the index before the header that points at it, and then the header.
    ASSERT_EQ(QUORIX_OK, w.Close());
    EXPECT_EQ(5u, w.GetSyncCount());
}
