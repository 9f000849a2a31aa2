#include "pull/session.h"

#include <pthread.h>

#include <quorixsdk_codes.h>
#include <quorixsdk_container.h>

#include <algorithm>
#include <chrono>
#include <ctime>
#include <system_error>

namespace QPULL {

namespace {

using Clock = std::chrono::steady_clock;

// While the port's queue is full, the record is offered again after this long.
constexpr auto kQueueRetry = std::chrono::milliseconds(5);

// Faults that another attempt cannot mend.
bool IsPermanent(uint32_t code) {
    return code == QUORIX_E_PARAM || code == QUORIX_E_FILE_FORMAT ||
           code == QUORIX_E_NOT_SUPPORTED || code == QUORIX_E_OPEN_FILE ||
           code == QUORIX_E_NO_MEMORY;
}

int64_t WallSeconds() {
    return static_cast<int64_t>(std::time(nullptr));
}

}  // namespace

struct CPullSession::Shared {
    std::string url;
    SessionOptions options;
    std::shared_ptr<IRecordSink> sink;
    StateCallback onState;
    std::atomic<bool> stop{false};
    std::mutex lock;  // guards state and code; the condition wakes every wait of the thread
    std::condition_variable wake;
    uint32_t state = STATE_CONNECTING;
    uint32_t code = QUORIX_OK;
    std::thread::id thread;

    // Waits until `until` or a stop: false when stopped.
    bool WaitUntil(Clock::time_point until) {
        std::unique_lock<std::mutex> guard(lock);
        wake.wait_until(guard, until, [&] { return stop.load(); });
        return !stop.load();
    }
    bool WaitFor(Clock::duration span) { return WaitUntil(Clock::now() + span); }

    void SetState(uint32_t newState, uint32_t newCode) {
        {
            std::lock_guard<std::mutex> guard(lock);
            state = newState;
            code = newCode;
        }
        if (!stop.load() && onState)
            onState(newState, newCode);
    }
};

namespace {

// The time line, sequence numbers and pacing of one pull, kept across its connections.
struct Feed {
    int64_t lastVideoMs = -1;
    uint32_t videoSequence = 0;
    uint32_t audioSequence = 0;
};

std::vector<uint8_t> MakeRecord(const MediaFrame& f, const StreamInfo& info, uint32_t sequence,
                                uint32_t stamp, uint32_t clock) {
    std::vector<uint8_t> record(QUORIX_RECORD_SIZE + f.data.size(), 0);
    uint8_t* h = record.data();
    quorix_store_le16(h + QUORIX_RECORD_MAGIC, QUORIX_RECORD_MAGIC_PLAIN);
    h[QUORIX_RECORD_TYPE] = f.audio ? QUORIX_KIND_AUDIO
                            : f.key ? QUORIX_KIND_KEY
                                    : QUORIX_KIND_DELTA;
    quorix_store_le32(h + QUORIX_RECORD_SEQUENCE, sequence);
    quorix_store_le32(h + QUORIX_RECORD_TIMESTAMP, stamp);
    quorix_store_le32(h + QUORIX_RECORD_CLOCK, clock);
    if (f.audio) {
        h[QUORIX_RECORD_CODEC] = info.audioCodec;
        h[QUORIX_RECORD_AUDIO_CHANNELS] = info.channels;
        h[QUORIX_RECORD_AUDIO_BITS] = 16;  // the decoded PCM's sample width
        quorix_store_le32(h + QUORIX_RECORD_AUDIO_RATE, info.sampleRate);
    } else {
        h[QUORIX_RECORD_CODEC] = info.videoCodec;
        quorix_store_le16(h + QUORIX_RECORD_VIDEO_WIDTH, info.width);
        quorix_store_le16(h + QUORIX_RECORD_VIDEO_HEIGHT, info.height);
    }
    quorix_store_le32(h + QUORIX_RECORD_PAYLOAD_LENGTH, static_cast<uint32_t>(f.data.size()));
    std::copy(f.data.begin(), f.data.end(), record.begin() + QUORIX_RECORD_SIZE);
    return record;
}

// Hands one record to the sink, offering it again while the queue is full. False when stopped.
bool Deliver(CPullSession::Shared& s, const std::vector<uint8_t>& record, bool video, bool file) {
    // A file is read faster than it is decoded: the live input's queue is kept short, where it
    // would otherwise drop pictures to catch up.
    while (video && file && s.sink->Backlog() >= CPullSession::kFileBacklog) {
        if (!s.WaitFor(kQueueRetry))
            return false;
    }
    while (!s.stop.load()) {
        const uint32_t pushed = s.sink->Push(record.data(), static_cast<uint32_t>(record.size()));
        if (pushed != QUORIX_E_QUEUE_FULL)
            return true;
        if (!s.WaitFor(kQueueRetry))
            return false;
    }
    return false;
}

}  // namespace

CPullSession::CPullSession(std::string url, SessionOptions options,
                           std::shared_ptr<IRecordSink> sink, StateCallback onState)
    : m_shared(std::make_shared<Shared>()) {
    m_shared->url = std::move(url);
    m_shared->options = options;
    m_shared->sink = std::move(sink);
    m_shared->onState = std::move(onState);
}

CPullSession::~CPullSession() {
    Stop();
}

uint32_t CPullSession::Start() {
    if (m_thread.joinable())
        return QUORIX_E_THREAD_RUNNING;
    try {
        m_thread = std::thread(&CPullSession::Run, m_shared);
    } catch (const std::system_error&) {
        return QUORIX_E_THREAD_CREATE;
    }
    return QUORIX_OK;
}

void CPullSession::Stop() {
    {
        std::lock_guard<std::mutex> guard(m_shared->lock);
        m_shared->stop.store(true);
    }
    m_shared->wake.notify_all();
    if (!m_thread.joinable())
        return;
    if (m_thread.get_id() == std::this_thread::get_id())
        m_thread.detach();  // it sees the flag when its callback returns
    else
        m_thread.join();
}

bool CPullSession::OnOwnThread() const {
    return m_thread.joinable() && m_thread.get_id() == std::this_thread::get_id();
}

uint32_t CPullSession::GetState(uint32_t* code) const {
    std::lock_guard<std::mutex> guard(m_shared->lock);
    if (code != nullptr)
        *code = m_shared->code;
    return m_shared->state;
}

void CPullSession::Run(std::shared_ptr<Shared> shared) {
    Shared& s = *shared;
    pthread_setname_np(pthread_self(), "quorix-pull");
    const bool network = IsNetworkUrl(s.url);
    const bool paced = !network && !s.options.fast;
    s.SetState(STATE_CONNECTING, QUORIX_OK);
    Feed feed;
    uint32_t retries = 0;
    uint32_t backoff = std::max<uint32_t>(1, s.options.retryMinMs);
    while (!s.stop.load()) {
        CDemuxer demux;
        uint32_t code = demux.Open(s.url, s.options.open, &s.stop);
        bool played = false;
        if (code == QUORIX_OK) {
            const StreamInfo& info = demux.Info();
            // A new connection continues the time line one picture after the last one.
            const int64_t base = feed.lastVideoMs < 0 ? 0 : feed.lastVideoMs + info.frameMs;
            const int64_t wallStart = WallSeconds();
            Clock::time_point t0{};
            int64_t ms0 = 0;
            bool started = false;
            std::vector<MediaFrame> frames;
            while (code == QUORIX_OK && !s.stop.load()) {
                code = demux.Read(&frames);
                for (const MediaFrame& f : frames) {
                    const int64_t ms = base + f.ms;
                    if (!started) {
                        t0 = Clock::now();
                        ms0 = ms;
                        started = true;
                    }
                    if (paced && !s.WaitUntil(t0 + std::chrono::milliseconds(ms - ms0)))
                        return;
                    const uint32_t clock = static_cast<uint32_t>(
                        network ? WallSeconds() : wallStart + (ms - ms0) / 1000);
                    const uint32_t sequence = f.audio ? feed.audioSequence++ : feed.videoSequence++;
                    std::vector<uint8_t> record =
                        MakeRecord(f, info, sequence, static_cast<uint32_t>(ms), clock);
                    if (record.size() - QUORIX_RECORD_SIZE > QUORIX_MAX_INPUT_PAYLOAD)
                        continue;  // the sequence gap makes the port wait for the next key frame
                    if (!Deliver(s, record, !f.audio, !network))
                        return;
                    if (f.audio)
                        continue;
                    feed.lastVideoMs = std::max(feed.lastVideoMs, ms);
                    if (!played) {
                        played = true;
                        retries = 0;
                        backoff = std::max<uint32_t>(1, s.options.retryMinMs);
                        s.SetState(STATE_PLAYING, QUORIX_OK);
                    }
                }
                frames.clear();
            }
            if (s.stop.load())
                return;
            if (code == QUORIX_E_END_OF_DATA && !network) {
                // The decoder holds back the last pictures of a stream with B-frames until more
                // come: the end of the file lets them out.
                s.sink->EndOfInput();
                s.SetState(STATE_ENDED, QUORIX_OK);
                return;
            }
        }
        if (s.stop.load() || code == QUORIX_E_STATE)
            return;
        // A file has nothing to come back to; a fault of the URL, the credentials or the media
        // does not mend by waiting.
        if (!network || IsPermanent(code)) {
            s.SetState(STATE_FAILED, code);
            return;
        }
        const bool retry =
            s.options.reconnect && (s.options.maxRetries == 0 || retries < s.options.maxRetries);
        if (!retry && !played && feed.lastVideoMs < 0) {
            s.SetState(STATE_FAILED, code);  // never connected: nothing was lost
            return;
        }
        s.SetState(STATE_LOST, code);
        if (!retry) {
            s.SetState(STATE_FAILED, code);
            return;
        }
        ++retries;
        s.SetState(STATE_RECONNECTING, QUORIX_OK);
        if (!s.WaitFor(std::chrono::milliseconds(backoff)))
            return;
        backoff = std::min<uint32_t>(std::max(backoff, backoff * 2),
                                     std::max(s.options.retryMaxMs, s.options.retryMinMs));
    }
}

}  // namespace QPULL
