#pragma once
// Shared pieces of the reader suites: a recording callback, and a reader whose pauses between
// frames are recorded instead of waited, so pacing is checked by value and the tests never
// depend on the clock.

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <vector>

#include "media/kzreader.h"
#include "support/container_builder.h"

namespace quorixtest {

struct Delivered {
    BRIXEL::HMFFrameHeader header;
    uint32_t length;
    uint8_t kind;
    uint32_t clockMs;
    double percent;
    bool payloadIntact;
};

class RecordingCallback : public BRIXEL::IHMFReadCB {
public:
    void OnReset() override {
        std::lock_guard<std::mutex> g(m_mutex);
        ++resets;
    }
    uint32_t GetQueuedFrames(int32_t) override { return queuedFrames; }
    bool OnFileEnd() override {
        {
            std::lock_guard<std::mutex> g(m_mutex);
            ++fileEnds;
        }
        m_cond.notify_all();
        return onFileEnd ? onFileEnd() : false;
    }
    uint32_t OnFrame(const uint8_t* record, uint32_t length, uint8_t kind, uint32_t clockMs,
                     double percent) override {
        Delivered d{};
        BRIXEL::HMFParseFrameHeader(record, &d.header);
        d.length = length;
        d.kind = kind;
        d.clockMs = clockMs;
        d.percent = percent;
        d.payloadIntact = length == BRIXEL::kHMFFrameHeaderSize + d.header.payloadLength;
        for (uint32_t i = 0; d.payloadIntact && i < d.header.payloadLength; ++i) {
            d.payloadIntact = record[BRIXEL::kHMFFrameHeaderSize + i] ==
                              ContainerBuilder::PayloadByte(d.header.sequence, i);
        }
        // The hook runs before the record is published, so whatever it does to the reader has
        // happened by the time a waiting test sees the record.
        if (onFrame)
            onFrame(d, ++delivered);
        {
            std::lock_guard<std::mutex> g(m_mutex);
            frames.push_back(d);
        }
        m_cond.notify_all();
        return 0;
    }

    // Waits (generously) until pred holds under the lock; false on time-out.
    bool WaitFor(const std::function<bool()>& pred) {
        // Conditions outside this object (the reader's own state) change without a
        // notification, so the wait re-checks now and then until the generous deadline.
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        std::unique_lock<std::mutex> g(m_mutex);
        while (!pred()) {
            if (std::chrono::steady_clock::now() >= deadline)
                return false;
            m_cond.wait_for(g, std::chrono::milliseconds(5));
        }
        return true;
    }
    bool WaitFrames(size_t n) {
        return WaitFor([&] { return frames.size() >= n; });
    }
    bool WaitFileEnds(int n) {
        return WaitFor([&] { return fileEnds >= n; });
    }
    std::vector<Delivered> Frames() {
        std::lock_guard<std::mutex> g(m_mutex);
        return frames;
    }
    std::vector<uint32_t> Sequences(bool videoOnly = true) {
        std::vector<uint32_t> out;
        for (const Delivered& d : Frames()) {
            if (!videoOnly || BRIXEL::HMFIsVideoKind(d.kind))
                out.push_back(d.header.sequence);
        }
        return out;
    }
    int FileEnds() {
        std::lock_guard<std::mutex> g(m_mutex);
        return fileEnds;
    }

    uint32_t queuedFrames = 0;
    std::function<bool()> onFileEnd;
    std::function<void(const Delivered&, size_t)> onFrame;

private:
    std::mutex m_mutex;
    std::condition_variable m_cond;
    std::vector<Delivered> frames;  // guarded by m_mutex
    int fileEnds = 0;               // guarded by m_mutex
    size_t delivered = 0;           // reader thread only
    int resets = 0;                 // guarded by m_mutex
};

class TestReader : public BRIXEL::CKZReader {
public:
    ~TestReader() override { Close(); }

    std::vector<uint32_t> Waits() {
        std::lock_guard<std::mutex> g(m_mutex);
        return m_waits;
    }
    std::vector<uint32_t> FrameTimes() {
        std::lock_guard<std::mutex> g(m_mutex);
        return m_times;
    }

protected:
    uint32_t WaitFrameInterval(uint32_t intervalMs) override {
        std::lock_guard<std::mutex> g(m_mutex);
        m_waits.push_back(intervalMs);
        return QUORIX_E_TIMEOUT;
    }
    uint32_t OnFrameTime(uint32_t timestamp, uint32_t) override {
        std::lock_guard<std::mutex> g(m_mutex);
        m_times.push_back(timestamp);
        return 0;
    }

private:
    std::mutex m_mutex;
    std::vector<uint32_t> m_waits;
    std::vector<uint32_t> m_times;
};

// Writes bytes to a file in dir and opens it in reader with callback cb.
inline void OpenBytes(TestReader& reader, RecordingCallback& cb, TempDir& dir,
                      const std::vector<uint8_t>& bytes, const char* name = "file.hmf") {
    ASSERT_TRUE(WriteFile(dir.Path(name), bytes));
    reader.SetCallback(&cb);
    ASSERT_EQ(QUORIX_OK, reader.Open(dir.Path(name).c_str()));
}

}  // namespace quorixtest
