// Container layout and what the reader learns from a file when it opens it.

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "base/hdatetime.h"
#include "base/hfile.h"

#include "reader_support.h"

using namespace BRIXEL;
using namespace quorixtest;

TEST(ContainerLayout, FieldsLandAtTheirByteOffsets) {
    HMFFileHeader h = HMFNewHeader();
    h.createTick = 0x11223344;
    h.startTime = 43921.5;
    h.dataOffset = 228;
    h.indexOffset = 0x01020304;
    h.firstTimestamp = 0xA0A1A2A3;
    h.lastTimestamp = 0xB0B1B2B3;
    h.firstSequence = 7;
    h.frameCount = 8;
    h.indexCount = 9;
    h.formatTag = 2;
    h.renderModel = -1;
    h.reserved[15] = 0x5A;
    uint8_t b[64];
    HMFSerializeFileHeader(h, b);
    EXPECT_EQ(0, std::memcmp(b, "ZEBM", 4));
    EXPECT_EQ(0x5A, b[19]);
    EXPECT_EQ(0x44, b[20]);
    EXPECT_EQ(0x11, b[23]);
    EXPECT_EQ(228u, HLoadLE32(b + 32));
    EXPECT_EQ(0x04, b[36]);
    EXPECT_EQ(0xA3, b[40]);
    EXPECT_EQ(0xB3, b[44]);
    EXPECT_EQ(7u, HLoadLE32(b + 48));
    EXPECT_EQ(8u, HLoadLE32(b + 52));
    EXPECT_EQ(9u, HLoadLE32(b + 56));
    EXPECT_EQ(2, b[60]);
    EXPECT_EQ(0xFF, b[61]);
    EXPECT_EQ(43921.5, HLoadLEF64(b + 24));
    HMFFileHeader back;
    HMFParseFileHeader(b, &back);
    uint8_t again[64];
    HMFSerializeFileHeader(back, again);
    EXPECT_EQ(0, std::memcmp(b, again, 64));

    HMFFrameHeader f = HMFNewFrameHeader();
    f.type = HMF_KIND_KEY | kHMFCompositeBit;
    f.streamId = 5;
    f.sequence = 0x01020304;
    f.timestamp = 0x05060708;
    f.clock = 0x090A0B0C;
    f.codec = 6;
    f.flags = 0xEE;
    f.SetVideoSize(1920, 1080);
    f.media[4] = 0x77;  // not interpreted, carried
    f.payloadLength = 0xFFFFFFFF;
    uint8_t r[28];
    HMFSerializeFrameHeader(f, r);
    const uint8_t expected[28] = {0x68, 0x74, 0x81, 5,    4,    3,    2,    1,    8,    7,
                                  6,    5,    0x0C, 0x0B, 0x0A, 0x09, 6,    0xEE, 0x80, 0x07,
                                  0x38, 0x04, 0x77, 0,    0xFF, 0xFF, 0xFF, 0xFF};
    EXPECT_EQ(0, std::memcmp(expected, r, 28));
    HMFFrameHeader p;
    HMFParseFrameHeader(r, &p);
    EXPECT_EQ(HMF_KIND_KEY, p.Kind());
    EXPECT_TRUE(p.IsComposite());
    EXPECT_EQ(uint64_t{0xFFFFFFFF} + 28, p.RecordSize());
    p.SetAudioFormat(2, 16, 44100);
    EXPECT_EQ(2, p.Channels());
    EXPECT_EQ(16, p.BitsPerSample());
    EXPECT_EQ(44100u, p.SampleRate());
}

TEST(ContainerLayout, StampOrderSurvivesWrap) {
    EXPECT_LT(HStampDiff(0xFFFFFF00u, 0x100u), 0);
    EXPECT_GT(HStampDiff(0x100u, 0xFFFFFF00u), 0);
    EXPECT_EQ(0, HStampDiff(5, 5));
}

TEST(ReaderOpen, ClosedRecordingUsesItsIndexAndBlocks) {
    TempDir dir;
    ContainerBuilder b;
    std::vector<uint8_t> info(100), params(40);
    for (size_t i = 0; i < info.size(); ++i)
        info[i] = static_cast<uint8_t>(i);
    for (size_t i = 0; i < params.size(); ++i)
        params[i] = static_cast<uint8_t>(200 - i);
    b.AddExtension(HMF_EXT_OPEN_INFO, info)
        .AddExtension(9, {1, 2, 3})
        .AddExtension(HMF_EXT_RENDER_PARAM, params);
    b.AddGroups(3, 25, 40, 1000, 5000);
    auto bytes = b.Build();
    bytes[61] = 0xFF;  // external renderer

    CHBuffer openInfo, renderParams;
    RecordingCallback cb;
    TestReader reader;
    reader.SetDataBlocks(&openInfo, &renderParams);
    OpenBytes(reader, cb, dir, bytes);
    EXPECT_TRUE(reader.IsOpen());
    EXPECT_EQ(CHMFReader::Stopped, reader.GetState());

    const HMFFileHeader h = reader.GetHeader();
    EXPECT_EQ(64u + 12 + 100 + 12 + 3 + 12 + 40, h.dataOffset);
    EXPECT_EQ(-1, h.renderModel);
    EXPECT_EQ(75u, reader.GetTotalFrames());
    EXPECT_EQ(74u * 40, reader.GetTotalTime());
    EXPECT_EQ(b.IndexOffset(), reader.GetFrameDataEnd());
    const auto index = reader.GetIndex();
    ASSERT_EQ(3u, index.size());
    EXPECT_EQ(b.FrameOffset(25), index[1].offset);
    EXPECT_EQ(26u, index[1].frameNumber);  // the recorder's running count

    ASSERT_EQ(100u, openInfo.GetLength());
    EXPECT_EQ(0, std::memcmp(info.data(), openInfo.GetData(), 100));
    EXPECT_EQ(0, openInfo.GetData()[100]);
    ASSERT_EQ(40u, renderParams.GetLength());
    EXPECT_EQ(0, std::memcmp(params.data(), renderParams.GetData(), 40));

    EXPECT_EQ(QUORIX_E_OPEN_FILE, reader.Open(dir.Path("file.hmf").c_str()));
    reader.Close();
    EXPECT_FALSE(reader.IsOpen());
    EXPECT_EQ(0u, reader.GetTotalFrames());
    EXPECT_EQ(QUORIX_E_NOT_OPEN, reader.Play());
    EXPECT_EQ(QUORIX_E_FAIL, reader.SeekTo(0, true));
    EXPECT_EQ(QUORIX_E_OPEN_FILE, reader.Open(dir.Path("missing.hmf").c_str()));
}

TEST(ReaderOpen, UnclosedRecordingIsScanned) {
    TempDir dir;
    ContainerBuilder b;
    b.WithIndex(false);
    b.AddAudio(990, 20);
    b.AddFrame(HMF_KIND_DELTA, 1000, 77, 30);  // before the first key frame: counted, not indexed
    b.AddGroups(2, 4, 40, 1040, 78);
    b.AddFrame(2, 1400, 0, 10);             // neither video nor audio
    b.AddRaw({0x68, 0x74, 1, 0, 1, 2, 3});  // torn last record
    auto bytes = b.Build();

    RecordingCallback cb;
    TestReader reader;
    OpenBytes(reader, cb, dir, bytes);
    const HMFFileHeader h = reader.GetHeader();
    EXPECT_EQ(1000u, h.firstTimestamp);
    EXPECT_EQ(1040u + 7 * 40, h.lastTimestamp);
    EXPECT_EQ(77u, h.firstSequence);
    EXPECT_EQ(9u, h.frameCount);
    EXPECT_EQ(2u, h.indexCount);
    EXPECT_EQ(bytes.size(), reader.GetFrameDataEnd());
    const auto index = reader.GetIndex();
    ASSERT_EQ(2u, index.size());
    EXPECT_EQ((HMFIndexEntry{1040, b.FrameOffset(2), 78}).offset, index[0].offset);
    EXPECT_EQ(1040u, index[0].timestamp);
    EXPECT_EQ(78u, index[0].frameNumber);  // a scanned index holds sequence numbers
    EXPECT_EQ(b.FrameOffset(6), index[1].offset);
    EXPECT_EQ(82u, index[1].frameNumber);

    // The torn record at the end is not played.
    ASSERT_EQ(QUORIX_OK, reader.Play());
    ASSERT_TRUE(cb.WaitFileEnds(1));
    EXPECT_EQ((std::vector<uint32_t>{78, 79, 80, 81, 82, 83, 84, 85}), cb.Sequences());
    for (const Delivered& d : cb.Frames())
        EXPECT_TRUE(d.payloadIntact);
}

// The figures of a file without playing it. A recording that was never finished (still being
// written, or its process killed) has no index and only the stamps its first video record put
// into the header: its times come from its records, read as playback reads them, up to the end
// of the file. A start that is not a date gives no figures.
TEST(ReaderFileTimes, UnfinishedRecordingsAreTimedByTheirRecords) {
    TempDir dir;
    constexpr double kStart = 45000.5;  // the builder's start date-time
    constexpr double kMsPerDay = 86400000.0;
    auto timesOf = [&](const std::vector<uint8_t>& bytes, double* begin, double* end) {
        const std::string path = dir.Path("times.hmf");
        EXPECT_TRUE(WriteFile(path, bytes));
        CHFile file;
        EXPECT_TRUE(file.Open(path.c_str(), "rb"));
        return CHMFReader::ReadFileTimes(file, begin, end);
    };

    ContainerBuilder unfinished;
    unfinished.WithIndex(false);
    unfinished.AddAudio(990, 20);
    unfinished.AddGroups(2, 4, 40, 1000, 78);
    unfinished.AddAudio(1400, 20);
    unfinished.AddRaw({0x68, 0x74, 1, 0, 1, 2, 3});  // torn last record
    std::vector<uint8_t> bytes = unfinished.Build();
    // What the recorder leaves on disk before it is finished.
    PatchLE32(bytes, 40, 1000);
    PatchLE32(bytes, 44, 1000);
    PatchLE32(bytes, 52, 0);
    double begin = 0.0, end = 0.0;
    ASSERT_EQ(QUORIX_OK, timesOf(bytes, &begin, &end));
    EXPECT_EQ(kStart, begin);
    EXPECT_NEAR(7 * 40, (end - begin) * kMsPerDay, 0.01);

    // An index offset the file cannot hold is no index either.
    PatchLE32(bytes, 36, static_cast<uint32_t>(bytes.size() + 12));
    ASSERT_EQ(QUORIX_OK, timesOf(bytes, &begin, &end));
    EXPECT_NEAR(7 * 40, (end - begin) * kMsPerDay, 0.01);

    // A finished recording is timed by its header.
    ContainerBuilder finished;
    finished.AddGroups(2, 4, 40, 1000, 78);
    std::vector<uint8_t> closed = finished.Build();
    PatchLE32(closed, 44, 6000);
    ASSERT_EQ(QUORIX_OK, timesOf(closed, &begin, &end));
    EXPECT_EQ(kStart, begin);
    EXPECT_NEAR(5000, (end - begin) * kMsPerDay, 0.01);

    // Without a video record there is no span.
    ContainerBuilder silent;
    silent.WithIndex(false).AddAudio(990, 20);
    ASSERT_EQ(QUORIX_OK, timesOf(silent.Build(), &begin, &end));
    EXPECT_EQ(begin, end);

    const double notADate[] = {std::nan(""),
                               std::numeric_limits<double>::infinity(),
                               -std::numeric_limits<double>::infinity(),
                               1e300,
                               -1e7,
                               CHDateTime::kMaxValue};  // a valid start whose end is not
    for (const double start : notADate) {
        SCOPED_TRACE(start);
        std::vector<uint8_t> bad = closed;
        PatchBytes(bad, 24, &start, sizeof start);
        begin = -1.0;
        end = -2.0;
        EXPECT_EQ(QUORIX_E_FILE_FORMAT, timesOf(bad, &begin, &end));
        EXPECT_EQ(-1.0, begin);
        EXPECT_EQ(-2.0, end);
    }
    ContainerBuilder bare;
    bare.WithHeader(false).AddGroups(1, 3, 40, 0, 0);
    EXPECT_EQ(QUORIX_E_FILE_FORMAT, timesOf(bare.Build(), &begin, &end));
}

TEST(ReaderOpen, BareRecordsWithoutHeaderPlayFromOffsetZero) {
    TempDir dir;
    ContainerBuilder b;
    b.WithHeader(false).AddGroups(2, 3, 40, 0, 0);
    RecordingCallback cb;
    TestReader reader;
    OpenBytes(reader, cb, dir, b.Build());
    EXPECT_EQ(0u, reader.GetHeader().dataOffset);
    EXPECT_EQ(6u, reader.GetTotalFrames());
    ASSERT_EQ(QUORIX_OK, reader.Play());
    ASSERT_TRUE(cb.WaitFileEnds(1));
    EXPECT_EQ(6u, cb.Sequences().size());
}
