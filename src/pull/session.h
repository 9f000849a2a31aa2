#pragma once
// A pull: one thread ("quorix-pull") that opens a source with CDemuxer, turns its frames into
// records (the 28-byte header of quorixsdk_container.h, then the payload) and hands them to a
// sink, the port's live input. It paces files by their stamps (or as fast as the sink takes
// them), reconnects a network source after a loss with a doubling back-off, and reports its
// states to a callback on its own thread.
//
// Stamps keep running forward across reconnects and discontinuities of the source's clock;
// sequence numbers count video records up by one, audio records apart from them; the clock
// field is the wall-clock second of the picture.

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "pull/demux.h"

namespace QPULL {

// The states; the numbers are the public ones.
enum State : uint32_t {
    STATE_CLOSED = 0,
    STATE_CONNECTING = 1,
    STATE_PLAYING = 2,
    STATE_LOST = 3,
    STATE_RECONNECTING = 4,
    STATE_ENDED = 5,
    STATE_FAILED = 6,
};

// Where the records go.
class IRecordSink {
public:
    virtual ~IRecordSink() = default;
    // One record; QUORIX_E_QUEUE_FULL asks for it again later, any other failure drops it.
    virtual uint32_t Push(const uint8_t* record, uint32_t length) = 0;
    // Video records taken but not decoded yet.
    virtual uint32_t Backlog() = 0;
    // The source ended: the pictures the decoders still hold back are to come out.
    virtual void EndOfInput() = 0;
};

struct SessionOptions {
    OpenOptions open;
    bool reconnect = true;
    uint32_t retryMinMs = 500;
    uint32_t retryMaxMs = 8000;
    uint32_t maxRetries = 0;  // 0: without end
    bool fast = false;        // files: as fast as the sink takes the records
};

using StateCallback = std::function<void(uint32_t state, uint32_t code)>;

class CPullSession {
public:
    // The thread shares the sink, so that a thread asked to end from its own callback may
    // finish after the session object is gone.
    CPullSession(std::string url, SessionOptions options, std::shared_ptr<IRecordSink> sink,
                 StateCallback onState);
    ~CPullSession();
    CPullSession(const CPullSession&) = delete;
    CPullSession& operator=(const CPullSession&) = delete;

    // Starts the thread: QUORIX_OK or QUORIX_E_THREAD_CREATE.
    uint32_t Start();
    // Ends the thread: any wait of it (connect, read, back-off, pacing, a full queue) ends at
    // once, and no record or state follows once this returns. Called on the session's own thread
    // it only asks: the thread ends by itself after the callback returns.
    void Stop();
    bool OnOwnThread() const;
    uint32_t GetState(uint32_t* code) const;

    // Files keep the sink's queue below this, so that the live input never drops pictures to
    // catch up; a network source comes at its own pace.
    static constexpr uint32_t kFileBacklog = 12;

    struct Shared;

private:
    static void Run(std::shared_ptr<Shared> shared);

    std::shared_ptr<Shared> m_shared;
    std::thread m_thread;
};

}  // namespace QPULL
