#include "dewarp/pool.h"

#include <algorithm>

namespace DEWARP {

CWorkerPool::CWorkerPool(uint32_t threads) {
    if (threads == 0)
        threads = std::max(1u, std::thread::hardware_concurrency());
    threads = std::min(threads, 64u);
    for (uint32_t i = 1; i < threads; ++i) {
        try {
            m_workers.emplace_back([this] { WorkerMain(); });
        } catch (...) {
            break;  // fewer helpers: the caller still does every slice itself if need be
        }
    }
}

CWorkerPool::~CWorkerPool() {
    {
        std::lock_guard<std::mutex> guard(m_lock);
        m_stop = true;
    }
    m_wake.notify_all();
    for (auto& t : m_workers)
        t.join();
}

uint32_t CWorkerPool::Drain(const std::function<void(uint32_t)>& slice, uint32_t count) {
    uint32_t finished = 0;
    std::unique_lock<std::mutex> lock(m_lock);
    while (m_next < count) {
        const uint32_t i = m_next++;
        lock.unlock();
        slice(i);
        ++finished;
        lock.lock();
    }
    return finished;
}

void CWorkerPool::WorkerMain() {
    uint64_t seen = 0;
    std::unique_lock<std::mutex> lock(m_lock);
    for (;;) {
        m_wake.wait(lock, [&] { return m_stop || m_generation != seen; });
        if (m_stop)
            return;
        seen = m_generation;
        const auto* slice = m_slice;
        const uint32_t count = m_count;
        if (slice == nullptr)
            continue;  // woke after the job had finished
        lock.unlock();
        const uint32_t finished = Drain(*slice, count);
        lock.lock();
        m_done += finished;
        if (m_done == m_count)
            m_finished.notify_all();
    }
}

void CWorkerPool::Run(uint32_t count, const std::function<void(uint32_t)>& slice) {
    if (count == 0)
        return;
    std::lock_guard<std::mutex> run(m_runLock);
    if (m_workers.empty() || count == 1) {
        for (uint32_t i = 0; i < count; ++i)
            slice(i);
        return;
    }
    {
        std::lock_guard<std::mutex> guard(m_lock);
        m_slice = &slice;
        m_count = count;
        m_next = 0;
        m_done = 0;
        ++m_generation;
    }
    m_wake.notify_all();
    const uint32_t finished = Drain(slice, count);
    std::unique_lock<std::mutex> lock(m_lock);
    m_done += finished;
    m_finished.wait(lock, [&] { return m_done == m_count; });
    // A worker that wakes late sees no slice left; the job's function must not outlive Run.
    m_slice = nullptr;
}

}  // namespace DEWARP
