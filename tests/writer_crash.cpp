// What a recording survives: the recording process killed at any moment, and a disk that
// fills up (a file size limit in a forked child). Children report through pipes and their exit
// status; they never return into the test framework.

#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <random>
#include <sstream>

#include "base/hfile.h"
#include "base/hlog.h"
#include "media/hmfreader.h"
#include "media/kzwriter.h"
#include "reader_support.h"
#include "support/writer_support.h"

using namespace BRIXEL;
using namespace quorixtest;

namespace {

bool WriteAllFd(int fd, const void* data, size_t n) {
    const uint8_t* p = static_cast<const uint8_t*>(data);
    while (n > 0) {
        const ssize_t w = ::write(fd, p, n);
        if (w < 0 && errno == EINTR)
            continue;
        if (w <= 0)
            return false;
        p += w;
        n -= static_cast<size_t>(w);
    }
    return true;
}

// Reads one 4-byte acknowledgement; false at the end of the pipe.
bool ReadAck(int fd, uint32_t* value) {
    uint8_t* p = reinterpret_cast<uint8_t*>(value);
    size_t got = 0;
    while (got < sizeof *value) {
        const ssize_t r = ::read(fd, p + got, sizeof *value - got);
        if (r < 0 && errno == EINTR)
            continue;
        if (r <= 0)
            return false;
        got += static_cast<size_t>(r);
    }
    return true;
}

int WaitChild(pid_t pid) {
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return status;
}

// Plays a file through the reader and returns the sequence numbers of its video records.
std::vector<uint32_t> PlayedSequences(const std::string& path) {
    // The callback outlives the reader thread that calls it.
    RecordingCallback cb;
    TestReader reader;
    reader.SetCallback(&cb);
    if (reader.Open(path.c_str()) != QUORIX_OK || reader.Play() != QUORIX_OK || !cb.WaitFileEnds(1))
        return {0xDEAD};
    reader.SetCallback(nullptr);
    return cb.Sequences();
}

std::vector<uint32_t> VideoSequences(const std::vector<Bytes>& records) {
    std::vector<uint32_t> out;
    for (const Bytes& r : records) {
        const HMFFrameHeader h = FrameHeaderOf(r);
        if (h.IsVideo())
            out.push_back(h.sequence);
    }
    return out;
}

}  // namespace

// The child records a stream and acknowledges every step after the call returns: 1 when the
// file is created, 2 + i after record i, records + 2 when closed. The parent kills it after a
// random number of acknowledgements; every acknowledged record must be in the file, whole and
// unchanged, and at most one more (the one being written) may follow.
TEST(WriterCrash, KilledRecordingKeepsEveryAcceptedRecord) {
    TempDir dir;
    StreamSpec desc;
    desc.groups = 6;
    desc.groupLength = 12;
    desc.withAudio = true;
    desc.payloadLength = 20000;
    std::vector<Bytes> records = MakeStream(desc);
    // A few large records, so that a kill can land inside a write.
    for (size_t i = 5; i < records.size(); i += 17) {
        const HMFFrameHeader h = FrameHeaderOf(records[i]);
        records[i] = MakeRecord(h.type, h.timestamp, h.sequence, h.clock, 400000);
    }
    const uint32_t count = static_cast<uint32_t>(records.size());
    const Bytes info(100, 0x44), params(40, 0x55);

    std::mt19937 rng(20261207);
    constexpr int kRuns = 30;
    for (int run = 0; run < kRuns; ++run) {
        const uint32_t killAfter = std::uniform_int_distribution<uint32_t>(1, count + 2)(rng);
        SCOPED_TRACE(testing::Message()
                     << "run " << run << ", kill after " << killAfter << " acknowledgements");
        const std::string path = dir.Path("killed.hmf");
        ::unlink(path.c_str());
        int acks[2], hold[2];
        ASSERT_EQ(0, ::pipe(acks));
        ASSERT_EQ(0, ::pipe(hold));
        const pid_t pid = ::fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            ::close(acks[0]);
            ::close(hold[1]);
            CKZWriter w;
            w.SetFormatTag(2);
            uint32_t step = 1;
            if (w.Create(path.c_str(), info.data(), 100, params.data(), 40) != QUORIX_OK)
                ::_exit(3);
            WriteAllFd(acks[1], &step, 4);
            for (const Bytes& r : records) {
                if (w.WriteFrame(r.data(), static_cast<uint32_t>(r.size())) != QUORIX_OK)
                    ::_exit(4);
                ++step;
                WriteAllFd(acks[1], &step, 4);
            }
            if (w.Close() != QUORIX_OK)
                ::_exit(5);
            ++step;
            WriteAllFd(acks[1], &step, 4);
            // Waits for the kill: the parent never writes here.
            char c;
            while (::read(hold[0], &c, 1) < 0 && errno == EINTR) {
            }
            ::_exit(6);
        }
        ::close(acks[1]);
        ::close(hold[0]);
        uint32_t acked = 0, value = 0;
        while (acked < killAfter && ReadAck(acks[0], &value))
            acked = value;
        // A random spin moves the kill off the acknowledgement and into the child's writes.
        const uint32_t spin = std::uniform_int_distribution<uint32_t>(0, 400000)(rng);
        std::atomic<uint32_t> sink{0};
        for (uint32_t i = 0; i < spin; ++i)
            sink.store(i, std::memory_order_relaxed);
        ::kill(pid, SIGKILL);
        const int status = WaitChild(pid);
        // Acknowledgements already in the pipe were sent before the kill.
        while (ReadAck(acks[0], &value))
            acked = value;
        ::close(acks[0]);
        ::close(hold[1]);
        ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL)
            << "child ended with " << status;
        ASSERT_GE(acked, 1u);

        const Bytes file = ReadWholeFile(path);
        const HMFFileHeader h = HeaderOf(file);
        ASSERT_TRUE(h.HasMagic());
        ASSERT_EQ(228u, h.dataOffset);
        EXPECT_EQ(info, Bytes(file.begin() + 76, file.begin() + 176));
        const bool closed = acked == count + 2;
        const size_t accepted = std::min<size_t>(acked - 1, count);
        const std::vector<Bytes> got =
            SplitRecords(file, 228, h.indexOffset != 0 ? h.indexOffset : file.size());
        ASSERT_GE(got.size(), accepted);
        ASSERT_LE(got.size(), std::min<size_t>(accepted + 1, count));
        for (size_t i = 0; i < got.size(); ++i)
            ASSERT_EQ(records[i], got[i]) << "record " << i;
        if (closed) {
            EXPECT_EQ(file.size() - 12 * IndexOf(file).size(), h.indexOffset);
            EXPECT_EQ(6u, h.indexCount);
        }
        // The reader opens whatever is left and plays every whole record of it.
        EXPECT_EQ(VideoSequences(got), PlayedSequences(path));
        // Its figures span the video records it holds, finished or not.
        std::vector<uint32_t> stamps;
        for (const Bytes& r : got) {
            if (FrameHeaderOf(r).IsVideo())
                stamps.push_back(FrameHeaderOf(r).timestamp);
        }
        CHFile left;
        ASSERT_TRUE(left.Open(path.c_str(), "rb"));
        double begin = 0.0, end = 0.0;
        ASSERT_EQ(QUORIX_OK, CHMFReader::ReadFileTimes(left, &begin, &end));
        const double spanMs =
            stamps.empty() ? 0.0 : static_cast<double>(stamps.back() - stamps.front());
        EXPECT_NEAR(spanMs, (end - begin) * 86400000.0, 0.01);
    }
}

// A file size limit stands in for a full disk: records that do not fit fail, nothing of them
// stays, the writer stays open and takes records again once they fit, and a run of failures
// is logged once.
TEST(WriterCrash, FullDiskFailsRecordsButKeepsTheFileReadable) {
    TempDir dir;
    StreamSpec desc;
    desc.groups = 4;
    desc.groupLength = 10;
    desc.payloadLength = 3000;
    const std::vector<Bytes> records = MakeStream(desc);
    const Bytes small = MakeRecord(HMF_KIND_AUDIO, 5555, 0, 1700000000u, 100);
    constexpr size_t kFit = 25;
    const uint64_t limit = 64 + Concat({records.begin(), records.begin() + kFit}).size() + 1000;
    const std::string path = dir.Path("full.hmf");
    const std::string clipPath = dir.Path("clip.hmf");
    const std::string logPath = dir.Path("log.txt");

    const pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        ::signal(SIGXFSZ, SIG_IGN);
        const int logFd = ::open(logPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        CHLog::Instance().SetDebugFd(logFd);
        CHLog::Instance().SetLevel(HLOG_DEBUG, 0);
        CHLog::Instance().SetOutput(HLOG_OUT_DEBUGGER);
        struct rlimit tiny;
        if (::getrlimit(RLIMIT_FSIZE, &tiny) != 0)
            ::_exit(2);
        tiny.rlim_cur = 100;  // the hard limit stays, so the soft one can be raised again
        if (::setrlimit(RLIMIT_FSIZE, &tiny) != 0)
            ::_exit(2);
        {
            // Not even the header and blocks fit: the file is not begun.
            CKZWriter w;
            const Bytes block(200, 1);
            if (w.Create(dir.Path("tiny.hmf").c_str(), block.data(), 200, nullptr, 0) !=
                QUORIX_E_WRITE_FILE)
                ::_exit(3);
            if (w.IsOpen())
                ::_exit(4);
        }
        struct rlimit lim = {limit, tiny.rlim_max};
        if (::setrlimit(RLIMIT_FSIZE, &lim) != 0)
            ::_exit(5);
        CKZWriter w;
        if (w.Create(path.c_str(), nullptr, 0, nullptr, 0) != QUORIX_OK)
            ::_exit(6);
        auto put = [&w](const Bytes& r) {
            return w.WriteFrame(r.data(), static_cast<uint32_t>(r.size()));
        };
        for (size_t i = 0; i < kFit; ++i) {
            if (put(records[i]) != QUORIX_OK)
                ::_exit(7);
        }
        for (size_t i = kFit; i < kFit + 3; ++i) {
            if (put(records[i]) != QUORIX_E_WRITE_FILE)
                ::_exit(8);
        }
        if (!w.IsOpen())
            ::_exit(9);
        if (put(small) != QUORIX_OK)
            ::_exit(10);  // fits again: the run of failures ends
        if (put(records[kFit + 3]) != QUORIX_E_WRITE_FILE)
            ::_exit(11);
        if (put(records[kFit + 4]) != QUORIX_E_WRITE_FILE)
            ::_exit(12);
        if (w.GetFailedWrites() != 5)
            ::_exit(13);
        w.Close();
        ::_exit(0);
    }
    const int status = WaitChild(pid);
    ASSERT_TRUE(WIFEXITED(status));
    ASSERT_EQ(0, WEXITSTATUS(status)) << "the child's check that failed";

    const Bytes file = ReadWholeFile(path);
    ASSERT_LE(file.size(), limit);
    const HMFFileHeader h = HeaderOf(file);
    std::vector<Bytes> expected(records.begin(), records.begin() + kFit);
    expected.push_back(small);
    EXPECT_TRUE(expected ==
                SplitRecords(file, 64, h.indexOffset != 0 ? h.indexOffset : file.size()));
    EXPECT_EQ(VideoSequences(expected), PlayedSequences(path));

    // Two runs of failures, two error lines.
    const Bytes log = ReadWholeFile(logPath);
    std::istringstream lines(std::string(log.begin(), log.end()));
    int errors = 0, recoveries = 0;
    for (std::string line; std::getline(lines, line);) {
        if (line.find("CHMFWriter::WriteFrame") == std::string::npos)
            continue;
        if (line.find("ERROR") != std::string::npos)
            ++errors;
        if (line.find("succeeds again after 3 failed") != std::string::npos)
            ++recoveries;
    }
    EXPECT_EQ(2, errors) << std::string(log.begin(), log.end());
    EXPECT_EQ(1, recoveries);
}

// A clip that runs into a full disk says so, and what was written of it stays readable.
TEST(WriterCrash, ClipOnAFullDiskReportsTheWriteFailure) {
    TempDir dir;
    ContainerBuilder b;
    b.AddGroups(10, 10, 40, 0, 0, 2000);
    const Bytes source = b.Build();
    ASSERT_TRUE(WriteFile(dir.Path("src.hmf"), source));
    const std::string clipPath = dir.Path("clip.hmf");
    const uint64_t limit = 64 + 35 * (28 + 2000) + 100;

    const pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        ::signal(SIGXFSZ, SIG_IGN);
        CKZReader reader;
        if (reader.Open(dir.Path("src.hmf").c_str()) != QUORIX_OK)
            ::_exit(2);
        struct rlimit lim = {limit, limit};
        if (::setrlimit(RLIMIT_FSIZE, &lim) != 0)
            ::_exit(3);
        const uint32_t r = reader.FilmEditing(clipPath.c_str(), 0, 100000, true, false);
        ::_exit(r == QUORIX_E_WRITE_FILE ? 0 : 4);
    }
    const int status = WaitChild(pid);
    ASSERT_TRUE(WIFEXITED(status));
    ASSERT_EQ(0, WEXITSTATUS(status));
    const Bytes clip = ReadWholeFile(clipPath);
    const HMFFileHeader h = HeaderOf(clip);
    const std::vector<Bytes> got =
        SplitRecords(clip, 64, h.indexOffset != 0 ? h.indexOffset : clip.size());
    ASSERT_GE(got.size(), 34u);
    EXPECT_TRUE(SplitRecords(source, 64, 64 + got.size() * 2028) == got);
    EXPECT_EQ(VideoSequences(got), PlayedSequences(clipPath));
}
