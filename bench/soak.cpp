// Soak run: sixteen live ports fed at camera pace and four file ports playing in a loop, with
// random control calls on random ports, for a number of minutes. Memory, open file descriptors
// and threads are sampled at a fixed interval; after the warm-up, memory must stay within 1 % and
// descriptors and threads must not climb. Prints the curve and PASS or FAIL (exit status 0 or 1).
//
//   quorix_soak [--minutes M] [--sample-seconds S] [--warmup-samples W] [--quiet-seconds Q]
//               [--gl-ports K] [--trim 0|1]
//
// Live ports play into the external renderer double, so that the run measures the engine and the
// decoders rather than a software rasteriser; --gl-ports K gives the first K live ports the
// OpenGL renderer instead (ordinary picture, off screen).
//
// Memory per sample, in KiB:
//   rss       resident size (VmRSS), what the system charges the process;
//   held      what the process holds: the bytes the allocator has handed out and not taken back
//             (mallinfo2 uordblks) plus everything resident outside the allocator's heaps
//             (stacks, the allocator's own mmapped blocks, other libraries' mappings, code). A
//             leak through the allocator or past it shows here; free memory the allocator keeps
//             does not;
//   heap_res  resident size of the allocator's heaps (the main heap and the arenas' heaps, which
//             glibc maps at multiples of 64 MiB); heap_res - heap_used is what the allocator keeps;
//   heap_used bytes in use in those heaps (uordblks);
//   anon      resident anonymous memory outside the heaps; files: resident mapped files;
//   mapped    bytes the allocator has taken from the system (mallinfo2 arena + hblkhd);
//   arenas    allocator arenas (one <heap> each in malloc_info);
//   rss_trim  with --trim 1 only: resident size right after malloc_trim(0) (the trim changes what
//             rss shows from then on, so it is off by default).
// Every stop, close and free ends a port's stream threads and its decoder; the next play opens a
// decoder on a new thread, and a decoder context is one block of about 750 KiB. glibc serves large
// blocks by mmap only until the first of them is freed, then raises its mmap threshold above
// them, so from then on the contexts come out of the arena of whichever thread opened them (up to
// eight arenas per core), and each arena keeps the free pages between its live blocks: rss sits
// tens of MiB above held and wanders with the churn while held stays flat. The 1 % verdict applies
// to held; the growth of rss is printed beside it. Threads: live threads of the process; started
// and reaped count every pthread_create and every thread joined or detached since the start, so
// that unreaped threads show.

#include <dirent.h>
#include <dlfcn.h>
#include <malloc.h>
#include <pthread.h>
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

// Every thread of the process, the library's and this program's, is counted on its way in and on
// its way out: a thread that is neither joined nor detached keeps its stack mapped.
namespace {
std::atomic<uint64_t> g_threadsStarted{0};
std::atomic<uint64_t> g_threadsReaped{0};

template <typename Fn>
Fn NextSymbol(const char* name) {
    return reinterpret_cast<Fn>(dlsym(RTLD_NEXT, name));
}
}  // namespace

extern "C" __attribute__((visibility("default"))) int pthread_create(pthread_t* thread,
                                                                     const pthread_attr_t* attr,
                                                                     void* (*start)(void*),
                                                                     void* arg) {
    using Fn = int (*)(pthread_t*, const pthread_attr_t*, void* (*)(void*), void*);
    static const Fn next = NextSymbol<Fn>("pthread_create");
    const int rc = next(thread, attr, start, arg);
    if (rc == 0) {
        int state = PTHREAD_CREATE_JOINABLE;
        g_threadsStarted.fetch_add(1);
        // A thread created detached is reaped by the system.
        if (attr != nullptr && pthread_attr_getdetachstate(attr, &state) == 0 &&
            state == PTHREAD_CREATE_DETACHED) {
            g_threadsReaped.fetch_add(1);
        }
    }
    return rc;
}

extern "C" __attribute__((visibility("default"))) int pthread_join(pthread_t thread,
                                                                   void** result) {
    using Fn = int (*)(pthread_t, void**);
    static const Fn next = NextSymbol<Fn>("pthread_join");
    const int rc = next(thread, result);
    if (rc == 0)
        g_threadsReaped.fetch_add(1);
    return rc;
}

extern "C" __attribute__((visibility("default"))) int pthread_detach(pthread_t thread) {
    using Fn = int (*)(pthread_t);
    static const Fn next = NextSymbol<Fn>("pthread_detach");
    const int rc = next(thread);
    if (rc == 0)
        g_threadsReaped.fetch_add(1);
    return rc;
}

namespace {

constexpr int kLivePorts = 16;
constexpr int kFilePorts = 4;
constexpr uint32_t kFrameMs = 40;
constexpr int kReadings = 5;  // memory readings per sample

// One field of /proc/self/status ("VmRSS:", "Threads:"), -1 when missing.
long StatusField(const char* name) {
    FILE* f = std::fopen("/proc/self/status", "r");
    if (f == nullptr)
        return -1;
    char line[256];
    long value = -1;
    const size_t n = std::strlen(name);
    while (std::fgets(line, sizeof line, f) != nullptr) {
        if (std::strncmp(line, name, n) == 0)
            value = std::strtol(line + n, nullptr, 10);
    }
    std::fclose(f);
    return value;
}

// Names of the live threads other than the main thread.
std::string ThreadNames() {
    std::string names;
    DIR* d = opendir("/proc/self/task");
    if (d == nullptr)
        return names;
    while (const dirent* e = readdir(d)) {
        if (e->d_name[0] == '.' || std::atol(e->d_name) == static_cast<long>(getpid()))
            continue;
        char comm[64] = {};
        const std::string path = std::string("/proc/self/task/") + e->d_name + "/comm";
        if (FILE* f = std::fopen(path.c_str(), "r")) {
            if (std::fgets(comm, sizeof comm, f) != nullptr)
                comm[std::strcspn(comm, "\n")] = '\0';
            std::fclose(f);
        }
        names += std::string(" ") + comm;
    }
    closedir(d);
    return names;
}

int Arenas() {
    char* text = nullptr;
    size_t size = 0;
    FILE* f = open_memstream(&text, &size);
    if (f == nullptr)
        return -1;
    malloc_info(0, f);
    std::fclose(f);
    int n = 0;
    for (const char* at = text; (at = std::strstr(at, "<heap nr=")) != nullptr; ++at)
        ++n;
    std::free(text);
    return n;
}

// Resident KiB by kind of mapping: the allocator's heaps (the main heap and the other arenas'
// heaps, which glibc maps at multiples of 64 MiB), other anonymous memory (thread stacks, the
// allocator's mmapped blocks, the mappings of libraries that do not go through malloc) and mapped
// files (code, shader caches).
struct Residence {
    long heaps = 0;
    long otherAnon = 0;
    long files = 0;
};

Residence ResidentByKind() {
    Residence r;
    FILE* f = std::fopen("/proc/self/smaps", "r");
    if (f == nullptr)
        return r;
    constexpr unsigned long kArenaHeapAlign = 64ul << 20;
    char line[512];
    long* bucket = nullptr;
    while (std::fgets(line, sizeof line, f) != nullptr) {
        unsigned long from = 0, to = 0;
        char perms[8] = {};
        int nameAt = 0;
        if (std::sscanf(line, "%lx-%lx %7s %*s %*s %*s %n", &from, &to, perms, &nameAt) >= 3 &&
            nameAt > 0) {
            const char* name = line + nameAt;
            if (name[0] == '/')
                bucket = &r.files;
            else if (std::strncmp(name, "[heap]", 6) == 0 ||
                     ((name[0] == '\0' || name[0] == '\n') && perms[1] == 'w' &&
                      from % kArenaHeapAlign == 0))
                bucket = &r.heaps;
            else
                bucket = &r.otherAnon;
        } else if (bucket != nullptr && std::strncmp(line, "Rss:", 4) == 0) {
            *bucket += std::strtol(line + 4, nullptr, 10);
        }
    }
    std::fclose(f);
    return r;
}

struct Sample {  // memory in KiB, each the mean of the sample's readings
    long rss = 0;
    long held = 0;
    long heapUsed = 0;
    Residence kinds;
    long mapped = 0;
    long rssTrim = -1;  // only with trimming
    int arenas = 0;
    long threads = 0;
    uint64_t started = 0;
    uint64_t reaped = 0;
    int fds = 0;
};

int OpenDescriptors() {
    DIR* d = opendir("/proc/self/fd");
    if (d == nullptr)
        return -1;
    int n = 0;
    while (readdir(d) != nullptr)
        ++n;
    closedir(d);
    return n - 3;  // ".", ".." and the directory's own descriptor
}

struct Port {
    uint16_t number = 0;
    bool file = false;
    int model = QUORIX_MODEL_EXTERNAL;  // of a live port
    std::mutex lock;                    // serialises this port's control calls, opens and frees
    uint32_t sequence = 0;              // lock
};

struct Soak {
    std::string path;
    std::vector<std::vector<uint8_t>> records;
    Port ports[kLivePorts + kFilePorts];
    std::atomic<bool> stop{false};
    std::atomic<bool> quiet{false};  // control calls held while memory is read
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
        if (QUORIX_GetPort(&p.number) != QUORIX_OK)
            return false;
        if (p.file) {
            QUORIX_SetFileEndCallback(p.number, &OnFileEnd, this);
            if (QUORIX_OpenFile(p.number, path.c_str()) != QUORIX_OK)
                return false;
        } else if (QUORIX_OpenStream(p.number, p.model, nullptr, 0, nullptr, 0) != QUORIX_OK) {
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
                if (QUORIX_InputStreamData(p.number, r.data(), static_cast<uint32_t>(r.size())) ==
                    QUORIX_OK) {
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
            if (quiet.load()) {
                std::this_thread::sleep_for(std::chrono::milliseconds(50));
                continue;
            }
            Port& p = ports[pick(kLivePorts + kFilePorts)];
            {
                std::lock_guard<std::mutex> guard(p.lock);
                const uint16_t n = p.number;
                switch (pick(12)) {
                    case 0:
                        QUORIX_Fast(n);
                        break;
                    case 1:
                        QUORIX_Slow(n);
                        break;
                    case 2:
                        QUORIX_SetPlaySpeed(n, pick(5) - 2);
                        break;
                    case 3:
                        QUORIX_Pause(n, 1);
                        QUORIX_Pause(n, 0);
                        break;
                    case 4:
                        QUORIX_SetPlayedPos(n, static_cast<float>(pick(100)) / 100.0f);
                        break;
                    case 5:
                        QUORIX_OneByOne(n);
                        QUORIX_Pause(n, 0);
                        break;
                    case 6:
                        QUORIX_Stop(n);
                        QUORIX_Play(n, 0, nullptr, 0);
                        break;
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
                            QUORIX_OpenStream(n, p.model, nullptr, 0, nullptr, 0);
                        }
                        QUORIX_Play(n, 0, nullptr, 0);
                        break;
                    case 9:
                        // Free and take a port again (the same or another number).
                        QUORIX_FreePort(n);
                        if (!Open(p))
                            std::fprintf(stderr, "soak: reopening port %u failed\n", n);
                        break;
                    case 10:
                        QUORIX_SetPlaySpeed(n, 0);
                        break;
                    default:
                        QUORIX_OneByOneBack(n);
                        QUORIX_Pause(n, 0);
                        break;
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
    int warmupSamples = 0;  // 0: a sixth of the run
    bool trim = false;
    int quietSeconds = 3;
    int glPorts = 0;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (std::strcmp(argv[i], "--minutes") == 0)
            minutes = std::atof(argv[i + 1]);
        if (std::strcmp(argv[i], "--sample-seconds") == 0)
            sampleSeconds = std::max(1, std::atoi(argv[i + 1]));
        if (std::strcmp(argv[i], "--warmup-samples") == 0)
            warmupSamples = std::max(1, std::atoi(argv[i + 1]));
        if (std::strcmp(argv[i], "--gl-ports") == 0)
            glPorts = std::clamp(std::atoi(argv[i + 1]), 0, kLivePorts);
        if (std::strcmp(argv[i], "--quiet-seconds") == 0)
            quietSeconds = std::max(0, std::atoi(argv[i + 1]));
        if (std::strcmp(argv[i], "--trim") == 0)
            trim = std::atoi(argv[i + 1]) != 0;
    }
    if (std::getenv("QUORIX_AUDIO_DEVICE") == nullptr)
        setenv("QUORIX_AUDIO_DEVICE", "null", 1);

    const playertest::Clip clip = playertest::EncodeClip("libx264", 176, 144, 50, 25);
    if (clip.packets.empty()) {
        std::fprintf(stderr, "soak: libx264 missing\n");
        return 2;
    }
    quorixtest::TempDir dir;
    Soak soak;
    soak.path = dir.Path("loop.kz");
    soak.records = playertest::ClipRecords(clip, kFrameMs);
    if (!quorixtest::WriteFile(soak.path, playertest::ClipFile(clip, kFrameMs, -1)))
        return 2;
    const uint64_t before = g_threadsStarted.load() - g_threadsReaped.load();
    if (QUORIX_InitSDK() != QUORIX_OK)
        return 2;
    // Threads the library (and the GL driver under it) keep from the start-up until the process
    // ends.
    const uint64_t sdkThreads = g_threadsStarted.load() - g_threadsReaped.load() - before;
    for (int i = 0; i < kLivePorts + kFilePorts; ++i) {
        soak.ports[i].file = i >= kLivePorts;
        if (i < glPorts)
            soak.ports[i].model = QUORIX_MODEL_NORMAL;
        if (!soak.Open(soak.ports[i])) {
            std::fprintf(stderr, "soak: opening port %d failed\n", i);
            return 2;
        }
    }

    std::vector<std::thread> threads;
    for (int f = 0; f < 4; ++f)
        threads.emplace_back([&soak, f] { soak.Feed(f * 4, 4); });
    for (int c = 0; c < 2; ++c)
        threads.emplace_back([&soak, c] { soak.Control(20261207u + static_cast<uint32_t>(c)); });

    quietSeconds = std::min(quietSeconds, std::max(0, sampleSeconds / 2 - 2));
    const int wanted = static_cast<int>(minutes * 60.0 / sampleSeconds + 0.5);
    if (warmupSamples == 0)
        warmupSamples = std::max(1, wanted / 6);
    const int samples = std::max(warmupSamples + 2, wanted);
    std::vector<Sample> curve;
    std::printf(
        "verdict on held, the mean of %d readings per sample; control calls held %d s before the "
        "readings; warm-up %d of %d samples of %d s; memory in KiB\n",
        kReadings, quietSeconds, warmupSamples, samples, sampleSeconds);
    std::printf(
        "sample minute      rss     held heap_res heap_used   anon   files  mapped arenas "
        "rss_trim threads started  reaped fds  records controls file_ends\n");
    const auto start = std::chrono::steady_clock::now();
    for (int s = 1; s <= samples; ++s) {
        const auto due = start + std::chrono::seconds(static_cast<long>(s) * sampleSeconds);
        Sample m;
        // At any instant a few ports are between a stop and their next key frame, without a
        // decoder, and a decoder holds more than a megabyte: the count moves the in-use bytes by
        // several per cent from one instant to the next. The control calls are therefore held
        // for quietSeconds before the readings, so that every port is playing again, and the
        // memory figures of a sample are the means of kReadings readings half a second apart.
        const auto spacing = std::chrono::milliseconds(500);
        const auto first = due - spacing * (kReadings - 1);
        std::this_thread::sleep_until(first - std::chrono::seconds(quietSeconds));
        soak.quiet.store(quietSeconds > 0);
        Sample sum;
        sum.rssTrim = 0;
        for (int r = 0; r < kReadings; ++r) {
            std::this_thread::sleep_until(first + spacing * r);
            const struct mallinfo2 info = mallinfo2();
            const Residence kinds = ResidentByKind();
            sum.rss += StatusField("VmRSS:");
            sum.heapUsed += static_cast<long>(info.uordblks / 1024);
            sum.mapped += static_cast<long>((info.arena + info.hblkhd) / 1024);
            sum.kinds.heaps += kinds.heaps;
            sum.kinds.otherAnon += kinds.otherAnon;
            sum.kinds.files += kinds.files;
            if (trim) {
                malloc_trim(0);
                sum.rssTrim += StatusField("VmRSS:");
            }
        }
        soak.quiet.store(false);
        m.rss = sum.rss / kReadings;
        m.heapUsed = sum.heapUsed / kReadings;
        m.mapped = sum.mapped / kReadings;
        m.kinds.heaps = sum.kinds.heaps / kReadings;
        m.kinds.otherAnon = sum.kinds.otherAnon / kReadings;
        m.kinds.files = sum.kinds.files / kReadings;
        m.held = m.heapUsed + m.kinds.otherAnon + m.kinds.files;
        m.rssTrim = trim ? sum.rssTrim / kReadings : -1;
        m.arenas = Arenas();
        m.threads = StatusField("Threads:");
        m.started = g_threadsStarted.load();
        m.reaped = g_threadsReaped.load();
        m.fds = OpenDescriptors();
        curve.push_back(m);
        std::printf(
            "%6d %6.1f %8ld %8ld %8ld %9ld %6ld %7ld %7ld %6d %8ld %7ld %7llu %7llu %3d %8llu "
            "%8llu "
            "%9llu%s\n",
            s, s * sampleSeconds / 60.0, m.rss, m.held, m.kinds.heaps, m.heapUsed,
            m.kinds.otherAnon, m.kinds.files, m.mapped, m.arenas, m.rssTrim, m.threads,
            static_cast<unsigned long long>(m.started), static_cast<unsigned long long>(m.reaped),
            m.fds, static_cast<unsigned long long>(soak.pushed.load()),
            static_cast<unsigned long long>(soak.controls.load()),
            static_cast<unsigned long long>(soak.fileEnds.load()),
            s <= warmupSamples ? "  (warm-up)" : "");
        std::fflush(stdout);
    }

    // Single samples wander by a few per cent with the allocator's free lists: the first and the
    // last quarter of the samples after the warm-up are compared by their means.
    const std::vector<Sample> after(curve.begin() + warmupSamples, curve.end());
    const size_t window = std::max<size_t>(1, after.size() / 4);
    auto growth = [&after, window](long Sample::*field, double* base, double* last) {
        double head = 0, tail = 0;
        for (size_t i = 0; i < window; ++i) {
            head += static_cast<double>(after[i].*field);
            tail += static_cast<double>(after[after.size() - window + i].*field);
        }
        *base = head / static_cast<double>(window);
        *last = tail / static_cast<double>(window);
        return *base > 0 ? 100.0 * (*last - *base) / *base : 100.0;
    };
    double base = 0, last = 0;
    const double rawGrowth = growth(&Sample::rss, &base, &last);
    std::printf("means of the first and the last %zu samples after the warm-up:\n", window);
    std::printf(
        "  rss       %8.0f -> %8.0f KiB  %+6.2f %%  (the allocator's free pages included)\n", base,
        last, rawGrowth);
    const double usedGrowth = growth(&Sample::heapUsed, &base, &last);
    std::printf("  heap_used %8.0f -> %8.0f KiB  %+6.2f %%\n", base, last, usedGrowth);
    if (trim) {
        const double trimGrowth = growth(&Sample::rssTrim, &base, &last);
        std::printf("  rss_trim  %8.0f -> %8.0f KiB  %+6.2f %%\n", base, last, trimGrowth);
    }
    const double measured = growth(&Sample::held, &base, &last);
    std::printf("  held      %8.0f -> %8.0f KiB  %+6.2f %%  (limit 1 %%)\n", base, last, measured);

    // A file port holds its file only while open: a control call may catch one closed.
    int fdBase = 0;
    long threadBase = 0;
    for (int i = 0; i < warmupSamples; ++i) {
        fdBase = std::max(fdBase, curve[static_cast<size_t>(i)].fds);
        threadBase = std::max(threadBase, curve[static_cast<size_t>(i)].threads);
    }
    const int fdLast = curve.back().fds;
    const bool fdFlat = fdLast <= fdBase + kFilePorts;
    // Threads come and go with the control calls; a climb past what every port can hold at once
    // means threads that never end. Started minus reaped at the end of the run must be nothing
    // but the threads still running.
    const long threadLast = curve.back().threads;
    const bool threadsFlat = threadLast <= threadBase + 2L * (kLivePorts + kFilePorts);
    const long unreaped = static_cast<long>(curve.back().started - curve.back().reaped);
    std::printf("fds %d -> %d; threads %ld -> %ld, started %llu, reaped %llu, not yet reaped %ld\n",
                fdBase, fdLast, threadBase, threadLast,
                static_cast<unsigned long long>(curve.back().started),
                static_cast<unsigned long long>(curve.back().reaped), unreaped);

    soak.stop.store(true);
    for (auto& t : threads)
        t.join();
    for (auto& p : soak.ports)
        QUORIX_FreePort(p.number);
    QUORIX_ReleaseSDK();
    // Once every port is freed, every thread the library started must have been joined.
    // The GL driver keeps a few threads of its own from the start-up test of OpenGL for the life of
    // the process; every thread that the ports start must have been joined.
    const long leftOver =
        static_cast<long>(g_threadsStarted.load() - g_threadsReaped.load() - before);
    std::printf(
        "after freeing every port: threads %ld, not reaped beyond those of the start-up %ld "
        "(%llu)\n",
        StatusField("Threads:"), leftOver - static_cast<long>(sdkThreads),
        static_cast<unsigned long long>(sdkThreads));
    std::printf("threads left:%s\n", ThreadNames().c_str());

    const bool pass = measured < 1.0 && fdFlat && threadsFlat &&
                      leftOver == static_cast<long>(sdkThreads) && soak.pushed.load() > 0;
    std::printf("%s\n", pass ? "PASS" : "FAIL");
    return pass ? 0 : 1;
}
