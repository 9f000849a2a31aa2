// Soak run: sixteen live ports fed at camera pace and four file ports playing in a loop, with
// random control calls on random ports, for a number of minutes. Resident memory and open file
// descriptors are sampled at a fixed interval; after the warm-up, memory must stay within 1 % of
// its level at the end of the warm-up and descriptors must not climb. Prints the curve and PASS
// or FAIL (exit status 0 or 1).
//
//   quorix_soak [--minutes M] [--sample-seconds S] [--warmup-samples W]

#include <dirent.h>
#include <malloc.h>
#include <quorixsdk.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "media/hmfformat.h"
#include "support/container_builder.h"
#include "support/player_media.h"

namespace {

constexpr int kLivePorts = 16;
constexpr int kFilePorts = 4;
constexpr uint32_t kFrameMs = 40;

long ResidentKiB() {
    FILE* f = std::fopen("/proc/self/status", "r");
    if (f == nullptr) return -1;
    char line[256];
    long kib = -1;
    while (std::fgets(line, sizeof line, f) != nullptr) {
        if (std::strncmp(line, "VmRSS:", 6) == 0) kib = std::strtol(line + 6, nullptr, 10);
    }
    std::fclose(f);
    return kib;
}

// Bytes the allocator has handed out and not taken back, all arenas and mapped blocks: when this
// stays flat while the resident size climbs, the climb is the allocator's, not the library's.
long HeapInUseKiB() {
    const struct mallinfo2 info = mallinfo2();
    return static_cast<long>((info.uordblks + info.hblkhd) / 1024);
}

int OpenDescriptors() {
    DIR* d = opendir("/proc/self/fd");
    if (d == nullptr) return -1;
    int n = 0;
    while (readdir(d) != nullptr) ++n;
    closedir(d);
    return n - 3;  // ".", ".." and the directory's own descriptor
}

struct Port {
    uint16_t number = 0;
    bool file = false;
    std::mutex lock;  // serialises this port's control calls, opens and frees
    uint32_t sequence = 0;  // lock
};

struct Soak {
    std::string path;
    std::vector<std::vector<uint8_t>> records;
    Port ports[kLivePorts + kFilePorts];
    std::atomic<bool> stop{false};
    std::atomic<uint64_t> pushed{0};
    std::atomic<uint64_t> controls{0};
    std::atomic<uint64_t> fileEnds{0};

    static void OnFileEnd(uint16_t port, void* user) {
        auto* self = static_cast<Soak*>(user);
        self->fileEnds.fetch_add(1);
        // Loops the file from the reader's own callback, as a host would.
        QUORIX_SetPlayedPos(port, 0.0f);
    }

    bool Open(Port& p) {
        if (QUORIX_GetPort(&p.number) != QUORIX_OK) return false;
        if (p.file) {
            QUORIX_SetFileEndCallback(p.number, &OnFileEnd, this);
            if (QUORIX_OpenFile(p.number, path.c_str()) != QUORIX_OK) return false;
        } else if (QUORIX_OpenStream(p.number, -1, nullptr, 0, nullptr, 0) != QUORIX_OK) {
            return false;
        }
        return QUORIX_Play(p.number, 0, nullptr, 0) == QUORIX_OK;
    }

    // Feeds every live port one record per frame interval.
    void Feed(int first, int count) {
        auto next = std::chrono::steady_clock::now();
        while (!stop.load()) {
            for (int i = first; i < first + count; ++i) {
                Port& p = ports[i];
                std::lock_guard<std::mutex> guard(p.lock);
                std::vector<uint8_t> r = records[p.sequence % records.size()];
                BRIXEL::HStoreLE32(&r[4], p.sequence);
                BRIXEL::HStoreLE32(&r[8], p.sequence * kFrameMs);
                if (QUORIX_InputStreamData(p.number, r.data(), static_cast<uint32_t>(r.size())) == QUORIX_OK) {
                    ++p.sequence;
                    pushed.fetch_add(1);
                }
            }
            next += std::chrono::milliseconds(kFrameMs);
            std::this_thread::sleep_until(next);
        }
    }

    // Random control calls on random ports, a few per second.
    void Control(uint32_t seed) {
        std::mt19937 rng(seed);
        auto pick = [&rng](int n) { return std::uniform_int_distribution<int>(0, n - 1)(rng); };
        while (!stop.load()) {
            Port& p = ports[pick(kLivePorts + kFilePorts)];
            {
                std::lock_guard<std::mutex> guard(p.lock);
                const uint16_t n = p.number;
                switch (pick(12)) {
                    case 0: QUORIX_Fast(n); break;
                    case 1: QUORIX_Slow(n); break;
                    case 2: QUORIX_SetPlaySpeed(n, pick(5) - 2); break;
                    case 3: QUORIX_Pause(n, 1); QUORIX_Pause(n, 0); break;
                    case 4: QUORIX_SetPlayedPos(n, static_cast<float>(pick(100)) / 100.0f); break;
                    case 5: QUORIX_OneByOne(n); QUORIX_Pause(n, 0); break;
                    case 6: QUORIX_Stop(n); QUORIX_Play(n, 0, nullptr, 0); break;
                    case 7: {
                        uint32_t playing = 0;
                        QUORIX_IsPlaying(n, &playing);
                        QUORIX_GetPlayedTime(n);
                        QUORIX_GetCurrentVideoFrameStamp(n);
                        break;
                    }
                    case 8:
                        // Close and open again.
                        if (p.file) {
                            QUORIX_CloseFile(n);
                            QUORIX_OpenFile(n, path.c_str());
                        } else {
                            QUORIX_CloseStream(n);
                            QUORIX_SetStreamOpenMode(n, static_cast<uint32_t>(pick(3)));
                            QUORIX_OpenStream(n, -1, nullptr, 0, nullptr, 0);
                        }
                        QUORIX_Play(n, 0, nullptr, 0);
                        break;
                    case 9:
                        // Free and take a port again (the same or another number).
                        QUORIX_FreePort(n);
                        if (!Open(p)) std::fprintf(stderr, "soak: reopening port %u failed\n", n);
                        break;
                    case 10: QUORIX_SetPlaySpeed(n, 0); break;
                    default: QUORIX_OneByOneBack(n); QUORIX_Pause(n, 0); break;
                }
            }
            controls.fetch_add(1);
            std::this_thread::sleep_for(std::chrono::milliseconds(50 + pick(150)));
        }
    }
};

}  // namespace

int main(int argc, char** argv) {
    double minutes = 5;
    int sampleSeconds = 60;
    int warmupSamples = 1;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (std::strcmp(argv[i], "--minutes") == 0) minutes = std::atof(argv[i + 1]);
        if (std::strcmp(argv[i], "--sample-seconds") == 0) sampleSeconds = std::max(1, std::atoi(argv[i + 1]));
        if (std::strcmp(argv[i], "--warmup-samples") == 0) warmupSamples = std::max(1, std::atoi(argv[i + 1]));
    }
    if (std::getenv("QUORIX_AUDIO_DEVICE") == nullptr) setenv("QUORIX_AUDIO_DEVICE", "null", 1);

    const playertest::Clip clip = playertest::EncodeClip("libx264", 176, 144, 50, 25);
    if (clip.packets.empty()) {
        std::fprintf(stderr, "soak: libx264 missing\n");
        return 2;
    }
    quorixtest::TempDir dir;
    Soak soak;
    soak.path = dir.Path("loop.kz");
    soak.records = playertest::ClipRecords(clip, kFrameMs);
    if (!quorixtest::WriteFile(soak.path, playertest::ClipFile(clip, kFrameMs, -1))) return 2;
    if (QUORIX_InitSDK() != QUORIX_OK) return 2;
    for (int i = 0; i < kLivePorts + kFilePorts; ++i) {
        soak.ports[i].file = i >= kLivePorts;
        if (!soak.Open(soak.ports[i])) {
            std::fprintf(stderr, "soak: opening port %d failed\n", i);
            return 2;
        }
    }

    std::vector<std::thread> threads;
    for (int f = 0; f < 4; ++f) threads.emplace_back([&soak, f] { soak.Feed(f * 4, 4); });
    for (int c = 0; c < 2; ++c) threads.emplace_back([&soak, c] { soak.Control(20261207u + static_cast<uint32_t>(c)); });

    const int samples = std::max(warmupSamples + 1, static_cast<int>(minutes * 60.0 / sampleSeconds + 0.5));
    std::vector<long> rss;
    std::vector<int> fds;
    std::printf("sample  minute  rss_kib  heap_kib  fds  records  controls  file_ends\n");
    const auto start = std::chrono::steady_clock::now();
    for (int s = 1; s <= samples; ++s) {
        std::this_thread::sleep_until(start + std::chrono::seconds(static_cast<long>(s) * sampleSeconds));
        rss.push_back(ResidentKiB());
        fds.push_back(OpenDescriptors());
        std::printf("%6d  %6.1f  %7ld  %8ld  %3d  %7llu  %8llu  %9llu%s\n", s, s * sampleSeconds / 60.0,
                    rss.back(), HeapInUseKiB(), fds.back(), static_cast<unsigned long long>(soak.pushed.load()),
                    static_cast<unsigned long long>(soak.controls.load()),
                    static_cast<unsigned long long>(soak.fileEnds.load()), s <= warmupSamples ? "  (warm-up)" : "");
        std::fflush(stdout);
    }
    soak.stop.store(true);
    for (auto& t : threads) t.join();
    for (auto& p : soak.ports) QUORIX_FreePort(p.number);
    QUORIX_ReleaseSDK();

    // Resident size wanders by a few per cent with the allocator's free lists: the first and the
    // last quarter of the samples after the warm-up are compared by their means.
    std::vector<long> after(rss.begin() + warmupSamples, rss.end());
    const size_t window = std::max<size_t>(1, after.size() / 4);
    auto mean = [](std::vector<long>::const_iterator from, size_t n) {
        long long sum = 0;
        for (size_t i = 0; i < n; ++i) sum += from[static_cast<long>(i)];
        return static_cast<double>(sum) / static_cast<double>(n);
    };
    const double base = mean(after.begin(), window);
    const double last = mean(after.end() - static_cast<long>(window), window);
    const long peak = *std::max_element(after.begin(), after.end());
    const double growth = base > 0 ? 100.0 * (last - base) / base : 100.0;
    const int fdBase = *std::max_element(fds.begin(), fds.begin() + warmupSamples);
    const int fdLast = fds.back();
    // The file ports hold their file only while open: a control call may catch one closed.
    const bool fdFlat = fdLast <= fdBase + kFilePorts;
    const bool pass = growth < 1.0 && fdFlat && soak.pushed.load() > 0;
    std::printf("rss mean of the first %zu samples after warm-up %.0f KiB, of the last %zu %.0f KiB (%+.2f %%), "
                "peak %ld KiB; fds %d -> %d\n",
                window, base, window, last, growth, peak, fdBase, fdLast);
    std::printf("%s\n", pass ? "PASS" : "FAIL");
    return pass ? 0 : 1;
}
