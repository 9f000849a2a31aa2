#pragma once
// A small pool of worker threads, created once and reused for every picture: a job is split
// into numbered slices that the workers and the calling thread take in turn until none is
// left, and Run returns when every slice has finished.

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace DEWARP {

class CWorkerPool {
public:
    // threads: how many run a job at once, the calling thread included; 0 means one per core.
    explicit CWorkerPool(uint32_t threads = 0);
    ~CWorkerPool();
    CWorkerPool(const CWorkerPool&) = delete;
    CWorkerPool& operator=(const CWorkerPool&) = delete;

    uint32_t Threads() const { return static_cast<uint32_t>(m_workers.size()) + 1; }
    // Calls slice(i) once for every i in [0, count), spread over the pool. One job at a time:
    // concurrent callers take turns.
    void Run(uint32_t count, const std::function<void(uint32_t)>& slice);

private:
    void WorkerMain();
    // Runs slices of job `generation` while it is current and has slices left; m_lock held on
    // entry and on return.
    void Drain(std::unique_lock<std::mutex>& lock, uint64_t generation);

    std::mutex m_runLock;  // one job at a time
    std::mutex m_lock;     // guards every field below
    std::condition_variable m_wake, m_finished;
    const std::function<void(uint32_t)>* m_slice = nullptr;
    uint32_t m_count = 0;
    uint32_t m_next = 0;
    uint32_t m_done = 0;
    uint64_t m_generation = 0;
    bool m_stop = false;
    std::vector<std::thread> m_workers;
};

}  // namespace DEWARP
