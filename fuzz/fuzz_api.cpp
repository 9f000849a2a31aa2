// The public interface as a host drives it: the input is a sequence of at most 64 calls on three
// ports of their own (open a recording or a stream, play, pause, seek, speed, steps, regions,
// views, snapshots, recording, clip export, live records good and bad, callbacks, close and free,
// initialise and release), with every argument taken from the input, hostile ones included:
// FIFOs in place of files to read and write, a recording onto the file the port plays, callbacks
// that free their own port, live records beyond the size bound. Each
// input ends with its ports freed and the library back at one initialisation, so inputs do not
// depend on each other.
//
// Headless: no $DISPLAY (the OpenGL renderer draws into pbuffers) and the null sound device.
// QUORIX_FUZZ_RENDER=soft selects the software display for the whole process instead.

#include <fcntl.h>
#include <quorixsdk.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

extern "C" {
#include <libavutil/log.h>
}

#include "fuzz_support.h"
#include "media/hmfformat.h"
#include "support/player_media.h"

using namespace BRIXEL;

namespace {

constexpr int kSlots = 3;
constexpr int kMaxCalls = 64;
// Calls that block up to 500 ms for the render thread (captures, projections) per input: a
// port that is not drawing makes each wait the whole time, and more of them find nothing new.
constexpr int kMaxBlockingCalls = 2;
// Time let pass for the threads to play, per input.
constexpr uint32_t kMaxWaitMs = 150;
constexpr uint32_t kMaxChunk = 4096;

// What every input shares: the media made once per process and the files' directory.
struct Media {
    std::filesystem::path dir;
    std::string normalFile;   // H.264 recording, normal render model
    std::string fisheyeFile;  // the same pictures marked as a fisheye
    std::vector<uint8_t> fileBytes;
    std::vector<std::vector<uint8_t>> records;  // the clip's frame records, 40 ms apart
    std::string fifo;                           // a named pipe where a file is expected
    std::vector<uint8_t> giant;                 // a record one byte beyond the payload bound
    bool soft = false;
};

void WriteFile(const std::filesystem::path& path, const uint8_t* data, size_t size) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
}

Media* g_media = nullptr;

// Only the directory made by this process (see Setup).
void RemoveDir() {
    if (g_media != nullptr && !g_media->dir.empty() && g_media->dir != "/tmp") {
        std::error_code ec;
        std::filesystem::remove_all(g_media->dir, ec);
    }
}

Media& Setup() {
    static Media media = [] {
        Media m;
        unsetenv("DISPLAY");
        setenv("QUORIX_AUDIO_DEVICE", "null", 1);
        const char* render = getenv("QUORIX_FUZZ_RENDER");
        m.soft = render != nullptr && std::strcmp(render, "soft") == 0;
        if (m.soft)
            QUORIX_SetRenderMode(1);
        // The library's own log lines would cost more time than the calls.
        QUORIX_SetLogAttribute(0, 40, nullptr, nullptr);
        av_log_set_level(AV_LOG_QUIET);
        QUORIX_InitSDK();

        char pattern[] = "/tmp/quorixfuzz-api-XXXXXX";
        const char* made = mkdtemp(pattern);
        m.dir = made != nullptr ? made : "/tmp";
        const playertest::Clip clip = playertest::EncodeClip("libx264", 64, 48, 8, 4);
        m.records = playertest::ClipRecords(clip, 40);
        m.fileBytes = playertest::ClipFile(clip, 40, QUORIX_MODEL_NORMAL);
        m.normalFile = (m.dir / "normal.hmf").string();
        WriteFile(m.normalFile, m.fileBytes.data(), m.fileBytes.size());
        std::vector<uint8_t> fisheye = playertest::ClipFile(clip, 40, QUORIX_MODEL_FISHEYE);
        m.fisheyeFile = (m.dir / "fisheye.hmf").string();
        WriteFile(m.fisheyeFile, fisheye.data(), fisheye.size());
        m.fifo = (m.dir / "fifo").string();
        mkfifo(m.fifo.c_str(), 0600);
        // A write into a pipe whose reader went away must fail, not end the process.
        signal(SIGPIPE, SIG_IGN);
        // An IDR slice start in front of zeros, made once: building it per call would cost more
        // than the call.
        std::vector<uint8_t> payload(QUORIX_MAX_INPUT_PAYLOAD + 1u, 0);
        payload[2] = 1;
        payload[3] = 0x65;
        m.giant = playertest::MakeRecord(1, 0, 0, 1, 64, 48, payload);
        return m;
    }();
    static const bool registered = [] {
        g_media = &media;
        std::atexit(RemoveDir);
        return true;
    }();
    (void)registered;
    return media;
}

// QUORIX_FUZZ_TRACE=1 prints the main calls and their results, to see what an input does.
const bool g_trace = getenv("QUORIX_FUZZ_TRACE") != nullptr;
uint32_t Traced(const char* call, uint16_t port, uint32_t result) {
    if (g_trace) {
        static const auto start = std::chrono::steady_clock::now();
        const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                            std::chrono::steady_clock::now() - start)
                            .count();
        std::fprintf(stderr, "%6lld ms %s(%u) = 0x%08x\n", static_cast<long long>(ms), call, port,
                     result);
    }
    return result;
}

// Callbacks read the first and last byte of what they are handed, so a short buffer shows up
// under the address sanitizer; a host is allowed to draw into the software surface.
// Callbacks run on the render, display and input threads at once.
struct Sink {
    std::atomic<uint8_t> sum{0};
};
Sink g_sink;

void Touch(const uint8_t* data, size_t length) {
    if (data == nullptr || length == 0)
        return;
    g_sink.sum.fetch_add(static_cast<uint8_t>(data[0] + data[length - 1]),
                         std::memory_order_relaxed);
}

void OnFileEnd(uint16_t, void*) {}
void OnOpenInfo(uint16_t, int32_t, const uint8_t* info, uint32_t length, void*) {
    Touch(info, length);
}
void OnDraw(uint16_t, uint16_t, int32_t drawMode, QUORIX_HDC dc, const QUORIX_RECT* image,
            const QUORIX_RECT* region, void*) {
    if (image != nullptr)
        g_sink.sum.fetch_add(static_cast<uint8_t>(image->right), std::memory_order_relaxed);
    if (region != nullptr)
        g_sink.sum.fetch_add(static_cast<uint8_t>(region->bottom), std::memory_order_relaxed);
    if (drawMode == 0 && dc != nullptr) {
        const QUORIX_SURFACE* s = static_cast<const QUORIX_SURFACE*>(dc);
        if (s->pixels != nullptr && s->width > 0 && s->height > 0) {
            s->pixels[0] = 0xFF;
            s->pixels[size_t{s->stride} * (s->height - 1)] ^= 1;
        }
    }
}
void OnRenderStatus(uint16_t, uint32_t, void*) {}
void OnSnap(uint16_t, uint16_t, uint32_t width, uint32_t stride, uint32_t height, uint32_t,
            const uint8_t* data, void*) {
    if (g_trace)
        std::fprintf(stderr, "snap %ux%u stride %u\n", width, height, stride);
    if (width == 0 || height == 0)
        return;
    QUORIX_FUZZ_CHECK(data != nullptr);
    Touch(data, size_t{stride} * height);
}
void OnAttach(uint16_t, uint16_t, const uint8_t* record, uint32_t length, void*) {
    if (g_trace)
        std::fprintf(stderr, "attached record %u bytes\n", length);
    QUORIX_FUZZ_CHECK(record != nullptr && length >= kHMFFrameHeaderSize);
    Touch(record, length);
}

std::vector<uint8_t> CompositeOf(const std::vector<uint8_t>& record, uint8_t streamId) {
    std::vector<uint8_t> sub = record;
    HStoreLE16(&sub[0], kHMFSubFrameMagic);
    sub[3] = streamId;
    HMFFrameHeader outer = HMFNewFrameHeader();
    outer.type = static_cast<uint8_t>(record[2] | kHMFCompositeBit);
    outer.sequence = HLoadLE32(&record[4]);
    outer.timestamp = HLoadLE32(&record[8]);
    outer.codec = record[16];
    outer.payloadLength = static_cast<uint32_t>(sub.size());
    std::vector<uint8_t> packet(kHMFFrameHeaderSize + sub.size());
    HMFSerializeFrameHeader(outer, packet.data());
    std::copy(sub.begin(), sub.end(), packet.begin() + kHMFFrameHeaderSize);
    return packet;
}

std::vector<uint8_t> AudioRecord(uint8_t codec, uint32_t sequence, const uint8_t* samples,
                                 size_t count) {
    HMFFrameHeader h = HMFNewFrameHeader();
    h.type = HMF_KIND_AUDIO;
    h.codec = codec;
    h.sequence = sequence;
    h.timestamp = sequence * 20;
    h.SetAudioFormat(1, 16, 8000);
    h.payloadLength = static_cast<uint32_t>(count);
    std::vector<uint8_t> record(kHMFFrameHeaderSize + count);
    HMFSerializeFrameHeader(h, record.data());
    if (count != 0)
        std::memcpy(record.data() + kHMFFrameHeaderSize, samples, count);
    return record;
}

// A call given the FIFO must come back without a writer or reader on the other end (inputs and
// outputs are regular files only). One that blocks is released after a grace period by opening
// and closing the other end, so that the run goes on; the fuzzer reports it as a finding, the
// corpus replay only releases it.
class FifoGuard {
public:
    explicit FifoGuard(const std::string& fifo) : m_fifo(fifo), m_thread([this] { Watch(); }) {}
    ~FifoGuard() {
        {
            std::lock_guard<std::mutex> guard(m_lock);
            m_done = true;
        }
        m_wake.notify_all();
        m_thread.join();
#if defined(QUORIX_FUZZ_UNDER_LIBFUZZER)
        QUORIX_FUZZ_CHECK(!m_released && "a call blocked on a FIFO");
#endif
    }
    FifoGuard(const FifoGuard&) = delete;
    FifoGuard& operator=(const FifoGuard&) = delete;

private:
    void Watch() {
        std::unique_lock<std::mutex> lock(m_lock);
        if (m_wake.wait_for(lock, std::chrono::seconds(2), [this] { return m_done; }))
            return;
        while (!m_done) {
            m_released = true;
            // A reader waiting for a writer: one comes and goes, the reader sees the end.
            const int writer = open(m_fifo.c_str(), O_WRONLY | O_NONBLOCK);
            if (writer >= 0)
                close(writer);
            // A writer waiting for a reader or for room: one comes, drains and goes; the writer
            // then fails.
            const int reader = open(m_fifo.c_str(), O_RDONLY | O_NONBLOCK);
            if (reader >= 0) {
                char buffer[65536];
                while (read(reader, buffer, sizeof buffer) > 0) {
                }
                close(reader);
            }
            m_wake.wait_for(lock, std::chrono::milliseconds(50), [this] { return m_done; });
        }
    }

    std::string m_fifo;
    std::mutex m_lock;
    std::condition_variable m_wake;
    bool m_done = false;      // m_lock
    bool m_released = false;  // m_lock until the thread is joined
    std::thread m_thread;
};

// Frees the port from inside its own file-open call.
void OnOpenInfoFreeing(uint16_t port, int32_t, const uint8_t* info, uint32_t length, void*) {
    Touch(info, length);
    QUORIX_FreePort(port);
}

// One input's run: its ports, the library level it has moved to, its budgets.
class Session {
public:
    Session(Media& media, const uint8_t* data, size_t size) : m_media(media), m_in(data, size) {}

    void Run() {
        for (uint16_t& port : m_ports) {
            QUORIX_FUZZ_CHECK(QUORIX_GetPort(&port) == QUORIX_OK);
            m_owned.push_back(port);
        }
        for (int calls = 0; calls < kMaxCalls && !m_in.Empty(); ++calls)
            Step();
        Finish();
    }

private:
    // Ports as the input names them: mostly one of its own, sometimes a hostile number.
    uint16_t Port() {
        const uint8_t b = m_in.U8();
        if (b < 224)
            return m_ports[b % kSlots];
        static constexpr uint16_t kHostile[] = {127, 128, 129, 1000, 0x7FFF, 0xFFFF, 100, 64};
        return kHostile[b % 8];
    }
    int Slot() { return m_in.U8() % kSlots; }
    uint16_t Region() {
        const uint8_t b = m_in.U8();
        if (b < 240)
            return b % 7;  // 6 is one past the last
        return b & 1 ? 9 : 0xFFFF;
    }
    float Float() {
        const uint8_t how = m_in.U8();
        if (how < 192)
            return static_cast<float>(static_cast<int8_t>(m_in.U8())) / 64.0f;
        const uint32_t bits = m_in.U32();
        float f;
        std::memcpy(&f, &bits, sizeof f);
        return f;
    }
    int32_t Signed() { return static_cast<int32_t>(m_in.U32()); }
    bool Initialised() const { return m_level >= 0; }
    bool Blocking() {
        if (m_blocking >= kMaxBlockingCalls)
            return false;
        ++m_blocking;
        return true;
    }
    std::string TempPath(const char* name) { return (m_media.dir / name).string(); }
    // A path the input picks: a file of the temp directory, one that cannot be created, the
    // FIFO, or null.
    const char* OutPath(std::string& holder, const char* name) {
        switch (m_in.U8() % 5) {
            case 0:
                return nullptr;
            case 1:
                holder = (m_media.dir / "missing" / name).string();
                return holder.c_str();
            case 4:
                return m_media.fifo.c_str();
            default:
                holder = TempPath(name);
                return holder.c_str();
        }
    }
    // Runs a call that was handed `path`, watched when that is the FIFO.
    template <typename Call>
    uint32_t OnPath(const char* path, Call&& call) {
        if (path == nullptr || m_media.fifo != path)
            return call();
        FifoGuard guard(m_media.fifo);
        return call();
    }
    void RemoveTemp(const char* name) {
        std::error_code ec;
        std::filesystem::remove(m_media.dir / name, ec);
    }

    // A port check the interface promises for every export that takes a port.
    void CheckBadPort(uint16_t port, uint32_t result) {
        if (port >= QUORIX_MAX_PORTS)
            QUORIX_FUZZ_CHECK(result == (Initialised() ? QUORIX_E_PARAM : QUORIX_E_NOT_INIT));
    }

    void OpenFile() {
        const uint16_t port = Port();
        std::string path;
        const char* arg = nullptr;
        switch (m_in.U8() % 7) {
            case 0:
                arg = m_media.normalFile.c_str();
                break;
            case 1:
                arg = m_media.fisheyeFile.c_str();
                break;
            case 2: {
                // The input's own bytes as a file.
                size_t taken = 0;
                const uint8_t* bytes = m_in.Take(m_in.U16() % kMaxChunk, &taken);
                path = TempPath("input.hmf");
                WriteFile(path, bytes, taken);
                arg = path.c_str();
                break;
            }
            case 3: {
                // The recording cut short, or with one byte changed.
                std::vector<uint8_t> bytes = m_media.fileBytes;
                const uint32_t at = m_in.U32() % bytes.size();
                if (m_in.U8() & 1) {
                    bytes.resize(at);
                } else {
                    bytes[at] ^= static_cast<uint8_t>(m_in.U8() | 1);
                }
                path = TempPath("damaged.hmf");
                WriteFile(path, bytes.data(), bytes.size());
                arg = path.c_str();
                break;
            }
            case 4:
                // What a port is recording right now, perhaps still being written.
                path = TempPath(m_in.U8() & 1 ? "record0.hmf" : "record1.hmf");
                arg = path.c_str();
                break;
            case 5:
                path = TempPath(m_in.U8() & 1 ? "missing.hmf" : "own.hmf");
                if (path == TempPath("own.hmf")) {
                    // A copy of the recording that a recording of the port may be pointed at.
                    WriteFile(path, m_media.fileBytes.data(), m_media.fileBytes.size());
                }
                arg = path.c_str();
                break;
            default:
                if (m_in.U8() & 1)
                    arg = m_media.fifo.c_str();
                break;
        }
        CheckBadPort(port, Traced("OpenFile", port,
                                  OnPath(arg, [&] { return QUORIX_OpenFile(port, arg); })));
    }

    void OpenStream() {
        const uint16_t port = Port();
        static constexpr int32_t kModels[] = {1, 2, 3, 4, 5, 6, 0, -1};
        const uint8_t m = m_in.U8();
        const int32_t model = m < 240 ? kModels[m % 8] : Signed();
        size_t infoLength = 0;
        const uint8_t* info = m_in.Take(m_in.U8() % 64, &infoLength);
        size_t modelLength = 0;
        const uint8_t* modelData = m_in.Take(m_in.U16() % 1024, &modelLength);
        // A null block stands for an empty one, whatever length comes with it.
        const uint8_t nulls = m_in.U8();
        const void* infoArg = (nulls & 1) || infoLength == 0 ? nullptr : info;
        const uint32_t infoLen =
            infoArg != nullptr ? static_cast<uint32_t>(infoLength) : (nulls & 1 ? m_in.U32() : 0);
        const void* modelArg = (nulls & 2) || modelLength == 0 ? nullptr : modelData;
        const uint32_t modelLen =
            modelArg != nullptr ? static_cast<uint32_t>(modelLength) : (nulls & 2 ? m_in.U32() : 0);
        CheckBadPort(port,
                     Traced("OpenStream", port,
                            QUORIX_OpenStream(port, model, infoArg, infoLen, modelArg, modelLen)));
    }

    void Push() {
        const uint16_t port = Port();
        const int slot = Slot();
        const uint8_t kind = m_in.U8() % 9;
        if (kind == 8) {
            // Beyond the bound, alone or inside a composite packet: refused at once.
            if (m_giants++ != 0)
                return;
            if (m_in.U8() & 1) {
                const uint32_t r = QUORIX_InputStreamData(
                    port, m_media.giant.data(), static_cast<uint32_t>(m_media.giant.size()));
                CheckBadPort(port, r);
                QUORIX_FUZZ_CHECK(r != QUORIX_OK);
            } else {
                const std::vector<uint8_t> packet = CompositeOf(m_media.giant, 0);
                const uint32_t r = QUORIX_InputStreamData(port, packet.data(),
                                                          static_cast<uint32_t>(packet.size()));
                CheckBadPort(port, r);
                QUORIX_FUZZ_CHECK(r != QUORIX_OK);
            }
            return;
        }
        const std::vector<uint8_t>& good = m_media.records[m_next[slot]++ % m_media.records.size()];
        std::vector<uint8_t> record;
        uint32_t length = 0;
        const uint8_t* data = nullptr;
        switch (kind) {
            case 0:
            case 1:
                record = good;
                break;
            case 2:
                record = CompositeOf(good, m_in.U8() % 4);
                break;
            case 3: {
                // The input's bytes cut into calls at the lengths it gives, as a camera link could
                // deliver them: records, composite packets, pieces of either.
                const int calls = 1 + m_in.U8() % 16;
                for (int i = 0; i < calls && !m_in.Empty(); ++i) {
                    size_t taken = 0;
                    const uint8_t* bytes = m_in.Take(m_in.U16() % (kMaxChunk + 1), &taken);
                    record.assign(bytes, bytes + taken);
                    CheckBadPort(
                        port, QUORIX_InputStreamData(port, record.empty() ? nullptr : record.data(),
                                                     static_cast<uint32_t>(record.size())));
                }
                return;
            }
            case 4:
                // Null data with whatever length.
                CheckBadPort(port, QUORIX_InputStreamData(port, nullptr, m_in.U32()));
                return;
            case 5: {
                // A good record cut in two calls at any point.
                const uint32_t cut = m_in.U16() % (good.size() + 1);
                QUORIX_InputStreamData(port, cut ? good.data() : nullptr, cut);
                const uint32_t rest = static_cast<uint32_t>(good.size()) - cut;
                QUORIX_InputStreamData(port, rest ? good.data() + cut : nullptr, rest);
                return;
            }
            case 6: {
                // A good record with one byte of its header or payload changed.
                record = good;
                const size_t at = m_in.U16() % record.size();
                record[at] ^= static_cast<uint8_t>(m_in.U8() | 1);
                break;
            }
            default: {
                size_t taken = 0;
                const uint8_t* samples = m_in.Take(m_in.U8() * 2u, &taken);
                record = AudioRecord(m_in.U8() & 1 ? 3 : 4, m_next[slot], samples, taken);
                break;
            }
        }
        data = record.empty() ? nullptr : record.data();
        length = static_cast<uint32_t>(record.size());
        CheckBadPort(port,
                     Traced("InputStreamData", port, QUORIX_InputStreamData(port, data, length)));
    }

    void Seek() {
        const uint16_t port = Port();
        switch (m_in.U8() % 6) {
            case 0:
                CheckBadPort(port, QUORIX_SetPlayedTime(
                                       port, m_in.U8() < 200 ? m_in.U16() % 600 : m_in.U32()));
                break;
            case 1:
                QUORIX_SetPlayedPos(port, Float());
                break;
            case 2:
                CheckBadPort(port, Traced("OneByOne", port, QUORIX_OneByOne(port)));
                break;
            case 3:
                CheckBadPort(port, Traced("OneByOneBack", port, QUORIX_OneByOneBack(port)));
                break;
            case 4: {
                const uint32_t t = QUORIX_GetPlayedTime(port);
                const float pos = QUORIX_GetPlayedPos(port);
                const uint32_t total = QUORIX_GetFileTotleTimes(port);
                const uint32_t frames = QUORIX_GetFileTotleFrames(port);
                (void)QUORIX_GetCurrentVideoFrameStamp(port);
                (void)QUORIX_GetCurrentVideoFrameClock(port);
                if (port >= QUORIX_MAX_PORTS || !Initialised()) {
                    QUORIX_FUZZ_CHECK(t == 0 && pos == 0.0f && total == 0 && frames == 0);
                }
                QUORIX_FUZZ_CHECK(!std::isnan(pos));
                break;
            }
            default: {
                uint32_t playing = 7;
                const bool null = m_in.U8() & 1;
                const uint32_t r = QUORIX_IsPlaying(port, null ? nullptr : &playing);
                CheckBadPort(port, r);
                if (r == QUORIX_OK && !null)
                    QUORIX_FUZZ_CHECK(playing == 0 || playing == 1);
                break;
            }
        }
    }

    void Speed() {
        const uint16_t port = Port();
        switch (m_in.U8() % 4) {
            case 0:
                QUORIX_Fast(port);
                break;
            case 1:
                QUORIX_Slow(port);
                break;
            case 2: {
                const uint8_t b = m_in.U8();
                const int32_t speed = b < 200 ? static_cast<int32_t>(b % 11) - 5 : Signed();
                const uint32_t r = QUORIX_SetPlaySpeed(port, speed);
                CheckBadPort(port, r);
                if (speed < -4 || speed > 4)
                    QUORIX_FUZZ_CHECK(r != QUORIX_OK);
                break;
            }
            default: {
                int32_t speed = 99;
                const bool null = m_in.U8() & 1;
                const uint32_t r = QUORIX_GetPlaySpeed(port, null ? nullptr : &speed);
                if (null)
                    QUORIX_FUZZ_CHECK(r != QUORIX_OK);
                if (r == QUORIX_OK)
                    QUORIX_FUZZ_CHECK(speed >= -4 && speed <= 4);
                break;
            }
        }
    }

    void Display() {
        const uint16_t port = Port();
        const uint16_t region = Region();
        switch (m_in.U8() % 8) {
            case 0: {
                QUORIX_RECT rect;
                if (m_in.U8() < 200) {
                    rect.left = static_cast<int16_t>(m_in.U16()) % 700;
                    rect.top = static_cast<int16_t>(m_in.U16()) % 700;
                    rect.right = static_cast<int32_t>(m_in.U16() % 1300);
                    rect.bottom = static_cast<int32_t>(m_in.U16() % 1300);
                } else {
                    rect = {Signed(), Signed(), Signed(), Signed()};
                }
                const bool null = m_in.U8() < 16;
                CheckBadPort(port, QUORIX_SetDisplayRegion(port, region, null ? nullptr : &rect,
                                                           m_in.U8() & 1));
                break;
            }
            case 1: {
                static constexpr uint32_t kTypes[] = {0,  9,  10, 11, 12, 13, 14,
                                                      15, 16, 17, 1,  8,  18, 0xFFFFFFFF};
                const uint8_t t = m_in.U8();
                QUORIX_SetCurrentDisplayType(port, region, t < 224 ? kTypes[t % 14] : m_in.U32());
                break;
            }
            case 2: {
                uint32_t type = 0;
                const uint32_t r =
                    QUORIX_GetCurrentDisplayType(port, region, m_in.U8() & 1 ? nullptr : &type);
                CheckBadPort(port, r);
                break;
            }
            case 3: {
                uint32_t types[16];
                const uint8_t c = m_in.U8();
                int32_t count = c < 128 ? c % 17 : (c & 1 ? -1 : INT32_MIN);
                const bool nullTypes = count <= 0 && (c & 2);
                const uint32_t r = QUORIX_GetSupportedDisplayTypeList(
                    port, nullTypes ? nullptr : types, m_in.U8() < 8 ? nullptr : &count);
                if (r == QUORIX_OK)
                    QUORIX_FUZZ_CHECK(count >= 0 && count <= 16);
                break;
            }
            case 4: {
                const float pan = Float();
                const float tilt = Float();
                const float zoom = Float();
                QUORIX_SetPTZPosition(port, region, pan, tilt, zoom);
                break;
            }
            case 5: {
                float pan = 0, tilt = 0, zoom = 0;
                const uint8_t nulls = m_in.U8();
                QUORIX_GetPTZPosition(port, region, nulls & 1 ? nullptr : &pan,
                                      nulls & 2 ? nullptr : &tilt, nulls & 4 ? nullptr : &zoom);
                break;
            }
            case 6:
                switch (m_in.U8() % 4) {
                    case 0:
                        QUORIX_EnableBlankPTZ(port, region, m_in.U32());
                        break;
                    case 1:
                        QUORIX_SetFlip(port, region, m_in.U32());
                        break;
                    case 2:
                        QUORIX_SetDisplayRatioType(port, region, m_in.U32());
                        break;
                    default:
                        QUORIX_SetBackgroundColor(port, region, m_in.U32());
                        break;
                }
                break;
            default: {
                if (!Blocking())
                    return;
                float x[8], y[8], ox[8], oy[8];
                const uint32_t count = m_in.U8() % 9;
                for (uint32_t i = 0; i < count; ++i) {
                    x[i] = Float();
                    y[i] = Float();
                }
                const uint8_t nulls = m_in.U8();
                const float* xa = nulls & 1 ? nullptr : x;
                float* oxa = nulls & 2 ? nullptr : ox;
                if (nulls & 4) {
                    Traced("UnProject", port,
                           QUORIX_UnProject(port, region, xa, y, oxa, oy, count));
                } else {
                    Traced("Project", port, QUORIX_Project(port, region, xa, y, oxa, oy, count));
                }
                break;
            }
        }
    }

    void Capture() {
        const uint16_t port = Port();
        const uint16_t region = Region();
        const uint8_t how = m_in.U8() % 8;
        std::string holder;
        if (how < 4) {
            if (!Blocking())
                return;
            const char* path = OutPath(holder, "capture");
            switch (how) {
                case 0:
                    Traced("CaptureBmp", port,
                           OnPath(path, [&] { return QUORIX_CaptureBmp(port, region, path); }));
                    break;
                case 1:
                    Traced("CaptureJpeg", port,
                           OnPath(path, [&] { return QUORIX_CaptureJpeg(port, region, path); }));
                    break;
                case 2:
                    Traced("CaptureOriginalBmp", port,
                           OnPath(path, [&] { return QUORIX_CaptureOriginalBmp(port, path); }));
                    break;
                default:
                    Traced("CaptureOriginalJpeg", port,
                           OnPath(path, [&] { return QUORIX_CaptureOriginalJpeg(port, path); }));
                    break;
            }
            RemoveTemp("capture");
            return;
        }
        const uint32_t format = m_in.U8() % 24;
        const uint32_t align = m_in.U8() % 10;
        switch (how) {
            case 4:
                Traced("SetSnapCallback", port,
                       QUORIX_SetSnapCallback(port, region, m_in.U8() & 1 ? nullptr : &OnSnap,
                                              nullptr, format, align));
                break;
            case 6: {
                const bool off = m_in.U8() & 1;
                QUORIX_SetScreenOffSnapCallback(port, off ? nullptr : &OnSnap, nullptr, Float(),
                                                format, align);
                break;
            }
            default: {
                float r[4];
                for (float& f : r)
                    f = Float();
                if (how == 5) {
                    QUORIX_SetSnapRect(port, region, r[0], r[1], r[2], r[3]);
                } else {
                    QUORIX_SetScreenOffSnapRect(port, r[0], r[1], r[2], r[3]);
                }
                break;
            }
        }
    }

    void Record() {
        const uint16_t port = Port();
        const int slot = Slot();
        std::string holder;
        switch (m_in.U8() % 5) {
            case 0: {
                const char* path = OutPath(holder, slot == 0 ? "record0.hmf" : "record1.hmf");
                Traced("StartLocalRecord", port,
                       OnPath(path, [&] { return QUORIX_StartLocalRecord(port, path); }));
                break;
            }
            case 4: {
                // Onto the file the port may be playing (its own copy, see OpenFile).
                const std::string own = TempPath("own.hmf");
                Traced("StartLocalRecord(own)", port, QUORIX_StartLocalRecord(port, own.c_str()));
                break;
            }
            case 1:
                CheckBadPort(port, QUORIX_StopLocalRecord(port));
                break;
            case 2: {
                const uint32_t begin = m_in.U8() < 200 ? m_in.U16() % 600 : m_in.U32();
                const uint32_t end = m_in.U8() < 200 ? m_in.U16() % 600 : m_in.U32();
                const uint8_t flags = m_in.U8();
                const char* path = OutPath(holder, "clip.hmf");
                Traced("FilmEditing", port, OnPath(path, [&] {
                           return QUORIX_FilmEditing(port, path, begin, end, flags & 1, flags & 2);
                       }));
                RemoveTemp("clip.hmf");
                break;
            }
            default: {
                double begin = 0, end = 0;
                const uint8_t b = m_in.U8();
                const std::string path =
                    b & 16 ? m_media.fifo : TempPath(b & 1 ? "normal.hmf" : "input.hmf");
                const char* arg = b & 2 ? nullptr : path.c_str();
                OnPath(arg, [&] {
                    return QUORIX_GetFileInfo(arg, b & 4 ? nullptr : &begin,
                                              b & 8 ? nullptr : &end);
                });
                break;
            }
        }
    }

    void SnapData() {
        // A picture of the input's own size and bytes, written as BMP or JPEG.
        const uint32_t width = m_in.U8() % 65;
        const uint32_t height = m_in.U8() % 65;
        const uint8_t s = m_in.U8();
        const uint32_t stride = s < 200 ? width * (s % 5) + (s & 3) : m_in.U16();
        static constexpr uint32_t kFormats[] = {0,  1,  2,  3,  4,  5,  6, 11,
                                                12, 13, 14, 15, 16, 20, 7, 99};
        const uint32_t format = kFormats[m_in.U8() % 16];
        // The buffer covers what any format could read: the caller's promise, not under test.
        std::vector<uint8_t> pixels(size_t{std::max(stride, width * 4)} * height * 2 + 16, 0x5A);
        size_t taken = 0;
        const uint8_t* bytes = m_in.Take(pixels.size() < 2048 ? pixels.size() : 2048, &taken);
        std::memcpy(pixels.data(), bytes, taken);
        std::string holder;
        const uint8_t flags = m_in.U8();
        const uint16_t quality = m_in.U8();
        const char* path = OutPath(holder, "snapdata");
        OnPath(path, [&] {
            return QUORIX_SnapDataSaveToFile(
                path, quality, flags & 1 ? QUORIX_FILE_BMP : QUORIX_FILE_JPEG, width, stride,
                height, format, flags & 2 ? nullptr : pixels.data());
        });
        RemoveTemp("snapdata");
    }

    void Callbacks() {
        const uint16_t port = Port();
        const bool off = m_in.U8() & 1;
        switch (m_in.U8() % 6) {
            case 0:
                QUORIX_SetFileEndCallback(port, off ? nullptr : &OnFileEnd, nullptr);
                break;
            case 1:
                // Sometimes one that frees the port from inside its own open.
                QUORIX_SetFileOpenInfoCallback(
                    port, off ? nullptr : (m_in.U8() & 1 ? &OnOpenInfoFreeing : &OnOpenInfo),
                    nullptr);
                break;
            case 2:
                QUORIX_SetDrawCallback(port, Region(), off ? nullptr : &OnDraw, nullptr);
                break;
            case 3:
                QUORIX_SetRenderStatusCallback(port, off ? nullptr : &OnRenderStatus, nullptr);
                break;
            case 4:
                QUORIX_SetAttachCallback(port, off ? nullptr : &OnAttach, nullptr);
                break;
            default: {
                const uint8_t b = m_in.U8();
                Traced("SetAttachPlayer", port,
                       QUORIX_SetAttachPlayer(port, b < 200 ? m_ports[b % kSlots] : m_in.U16()));
                break;
            }
        }
    }

    void Audio() {
        const uint16_t port = Port();
        switch (m_in.U8() % 5) {
            case 0:
                QUORIX_PlayAudio(port);
                break;
            case 1:
                QUORIX_StopAudio();
                break;
            case 2:
                QUORIX_SetVolume(port, m_in.U8() < 200 ? m_in.U8() % 120 : m_in.U32());
                break;
            case 3: {
                const uint32_t volume = QUORIX_GetVolume(port);
                QUORIX_FUZZ_CHECK(volume <= 100);
                break;
            }
            default:
                QUORIX_CheckFrameNum(port, Signed());
                break;
        }
    }

    void Manual() {
        const uint16_t port = Port();
        int32_t support = 0;
        QUORIX_GetManualSupport(port, m_in.U8() & 1 ? nullptr : &support);
        if (m_in.U8() & 1)
            return;
        // One whole manual frame on this thread, so no context is left behind.
        if (QUORIX_ManualInit(port, m_in.U8() & 1) == QUORIX_OK) {
            QUORIX_ManualRender(port);
            QUORIX_ManualSwapbuffers(port);
            QUORIX_ManualUnInit(port);
        }
    }

    // Initialise and release, kept within two of the process's one initialisation either way.
    void Library() {
        switch (m_in.U8() % 4) {
            case 0:
                if (m_level < 2) {
                    QUORIX_InitSDK();
                    ++m_level;
                }
                break;
            case 1:
                if (m_level > -2) {
                    QUORIX_ReleaseSDK();
                    --m_level;
                }
                break;
            case 2: {
                const uint8_t b = m_in.U8();
                QUORIX_SetJpegQuality(b < 200 ? b % 101 : m_in.U16());
                break;
            }
            default: {
                // A port given back and taken again (or another one when it is the lowest free).
                const int slot = Slot();
                QUORIX_FreePort(m_ports[slot]);
                uint16_t port = 0xFFFF;
                const uint32_t r = QUORIX_GetPort(&port);
                if (!Initialised())
                    QUORIX_FUZZ_CHECK(r == QUORIX_E_NOT_INIT);
                if (r == QUORIX_OK) {
                    m_ports[slot] = port;
                    m_owned.push_back(port);
                }
                break;
            }
        }
    }

    void Step() {
        const uint8_t op = m_in.U8();
        switch (op % 20) {
            case 0:
                OpenFile();
                break;
            case 1:
                OpenStream();
                break;
            case 2: {
                const uint16_t port = Port();
                const uint32_t r = m_in.U8() & 1
                                       ? Traced("CloseFile", port, QUORIX_CloseFile(port))
                                       : Traced("CloseStream", port, QUORIX_CloseStream(port));
                CheckBadPort(port, r);
                break;
            }
            case 3: {
                const uint16_t port = Port();
                QUORIX_SetStreamOpenMode(port, m_in.U8() % 4);
                break;
            }
            case 4: {
                const uint16_t port = Port();
                const uint8_t manual = m_in.U8();
                CheckBadPort(port, Traced("Play", port,
                                          QUORIX_Play(port, 0, nullptr, manual < 32 ? manual : 0)));
                break;
            }
            case 5: {
                const uint16_t port = Port();
                CheckBadPort(port, Traced("Stop", port, QUORIX_Stop(port)));
                break;
            }
            case 6: {
                const uint16_t port = Port();
                const uint8_t b = m_in.U8();
                Traced("Pause", port, QUORIX_Pause(port, b < 128 ? (b & 1) : Signed()));
                break;
            }
            case 7:
                Speed();
                break;
            case 8:
            case 9:
                Seek();
                break;
            case 10:
            case 11:
                Push();
                break;
            case 12:
            case 13:
                Display();
                break;
            case 14:
                Capture();
                break;
            case 15:
                if (op & 0x80) {
                    SnapData();
                } else {
                    Record();
                }
                break;
            case 16:
                Callbacks();
                break;
            case 17:
                if (op & 0x80) {
                    Manual();
                } else {
                    Audio();
                }
                break;
            case 18:
                Library();
                break;
            default: {
                // Time for the port's threads to read, decode and draw.
                const uint32_t ms = m_in.U8() % 50;
                const uint32_t wait = ms < kMaxWaitMs - m_waited ? ms : kMaxWaitMs - m_waited;
                m_waited += wait;
                if (wait != 0)
                    std::this_thread::sleep_for(std::chrono::milliseconds(wait));
                Traced("wait", 0, wait);
                break;
            }
        }
    }

    void Finish() {
        while (m_level < 0) {
            QUORIX_InitSDK();
            ++m_level;
        }
        while (m_level > 0) {
            QUORIX_ReleaseSDK();
            --m_level;
        }
        for (uint16_t port : m_owned)
            QUORIX_FUZZ_CHECK(Traced("FreePort", port, QUORIX_FreePort(port)) == QUORIX_OK);
        for (uint16_t port : m_owned)
            QUORIX_FUZZ_CHECK(QUORIX_IsPlaying(port, nullptr) == QUORIX_E_PARAM);
        QUORIX_SetJpegQuality(90);
        QUORIX_StopAudio();
        for (const char* name :
             {"record0.hmf", "record1.hmf", "input.hmf", "damaged.hmf", "own.hmf"})
            RemoveTemp(name);
    }

    Media& m_media;
    quorixfuzz::Cursor m_in;
    uint16_t m_ports[kSlots] = {};
    std::vector<uint16_t> m_owned;
    size_t m_next[kSlots] = {};
    int m_level = 0;
    int m_blocking = 0;
    int m_giants = 0;
    uint32_t m_waited = 0;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Media& media = Setup();
    if (media.records.empty())
        return 0;  // no H.264 encoder: nothing meaningful to play
    Session(media, data, size).Run();
    return 0;
}
