// The sound device going away under the wave output: its file-backed PCM's directory removed
// (the next open fails) and a disk that fills up under it (a file size limit in a child). The
// output answers its codes, drains and closes without hanging, and plays again once the
// device is back.

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <future>
#include <thread>
#include <vector>

#include "audio_support.h"
#include "media/waveout.h"
#include "support/container_builder.h"

namespace fs = std::filesystem;
using BRIXEL::CWaveOut;

namespace {

std::vector<uint8_t> Tone(size_t bytes) {
    std::vector<uint8_t> b(bytes);
    for (size_t i = 0; i < bytes; ++i)
        b[i] = static_cast<uint8_t>((i * 37) & 0xFF);
    return b;
}

bool AnyOf(int32_t code, std::initializer_list<int32_t> codes) {
    for (int32_t c : codes) {
        if (c == code)
            return true;
    }
    return false;
}

TEST(FaultAudio, DeviceDirectoryRemovedThenRestored) {
    quorixtest::TempDir temp;
    const std::string dir = temp.Path("card");
    const std::string wav = dir + "/out.wav";
    fs::create_directories(dir);
    audio_test::UseDevice("quorix_wav:FILE=" + wav);
    const std::vector<uint8_t> block = Tone(3200);

    CWaveOut wave;
    ASSERT_EQ(0, wave.Open());
    ASSERT_EQ(0, wave.SetFormat(1, 16, 8000));
    for (int i = 0; i < 4; ++i)
        EXPECT_EQ(0, wave.Write(block.data(), 3200));
    EXPECT_TRUE(wave.Drain(audio_test::kDrainMs));

    // The device goes away: a new format needs a new open, which cannot create its file.
    fs::remove_all(dir);
    const int32_t reopened = wave.SetFormat(2, 16, 8000);
    EXPECT_TRUE(AnyOf(reopened, {0, CWaveOut::kNoDevice})) << reopened;
    for (int i = 0; i < 12; ++i) {
        const int32_t written = wave.Write(block.data(), 3200);
        EXPECT_TRUE(AnyOf(written, {0, CWaveOut::kNoDevice, CWaveOut::kBlockDropped})) << written;
    }
    wave.Drain(audio_test::kDrainMs);  // returns, whatever it managed
    EXPECT_EQ(0, wave.Reset());
    EXPECT_EQ(0, wave.Close());
    EXPECT_FALSE(fs::exists(wav));

    // Back again: an open plays into it.
    fs::create_directories(dir);
    ASSERT_EQ(0, wave.Open());
    ASSERT_EQ(0, wave.SetFormat(1, 16, 8000));
    for (int i = 0; i < 4; ++i)
        EXPECT_EQ(0, wave.Write(block.data(), 3200));
    EXPECT_TRUE(wave.Drain(audio_test::kDrainMs));
    EXPECT_EQ(0, wave.Close());
    const audio_test::WavFile file = audio_test::ReadWav(wav);
    ASSERT_TRUE(file.ok);
    EXPECT_EQ(4u * 3200u, file.data.size());
}

// The card itself disappears between two opens (a format change reopens it): the output
// answers "no device" until an open succeeds again.
TEST(FaultAudio, DeviceGoneAtAReopen) {
    audio_test::UseDevice("null");
    const std::vector<uint8_t> block = Tone(3200);
    CWaveOut wave;
    ASSERT_EQ(0, wave.Open());
    ASSERT_EQ(0, wave.SetFormat(1, 16, 8000));
    EXPECT_EQ(0, wave.Write(block.data(), 3200));

    audio_test::UseDevice("quorix_unplugged_card");
    EXPECT_EQ(CWaveOut::kNoDevice, wave.SetFormat(2, 16, 16000));
    EXPECT_FALSE(wave.IsOpen());
    for (int i = 0; i < 12; ++i)
        EXPECT_EQ(CWaveOut::kNoDevice, wave.Write(block.data(), 3200));
    EXPECT_TRUE(wave.Drain(audio_test::kDrainMs));
    EXPECT_EQ(CWaveOut::kNoDevice, wave.Open());

    audio_test::UseDevice("null");
    ASSERT_EQ(0, wave.Open());
    ASSERT_EQ(0, wave.SetFormat(1, 16, 8000));
    EXPECT_EQ(0, wave.Write(block.data(), 3200));
    EXPECT_TRUE(wave.Drain(audio_test::kDrainMs));
    EXPECT_EQ(0, wave.Close());
}

// Waits for a child with a generous time-out; kills it when it hangs. The exit status, or -1.
int WaitChild(pid_t pid, bool* hung) {
    std::promise<int> done;
    auto status = done.get_future();
    std::thread waiter([pid, &done] {
        int s = 0;
        while (::waitpid(pid, &s, 0) < 0 && errno == EINTR) {
        }
        done.set_value(s);
    });
    *hung = status.wait_for(std::chrono::seconds(60)) != std::future_status::ready;
    if (*hung)
        ::kill(pid, SIGKILL);
    waiter.join();
    return status.get();
}

// The device's file stops growing at a size limit (a full disk): writes keep being answered,
// the output drains and closes, and the process ends normally.
TEST(FaultAudio, DiskFullUnderTheDevice) {
    quorixtest::TempDir temp;
    const std::string wav = temp.Path("full.wav");
    audio_test::UseDevice("quorix_wav:FILE=" + wav);
    const std::vector<uint8_t> block = Tone(3200);
    const pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        ::signal(SIGXFSZ, SIG_IGN);
        struct rlimit limit = {24 * 1024, 24 * 1024};
        if (::setrlimit(RLIMIT_FSIZE, &limit) != 0)
            ::_exit(10);
        {
            CWaveOut wave;
            if (wave.Open() != 0 || wave.SetFormat(1, 16, 8000) != 0)
                ::_exit(11);
            for (int i = 0; i < 40; ++i) {
                const int32_t written = wave.Write(block.data(), 3200);
                if (written != 0 && written != CWaveOut::kBlockDropped &&
                    written != CWaveOut::kNoDevice)
                    ::_exit(12);
                if (i % 8 == 7)
                    wave.Drain(audio_test::kDrainMs);
            }
            wave.Drain(audio_test::kDrainMs);
            if (wave.Close() != 0)
                ::_exit(13);
        }
        ::_exit(0);
    }
    bool hung = false;
    const int status = WaitChild(pid, &hung);
    ASSERT_FALSE(hung) << "the wave output hung on a full disk";
    ASSERT_TRUE(WIFEXITED(status))
        << "child ended by signal " << (WIFSIGNALED(status) ? WTERMSIG(status) : 0);
    EXPECT_EQ(0, WEXITSTATUS(status));
    EXPECT_LE(fs::file_size(wav), 24u * 1024u);
}

}  // namespace
