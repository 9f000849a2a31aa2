// What a port does with data besides showing it, through the public interface: the snapshot
// file writer, local recording of a live stream, clip export from an open file, and composite
// packets forwarded to an attached port and to the attach callback.

#include <dirent.h>
#include <gtest/gtest.h>
#include <quorixsdk.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <condition_variable>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <limits>
#include <mutex>
#include <string>
#include <vector>

#include "media/hmfformat.h"
#include "support/capture_support.h"
#include "support/player_media.h"
#include "support/special_files.h"

using namespace capturetest;

namespace {

const bool g_headless = [] {
    unsetenv("DISPLAY");
    return true;
}();

uint32_t Le32(const std::vector<uint8_t>& b, size_t at) {
    return uint32_t{b[at]} | uint32_t{b[at + 1]} << 8 | uint32_t{b[at + 2]} << 16 |
           uint32_t{b[at + 3]} << 24;
}

int CountEntries(const std::string& dir) {
    int count = 0;
    if (DIR* d = opendir(dir.c_str())) {
        while (const dirent* entry = readdir(d)) {
            const std::string name = entry->d_name;
            count += name != "." && name != ".." ? 1 : 0;
        }
        closedir(d);
    }
    return count;
}

// ---------------------------------------------------------------------------------------------
// The snapshot file writer needs nothing of the library: not even its initialisation.

TEST(SnapDataSaveToFile, BmpHeadersFollowTheRows) {
    TempDir dir;
    struct Case {
        uint32_t format;
        uint16_t bits;
    };
    const uint8_t rows[16] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
    for (const Case& c :
         {Case{3, 32}, Case{1, 32}, Case{2, 24}, Case{4, 24}, Case{20, 32}, Case{0, 32}}) {
        SCOPED_TRACE(c.format);
        const std::string path = dir.Path("f" + std::to_string(c.format) + ".bmp");
        ASSERT_EQ(QUORIX_OK,
                  QUORIX_SnapDataSaveToFile(path.c_str(), 90, 1, 2, 8, 2, c.format, rows));
        const BmpFile bmp = ReadBmp(path);
        ASSERT_TRUE(bmp.ok);
        EXPECT_EQ(70u, bmp.bytes.size());
        EXPECT_EQ(70u, bmp.fileSize);
        EXPECT_EQ(0u, Le32(bmp.bytes, 6));
        EXPECT_EQ(54u, bmp.dataOffset);
        EXPECT_EQ(40u, bmp.headerSize);
        EXPECT_EQ(2, bmp.width);
        EXPECT_EQ(2, bmp.height);
        EXPECT_EQ(1u, bmp.planes);
        EXPECT_EQ(c.bits, bmp.bitCount);
        EXPECT_EQ(0u, Le32(bmp.bytes, 30));
        EXPECT_EQ(16u, bmp.imageSize);
        for (size_t i = 38; i < 54; ++i)
            EXPECT_EQ(0u, bmp.bytes[i]) << i;
        EXPECT_EQ(0, std::memcmp(bmp.bytes.data() + 54, rows, 16));
    }
}

TEST(SnapDataSaveToFile, JpegUsesTheLowByteOfTheQuality) {
    TempDir dir;
    const uint32_t width = 24, height = 16, stride = 76;  // padded rows of packed B, G, R
    std::vector<uint8_t> rows(size_t{stride} * height, 0);
    for (uint32_t y = 0; y < height; ++y)
        for (uint32_t x = 0; x < width * 3; ++x)
            rows[size_t{y} * stride + x] = static_cast<uint8_t>(y < 8 ? 40 : 200);
    struct Case {
        uint16_t quality;
        int effective;
    };
    for (const Case& c : {Case{75, 75}, Case{0x0132, 50}, Case{100, 100}}) {
        SCOPED_TRACE(c.quality);
        const std::string path = dir.Path("q" + std::to_string(c.quality) + ".jpg");
        ASSERT_EQ(QUORIX_OK, QUORIX_SnapDataSaveToFile(path.c_str(), c.quality, 0, width, stride,
                                                       height, 4, rows.data()));
        const std::vector<uint8_t> jpeg = ReadFile(path);
        EXPECT_EQ(ScaledLumaTable(c.effective), JpegLumaTable(jpeg));
        uint32_t w = 0, h = 0;
        std::vector<uint8_t> bgr;
        ASSERT_TRUE(DecodeJpeg(jpeg, &w, &h, &bgr));
        EXPECT_EQ(width, w);
        EXPECT_EQ(height, h);
        // The rows are bottom-up, as a BMP holds them: the bright rows end up on top.
        EXPECT_NEAR(200, bgr[size_t{2} * w * 3 + 6], 12);
        EXPECT_NEAR(40, bgr[size_t{13} * w * 3 + 6], 12);
    }
}

TEST(SnapDataSaveToFile, BadInputIsRefusedSafely) {
    TempDir dir;
    const uint8_t rows[16] = {};
    const std::string longPath = dir.Path(std::string(5000, 'y'));
    for (uint32_t type : {0u, 1u}) {
        SCOPED_TRACE(type);
        EXPECT_EQ(QUORIX_E_OPEN_FILE,
                  QUORIX_SnapDataSaveToFile(nullptr, 90, type, 2, 8, 2, 3, rows));
        EXPECT_EQ(QUORIX_E_OPEN_FILE, QUORIX_SnapDataSaveToFile("", 90, type, 2, 8, 2, 3, rows));
        EXPECT_EQ(QUORIX_E_OPEN_FILE,
                  QUORIX_SnapDataSaveToFile(longPath.c_str(), 90, type, 2, 8, 2, 3, rows));
        EXPECT_EQ(QUORIX_E_OPEN_FILE, QUORIX_SnapDataSaveToFile(dir.Path("no/such").c_str(), 90,
                                                                type, 2, 8, 2, 3, rows));
        EXPECT_EQ(QUORIX_E_OPEN_FILE,
                  QUORIX_SnapDataSaveToFile(dir.Path("").c_str(), 90, type, 2, 8, 2, 3, rows));

        // Without rows, or with a picture the encoder cannot take, no file is made.
        const std::string noRows = dir.Path("norows" + std::to_string(type));
        EXPECT_EQ(QUORIX_E_PARAM,
                  QUORIX_SnapDataSaveToFile(noRows.c_str(), 90, type, 2, 8, 2, 3, nullptr));
        EXPECT_FALSE(FileExists(noRows));
    }
    // Header fields are 32-bit: a size beyond them is refused before anything is read.
    const std::string huge = dir.Path("huge.bmp");
    EXPECT_EQ(QUORIX_E_PARAM,
              QUORIX_SnapDataSaveToFile(huge.c_str(), 90, 1, 65536, 0x40000, 0x10000, 4, rows));
    EXPECT_FALSE(FileExists(huge));
    const std::string empty = dir.Path("empty.jpg");
    EXPECT_EQ(QUORIX_E_NOT_SUPPORTED,
              QUORIX_SnapDataSaveToFile(empty.c_str(), 90, 0, 0, 8, 2, 3, rows));
    EXPECT_FALSE(FileExists(empty));
}

// A call that is refused, or whose file cannot be written whole, changes nothing: an existing
// file keeps its bytes, a new name stays free and no temporary file is left beside them.
TEST(SnapDataSaveToFile, RefusedOrFailedCallsLeaveTheFileAsItWas) {
    TempDir dir;
    const std::vector<uint8_t> old = {'o', 'l', 'd'};
    const std::string keep = dir.Path("keep.pic");
    const std::string fresh = dir.Path("fresh.pic");
    auto writeOld = [&] {
        std::ofstream out(keep, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(old.data()), 3);
    };
    writeOld();
    const uint8_t rows[16] = {};
    for (uint32_t type : {0u, 1u}) {
        SCOPED_TRACE(type);
        EXPECT_EQ(QUORIX_E_PARAM,
                  QUORIX_SnapDataSaveToFile(keep.c_str(), 90, type, 2, 8, 2, 3, nullptr));
        EXPECT_EQ(old, ReadFile(keep));
    }
    EXPECT_EQ(QUORIX_E_PARAM,
              QUORIX_SnapDataSaveToFile(keep.c_str(), 90, 1, 65536, 0x40000, 0x10000, 4, rows));
    EXPECT_EQ(old, ReadFile(keep));
    EXPECT_EQ(QUORIX_E_NOT_SUPPORTED,
              QUORIX_SnapDataSaveToFile(keep.c_str(), 90, 0, 0, 8, 2, 3, rows));
    EXPECT_EQ(old, ReadFile(keep));

    // A full disk: every write beyond 1000 bytes comes up short. A picture of 100 x 100 packed
    // B, G, R pixels is 30 054 bytes as BMP and far above the limit as JPEG of noise.
    const uint32_t side = 100, stride = side * 3;
    std::vector<uint8_t> noise(size_t{stride} * side);
    uint32_t seed = 12345;
    for (uint8_t& b : noise) {
        seed = seed * 1103515245u + 12345u;
        b = static_cast<uint8_t>(seed >> 16);
    }
    {
        fifotest::ScopedFileSizeLimit limit(1000);
        ASSERT_TRUE(limit.Ok());
        for (uint32_t type : {0u, 1u}) {
            SCOPED_TRACE(type);
            EXPECT_EQ(QUORIX_E_WRITE_FILE,
                      QUORIX_SnapDataSaveToFile(keep.c_str(), 100, type, side, stride, side, 4,
                                                noise.data()));
            EXPECT_EQ(old, ReadFile(keep));
            EXPECT_EQ(QUORIX_E_WRITE_FILE,
                      QUORIX_SnapDataSaveToFile(fresh.c_str(), 100, type, side, stride, side, 4,
                                                noise.data()));
            EXPECT_FALSE(FileExists(fresh));
        }
    }
    // A device is no file to write: refused up front, like a pipe, which must not block.
    EXPECT_EQ(QUORIX_E_OPEN_FILE,
              QUORIX_SnapDataSaveToFile("/dev/full", 90, 1, side, stride, side, 4, noise.data()));
    const std::string fifo = dir.Path("pipe");
    ASSERT_TRUE(fifotest::MakeFifo(fifo));
    for (uint32_t type : {0u, 1u}) {
        const fifotest::Outcome saved = fifotest::CallOnFifo(fifo, [&] {
            return QUORIX_SnapDataSaveToFile(fifo.c_str(), 90, type, 2, 8, 2, 3, rows);
        });
        EXPECT_TRUE(saved.returned) << "blocked on a pipe";
        EXPECT_EQ(QUORIX_E_OPEN_FILE, saved.result);
        EXPECT_TRUE(fifotest::IsFifo(fifo));
    }
    EXPECT_EQ(old, ReadFile(keep));
    size_t entries = 0;
    for (const char* name : {"keep.pic", "pipe"})
        entries += FileExists(dir.Path(name)) ? 1 : 0;
    EXPECT_EQ(2u, entries);
    EXPECT_EQ(2, CountEntries(dir.Path("")));

    // A whole write replaces the old file.
    ASSERT_EQ(QUORIX_OK,
              QUORIX_SnapDataSaveToFile(keep.c_str(), 90, 1, side, stride, side, 4, noise.data()));
    EXPECT_EQ(size_t{stride} * side + 54, ReadFile(keep).size());
    EXPECT_EQ(2, CountEntries(dir.Path("")));
}

// ---------------------------------------------------------------------------------------------
// Ports

class PortData : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(g_headless);
        ASSERT_EQ(QUORIX_OK, QUORIX_InitSDK());
    }
    void TearDown() override { QUORIX_ReleaseSDK(); }

    static const std::vector<std::vector<uint8_t>>& Records() {
        static const auto records = StillRecords(MakeStill(160, 120), 8);
        return records;
    }

    TempDir m_dir;
};

TEST_F(PortData, RecordingHoldsThePushedRecordsUnchanged) {
    ASSERT_FALSE(Records().empty()) << "libx264 missing";
    uint16_t port = 0;
    ASSERT_EQ(QUORIX_OK, QUORIX_GetPort(&port));
    const std::string path = m_dir.Path("live.zbm");

    EXPECT_EQ(QUORIX_E_OPEN_FILE, QUORIX_StartLocalRecord(port, m_dir.Path("no/such.zbm").c_str()));
    EXPECT_EQ(QUORIX_E_OPEN_FILE, QUORIX_StartLocalRecord(port, nullptr));
    // Started before anything is open, it records what is pushed later.
    ASSERT_EQ(QUORIX_OK, QUORIX_StartLocalRecord(port, path.c_str()));
    EXPECT_EQ(QUORIX_E_STATE, QUORIX_StartLocalRecord(port, path.c_str()));
    EXPECT_EQ(QUORIX_E_STATE, QUORIX_StartLocalRecord(port, m_dir.Path("other.zbm").c_str()));

    ASSERT_EQ(QUORIX_OK, QUORIX_OpenStream(port, 1, nullptr, 0, nullptr, 0));
    std::vector<uint8_t> pushed;
    const size_t firstRun = 5;
    for (size_t i = 0; i < firstRun; ++i) {
        const auto& r = Records()[i];
        ASSERT_EQ(QUORIX_OK,
                  QUORIX_InputStreamData(port, r.data(), static_cast<uint32_t>(r.size())));
        pushed.insert(pushed.end(), r.begin(), r.end());
    }
    // Closing the stream leaves the recording open, receiving nothing.
    ASSERT_EQ(QUORIX_OK, QUORIX_CloseStream(port));
    EXPECT_EQ(QUORIX_E_STATE, QUORIX_StartLocalRecord(port, path.c_str()));
    ASSERT_EQ(QUORIX_OK, QUORIX_OpenStream(port, 1, nullptr, 0, nullptr, 0));
    for (size_t i = firstRun; i < Records().size(); ++i) {
        const auto& r = Records()[i];
        ASSERT_EQ(QUORIX_OK,
                  QUORIX_InputStreamData(port, r.data(), static_cast<uint32_t>(r.size())));
    }
    EXPECT_EQ(QUORIX_OK, QUORIX_StopLocalRecord(port));
    EXPECT_EQ(QUORIX_OK, QUORIX_StopLocalRecord(port));

    const std::vector<uint8_t> file = ReadFile(path);
    ASSERT_GE(file.size(), BRIXEL::kHMFHeaderSize + pushed.size());
    EXPECT_EQ(0, std::memcmp(file.data(), "ZEBM", 4));
    EXPECT_EQ(2u, file[60]);
    EXPECT_EQ(1u, file[61]);  // the render model of a port with nothing open
    const uint32_t dataOffset = Le32(file, 32);
    ASSERT_LE(dataOffset + pushed.size(), file.size());
    EXPECT_EQ(0, std::memcmp(file.data() + dataOffset, pushed.data(), pushed.size()));
    const uint32_t indexOffset = Le32(file, 36);
    EXPECT_EQ(dataOffset + pushed.size(), indexOffset);
    EXPECT_EQ(firstRun, Le32(file, 52));

    // The reader takes the recording.
    ASSERT_EQ(QUORIX_OK, QUORIX_CloseStream(port));
    ASSERT_EQ(QUORIX_OK, QUORIX_OpenFile(port, path.c_str()));
    EXPECT_EQ(firstRun, QUORIX_GetFileTotleFrames(port));
    EXPECT_EQ(QUORIX_OK, QUORIX_CloseFile(port));
    EXPECT_EQ(QUORIX_OK, QUORIX_FreePort(port));
}

// What the port plays is what its recording holds: a record with the sub-frame magic, or with
// bytes after its payload, is recorded as the reader reads it back. A record that cannot be
// written makes the stop answer QUORIX_E_WRITE_FILE, and the log says how many were lost.
TEST_F(PortData, RecordingHoldsWhatThePortPlayedOrReportsTheLoss) {
    ASSERT_FALSE(Records().empty()) << "libx264 missing";
    uint16_t port = 0;
    ASSERT_EQ(QUORIX_OK, QUORIX_GetPort(&port));
    const std::string path = m_dir.Path("forms.zbm");
    ASSERT_EQ(QUORIX_OK, QUORIX_StartLocalRecord(port, path.c_str()));
    ASSERT_EQ(QUORIX_OK, QUORIX_OpenStream(port, 1, nullptr, 0, nullptr, 0));
    std::vector<uint8_t> expected;
    for (size_t i = 0; i < Records().size(); ++i) {
        std::vector<uint8_t> r = Records()[i];
        if (i == 0) {
            r[0] = 'H';
            r[1] = 'T';
        }
        if (i == 3)
            r.insert(r.end(), 16, 0);  // beyond the payload its header announces
        ASSERT_EQ(QUORIX_OK,
                  QUORIX_InputStreamData(port, r.data(), static_cast<uint32_t>(r.size())));
        expected.insert(expected.end(), Records()[i].begin(), Records()[i].end());
    }
    EXPECT_EQ(QUORIX_OK, QUORIX_StopLocalRecord(port));
    const std::vector<uint8_t> file = ReadFile(path);
    const uint32_t dataOffset = Le32(file, 32);
    ASSERT_EQ(dataOffset + expected.size(), Le32(file, 36));
    EXPECT_TRUE(std::equal(expected.begin(), expected.end(), file.begin() + dataOffset));
    EXPECT_EQ(Records().size(), Le32(file, 52));

    // A record whose header announces more than it holds cannot be recorded as it was played.
    const std::string logBase = m_dir.Path("log");
    QUORIX_SetLogAttribute(1, 40, logBase.c_str(), "txt");
    const std::string lossy = m_dir.Path("lossy.zbm");
    ASSERT_EQ(QUORIX_OK, QUORIX_StartLocalRecord(port, lossy.c_str()));
    const auto& key = Records()[0];
    ASSERT_EQ(QUORIX_OK,
              QUORIX_InputStreamData(port, key.data(), static_cast<uint32_t>(key.size())));
    std::vector<uint8_t> cut = Record(2, 1, 40, 1, 160, 120, std::vector<uint8_t>(100, 7));
    cut.resize(28 + 10);
    ASSERT_EQ(QUORIX_OK,
              QUORIX_InputStreamData(port, cut.data(), static_cast<uint32_t>(cut.size())));
    EXPECT_EQ(QUORIX_E_WRITE_FILE, QUORIX_StopLocalRecord(port));
    EXPECT_EQ(QUORIX_OK, QUORIX_StopLocalRecord(port));
    QUORIX_SetLogAttribute(0, 0, nullptr, nullptr);
    std::string log;
    for (const auto& entry : std::filesystem::directory_iterator(m_dir.Path(""))) {
        if (entry.path().filename().string().rfind("log", 0) != 0)
            continue;
        const std::vector<uint8_t> bytes = ReadFile(entry.path().string());
        log.append(bytes.begin(), bytes.end());
    }
    EXPECT_NE(std::string::npos, log.find("(ERROR)quorixsdk:<player CPlayer::StopLocalRecord"))
        << log;
    EXPECT_NE(std::string::npos, log.find("1 records lost")) << log;

    // Both recordings play what they hold.
    ASSERT_EQ(QUORIX_OK, QUORIX_CloseStream(port));
    for (const auto& [name, frames] : {std::pair{path, 8u}, std::pair{lossy, 1u}}) {
        ASSERT_EQ(QUORIX_OK, QUORIX_OpenFile(port, name.c_str()));
        EXPECT_EQ(frames, QUORIX_GetFileTotleFrames(port)) << name;
        EXPECT_EQ(QUORIX_OK, QUORIX_CloseFile(port));
    }
    EXPECT_EQ(QUORIX_OK, QUORIX_FreePort(port));
}

// Recording onto the file the port plays would truncate its own source: refused by whatever
// name reaches that file, as clip export refuses it.
TEST_F(PortData, RecordingNeverOverwritesTheFileThePortPlays) {
    const playertest::Clip clip = playertest::EncodeClip("libx264", 160, 120, 8, 8);
    ASSERT_FALSE(clip.packets.empty()) << "libx264 missing";
    const std::string source = m_dir.Path("source.zbm");
    const std::vector<uint8_t> bytes = playertest::ClipFile(clip, 40, 1);
    {
        std::ofstream out(source, std::ios::binary);
        out.write(reinterpret_cast<const char*>(bytes.data()),
                  static_cast<std::streamsize>(bytes.size()));
    }
    const std::string hardLink = m_dir.Path("hard.zbm");
    const std::string softLink = m_dir.Path("soft.zbm");
    ASSERT_EQ(0, link(source.c_str(), hardLink.c_str()));
    ASSERT_EQ(0, symlink(source.c_str(), softLink.c_str()));
    uint16_t port = 0;
    ASSERT_EQ(QUORIX_OK, QUORIX_GetPort(&port));
    ASSERT_EQ(QUORIX_OK, QUORIX_OpenFile(port, source.c_str()));
    for (const std::string& name : {source, hardLink, softLink, m_dir.Path("./source.zbm")}) {
        EXPECT_EQ(QUORIX_E_OPEN_FILE, QUORIX_StartLocalRecord(port, name.c_str())) << name;
        EXPECT_EQ(bytes, ReadFile(source)) << name;
    }
    // Another file is recorded as ever.
    const std::string other = m_dir.Path("other.zbm");
    EXPECT_EQ(QUORIX_OK, QUORIX_StartLocalRecord(port, other.c_str()));
    EXPECT_EQ(QUORIX_OK, QUORIX_StopLocalRecord(port));
    EXPECT_TRUE(FileExists(other));
    EXPECT_EQ(8u, QUORIX_GetFileTotleFrames(port));
    EXPECT_EQ(QUORIX_OK, QUORIX_CloseFile(port));
    EXPECT_EQ(QUORIX_OK, QUORIX_FreePort(port));
}

// A recording still being written has no index yet, and its header holds the stamps of its
// first video record only: its figures come from the records it holds so far.
TEST_F(PortData, FileInfoOfARecordingStillBeingWrittenSpansItsRecords) {
    ASSERT_FALSE(Records().empty()) << "libx264 missing";
    uint16_t port = 0;
    ASSERT_EQ(QUORIX_OK, QUORIX_GetPort(&port));
    const std::string path = m_dir.Path("running.zbm");
    ASSERT_EQ(QUORIX_OK, QUORIX_StartLocalRecord(port, path.c_str()));
    ASSERT_EQ(QUORIX_OK, QUORIX_OpenStream(port, 1, nullptr, 0, nullptr, 0));
    for (const auto& r : Records()) {
        ASSERT_EQ(QUORIX_OK,
                  QUORIX_InputStreamData(port, r.data(), static_cast<uint32_t>(r.size())));
    }
    // Stamps 1000 ms to 1000 + 7 * 40 ms.
    const double spanMs = 7 * 40;
    double begin = 0.0, end = 0.0;
    ASSERT_EQ(QUORIX_OK, QUORIX_GetFileInfo(path.c_str(), &begin, &end));
    EXPECT_NEAR(spanMs, (end - begin) * 86400000.0, 0.01);
    const double runningBegin = begin;
    ASSERT_EQ(QUORIX_OK, QUORIX_StopLocalRecord(port));
    ASSERT_EQ(QUORIX_OK, QUORIX_GetFileInfo(path.c_str(), &begin, &end));
    EXPECT_EQ(runningBegin, begin);
    EXPECT_NEAR(spanMs, (end - begin) * 86400000.0, 0.01);

    // A start date-time that is not a date is no recording of this library.
    std::vector<uint8_t> bytes = ReadFile(path);
    const double starts[] = {std::nan(""), std::numeric_limits<double>::infinity(), 1e300};
    for (const double start : starts) {
        std::memcpy(bytes.data() + 24, &start, sizeof start);
        const std::string bad = m_dir.Path("bad-start.zbm");
        std::ofstream(bad, std::ios::binary)
            .write(reinterpret_cast<const char*>(bytes.data()),
                   static_cast<std::streamsize>(bytes.size()));
        begin = -1.0;
        EXPECT_EQ(QUORIX_E_FILE_FORMAT, QUORIX_GetFileInfo(bad.c_str(), &begin, &end)) << start;
        EXPECT_EQ(-1.0, begin);
    }
    EXPECT_EQ(QUORIX_OK, QUORIX_FreePort(port));
}

// A finished recording: the index written at the end and the header pointing at it.
void ExpectFinished(const std::string& path, uint32_t frames) {
    const std::vector<uint8_t> file = ReadFile(path);
    ASSERT_GE(file.size(), 64u) << path;
    EXPECT_EQ(frames, Le32(file, 52)) << path;
    const uint32_t keys = Le32(file, 56);
    EXPECT_GE(keys, 1u) << path;
    EXPECT_EQ(file.size() - 12u * keys, Le32(file, 36)) << path;
}

// The recording ends with its owner: a free finishes the file, and the next owner of the same
// port number records into a file of its own.
TEST_F(PortData, FreeFinishesTheRecordingOfThePort) {
    ASSERT_FALSE(Records().empty()) << "libx264 missing";
    const std::string first = m_dir.Path("first.zbm");
    const std::string second = m_dir.Path("second.zbm");
    uint16_t port = 0;
    ASSERT_EQ(QUORIX_OK, QUORIX_GetPort(&port));
    ASSERT_EQ(QUORIX_OK, QUORIX_StartLocalRecord(port, first.c_str()));
    ASSERT_EQ(QUORIX_OK, QUORIX_OpenStream(port, 1, nullptr, 0, nullptr, 0));
    for (size_t i = 0; i < 5; ++i) {
        const auto& r = Records()[i];
        ASSERT_EQ(QUORIX_OK,
                  QUORIX_InputStreamData(port, r.data(), static_cast<uint32_t>(r.size())));
    }
    ASSERT_EQ(QUORIX_OK, QUORIX_FreePort(port));
    ExpectFinished(first, 5);
    const std::vector<uint8_t> firstBytes = ReadFile(first);

    uint16_t next = 0xFFFF;
    ASSERT_EQ(QUORIX_OK, QUORIX_GetPort(&next));
    ASSERT_EQ(port, next);
    ASSERT_EQ(QUORIX_OK, QUORIX_StartLocalRecord(next, second.c_str()));
    ASSERT_EQ(QUORIX_OK, QUORIX_OpenStream(next, 1, nullptr, 0, nullptr, 0));
    for (const auto& r : Records()) {
        ASSERT_EQ(QUORIX_OK,
                  QUORIX_InputStreamData(next, r.data(), static_cast<uint32_t>(r.size())));
    }
    EXPECT_EQ(QUORIX_OK, QUORIX_StopLocalRecord(next));
    EXPECT_EQ(firstBytes, ReadFile(first));
    ExpectFinished(second, static_cast<uint32_t>(Records().size()));

    // Both play.
    ASSERT_EQ(QUORIX_OK, QUORIX_CloseStream(next));
    for (const auto& [path, frames] : {std::pair{first, 5u}, std::pair{second, 8u}}) {
        ASSERT_EQ(QUORIX_OK, QUORIX_OpenFile(next, path.c_str()));
        EXPECT_EQ(frames, QUORIX_GetFileTotleFrames(next)) << path;
        EXPECT_EQ(QUORIX_OK, QUORIX_CloseFile(next));
    }
    EXPECT_EQ(QUORIX_OK, QUORIX_FreePort(next));
}

// The last release leaves the host no way to stop a recording: it finishes every one, and the
// port records again after the next initialisation.
TEST_F(PortData, LastReleaseFinishesRecordingsOfPortsStillOpen) {
    ASSERT_FALSE(Records().empty()) << "libx264 missing";
    const std::string path = m_dir.Path("released.zbm");
    uint16_t port = 0;
    ASSERT_EQ(QUORIX_OK, QUORIX_GetPort(&port));
    ASSERT_EQ(QUORIX_OK, QUORIX_StartLocalRecord(port, path.c_str()));
    ASSERT_EQ(QUORIX_OK, QUORIX_OpenStream(port, 1, nullptr, 0, nullptr, 0));
    for (const auto& r : Records()) {
        ASSERT_EQ(QUORIX_OK,
                  QUORIX_InputStreamData(port, r.data(), static_cast<uint32_t>(r.size())));
    }
    ASSERT_EQ(QUORIX_OK, QUORIX_ReleaseSDK());  // the fixture's initialisation
    ExpectFinished(path, static_cast<uint32_t>(Records().size()));
    ASSERT_EQ(QUORIX_OK, QUORIX_InitSDK());  // the fixture's release balances it

    const std::string again = m_dir.Path("again.zbm");
    EXPECT_EQ(QUORIX_OK, QUORIX_StartLocalRecord(port, again.c_str()));
    EXPECT_EQ(QUORIX_OK, QUORIX_StopLocalRecord(port));
    EXPECT_EQ(QUORIX_OK, QUORIX_FreePort(port));
}

TEST_F(PortData, ClipOfAnOpenFileIsAReadableFile) {
    const playertest::Clip clip = playertest::EncodeClip("libx264", 160, 120, 24, 8);
    ASSERT_FALSE(clip.packets.empty()) << "libx264 missing";
    const std::string source = m_dir.Path("source.zbm");
    const std::string output = m_dir.Path("clip.zbm");
    {
        const std::vector<uint8_t> bytes = playertest::ClipFile(clip, 40, 1);
        std::ofstream out(source, std::ios::binary);
        out.write(reinterpret_cast<const char*>(bytes.data()),
                  static_cast<std::streamsize>(bytes.size()));
    }
    uint16_t port = 0, reader = 0;
    ASSERT_EQ(QUORIX_OK, QUORIX_GetPort(&port));
    ASSERT_EQ(QUORIX_OK, QUORIX_GetPort(&reader));
    EXPECT_EQ(QUORIX_E_STATE, QUORIX_FilmEditing(port, output.c_str(), 0, 400, 1, 0));
    ASSERT_EQ(QUORIX_OK, QUORIX_OpenStream(port, 1, nullptr, 0, nullptr, 0));
    EXPECT_EQ(QUORIX_E_STATE, QUORIX_FilmEditing(port, output.c_str(), 0, 400, 1, 0));
    ASSERT_EQ(QUORIX_OK, QUORIX_CloseStream(port));

    ASSERT_EQ(QUORIX_OK, QUORIX_OpenFile(port, source.c_str()));
    EXPECT_EQ(QUORIX_E_FAIL, QUORIX_FilmEditing(port, source.c_str(), 0, 400, 1, 0));
    EXPECT_EQ(QUORIX_E_FAIL,
              QUORIX_FilmEditing(port, m_dir.Path("no/such.zbm").c_str(), 0, 400, 1, 0));
    EXPECT_EQ(QUORIX_OK, QUORIX_FilmEditing(port, output.c_str(), 0, 400, 1, 0));

    ASSERT_EQ(QUORIX_OK, QUORIX_OpenFile(reader, output.c_str()));
    const uint32_t frames = QUORIX_GetFileTotleFrames(reader);
    EXPECT_GE(frames, 8u);
    EXPECT_LE(frames, 24u);
    EXPECT_EQ(QUORIX_OK, QUORIX_CloseFile(reader));
    EXPECT_EQ(QUORIX_OK, QUORIX_CloseFile(port));
    QUORIX_FreePort(reader);
    QUORIX_FreePort(port);
}

// Recording and clip export onto a pipe are refused at once instead of waiting for a reader.
TEST_F(PortData, RecordingAndClipsOntoAPipeAreRefused) {
    const playertest::Clip clip = playertest::EncodeClip("libx264", 160, 120, 8, 8);
    ASSERT_FALSE(clip.packets.empty()) << "libx264 missing";
    const std::string source = m_dir.Path("source.zbm");
    {
        const std::vector<uint8_t> bytes = playertest::ClipFile(clip, 40, 1);
        std::ofstream out(source, std::ios::binary);
        out.write(reinterpret_cast<const char*>(bytes.data()),
                  static_cast<std::streamsize>(bytes.size()));
    }
    const std::string fifo = m_dir.Path("pipe");
    ASSERT_TRUE(fifotest::MakeFifo(fifo));
    uint16_t port = 0;
    ASSERT_EQ(QUORIX_OK, QUORIX_GetPort(&port));
    const fifotest::Outcome recorded =
        fifotest::CallOnFifo(fifo, [&] { return QUORIX_StartLocalRecord(port, fifo.c_str()); });
    EXPECT_TRUE(recorded.returned) << "blocked on a pipe";
    EXPECT_EQ(QUORIX_E_OPEN_FILE, recorded.result);
    QUORIX_StopLocalRecord(port);
    ASSERT_EQ(QUORIX_OK, QUORIX_OpenFile(port, source.c_str()));
    const fifotest::Outcome clipped = fifotest::CallOnFifo(
        fifo, [&] { return QUORIX_FilmEditing(port, fifo.c_str(), 0, 200, 1, 0); });
    EXPECT_TRUE(clipped.returned) << "blocked on a pipe";
    EXPECT_EQ(QUORIX_E_FAIL, clipped.result);
    EXPECT_TRUE(fifotest::IsFifo(fifo));
    EXPECT_EQ(QUORIX_OK, QUORIX_CloseFile(port));
    EXPECT_EQ(QUORIX_OK, QUORIX_FreePort(port));
}

// Sub-frames the attach callback saw, copied out.
struct Attached {
    std::mutex lock;
    std::vector<std::pair<uint16_t, std::vector<uint8_t>>> subFrames;
    uint16_t port = 0xFFFF;
    static void Callback(uint16_t port, uint16_t streamId, const uint8_t* record, uint32_t length,
                         void* user) {
        auto* self = static_cast<Attached*>(user);
        std::lock_guard<std::mutex> guard(self->lock);
        self->port = port;
        self->subFrames.emplace_back(streamId, std::vector<uint8_t>(record, record + length));
    }
};

TEST_F(PortData, CompositePacketsGoToTheAttachedPort) {
    ASSERT_FALSE(Records().empty()) << "libx264 missing";
    uint16_t first = 0, second = 0;
    ASSERT_EQ(QUORIX_OK, QUORIX_GetPort(&first));
    ASSERT_EQ(QUORIX_OK, QUORIX_GetPort(&second));
    ASSERT_EQ(QUORIX_OK, QUORIX_OpenStream(first, 1, nullptr, 0, nullptr, 0));
    ASSERT_EQ(QUORIX_OK, QUORIX_OpenStream(second, 1, nullptr, 0, nullptr, 0));

    // A packet of two plain sub-frames (streams 1 and 2) and one that is itself composite.
    auto sub = [](uint8_t type, uint8_t streamId, uint32_t stamp,
                  const std::vector<uint8_t>& payload) {
        std::vector<uint8_t> r = Record(type, stamp, stamp, 1, 160, 120, payload, true);
        r[3] = streamId;
        return r;
    };
    const auto plain1 = sub(BRIXEL::HMF_KIND_KEY, 1, 5000,
                            std::vector<uint8_t>(Records()[0].begin() + 28, Records()[0].end()));
    const auto plain2 = sub(BRIXEL::HMF_KIND_DELTA, 2, 5040,
                            std::vector<uint8_t>(Records()[1].begin() + 28, Records()[1].end()));
    const auto nested =
        sub(BRIXEL::HMF_KIND_KEY | BRIXEL::kHMFCompositeBit, 3, 5080, std::vector<uint8_t>{});
    std::vector<uint8_t> payload;
    for (const auto* s : {&plain1, &plain2, &nested})
        payload.insert(payload.end(), s->begin(), s->end());
    const std::vector<uint8_t> packet =
        Record(BRIXEL::HMF_KIND_KEY | BRIXEL::kHMFCompositeBit, 1, 7000, 1, 160, 120, payload);

    Attached seen;
    ASSERT_EQ(QUORIX_OK, QUORIX_SetAttachPlayer(first, second));
    ASSERT_EQ(QUORIX_OK, QUORIX_SetAttachCallback(first, &Attached::Callback, &seen));
    ASSERT_EQ(QUORIX_OK,
              QUORIX_InputStreamData(first, packet.data(), static_cast<uint32_t>(packet.size())));
    {
        std::lock_guard<std::mutex> guard(seen.lock);
        EXPECT_EQ(first, seen.port);
        ASSERT_EQ(2u, seen.subFrames.size());
        EXPECT_EQ(1u, seen.subFrames[0].first);
        EXPECT_EQ(plain1, seen.subFrames[0].second);
        EXPECT_EQ(2u, seen.subFrames[1].first);
        EXPECT_EQ(plain2, seen.subFrames[1].second);
    }
    // The second port took both plain sub-frames as its own input.
    EXPECT_EQ(5040u, QUORIX_GetCurrentVideoFrameStamp(second));
    EXPECT_EQ(7000u, QUORIX_GetCurrentVideoFrameStamp(first));

    // Detached (a number out of range): only the callback sees the sub-frames.
    ASSERT_EQ(QUORIX_OK, QUORIX_SetAttachPlayer(first, 128));
    ASSERT_EQ(QUORIX_OK,
              QUORIX_InputStreamData(first, packet.data(), static_cast<uint32_t>(packet.size())));
    EXPECT_EQ(5040u, QUORIX_GetCurrentVideoFrameStamp(second));
    {
        std::lock_guard<std::mutex> guard(seen.lock);
        EXPECT_EQ(4u, seen.subFrames.size());
    }
    ASSERT_EQ(QUORIX_OK, QUORIX_SetAttachCallback(first, nullptr, nullptr));
    ASSERT_EQ(QUORIX_OK, QUORIX_SetAttachPlayer(first, first));  // a port may name itself
    // Its sub-frames come back as its own plain input, ahead of the packet's own stamp.
    ASSERT_EQ(QUORIX_OK,
              QUORIX_InputStreamData(first, packet.data(), static_cast<uint32_t>(packet.size())));
    EXPECT_EQ(7000u, QUORIX_GetCurrentVideoFrameStamp(first));

    // The frame figures are the last accepted video record's, and nothing once the stream is shut.
    EXPECT_EQ(1700000007u, QUORIX_GetCurrentVideoFrameClock(first));
    ASSERT_EQ(QUORIX_OK, QUORIX_CloseStream(first));
    EXPECT_EQ(0u, QUORIX_GetCurrentVideoFrameStamp(first));
    EXPECT_EQ(0u, QUORIX_GetCurrentVideoFrameClock(first));
    EXPECT_EQ(0u, QUORIX_GetCurrentVideoFrameStamp(200));

    EXPECT_EQ(QUORIX_E_PARAM, QUORIX_SetAttachPlayer(200, second));
    EXPECT_EQ(QUORIX_OK, QUORIX_FreePort(first));
    EXPECT_EQ(QUORIX_OK, QUORIX_FreePort(second));
}

}  // namespace
