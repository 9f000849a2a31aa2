// Many ports at once through the public interface: each port gets a live 1080p 25 fps H.264
// stream pushed by a host thread of its own and draws it headless into one 640x360 region. The
// snapshot callback of each region captures only the band of picture numbers at its top, to
// count the pictures that were drawn. Measured over the run: the process's CPU time, its
// resident memory above what it held before the ports opened, records refused at input and
// pictures never drawn.
// Anchor, in the same run: one `ffmpeg -re ... -f null -` process per port decoding the same
// stream at its own pace; their CPU time and peak resident memory (minus that of an ffmpeg that
// decodes nothing, which is the program's own share).
// Then every port pauses on its last picture and the process's CPU time over a few seconds,
// per port, is the idle figure.
// Renderer: "cpu" (default) opens every port on a lens model whose view the software display
// draws through the CPU de-warp (QUORIX_CPU_DEWARP=1), in the flat layout so that the region's
// capture still shows the numbers; "gl" opens the normal model on OpenGL (QUORIX_CPU_DEWARP=0).
//   bench_ports [ports=16] [seconds=10, measured after 3 s of warm-up] [cpu|gl]

#include <fcntl.h>
#include <quorixsdk.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "live_common.h"

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;
constexpr uint32_t kWarmUpSeconds = 3;
constexpr uint32_t kIdleSeconds = 3;
// What the software display's snapshot callback hands over for the undistorted picture.
constexpr uint32_t kPlanarYuv420 = 20;

double ProcessCpuSeconds() {
    timespec now{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

double ResidentMb() {
    std::ifstream statm("/proc/self/statm");
    long pages = 0, resident = 0;
    statm >> pages >> resident;
    return static_cast<double>(resident) * static_cast<double>(sysconf(_SC_PAGESIZE)) /
           (1024.0 * 1024.0);
}

struct Port {
    uint16_t number = 0;
    bool opened = false;
    uint32_t refused = 0;
    std::mutex lock;             // guards drawn
    std::vector<uint8_t> drawn;  // per picture number: 1 once a callback showed it
    std::atomic<uint64_t> callbacks{0};
    std::atomic<uint64_t> unreadable{0};  // callbacks whose band showed no valid number
};

void OnSnap(uint16_t, uint16_t, uint32_t width, uint32_t stride, uint32_t height, uint32_t format,
            const uint8_t* data, void* user) {
    Port& port = *static_cast<Port*>(user);
    port.callbacks.fetch_add(1, std::memory_order_relaxed);
    if (format == kPlanarYuv420) {
        // The software display's picture, just before it is drawn: the numbers are in its Y plane.
        const int64_t number =
            livebench::ReadNumber(data, width, stride, height, 1, livebench::kBandHeight);
        if (number < 0)
            port.unreadable.fetch_add(1, std::memory_order_relaxed);
        std::lock_guard<std::mutex> guard(port.lock);
        if (number >= 0 && static_cast<size_t>(number) < port.drawn.size())
            port.drawn[static_cast<size_t>(number)] = 1;
        return;
    }
    if (format != QUORIX_PIXEL_BGR32 && format != QUORIX_PIXEL_RGB32)
        return;
    // The capture is the band alone when the snapshot rectangle was accepted (height about a
    // tenth of the region), else the whole region.
    const float band = height <= 360 / 5 ? 1.0f : livebench::kBandHeight;
    const int64_t number = livebench::ReadNumber(data, width, stride, height, 4, band);
    if (number < 0)
        port.unreadable.fetch_add(1, std::memory_order_relaxed);
    std::lock_guard<std::mutex> guard(port.lock);
    if (number >= 0 && static_cast<size_t>(number) < port.drawn.size())
        port.drawn[static_cast<size_t>(number)] = 1;
}

// VmHWM of a running process (its own peak since exec), 0 once it is gone.
double PeakResidentMb(pid_t pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string key;
    while (status >> key) {
        if (key == "VmHWM:") {
            double kb = 0;
            status >> kb;
            return kb / 1024.0;
        }
        std::getline(status, key);
    }
    return 0.0;
}

struct Anchor {
    double cpuSeconds = 0;
    double wallSeconds = 0;
    double maxResidentMb = 0;  // average over the processes
    bool ok = false;
};

// Runs `count` copies of ffmpeg with `args` at once; sums their CPU time, averages peak memory.
Anchor RunFfmpeg(uint32_t count, const std::vector<std::string>& args) {
    Anchor anchor;
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>("ffmpeg"));
    for (const std::string& a : args)
        argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    const Clock::time_point start = Clock::now();
    std::vector<pid_t> children;
    for (uint32_t i = 0; i < count; ++i) {
        pid_t pid = 0;
        if (posix_spawnp(&pid, "ffmpeg", &actions, nullptr, argv.data(), environ) == 0)
            children.push_back(pid);
    }
    posix_spawn_file_actions_destroy(&actions);
    // Peak memory comes from each child's own /proc record while it runs: the rusage peak of a
    // spawned child also counts the parent's memory it shared before exec.
    uint32_t succeeded = 0;
    std::vector<double> peakMb(children.size(), 0.0);
    std::vector<bool> done(children.size(), false);
    for (size_t left = children.size(); left > 0;) {
        for (size_t i = 0; i < children.size(); ++i) {
            if (done[i])
                continue;
            peakMb[i] = std::max(peakMb[i], PeakResidentMb(children[i]));
            int status = 0;
            rusage usage{};
            const pid_t reaped = wait4(children[i], &status, WNOHANG, &usage);
            if (reaped == 0)
                continue;
            done[i] = true;
            --left;
            if (reaped != children[i] || !WIFEXITED(status) || WEXITSTATUS(status) != 0)
                continue;
            ++succeeded;
            anchor.cpuSeconds += usage.ru_utime.tv_sec + usage.ru_utime.tv_usec * 1e-6 +
                                 usage.ru_stime.tv_sec + usage.ru_stime.tv_usec * 1e-6;
            anchor.maxResidentMb += peakMb[i];
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    anchor.wallSeconds = std::chrono::duration<double>(Clock::now() - start).count();
    anchor.ok = succeeded == count && count > 0;
    if (succeeded > 0)
        anchor.maxResidentMb /= succeeded;
    return anchor;
}

struct AnchorRun {
    Anchor decode;  // one ffmpeg per port
    Anchor idle;    // one ffmpeg that decodes nothing
};

// The same stream as a raw H.264 file, decoded by ffmpeg processes at the camera's pace.
AnchorRun RunAnchor(uint32_t portCount, const std::vector<std::vector<uint8_t>>& records) {
    AnchorRun run;
    char dir[] = "/tmp/bench_ports_XXXXXX";
    if (mkdtemp(dir) == nullptr)
        return run;
    const std::string path = std::string(dir) + "/stream.h264";
    {
        std::ofstream out(path, std::ios::binary);
        for (const auto& record : records)
            out.write(reinterpret_cast<const char*>(record.data()) + BRIXEL::kHMFFrameHeaderSize,
                      static_cast<std::streamsize>(record.size() - BRIXEL::kHMFFrameHeaderSize));
    }
    // One decoding thread each, as every port's decoder has once the cores are shared out.
    run.decode = RunFfmpeg(portCount, {"-nostdin", "-hide_banner", "-threads", "1", "-re", "-f",
                                       "h264", "-framerate", "25", "-i", path, "-f", "null", "-"});
    run.idle = RunFfmpeg(1, {"-nostdin", "-hide_banner", "-re", "-f", "lavfi", "-i",
                             "color=s=16x16:d=1", "-f", "null", "-"});
    std::remove(path.c_str());
    rmdir(dir);
    return run;
}

void NotAvailable(const std::string& why) {
    std::printf(
        "BENCH many live 1080p ports, software GL: CPU (%% of one core)|not available yet "
        "(%s)|-|-|<= 1.2\n",
        why.c_str());
    std::printf(
        "BENCH many live 1080p ports: resident memory per port above the decoders' (MB)|"
        "not available yet|-|-|<= 40\n");
    std::printf(
        "BENCH many live 1080p ports: frames refused or never drawn|not available yet|-|-|== 0\n");
}

}  // namespace

int main(int argc, char** argv) {
    const uint32_t portCount =
        argc > 1 ? static_cast<uint32_t>(std::clamp(std::atoi(argv[1]), 1, 64)) : 16;
    const uint32_t seconds =
        argc > 2 ? static_cast<uint32_t>(std::clamp(std::atoi(argv[2]), 2, 120)) : 10;
    // The first seconds are a warm-up outside the figures: every renderer compiles its shaders
    // (the software rasteriser's compiler is slow) and the pools fill.
    const bool cpuDewarp = argc <= 3 || std::string(argv[3]) != "gl";
    setenv("QUORIX_CPU_DEWARP", cpuDewarp ? "1" : "0", 1);
    const char* const label = cpuDewarp ? "CPU de-warp" : "software GL";
    const uint32_t warmFrames = kWarmUpSeconds * 1000 / livebench::kIntervalMs;
    const uint32_t frames = warmFrames + seconds * 1000 / livebench::kIntervalMs;
    std::printf("%u ports, %u s of 1080p H.264 at 25 pictures/s each; encoding %u pictures...\n",
                portCount, seconds, frames);
    const std::vector<std::vector<uint8_t>> records = livebench::EncodeStream(frames);
    if (records.empty()) {
        NotAvailable("no libx264");
        return 0;
    }

    QUORIX_InitSDK();
    const double baseMb = ResidentMb();
    std::vector<std::unique_ptr<Port>> ports;
    std::string why;
    bool snapshots = true;
    std::string snapWhy;
    for (uint32_t i = 0; i < portCount && why.empty(); ++i) {
        auto port = std::make_unique<Port>();
        port->drawn.assign(frames, 0);
        uint32_t code = QUORIX_GetPort(&port->number);
        if (code != QUORIX_OK) {
            why = std::string("QUORIX_GetPort: ") + livebench::CodeName(code);
            break;
        }
        const QUORIX_RECT rect{0, 0, 640, 360};
        const uint16_t n = port->number;
        const auto step = [&](const char* name, uint32_t result) {
            if (result == QUORIX_OK)
                return true;
            why = std::string(name) + ": " + livebench::CodeName(result);
            return false;
        };
        if (step("QUORIX_SetDisplayRegion", QUORIX_SetDisplayRegion(n, 0, &rect, 1)) &&
            step("QUORIX_OpenStream",
                 QUORIX_OpenStream(n, cpuDewarp ? QUORIX_MODEL_FISHEYE : QUORIX_MODEL_NORMAL,
                                   nullptr, 0, nullptr, 0))) {
            port->opened = true;
            // The lens picture's flat layout goes through the same remap tables and kernel as
            // every other view, and keeps the numbers at the top of the region readable.
            if (cpuDewarp)
                QUORIX_SetCurrentDisplayType(n, 0, QUORIX_DISPLAY_PLANE);
            // Without snapshots the CPU and memory are still measured; only the drawn pictures
            // cannot be counted.
            const uint32_t snap =
                QUORIX_SetSnapCallback(n, 0, OnSnap, port.get(), QUORIX_PIXEL_BGR32, 4);
            if (snap != QUORIX_OK) {
                snapshots = false;
                snapWhy = std::string("QUORIX_SetSnapCallback: ") + livebench::CodeName(snap);
            } else if (QUORIX_SetSnapRect(n, 0, 0.0f, 0.0f, 1.0f, livebench::kBandHeight) !=
                       QUORIX_OK) {
                std::printf("port %u: snapshot rectangle refused, capturing the whole region\n", n);
            }
            step("QUORIX_Play", QUORIX_Play(n, 0, nullptr, 0));
        }
        ports.push_back(std::move(port));
    }
    if (!why.empty()) {
        std::printf("%s\n", why.c_str());
        for (auto& port : ports)
            QUORIX_FreePort(port->number);
        QUORIX_ReleaseSDK();
        NotAvailable(why);
        const AnchorRun anchor = RunAnchor(portCount, records);
        if (anchor.decode.ok && anchor.idle.ok)
            std::printf(
                "anchor alone: %u ffmpeg decodes, %.0f %% of one core at 25 pictures/s, peak %.1f "
                "MB each "
                "(%.1f MB idle)\n",
                portCount, 100.0 * anchor.decode.cpuSeconds / frames * 25.0,
                anchor.decode.maxResidentMb, anchor.idle.maxResidentMb);
        return 0;
    }

    // Every host thread starts its stream at the same moment and keeps the camera's pace.
    const Clock::time_point start = Clock::now() + std::chrono::milliseconds(200);
    std::vector<std::thread> hosts;
    for (auto& port : ports) {
        Port* p = port.get();
        hosts.emplace_back([p, &records, start] {
            for (size_t i = 0; i < records.size(); ++i) {
                std::this_thread::sleep_until(
                    start + std::chrono::milliseconds(livebench::kIntervalMs * i));
                if (QUORIX_InputStreamData(p->number, records[i].data(),
                                           static_cast<uint32_t>(records[i].size())) != QUORIX_OK)
                    ++p->refused;
            }
        });
    }
    const Clock::time_point measured =
        start + std::chrono::milliseconds(livebench::kIntervalMs * warmFrames);
    std::this_thread::sleep_until(measured);
    const double cpuStart = ProcessCpuSeconds();
    // Draws in the measured time: a picture not drawn is told apart as one the renderer had no
    // time to draw (few callbacks) or one it was never handed (callbacks repeating pictures).
    uint64_t callbacksStart = 0, unreadableStart = 0;
    for (auto& port : ports) {
        callbacksStart += port->callbacks.load();
        unreadableStart += port->unreadable.load();
    }
    double peakMb = ResidentMb();
    const Clock::time_point end =
        start + std::chrono::milliseconds(livebench::kIntervalMs * frames + 300);
    while (Clock::now() < end) {
        std::this_thread::sleep_for(std::chrono::milliseconds(250));
        peakMb = std::max(peakMb, ResidentMb());
    }
    for (std::thread& t : hosts)
        t.join();
    const double cpu = ProcessCpuSeconds() - cpuStart;
    const double wall = std::chrono::duration<double>(Clock::now() - measured).count();
    uint64_t measuredCallbacks = 0, measuredUnreadable = 0;
    for (auto& port : ports) {
        measuredCallbacks += port->callbacks.load();
        measuredUnreadable += port->unreadable.load();
    }
    measuredCallbacks -= callbacksStart;
    measuredUnreadable -= unreadableStart;
    double load[3] = {0, 0, 0};
    if (getloadavg(load, 3) < 1)
        load[0] = 0;

    // The streams have ended: every port pauses on its last picture. An idle port draws
    // nothing, whatever its renderer; its threads only wait.
    for (auto& port : ports)
        QUORIX_Pause(port->number, 1);
    const auto allCallbacks = [&] {
        uint64_t sum = 0;
        for (auto& port : ports)
            sum += port->callbacks.load();
        return sum;
    };
    // A busy machine leaves the decoders behind: the pictures still queued are shown first.
    uint64_t idleCallbacksStart = allCallbacks();
    for (int settle = 0; settle < 20; ++settle) {
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
        const uint64_t now = allCallbacks();
        if (now == idleCallbacksStart)
            break;
        idleCallbacksStart = now;
    }
    const double idleCpuStart = ProcessCpuSeconds();
    const Clock::time_point idleStart = Clock::now();
    std::this_thread::sleep_for(std::chrono::seconds(kIdleSeconds));
    const double idleCpu = ProcessCpuSeconds() - idleCpuStart;
    const double idleWall = std::chrono::duration<double>(Clock::now() - idleStart).count();
    uint64_t idleCallbacks = 0;
    for (auto& port : ports)
        idleCallbacks += port->callbacks.load();
    idleCallbacks -= idleCallbacksStart;
    const double idlePerPort = 100.0 * idleCpu / std::max(idleWall, 1e-3) / portCount;

    uint64_t refused = 0, notDrawn = 0, callbacks = 0;
    int32_t manual = 0;
    QUORIX_GetManualSupport(ports.front()->number, &manual);
    std::printf("ours: %s renderer%s\n", manual == 1 ? "OpenGL" : "software",
                cpuDewarp ? " (fisheye lens picture through the CPU de-warp)" : "");
    for (auto& port : ports) {
        QUORIX_SetSnapCallback(port->number, 0, nullptr, nullptr, 0, 4);
        QUORIX_Stop(port->number);
        std::lock_guard<std::mutex> guard(port->lock);
        refused += port->refused;
        callbacks += port->callbacks.load();
        // The first pictures arrive while the renderer is still starting up.
        notDrawn += static_cast<uint64_t>(
            std::count(port->drawn.begin() + warmFrames, port->drawn.end(), 0));
    }
    for (auto& port : ports) {
        QUORIX_CloseStream(port->number);
        QUORIX_FreePort(port->number);
    }
    QUORIX_ReleaseSDK();

    const AnchorRun anchor = RunAnchor(portCount, records);
    // CPU per picture, as a share of one core at 25 pictures a second on every port: the two
    // sides keep their pace differently well on a busy machine, the work per picture is what
    // compares.
    const double pictures = static_cast<double>(portCount) * (frames - warmFrames);
    const double oursCpu = 100.0 * cpu / pictures * 25.0 * portCount;
    const double perPortMb = (peakMb - baseMb) / portCount;
    std::printf(
        "ours: %.1f s CPU over %.1f s (%.0f %% of one core at 25 pictures/s), resident %.0f MB -> "
        "%.0f MB "
        "(%.1f MB per port)\n",
        cpu, wall, oursCpu, baseMb, peakMb, perPortMb);
    if (snapshots) {
        std::printf(
            "ours: %llu snapshot callbacks, %llu records refused, %llu of %u pictures never "
            "drawn\n",
            static_cast<unsigned long long>(callbacks), static_cast<unsigned long long>(refused),
            static_cast<unsigned long long>(notDrawn), portCount * (frames - warmFrames));
        std::printf(
            "ours: measured time: %.1f draws/s per port (pictures arrive at 25/s), %llu without a "
            "readable number; the process had %.2f cores, load average %.1f on %ld cores\n",
            static_cast<double>(measuredCallbacks) / portCount / std::max(wall, 1e-3),
            static_cast<unsigned long long>(measuredUnreadable), cpu / std::max(wall, 1e-3),
            load[0], sysconf(_SC_NPROCESSORS_ONLN));
    }
    std::printf(
        "ours: paused: %.2f s CPU over %.1f s for %u ports, %llu snapshot callbacks (each a "
        "drawing)\n",
        idleCpu, idleWall, portCount, static_cast<unsigned long long>(idleCallbacks));
    std::printf("BENCH an idle (paused) port, %s: CPU (%% of one core)|%.2f|-|-|<= 1\n", label,
                idlePerPort);
    const Anchor& decode = anchor.decode;
    const Anchor& idle = anchor.idle;
    if (!decode.ok || !idle.ok) {
        std::printf("ffmpeg did not run\n");
        std::printf(
            "BENCH %u live 1080p ports, %s: CPU (%% of one core)|%.0f|not available "
            "(ffmpeg)|-|<= 1.2\n",
            portCount, label, oursCpu);
    } else {
        // Each process's start and exit is the program's, not the decoder's.
        const double decodeCpu = std::max(0.0, decode.cpuSeconds - idle.cpuSeconds * portCount);
        const double anchorCpu = 100.0 * decodeCpu / frames * 25.0;
        const double decoderMb = std::max(0.0, decode.maxResidentMb - idle.maxResidentMb);
        std::printf(
            "anchor: %u ffmpeg decodes, %.1f s CPU over %.1f s (%.0f %% of one core at 25 "
            "pictures/s), peak "
            "%.1f MB each "
            "(%.1f MB without the program's own %.1f MB)\n",
            portCount, decode.cpuSeconds, decode.wallSeconds, anchorCpu, decode.maxResidentMb,
            decoderMb, idle.maxResidentMb);
        std::printf(
            "BENCH %u live 1080p ports, 640x360 region each, %s: CPU (%% of one "
            "core)|%.0f|%.0f (%u x "
            "ffmpeg -threads 1 -f null)|%.2f|<= 1.2\n",
            portCount, label, oursCpu, anchorCpu, portCount, oursCpu / anchorCpu);
        std::printf(
            "BENCH %u live 1080p ports: resident memory per port (MB; ratio column: MB above the "
            "decoder's "
            "own)|%.1f|%.1f (one ffmpeg decode)|%.1f|<= 40\n",
            portCount, perPortMb, decoderMb, perPortMb - decoderMb);
    }
    if (!snapshots)
        std::printf(
            "BENCH %u live 1080p ports: records refused + pictures never drawn|%llu + not "
            "available yet (%s)|"
            "-|-|== 0\n",
            portCount, static_cast<unsigned long long>(refused), snapWhy.c_str());
    else
        std::printf(
            "BENCH %u live 1080p ports, %s: records refused and pictures never drawn|%llu "
            "records refused and %llu pictures never drawn of %u|-|%llu|== 0\n",
            portCount, label, static_cast<unsigned long long>(refused),
            static_cast<unsigned long long>(notDrawn), portCount * (frames - warmFrames),
            static_cast<unsigned long long>(refused + notDrawn));
    return 0;
}
