#include "support/stress_support.h"

#include <dlfcn.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>

#include "media/hmfformat.h"

namespace stresstest {

int Cycles(int ciDefault) {
    const char* text = std::getenv("QUORIX_STRESS_CYCLES");
    if (text == nullptr || *text == '\0')
        return ciDefault;
    const long n = std::strtol(text, nullptr, 10);
    return n > 0 ? static_cast<int>(n) : ciDefault;
}

bool LongRun() {
    const char* text = std::getenv("QUORIX_STRESS_CYCLES");
    return text != nullptr && *text != '\0';
}

const playertest::Clip& H264Clip() {
    static const playertest::Clip clip = playertest::EncodeClip("libx264", 320, 240, 24, 8);
    return clip;
}

const std::vector<std::vector<uint8_t>>& H264Records() {
    static const auto records = playertest::ClipRecords(H264Clip(), 40);
    return records;
}

const std::vector<uint8_t>& H264File() {
    static const auto file = playertest::ClipFile(H264Clip(), 40, -1);
    return file;
}

std::vector<uint8_t> CompositeOf(const std::vector<uint8_t>& record, uint8_t streamId) {
    std::vector<uint8_t> sub = record;
    BRIXEL::HStoreLE16(&sub[0], BRIXEL::kHMFSubFrameMagic);
    sub[3] = streamId;
    BRIXEL::HMFFrameHeader outer = BRIXEL::HMFNewFrameHeader();
    outer.type = static_cast<uint8_t>(record[2] | BRIXEL::kHMFCompositeBit);
    outer.sequence = BRIXEL::HLoadLE32(&record[4]);
    outer.timestamp = BRIXEL::HLoadLE32(&record[8]);
    outer.codec = record[16];
    outer.payloadLength = static_cast<uint32_t>(sub.size());
    std::vector<uint8_t> packet(BRIXEL::kHMFFrameHeaderSize + sub.size());
    BRIXEL::HMFSerializeFrameHeader(outer, packet.data());
    std::copy(sub.begin(), sub.end(), packet.begin() + BRIXEL::kHMFFrameHeaderSize);
    return packet;
}

uint32_t Push(uint16_t port, const std::vector<uint8_t>& record) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    uint32_t result = QUORIX_E_QUEUE_FULL;
    while (true) {
        result = QUORIX_InputStreamData(port, record.data(), static_cast<uint32_t>(record.size()));
        if (result != QUORIX_E_QUEUE_FULL || std::chrono::steady_clock::now() > deadline)
            return result;
        std::this_thread::yield();
    }
}

Watchdog::Watchdog(uint32_t stallMs) : m_stallMs(stallMs), m_thread([this] { Run(); }) {}

Watchdog::~Watchdog() {
    {
        std::lock_guard<std::mutex> guard(m_lock);
        m_stop = true;
    }
    m_wake.notify_all();
    m_thread.join();
}

int Watchdog::Register(const char* name) {
    const int slot = m_used.fetch_add(1);
    if (slot >= kSlots)
        std::abort();
    m_slots[slot].name.store(name);
    return slot;
}

void Watchdog::Enter(int slot, const char* call, uint16_t port) {
    m_slots[slot].port.store(port);
    m_slots[slot].call.store(call);
    m_progress.fetch_add(1);
}

void Watchdog::Leave(int slot) {
    m_slots[slot].call.store(nullptr);
    m_progress.fetch_add(1);
}

void Watchdog::Run() {
    std::unique_lock<std::mutex> guard(m_lock);
    uint64_t seen = m_progress.load();
    while (!m_stop) {
        m_wake.wait_for(guard, std::chrono::milliseconds(m_stallMs));
        if (m_stop)
            return;
        const uint64_t now = m_progress.load();
        bool busy = false;
        for (int i = 0; i < m_used.load() && i < kSlots; ++i)
            busy = busy || m_slots[i].call.load() != nullptr;
        if (now == seen && busy) {
            std::fprintf(stderr, "watchdog: no progress for %u ms; calls in progress:\n",
                         m_stallMs);
            for (int i = 0; i < m_used.load() && i < kSlots; ++i) {
                const char* call = m_slots[i].call.load();
                if (call != nullptr) {
                    std::fprintf(stderr, "  thread %s: %s(port %u)\n", m_slots[i].name.load(), call,
                                 m_slots[i].port.load());
                }
            }
            std::fflush(stderr);
            std::abort();
        }
        seen = now;
    }
}

}  // namespace stresstest
