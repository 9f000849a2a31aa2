// A host that closes or frees its port from inside the snapshot callback of the software
// display. Hosts do this when the last picture they wanted has arrived. The close must end the
// port's threads in the ordinary way: none may be left waiting for the drawing thread, which is
// busy inside the callback, until the engine gives up on it and terminates it. The software
// display is chosen for good by the process, so this suite runs in a process of its own.

#include <dirent.h>
#include <gtest/gtest.h>
#include <quorixsdk.h>
#include <stdlib.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <mutex>
#include <sstream>
#include <string>

#include "support/capture_support.h"

using namespace capturetest;

namespace {

const bool g_headless = [] {
    unsetenv("DISPLAY");
    return true;
}();

constexpr uint32_t kWidth = 320;
constexpr uint32_t kHeight = 240;
// What the thread layer writes for a worker it had to terminate.
constexpr const char* kTerminated = "is end,exitcode=0x8000801e";

// Everything the log files in `dir` hold.
std::string ReadLogs(const std::string& dir) {
    std::string all;
    DIR* d = opendir(dir.c_str());
    if (d == nullptr)
        return all;
    while (dirent* entry = readdir(d)) {
        const std::string name = entry->d_name;
        if (name.rfind("soft_close", 0) != 0)
            continue;
        std::ifstream in(dir + "/" + name, std::ios::binary);
        std::ostringstream text;
        text << in.rdbuf();
        all += text.str();
    }
    closedir(d);
    return all;
}

// The outcome of the close that the callback made, for the test thread to wait on.
struct CloseFromCallback {
    std::mutex lock;
    std::condition_variable changed;
    bool returned = false;
    uint32_t result = 0xFFFFFFFF;
    std::atomic<bool> once{false};

    void Run(const std::function<uint32_t()>& close) {
        if (once.exchange(true))
            return;
        const uint32_t r = close();
        std::lock_guard<std::mutex> guard(lock);
        result = r;
        returned = true;
        changed.notify_all();
    }
    bool Wait() {
        std::unique_lock<std::mutex> guard(lock);
        return changed.wait_for(guard, std::chrono::milliseconds(kWaitMs),
                                [&] { return returned; });
    }
};

class SoftClose : public ::testing::Test {
protected:
    static void SetUpTestSuite() { QUORIX_SetRenderMode(1); }
    void SetUp() override {
        ASSERT_TRUE(g_headless);
        QUORIX_SetLogAttribute(1, 0, m_dir.Path("soft_close").c_str(), "log");
        ASSERT_EQ(QUORIX_OK, QUORIX_InitSDK());
    }
    void TearDown() override {
        QUORIX_ReleaseSDK();
        QUORIX_SetLogAttribute(1, 30, nullptr, nullptr);
    }

    // Plays a stream whose snapshot callback runs `close` on the drawing thread, then checks
    // that the close came back on its own and that the picture stayed readable throughout.
    void CloseInsideCallback(const std::function<uint32_t(uint16_t port)>& close) {
        const StillPicture still = MakeStill(kWidth, kHeight);
        // The second half is pushed from inside the callback, so that the video thread has
        // pictures to deliver while the callback closes the port.
        const auto records = StillRecords(still, 60);
        if (records.empty())
            GTEST_SKIP() << "libx264 missing";
        const std::vector<std::vector<uint8_t>> first(records.begin(), records.begin() + 30);
        const std::vector<std::vector<uint8_t>> second(records.begin() + 30, records.end());
        SnapCollector snaps;  // outlives the port that calls it
        CloseFromCallback closing;
        LivePort live(1, kWidth, kHeight);
        ASSERT_TRUE(live.Ok()) << live.Error();
        const uint16_t port = live.Port();
        snaps.action = [&](uint16_t p, uint16_t) {
            closing.Run([&] {
                live.Push(second);
                return close(p);
            });
        };
        ASSERT_EQ(QUORIX_OK,
                  QUORIX_SetSnapCallback(port, 0, &SnapCollector::Callback, &snaps, 4, 4));
        ASSERT_EQ(QUORIX_OK, live.Push(first));

        ASSERT_TRUE(closing.Wait()) << "the close inside the callback never returned";
        EXPECT_EQ(QUORIX_OK, closing.result);
        // The callback copies the picture after the close: it was still the whole picture.
        ASSERT_TRUE(
            snaps.WaitFor([](const SnapCollector::Shot&, int calls) { return calls >= 1; }));
        {
            std::lock_guard<std::mutex> guard(snaps.lock);
            EXPECT_EQ(kWidth, snaps.last.width);
            EXPECT_EQ(kHeight, snaps.last.height);
            ASSERT_GE(snaps.last.data.size(), size_t{kWidth} * kHeight);
            // The luma ramp of the still picture, not freed or reused memory.
            const int got = snaps.last.data[size_t{kHeight / 4} * snaps.last.stride + 10];
            const int want = still.At(10, kHeight / 4);
            EXPECT_LT(std::abs(got - want), 24);
        }
        // The port is closed: a second close has nothing to do.
        EXPECT_NE(QUORIX_OK, QUORIX_CloseStream(port));
        EXPECT_EQ(std::string::npos, ReadLogs(m_dir.Path("")).find(kTerminated))
            << "a thread of the port had to be terminated";
    }

    TempDir m_dir;
};

TEST_F(SoftClose, CloseStreamInsideTheSnapshotCallback) {
    CloseInsideCallback([](uint16_t port) { return QUORIX_CloseStream(port); });
}

TEST_F(SoftClose, FreePortInsideTheSnapshotCallback) {
    CloseInsideCallback([](uint16_t port) { return QUORIX_FreePort(port); });
}

}  // namespace
