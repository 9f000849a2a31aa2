// Shutdown under load, through the public interface of the shared library: ports opened,
// played, fed and torn down from several host threads at once while the library's own threads
// deliver pictures and call back; the library released under open ports; attached ports freed
// under their feeder; the process ending with ports still playing. Nothing may crash, hang or
// leak (the sanitizer build checks the leaks at exit).

#include <gtest/gtest.h>
#include <quorixsdk.h>

#include <X11/Xlib.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <future>
#include <iterator>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "support/container_builder.h"
#include "support/stress_support.h"

extern char** environ;

namespace fs = std::filesystem;
using stresstest::Guard;
using stresstest::PanoDouble;
using stresstest::Watchdog;

namespace {

constexpr uint32_t kWaitMs = 60000;

// OpenGL ports draw off-screen, without an X display; set before any library thread runs.
const bool g_headless = [] {
    unsetenv("DISPLAY");
    return true;
}();

// A host callback that reads its own port's position, as hosts do on file end.
void OnFileEnd(uint16_t port, void* user) {
    QUORIX_GetPlayedTime(port);
    QUORIX_GetPlayedPos(port);
    static_cast<std::atomic<int>*>(user)->fetch_add(1);
}

// Inside the renderer's input-frame call: the host asks about ports while pictures arrive.
void OnPicture(int index, void* user) {
    auto* ports = static_cast<std::atomic<uint32_t>*>(user);
    const uint16_t port = static_cast<uint16_t>((ports->load() + static_cast<uint32_t>(index)) % 8);
    uint32_t playing = 0;
    QUORIX_IsPlaying(port, &playing);
    QUORIX_GetCurrentVideoFrameStamp(port);
}

class StressShutdown : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_NE(nullptr, PanoDouble::Get().module)
            << "renderer double missing beside the executable";
        ASSERT_FALSE(stresstest::H264Clip().packets.empty()) << "libx264 missing";
        PanoDouble::Get().reset();
        ASSERT_EQ(QUORIX_OK, QUORIX_InitSDK());
        m_path = m_dir.Path("clip.kz");
        ASSERT_TRUE(quorixtest::WriteFile(m_path, stresstest::H264File()));
    }
    void TearDown() override {
        PanoDouble::Get().setFrameHook(nullptr, nullptr);
        QUORIX_ReleaseSDK();
    }

    quorixtest::TempDir m_dir;
    std::string m_path;
};

// Every cycle takes a port, opens a file or a stream, plays it and tears it down at a random
// moment in one of several ways; host threads push records into live ports up to and after
// their free, and a pusher may outlive its port (its records then meet a closed or re-used
// port). Afterwards a fresh port still plays a whole file.
class StressCycles : public StressShutdown {
protected:
    // portTableLock: GetPort and FreePort of the workers run one at a time. A port is marked
    // free before its teardown ends, so a GetPort racing a FreePort could be handed a port whose
    // stream is still being closed (its open then fails busy and the teardown clears the new
    // owner's callbacks); the serialised run keeps hosts clear of that, the other shows it.
    void Run(bool portTableLock);
};

void StressCycles::Run(bool portTableLock) {
    constexpr int kWorkers = 4;
    std::mutex portTable;
    const int total = stresstest::Cycles(120);
    const int perWorker = (total + kWorkers - 1) / kWorkers;
    Watchdog dog;
    std::atomic<uint32_t> hookSeed{0};
    PanoDouble::Get().setFrameHook(&OnPicture, &hookSeed);
    std::atomic<int> fileEnds{0};
    std::atomic<int> failures{0};
    std::atomic<int> cyclesDone{0};
    std::mutex failLock;
    std::string failText;
    auto expectOk = [&](const char* call, uint16_t port, uint32_t result) {
        if (result == QUORIX_OK)
            return;
        ++failures;
        std::lock_guard<std::mutex> guard(failLock);
        char line[96];
        std::snprintf(line, sizeof line, "%s(port %u) = 0x%08x\n", call, port, result);
        failText += line;
    };
    const auto& records = stresstest::H264Records();

    auto worker = [&](int id) {
        const int slot = dog.Register("worker");
        const int pushSlot = dog.Register("pusher");
        std::mt19937 rng(static_cast<uint32_t>(20261207 + id));
        auto pick = [&rng](int n) { return std::uniform_int_distribution<int>(0, n - 1)(rng); };
        for (int cycle = 0; cycle < perWorker; ++cycle) {
            uint16_t port = 0;
            {
                Guard g(dog, slot, "QUORIX_GetPort", 0);
                std::unique_lock<std::mutex> table(portTable, std::defer_lock);
                if (portTableLock)
                    table.lock();
                if (QUORIX_GetPort(&port) != QUORIX_OK) {
                    ++failures;
                    return;
                }
            }
            hookSeed.store(port);
            const int variant = pick(4);
            std::atomic<bool> stopPusher{false};
            std::thread pusher;
            if (variant < 2) {
                {
                    Guard g(dog, slot, "QUORIX_SetStreamOpenMode", port);
                    QUORIX_SetStreamOpenMode(port, static_cast<uint32_t>(pick(3)));
                }
                {
                    Guard g(dog, slot, "QUORIX_OpenStream", port);
                    expectOk("QUORIX_OpenStream", port,
                             QUORIX_OpenStream(port, -1, nullptr, 0, nullptr, 0));
                }
                {
                    Guard g(dog, slot, "QUORIX_Play", port);
                    expectOk("QUORIX_Play", port, QUORIX_Play(port, 0, nullptr, 0));
                }
                // Records keep arriving from another host thread until after the teardown.
                pusher = std::thread([&, port] {
                    size_t i = 0;
                    while (!stopPusher.load()) {
                        Guard g(dog, pushSlot, "QUORIX_InputStreamData", port);
                        const auto& r = records[i++ % records.size()];
                        if (QUORIX_InputStreamData(port, r.data(),
                                                   static_cast<uint32_t>(r.size())) ==
                            QUORIX_E_QUEUE_FULL) {
                            std::this_thread::yield();
                        }
                    }
                });
                const int before = PanoDouble::Get().frameCount();
                if (pick(2) == 0) {
                    Guard g(dog, slot, "waiting for a picture", port);
                    PanoDouble::Get().waitFrames(before + 1, kWaitMs);
                }
                if (variant == 0) {
                    Guard g(dog, slot, "QUORIX_CloseStream", port);
                    QUORIX_CloseStream(port);
                }
            } else {
                {
                    Guard g(dog, slot, "QUORIX_SetFileEndCallback", port);
                    QUORIX_SetFileEndCallback(port, &OnFileEnd, &fileEnds);
                }
                {
                    Guard g(dog, slot, "QUORIX_OpenFile", port);
                    expectOk("QUORIX_OpenFile", port, QUORIX_OpenFile(port, m_path.c_str()));
                }
                {
                    Guard g(dog, slot, "QUORIX_Play", port);
                    expectOk("QUORIX_Play", port, QUORIX_Play(port, 0, nullptr, 0));
                }
                // Play control while the reader runs.
                switch (pick(5)) {
                    case 0: {
                        Guard g(dog, slot, "QUORIX_Fast", port);
                        QUORIX_Fast(port);
                        QUORIX_Fast(port);
                        break;
                    }
                    case 1: {
                        Guard g(dog, slot, "QUORIX_Pause", port);
                        QUORIX_Pause(port, 1);
                        break;
                    }
                    case 2: {
                        Guard g(dog, slot, "QUORIX_SetPlayedPos", port);
                        QUORIX_SetPlayedPos(port, 0.5f);
                        break;
                    }
                    case 3: {
                        Guard g(dog, slot, "QUORIX_Stop", port);
                        QUORIX_Stop(port);
                        break;
                    }
                    default:
                        break;
                }
                if (variant == 2) {
                    Guard g(dog, slot, "QUORIX_CloseFile", port);
                    QUORIX_CloseFile(port);
                }
            }
            {
                Guard g(dog, slot, "QUORIX_FreePort", port);
                std::unique_lock<std::mutex> table(portTable, std::defer_lock);
                if (portTableLock)
                    table.lock();
                expectOk("QUORIX_FreePort", port, QUORIX_FreePort(port));
            }
            // Half of the pushers go on for a moment after the free.
            if (pusher.joinable()) {
                if (pick(2) == 0)
                    std::this_thread::yield();
                stopPusher.store(true);
                pusher.join();
            }
            ++cyclesDone;
        }
    };
    std::vector<std::thread> workers;
    for (int i = 0; i < kWorkers; ++i)
        workers.emplace_back(worker, i);
    for (auto& t : workers)
        t.join();
    PanoDouble::Get().setFrameHook(nullptr, nullptr);
    EXPECT_EQ(0, failures.load()) << failText;
    EXPECT_EQ(kWorkers * perWorker, cyclesDone.load());
    std::printf("%d cycles on %d threads, %d file ends, %d pictures\n", cyclesDone.load(), kWorkers,
                fileEnds.load(), PanoDouble::Get().frameCount());

    // The library still works: a fresh port plays a whole file.
    uint16_t port = 0;
    ASSERT_EQ(QUORIX_OK, QUORIX_GetPort(&port));
    std::atomic<int> ends{0};
    const int before = PanoDouble::Get().frameCount();
    ASSERT_EQ(QUORIX_OK, QUORIX_SetFileEndCallback(port, &OnFileEnd, &ends));
    ASSERT_EQ(QUORIX_OK, QUORIX_OpenFile(port, m_path.c_str()));
    ASSERT_EQ(QUORIX_OK, QUORIX_Play(port, 0, nullptr, 0));
    EXPECT_GE(PanoDouble::Get().waitFrames(before + 24, kWaitMs), before + 24);
    EXPECT_EQ(QUORIX_OK, QUORIX_FreePort(port));
}

TEST_F(StressCycles, PortsCycleOpenPlayPushAndFreeFromManyThreads) {
    Run(true);
}

// GetPort racing FreePort on other threads: a port is handed out only once its teardown is over.
TEST_F(StressCycles, PortTakenWhileAnotherThreadFreesIt) {
    Run(false);
}

// The last release while ports play and host threads push: the ports keep their files and
// streams, port calls answer "not initialised" meanwhile, and after a new start the ports close
// and free normally.
TEST_F(StressShutdown, ReleaseWithPortsStillOpenAndFed) {
    const int rounds = std::max(1, stresstest::Cycles(120) / 20);
    Watchdog dog;
    const int slot = dog.Register("main");
    const int pushSlots[2] = {dog.Register("pusher"), dog.Register("pusher")};
    for (int round = 0; round < rounds; ++round) {
        SCOPED_TRACE(round);
        std::vector<uint16_t> ports(4);
        for (size_t i = 0; i < ports.size(); ++i) {
            ASSERT_EQ(QUORIX_OK, QUORIX_GetPort(&ports[i]));
            if (i < 2) {
                ASSERT_EQ(QUORIX_OK, QUORIX_OpenFile(ports[i], m_path.c_str()));
            } else {
                ASSERT_EQ(QUORIX_OK, QUORIX_OpenStream(ports[i], -1, nullptr, 0, nullptr, 0));
            }
            ASSERT_EQ(QUORIX_OK, QUORIX_Play(ports[i], 0, nullptr, 0));
        }
        std::atomic<bool> stop{false};
        std::atomic<int> notInit{0};
        std::vector<std::thread> pushers;
        for (size_t i = 2; i < ports.size(); ++i) {
            pushers.emplace_back([&, port = ports[i], s = pushSlots[i - 2]] {
                size_t n = 0;
                const auto& records = stresstest::H264Records();
                while (!stop.load()) {
                    Guard g(dog, s, "QUORIX_InputStreamData", port);
                    const auto& r = records[n++ % records.size()];
                    const uint32_t result =
                        QUORIX_InputStreamData(port, r.data(), static_cast<uint32_t>(r.size()));
                    if (result == QUORIX_E_NOT_INIT)
                        ++notInit;
                    if (result == QUORIX_E_QUEUE_FULL || result == QUORIX_E_NOT_INIT)
                        std::this_thread::yield();
                }
            });
        }
        const int before = PanoDouble::Get().frameCount();
        {
            Guard g(dog, slot, "waiting for pictures", ports[0]);
            PanoDouble::Get().waitFrames(before + 4, kWaitMs);
        }
        {
            Guard g(dog, slot, "QUORIX_ReleaseSDK", 0);
            ASSERT_EQ(QUORIX_OK, QUORIX_ReleaseSDK());
        }
        EXPECT_EQ(QUORIX_E_NOT_INIT, QUORIX_Stop(ports[0]));
        EXPECT_EQ(QUORIX_E_NOT_INIT, QUORIX_CloseStream(ports[2]));
        {
            Guard g(dog, slot, "QUORIX_InitSDK", 0);
            ASSERT_EQ(QUORIX_OK, QUORIX_InitSDK());
        }
        for (size_t i = 0; i < ports.size(); ++i) {
            Guard g(dog, slot, i < 2 ? "QUORIX_CloseFile" : "QUORIX_CloseStream", ports[i]);
            EXPECT_EQ(QUORIX_OK, i < 2 ? QUORIX_CloseFile(ports[i]) : QUORIX_CloseStream(ports[i]));
        }
        stop.store(true);
        for (auto& t : pushers)
            t.join();
        for (uint16_t port : ports) {
            Guard g(dog, slot, "QUORIX_FreePort", port);
            EXPECT_EQ(QUORIX_OK, QUORIX_FreePort(port));
        }
    }
}

// Captures and projections on host threads while another thread opens, plays and closes the
// same port on the OpenGL renderer (headless), as a file and as a stream: the header allows
// these calls during a close, so the renderer must outlive every call that is using it.
TEST_F(StressShutdown, CapturesAndProjectionsDuringOpenPlayAndClose) {
    ASSERT_TRUE(g_headless);
    const std::string glPath = m_dir.Path("gl.kz");
    ASSERT_TRUE(quorixtest::WriteFile(glPath, playertest::ClipFile(stresstest::H264Clip(), 40, 1)));
    const int cycles = std::max(4, stresstest::Cycles(120) / 6);
    Watchdog dog;
    const int slot = dog.Register("main");
    uint16_t port = 0;
    ASSERT_EQ(QUORIX_OK, QUORIX_GetPort(&port));
    const QUORIX_RECT rect{0, 0, 160, 120};
    ASSERT_EQ(QUORIX_OK, QUORIX_SetDisplayRegion(port, 0, &rect, 1));
    std::atomic<bool> stop{false};
    std::atomic<int> captured{0}, projected{0};
    std::vector<std::thread> callers;
    for (int id = 0; id < 3; ++id) {
        callers.emplace_back([&, id, s = dog.Register("caller")] {
            const std::string shot = m_dir.Path("shot" + std::to_string(id) + ".jpg");
            const float xs[2] = {0.25f, 0.75f}, ys[2] = {0.5f, 0.5f};
            float outX[2] = {0, 0}, outY[2] = {0, 0};
            for (uint32_t n = 0; !stop.load(); ++n) {
                if ((n + static_cast<uint32_t>(id)) % 3 == 0) {
                    Guard g(dog, s, "QUORIX_UnProject", port);
                    if (QUORIX_UnProject(port, 0, xs, ys, outX, outY, 2) == QUORIX_OK)
                        ++projected;
                } else if (id == 2) {
                    Guard g(dog, s, "QUORIX_CaptureOriginalJpeg", port);
                    QUORIX_CaptureOriginalJpeg(port, shot.c_str());
                } else {
                    Guard g(dog, s, "QUORIX_CaptureJpeg", port);
                    if (QUORIX_CaptureJpeg(port, 0, shot.c_str()) == QUORIX_OK)
                        ++captured;
                }
            }
        });
    }
    const auto& records = stresstest::H264Records();
    for (int cycle = 0; cycle < cycles; ++cycle) {
        const bool file = cycle % 2 == 0;
        {
            Guard g(dog, slot, file ? "QUORIX_OpenFile" : "QUORIX_OpenStream", port);
            ASSERT_EQ(QUORIX_OK, file ? QUORIX_OpenFile(port, glPath.c_str())
                                      : QUORIX_OpenStream(port, 1, nullptr, 0, nullptr, 0));
        }
        {
            Guard g(dog, slot, "QUORIX_Play", port);
            ASSERT_EQ(QUORIX_OK, QUORIX_Play(port, 0, nullptr, 0));
        }
        if (!file) {
            for (size_t i = 0; i < 8; ++i) {
                Guard g(dog, slot, "QUORIX_InputStreamData", port);
                stresstest::Push(port, records[i % records.size()]);
            }
        }
        {
            Guard g(dog, slot, file ? "QUORIX_CloseFile" : "QUORIX_CloseStream", port);
            EXPECT_EQ(QUORIX_OK, file ? QUORIX_CloseFile(port) : QUORIX_CloseStream(port));
        }
    }
    stop.store(true);
    for (auto& t : callers)
        t.join();
    std::printf("%d cycles, %d captures, %d projections\n", cycles, captured.load(),
                projected.load());
    EXPECT_EQ(QUORIX_OK, QUORIX_FreePort(port));
}

// View requests and captures on host threads while another thread opens, plays and closes the
// same port on the external renderer and on OpenGL (headless): the header allows them during a
// close, so every request that reaches the renderer must end before the renderer goes. The
// external renderer double counts each entry reached with a destroyed handle and each destroy
// of a handle still in use; the sanitizer build catches the OpenGL renderer freed under a call.
TEST_F(StressShutdown, ViewRequestsAndCapturesDuringOpenPlayAndClose) {
    ASSERT_TRUE(g_headless);
    ASSERT_NE(nullptr, PanoDouble::Get().calls);
    const std::string glPath = m_dir.Path("gl.kz");
    ASSERT_TRUE(quorixtest::WriteFile(glPath, playertest::ClipFile(stresstest::H264Clip(), 40, 1)));
    const int cycles = std::max(6, stresstest::Cycles(120) / 2);
    Watchdog dog;
    const int slot = dog.Register("main");
    uint16_t port = 0;
    ASSERT_EQ(QUORIX_OK, QUORIX_GetPort(&port));
    std::atomic<bool> stop{false};
    std::atomic<int> answered{0}, captured{0};
    std::vector<std::thread> callers;
    for (int id = 0; id < 3; ++id) {
        callers.emplace_back([&, id, s = dog.Register("caller")] {
            const std::string shot = m_dir.Path("view" + std::to_string(id) + ".jpg");
            for (uint32_t n = 0; !stop.load(); ++n) {
                // Each caller keeps to a region of its own: a port's stored region settings are
                // one host thread's at a time, as for any request on one port; what races here is
                // the close on the main thread.
                const uint16_t region = static_cast<uint16_t>(id);
                const QUORIX_RECT rect{0, 0, 160 + static_cast<int32_t>(n % 8), 120};
                float pan = 0, tilt = 0, zoom = 0;
                switch ((n + static_cast<uint32_t>(id)) % 6) {
                    case 0: {
                        Guard g(dog, s, "QUORIX_SetDisplayRegion", port);
                        if (QUORIX_SetDisplayRegion(port, region, &rect, 1) == QUORIX_OK)
                            ++answered;
                        break;
                    }
                    case 1: {
                        Guard g(dog, s, "QUORIX_SetCurrentDisplayType", port);
                        const uint32_t type =
                            n % 4 == 1 ? QUORIX_DISPLAY_PLANE360 : QUORIX_DISPLAY_PLANE;
                        if (QUORIX_SetCurrentDisplayType(port, region, type) == QUORIX_OK)
                            ++answered;
                        break;
                    }
                    case 2: {
                        Guard g(dog, s, "QUORIX_SetPTZPosition", port);
                        if (QUORIX_SetPTZPosition(port, region, 10.0f, 5.0f, 1.5f) == QUORIX_OK)
                            ++answered;
                        break;
                    }
                    case 3: {
                        Guard g(dog, s, "QUORIX_GetPTZPosition", port);
                        if (QUORIX_GetPTZPosition(port, region, &pan, &tilt, &zoom) == QUORIX_OK)
                            ++answered;
                        break;
                    }
                    case 4: {
                        Guard g(dog, s, "QUORIX_SetFlip", port);
                        if (QUORIX_SetFlip(port, region, n % 2) == QUORIX_OK)
                            ++answered;
                        break;
                    }
                    default: {
                        Guard g(dog, s, "QUORIX_CaptureJpeg", port);
                        if (QUORIX_CaptureJpeg(port, 0, shot.c_str()) == QUORIX_OK)
                            ++captured;
                        break;
                    }
                }
            }
        });
    }
    const auto& records = stresstest::H264Records();
    for (int cycle = 0; cycle < cycles; ++cycle) {
        // An OpenGL file, then the external renderer's file and stream.
        const int kind = cycle % 3;
        const bool file = kind != 2;
        const std::string& path = kind == 0 ? glPath : m_path;
        {
            Guard g(dog, slot, file ? "QUORIX_OpenFile" : "QUORIX_OpenStream", port);
            ASSERT_EQ(QUORIX_OK, file ? QUORIX_OpenFile(port, path.c_str())
                                      : QUORIX_OpenStream(port, -1, nullptr, 0, nullptr, 0));
        }
        {
            Guard g(dog, slot, "QUORIX_Play", port);
            ASSERT_EQ(QUORIX_OK, QUORIX_Play(port, 0, nullptr, 0));
        }
        if (!file) {
            for (size_t i = 0; i < 4; ++i) {
                Guard g(dog, slot, "QUORIX_InputStreamData", port);
                stresstest::Push(port, records[i % records.size()]);
            }
        }
        {
            Guard g(dog, slot, file ? "QUORIX_CloseFile" : "QUORIX_CloseStream", port);
            EXPECT_EQ(QUORIX_OK, file ? QUORIX_CloseFile(port) : QUORIX_CloseStream(port));
        }
    }
    stop.store(true);
    for (auto& t : callers)
        t.join();
    std::printf("%d cycles, %d view answers, %d captures\n", cycles, answered.load(),
                captured.load());
    EXPECT_EQ(0, PanoDouble::Get().calls("stale"));
    EXPECT_EQ(QUORIX_OK, QUORIX_FreePort(port));
}

// A port that forwards the sub-frames of its composite packets to another port, whose target
// is freed, re-taken and re-opened under the feeder again and again.
TEST_F(StressShutdown, FreeingAPortWhileAnotherIsAttachedToIt) {
    uint16_t feeder = 0, target = 0;
    ASSERT_EQ(QUORIX_OK, QUORIX_GetPort(&feeder));
    ASSERT_EQ(QUORIX_OK, QUORIX_GetPort(&target));
    const uint32_t attach = QUORIX_SetAttachPlayer(feeder, target);
    if (attach == QUORIX_E_NOT_IMPL) {
        QUORIX_FreePort(target);
        QUORIX_FreePort(feeder);
        GTEST_SKIP() << "attached ports are not in this build";
    }
    ASSERT_EQ(QUORIX_OK, attach);
    std::atomic<int> forwarded{0};
    ASSERT_EQ(QUORIX_OK, QUORIX_SetAttachCallback(
                             feeder,
                             [](uint16_t, uint16_t, const uint8_t*, uint32_t, void* user) {
                                 static_cast<std::atomic<int>*>(user)->fetch_add(1);
                             },
                             &forwarded));
    ASSERT_EQ(QUORIX_OK, QUORIX_OpenStream(feeder, -1, nullptr, 0, nullptr, 0));
    ASSERT_EQ(QUORIX_OK, QUORIX_Play(feeder, 0, nullptr, 0));

    Watchdog dog;
    std::vector<std::vector<uint8_t>> packets;
    for (const auto& r : stresstest::H264Records())
        packets.push_back(stresstest::CompositeOf(r, 1));
    std::atomic<bool> stop{false};
    std::thread pusher([&] {
        const int s = dog.Register("feeder");
        size_t n = 0;
        while (!stop.load()) {
            Guard g(dog, s, "QUORIX_InputStreamData", feeder);
            const auto& p = packets[n++ % packets.size()];
            if (QUORIX_InputStreamData(feeder, p.data(), static_cast<uint32_t>(p.size())) ==
                QUORIX_E_QUEUE_FULL) {
                std::this_thread::yield();
            }
        }
    });
    const int slot = dog.Register("main");
    const int rounds = std::max(4, stresstest::Cycles(120) / 6);
    for (int round = 0; round < rounds; ++round) {
        {
            Guard g(dog, slot, "QUORIX_OpenStream", target);
            EXPECT_EQ(QUORIX_OK, QUORIX_OpenStream(target, -1, nullptr, 0, nullptr, 0));
        }
        {
            Guard g(dog, slot, "QUORIX_Play", target);
            EXPECT_EQ(QUORIX_OK, QUORIX_Play(target, 0, nullptr, 0));
        }
        if (round % 2 == 0) {
            const int seen = forwarded.load();
            const auto deadline =
                std::chrono::steady_clock::now() + std::chrono::milliseconds(kWaitMs);
            Guard g(dog, slot, "waiting for a forwarded sub-frame", target);
            while (forwarded.load() == seen && std::chrono::steady_clock::now() < deadline)
                std::this_thread::yield();
        }
        {
            Guard g(dog, slot, "QUORIX_FreePort", target);
            EXPECT_EQ(QUORIX_OK, QUORIX_FreePort(target));
        }
        uint16_t again = 0;
        {
            Guard g(dog, slot, "QUORIX_GetPort", target);
            ASSERT_EQ(QUORIX_OK, QUORIX_GetPort(&again));
        }
        target = again;
        Guard g(dog, slot, "QUORIX_SetAttachPlayer", feeder);
        EXPECT_EQ(QUORIX_OK, QUORIX_SetAttachPlayer(feeder, target));
    }
    // Freeing the feeder while it still forwards.
    {
        Guard g(dog, slot, "QUORIX_FreePort", feeder);
        EXPECT_EQ(QUORIX_OK, QUORIX_FreePort(feeder));
    }
    stop.store(true);
    pusher.join();
    EXPECT_GT(forwarded.load(), 0);
    EXPECT_EQ(QUORIX_OK, QUORIX_FreePort(target));
}

// Runs in a child process only (see below): ports playing files and streams when the process
// ends through exit(), so the library's objects are destroyed with its threads still running.
TEST(StressExitChild, DISABLED_EndsWithPortsPlaying) {
    if (std::getenv("QUORIX_STRESS_EXIT_CHILD") == nullptr)
        GTEST_SKIP() << "runs as a child of ExitWithPortsPlaying";
    static quorixtest::TempDir dir;
    const std::string path = dir.Path("clip.kz");
    if (!quorixtest::WriteFile(path, stresstest::H264File()))
        std::_Exit(2);
    if (QUORIX_InitSDK() != QUORIX_OK)
        std::_Exit(3);
    const std::string logBase = std::string(std::getenv("QUORIX_STRESS_EXIT_CHILD")) + "/quorix";
    QUORIX_SetLogAttribute(1, 0, logBase.c_str(), "txt");
    const int before = PanoDouble::Get().frameCount();
    for (int i = 0; i < 6; ++i) {
        uint16_t port = 0;
        if (QUORIX_GetPort(&port) != QUORIX_OK)
            std::_Exit(4);
        if (i % 2 == 0) {
            if (QUORIX_OpenFile(port, path.c_str()) != QUORIX_OK)
                std::_Exit(5);
            if (i == 4)
                QUORIX_Pause(port, 1);
        } else {
            if (QUORIX_OpenStream(port, -1, nullptr, 0, nullptr, 0) != QUORIX_OK)
                std::_Exit(6);
            // Records queued but not all shown yet.
            for (const auto& r : stresstest::H264Records())
                stresstest::Push(port, r);
        }
        if (QUORIX_Play(port, 0, nullptr, 0) != QUORIX_OK)
            std::_Exit(7);
    }
    // Threads are running: pictures arrive.
    if (PanoDouble::Get().waitFrames(before + 8, kWaitMs) < before + 8)
        std::_Exit(8);
    std::exit(0);
}

TEST_F(StressShutdown, ExitWithPortsPlaying) {
    const int runs = std::max(2, stresstest::Cycles(120) / 40);
    for (int run = 0; run < runs; ++run) {
        SCOPED_TRACE(run);
        const std::string self = fs::read_symlink("/proc/self/exe").string();
        std::vector<std::string> args = {
            self, "--gtest_filter=StressExitChild.DISABLED_EndsWithPortsPlaying",
            "--gtest_also_run_disabled_tests"};
        std::vector<std::string> env;
        for (char** e = environ; *e != nullptr; ++e)
            env.emplace_back(*e);
        const std::string logDir = m_dir.Path("exit-log-" + std::to_string(run));
        fs::create_directories(logDir);
        env.push_back("QUORIX_STRESS_EXIT_CHILD=" + logDir);
        std::vector<char*> argv, envp;
        for (auto& a : args)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        for (auto& e : env)
            envp.push_back(e.data());
        envp.push_back(nullptr);
        pid_t pid = 0;
        ASSERT_EQ(0, posix_spawn(&pid, self.c_str(), nullptr, nullptr, argv.data(), envp.data()));
        std::promise<int> done;
        auto status = done.get_future();
        std::thread waiter([pid, &done] {
            int s = 0;
            while (::waitpid(pid, &s, 0) < 0 && errno == EINTR) {
            }
            done.set_value(s);
        });
        const bool ended =
            status.wait_for(std::chrono::milliseconds(kWaitMs)) == std::future_status::ready;
        if (!ended)
            ::kill(pid, SIGKILL);
        waiter.join();
        const int s = status.get();
        ASSERT_TRUE(ended) << "the process did not end: exit hung with ports playing";
        ASSERT_TRUE(WIFEXITED(s)) << "child ended by signal " << (WIFSIGNALED(s) ? WTERMSIG(s) : 0);
        EXPECT_EQ(0, WEXITSTATUS(s));
        // Every thread ended on its own: none had to be cancelled after its stop time-out.
        std::string log;
        for (const auto& entry : fs::directory_iterator(logDir)) {
            std::ifstream in(entry.path(), std::ios::binary);
            log.append(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
        }
        EXPECT_NE(std::string::npos, log.find("is end,exitcode="))
            << "the log shows no thread ending";
        EXPECT_EQ(std::string::npos, log.find("exitcode=0x8000801e")) << log;
    }
}

// A live record or packet beyond the documented payload bound is refused and dropped: one of a
// gigabyte kept its stream thread copying and decoding past the stop time-out, and the cancelled
// thread could take the process with it. A record of exactly the bound is still taken; the port
// stops, plays on and closes normally afterwards.
TEST_F(StressShutdown, GiantLiveRecordsAreRefusedAndTheStreamStopsNormally) {
    uint16_t port = 0;
    ASSERT_EQ(QUORIX_OK, QUORIX_GetPort(&port));
    ASSERT_EQ(QUORIX_OK, QUORIX_OpenStream(port, -1, nullptr, 0, nullptr, 0));
    ASSERT_EQ(QUORIX_OK, QUORIX_Play(port, 0, nullptr, 0));
    const auto& records = stresstest::H264Records();
    ASSERT_EQ(QUORIX_OK, stresstest::Push(port, records[0]));

    // An IDR slice start in front of zeros: a picture the decoder has to chew through.
    std::vector<uint8_t> payload(QUORIX_MAX_INPUT_PAYLOAD + 1u, 0);
    payload[2] = 1;
    payload[3] = 0x65;
    const std::vector<uint8_t> giant = playertest::MakeRecord(1, 1, 40, 1, 320, 240, payload);
    EXPECT_EQ(QUORIX_E_PARAM,
              QUORIX_InputStreamData(port, giant.data(), static_cast<uint32_t>(giant.size())));
    // A composite packet whose sub-frame alone is within the bound, the packet not.
    payload.resize(QUORIX_MAX_INPUT_PAYLOAD - 27u);
    const std::vector<uint8_t> packet =
        stresstest::CompositeOf(playertest::MakeRecord(1, 1, 40, 1, 320, 240, payload), 0);
    ASSERT_GT(packet.size(), QUORIX_MAX_INPUT_PAYLOAD + 28u);
    EXPECT_EQ(QUORIX_E_PARAM,
              QUORIX_InputStreamData(port, packet.data(), static_cast<uint32_t>(packet.size())));
    // Exactly at the bound: taken.
    payload.resize(QUORIX_MAX_INPUT_PAYLOAD);
    const std::vector<uint8_t> largest = playertest::MakeRecord(1, 2, 80, 1, 320, 240, payload);
    EXPECT_EQ(QUORIX_OK, stresstest::Push(port, largest));

    EXPECT_EQ(QUORIX_OK, QUORIX_Stop(port));
    // The stream plays again after the stop.
    const int before = PanoDouble::Get().frameCount();
    ASSERT_EQ(QUORIX_OK, QUORIX_Play(port, 0, nullptr, 0));
    for (const auto& r : records)
        ASSERT_EQ(QUORIX_OK, stresstest::Push(port, r));
    EXPECT_GT(PanoDouble::Get().waitFrames(before + 1, kWaitMs), before);
    EXPECT_EQ(QUORIX_OK, QUORIX_CloseStream(port));
    EXPECT_EQ(QUORIX_OK, QUORIX_FreePort(port));
}

// ---- the process ending with OpenGL ports playing ----
//
// The GL driver is loaded after the application object is built, and its compiler registers
// further exit handlers from the render threads when it first compiles their shaders: the
// driver's objects are destroyed first at exit, and render threads still drawing then run into
// freed driver state. Each child plays fisheye files and streams on real OpenGL ports with
// large, de-warping regions, waits until every port has drawn, and returns through exit().

constexpr int kGlPorts = 4;

// Counts draws per port; the child waits until every port drew a few pictures.
struct DrawCounter {
    std::mutex lock;
    std::condition_variable drawn;
    int count[kGlPorts] = {};
    bool WaitAll(int atLeast, uint32_t timeoutMs) {
        std::unique_lock<std::mutex> guard(lock);
        return drawn.wait_for(guard, std::chrono::milliseconds(timeoutMs), [&] {
            return std::all_of(std::begin(count), std::end(count),
                               [&](int c) { return c >= atLeast; });
        });
    }
};
DrawCounter g_draws;
uint16_t g_glPorts[kGlPorts];

void OnGlDraw(uint16_t port, uint16_t, int32_t, QUORIX_HDC, const QUORIX_RECT*, const QUORIX_RECT*,
              void*) {
    std::lock_guard<std::mutex> guard(g_draws.lock);
    for (int i = 0; i < kGlPorts; ++i) {
        if (g_glPorts[i] == port)
            ++g_draws.count[i];
    }
    g_draws.drawn.notify_all();
}

// Runs in a child process only: QUORIX_STRESS_EXIT_GL is "pbuffer" (no window: the renderer
// draws into a headless pbuffer) or "window" (an X window of the test's X server).
TEST(StressExitChild, DISABLED_EndsWithOpenGlPortsPlaying) {
    const char* mode = std::getenv("QUORIX_STRESS_EXIT_GL");
    const char* logDir = std::getenv("QUORIX_STRESS_EXIT_CHILD");
    if (mode == nullptr || logDir == nullptr)
        GTEST_SKIP() << "runs as a child of ExitWithOpenGlPortsPlaying";
    const bool window = std::string(mode) == "window";
    static quorixtest::TempDir dir;
    // The clip over and over (it starts with a key frame): the files still play when the process
    // ends, as fisheye pictures that every render thread de-warps into a panorama.
    playertest::Clip longClip = stresstest::H264Clip();
    for (int repeat = 0; repeat < 40; ++repeat) {
        longClip.packets.insert(longClip.packets.end(), stresstest::H264Clip().packets.begin(),
                                stresstest::H264Clip().packets.end());
    }
    const std::string path = dir.Path("clip-fisheye.kz");
    if (!quorixtest::WriteFile(path, playertest::ClipFile(longClip, 40, QUORIX_MODEL_FISHEYE)))
        std::_Exit(2);
    if (QUORIX_InitSDK() != QUORIX_OK)
        std::_Exit(3);
    const std::string logBase = std::string(logDir) + "/quorix";
    QUORIX_SetLogAttribute(1, 0, logBase.c_str(), "txt");

    // One window per port (a window carries one GL surface), a quarter of the screen each.
    Display* display = nullptr;
    const int width = window ? 960 : 1920;
    const int height = window ? 540 : 1080;
    if (window) {
        display = XOpenDisplay(nullptr);
        if (display == nullptr)
            std::_Exit(10);
    }
    for (int i = 0; i < kGlPorts; ++i) {
        QUORIX_HWND target = 0;
        if (window) {
            const int screen = DefaultScreen(display);
            const Window w = XCreateSimpleWindow(
                display, RootWindow(display, screen), (i % 2) * width, (i / 2) * height, width,
                height, 0, BlackPixel(display, screen), BlackPixel(display, screen));
            XMapWindow(display, w);
            XSync(display, False);
            target = static_cast<QUORIX_HWND>(w);
        }
        uint16_t port = 0;
        if (QUORIX_GetPort(&port) != QUORIX_OK)
            std::_Exit(4);
        g_glPorts[i] = port;
        // Large regions: region 0 covers the whole window (or a 1080p pbuffer), the other five
        // lie over it, each de-warping in another display type.
        const QUORIX_RECT rect{0, 0, width, height};
        if (QUORIX_SetDisplayRegion(port, 0, &rect, 1) != QUORIX_OK)
            std::_Exit(5);
        static constexpr uint32_t kTypes[] = {QUORIX_DISPLAY_SPHERE, QUORIX_DISPLAY_PLANE180,
                                              QUORIX_DISPLAY_CYLINDER,
                                              QUORIX_DISPLAY_CYLINDER_INSIDE, QUORIX_DISPLAY_PLANE};
        for (uint16_t region = 1; region < QUORIX_MAX_REGIONS; ++region) {
            const QUORIX_RECT part{(region % 3) * width / 3, (region / 3) * height / 2,
                                   (region % 3 + 1) * width / 3, (region / 3 + 1) * height / 2};
            if (QUORIX_SetDisplayRegion(port, region, &part, 1) != QUORIX_OK)
                std::_Exit(5);
            if (QUORIX_SetCurrentDisplayType(port, region, kTypes[region - 1]) != QUORIX_OK)
                std::_Exit(13);
        }
        if (QUORIX_SetDrawCallback(port, 0, &OnGlDraw, nullptr) != QUORIX_OK)
            std::_Exit(6);
        if (i % 2 == 0) {
            if (QUORIX_OpenFile(port, path.c_str()) != QUORIX_OK)
                std::_Exit(7);
        } else {
            if (QUORIX_OpenStream(port, QUORIX_MODEL_FISHEYE, nullptr, 0, nullptr, 0) != QUORIX_OK)
                std::_Exit(8);
        }
        if (QUORIX_SetCurrentDisplayType(port, 0, QUORIX_DISPLAY_PLANE360) != QUORIX_OK)
            std::_Exit(12);
        if (QUORIX_Play(port, target, nullptr, 0) != QUORIX_OK)
            std::_Exit(9);
        if (i % 2 == 1) {
            for (const auto& r : stresstest::H264Records())
                stresstest::Push(port, r);
        }
    }
    // Every render thread has drawn. A thread draws new pictures only, and a slow one may show
    // all the stream's pictures in one frame: the file ports go on playing while the process ends.
    if (!g_draws.WaitAll(1, kWaitMs))
        std::_Exit(11);
    // The window and its connection stay open: a host returning from main does not close them.
    std::exit(0);
}

// Spawns this executable as the child above and returns its wait status; fails the test when it
// does not end.
int RunGlExitChild(const std::string& mode, const std::string& logDir) {
    const std::string self = fs::read_symlink("/proc/self/exe").string();
    std::vector<std::string> args = {
        self, "--gtest_filter=StressExitChild.DISABLED_EndsWithOpenGlPortsPlaying",
        "--gtest_also_run_disabled_tests"};
    std::vector<std::string> env;
    for (char** e = environ; *e != nullptr; ++e)
        env.emplace_back(*e);
    env.push_back("QUORIX_STRESS_EXIT_CHILD=" + logDir);
    env.push_back("QUORIX_STRESS_EXIT_GL=" + mode);
    std::vector<char*> argv, envp;
    for (auto& a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    for (auto& e : env)
        envp.push_back(e.data());
    envp.push_back(nullptr);
    pid_t pid = 0;
    if (posix_spawn(&pid, self.c_str(), nullptr, nullptr, argv.data(), envp.data()) != 0) {
        ADD_FAILURE() << "cannot start the child";
        return -1;
    }
    std::promise<int> done;
    auto status = done.get_future();
    std::thread waiter([pid, &done] {
        int s = 0;
        while (::waitpid(pid, &s, 0) < 0 && errno == EINTR) {
        }
        done.set_value(s);
    });
    const bool ended =
        status.wait_for(std::chrono::milliseconds(kWaitMs)) == std::future_status::ready;
    if (!ended)
        ::kill(pid, SIGKILL);
    waiter.join();
    EXPECT_TRUE(ended) << "the process did not end: exit hung with OpenGL ports playing";
    return status.get();
}

TEST(StressExitGl, ExitWithOpenGlPortsPlaying) {
    ASSERT_FALSE(stresstest::H264Clip().packets.empty()) << "libx264 missing";
    quorixtest::TempDir dir;
    // The test command runs the suite under its own X server; without one only the headless
    // pbuffer is tried.
    std::vector<std::string> modes = {"pbuffer"};
    if (std::getenv("DISPLAY") != nullptr)
        modes.push_back("window");
    const int runs = std::max(2, stresstest::Cycles(120) / 60);
    for (const std::string& mode : modes) {
        for (int run = 0; run < runs; ++run) {
            SCOPED_TRACE(mode + " run " + std::to_string(run));
            const std::string logDir = dir.Path("gl-exit-" + mode + "-" + std::to_string(run));
            fs::create_directories(logDir);
            const int s = RunGlExitChild(mode, logDir);
            ASSERT_TRUE(WIFEXITED(s))
                << "child ended by signal " << (WIFSIGNALED(s) ? WTERMSIG(s) : 0);
            ASSERT_EQ(0, WEXITSTATUS(s)) << "the child failed before its exit (see its exit code)";
            // The render threads were ended by the library on the way out, each on its own.
            std::string log;
            for (const auto& entry : fs::directory_iterator(logDir)) {
                std::ifstream in(entry.path(), std::ios::binary);
                log.append(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
            }
            EXPECT_NE(std::string::npos, log.find("the 'CRender_"))
                << "the log shows no render thread";
            EXPECT_EQ(std::string::npos, log.find("exitcode=0x8000801e")) << log;
        }
    }
}

}  // namespace
