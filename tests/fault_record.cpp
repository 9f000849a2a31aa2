// A recording process killed at random moments, many times over (the long variant of the
// writer's kill test, run when QUORIX_STRESS_CYCLES is set): every record the writer accepted
// is in the file whole and in order, and the reader opens what is left.

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <random>

#include "media/kzreader.h"
#include "media/kzwriter.h"
#include "support/container_builder.h"
#include "support/writer_support.h"

using namespace quorixtest;

namespace {

// Kills to run: 0 (skipped) unless QUORIX_STRESS_CYCLES is set, then at least 200.
int Kills() {
    const char* text = std::getenv("QUORIX_STRESS_CYCLES");
    if (text == nullptr || *text == '\0')
        return 0;
    return std::max(200, static_cast<int>(std::strtol(text, nullptr, 10)));
}

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

TEST(FaultRecord, ManyKillsDuringRecordingKeepEveryAcceptedRecord) {
    const int kills = Kills();
    if (kills == 0)
        GTEST_SKIP() << "long run: set QUORIX_STRESS_CYCLES (200 kills by default then)";
    TempDir dir;
    StreamSpec desc;
    desc.groups = 4;
    desc.groupLength = 10;
    desc.withAudio = true;
    desc.payloadLength = 30000;
    const std::vector<Bytes> records = MakeStream(desc);
    const uint32_t count = static_cast<uint32_t>(records.size());
    const Bytes info(100, 0x44), params(40, 0x55);
    std::mt19937 rng(20261207);
    for (int run = 0; run < kills; ++run) {
        const uint32_t killAfter = std::uniform_int_distribution<uint32_t>(1, count + 1)(rng);
        SCOPED_TRACE(testing::Message() << "run " << run << ", kill after " << killAfter);
        const std::string path = dir.Path("killed.hmf");
        ::unlink(path.c_str());
        int acks[2];
        ASSERT_EQ(0, ::pipe(acks));
        const pid_t pid = ::fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            ::close(acks[0]);
            BRIXEL::CKZWriter w;
            w.SetFormatTag(2);
            uint32_t step = 1;
            if (w.Create(path.c_str(), info.data(), 100, params.data(), 40) != QUORIX_OK)
                ::_exit(3);
            if (::write(acks[1], &step, 4) != 4)
                ::_exit(4);
            for (const Bytes& r : records) {
                if (w.WriteFrame(r.data(), static_cast<uint32_t>(r.size())) != QUORIX_OK)
                    ::_exit(5);
                ++step;
                if (::write(acks[1], &step, 4) != 4)
                    ::_exit(6);
            }
            // Waits for the kill.
            for (;;)
                ::pause();
        }
        ::close(acks[1]);
        uint32_t acked = 0, value = 0;
        while (acked < killAfter && ReadAck(acks[0], &value))
            acked = value;
        const uint32_t spin = std::uniform_int_distribution<uint32_t>(0, 200000)(rng);
        std::atomic<uint32_t> sink{0};
        for (uint32_t i = 0; i < spin; ++i)
            sink.store(i, std::memory_order_relaxed);
        ::kill(pid, SIGKILL);
        int status = 0;
        while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
        }
        while (ReadAck(acks[0], &value))
            acked = value;
        ::close(acks[0]);
        ASSERT_TRUE(WIFSIGNALED(status)) << "child ended with " << status;
        ASSERT_GE(acked, 1u);

        const Bytes file = ReadWholeFile(path);
        const BRIXEL::HMFFileHeader h = HeaderOf(file);
        ASSERT_TRUE(h.HasMagic());
        const size_t accepted = acked - 1;
        const std::vector<Bytes> got = SplitRecords(file, h.dataOffset, file.size());
        ASSERT_GE(got.size(), accepted);
        ASSERT_LE(got.size(), std::min<size_t>(accepted + 1, count));
        for (size_t i = 0; i < got.size(); ++i)
            ASSERT_EQ(records[i], got[i]) << "record " << i;
        BRIXEL::CKZReader reader;
        EXPECT_EQ(QUORIX_OK, reader.Open(path.c_str()));
        reader.Close();
    }
}

}  // namespace
