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

void CWorkerPool::Drain(std::unique_lock<std::mutex>& lock, uint64_t generation) {
    // A slice is taken only while its job is the current one, and the job cannot finish while
    // a taken slice runs, so the job's function outlives every call made here.
    while (m_generation == generation && m_next < m_count) {
        const uint32_t i = m_next++;
        const auto* slice = m_slice;
        lock.unlock();
        (*slice)(i);
        lock.lock();
        if (++m_done == m_count)
            m_finished.notify_all();
    }
}

void CWorkerPool::WorkerMain() {
    uint64_t seen = 0;
    std::unique_lock<std::mutex> lock(m_lock);
    for (;;) {
        m_wake.wait(lock, [&] { return m_stop || m_generation != seen; });
        if (m_stop)
            return;
        seen = m_generation;
        Drain(lock, seen);
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
    std::unique_lock<std::mutex> lock(m_lock);
    m_slice = &slice;
    m_count = count;
    m_next = 0;
    m_done = 0;
    const uint64_t generation = ++m_generation;
    m_wake.notify_all();
    Drain(lock, generation);
    m_finished.wait(lock, [&] { return m_done == m_count; });
    m_slice = nullptr;
}

}  // namespace DEWARP
