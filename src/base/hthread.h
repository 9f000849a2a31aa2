#pragma once
// Base class of every worker object: one native thread per Start, a stop request that the body
// polls, and a stop time-out after which the thread is cancelled.

#include <pthread.h>

#include <cstdint>
#include <string>

#include "base/hlock.h"

namespace BRIXEL {

class CHThread {
public:
    CHThread();
    virtual ~CHThread();
    CHThread(const CHThread&) = delete;
    CHThread& operator=(const CHThread&) = delete;

    // The thread body; the default polls the stop request and calls OnThreadLoop until it
    // returns non-zero.
    virtual uint32_t ThreadRun(uint64_t param);
    // One pass of the body; the default returns 0. Overrides wait on their own events or sleep.
    virtual uint32_t OnThreadLoop(uint64_t param);
    // First call on the new thread; a non-zero result skips the body.
    virtual uint32_t OnThreadStart(uint64_t param);
    // Last call: on the worker, or on the stopping thread when the worker had to be cancelled.
    virtual void OnThreadEnd(uint64_t param, uint32_t exitCode);

    // QUORIX_E_THREAD_RUNNING when running, QUORIX_E_THREAD_CREATE when no thread could be made.
    uint32_t Start(uint64_t param = 0, bool startSuspended = false);
    // Releases a thread started suspended.
    uint32_t Resume();
    // QUORIX_E_THREAD_NOT_RUNNING when not running. Called on the worker itself it only raises
    // the stop request; the thread is joined by the next Start/Stop/destructor on another thread.
    uint32_t Stop();
    void SetStopFlag();
    bool IsStopRequested();
    bool IsRunning();

    void SetThreadName(const std::string& name);
    std::string GetThreadName() const;
    uint32_t GetThreadId() const { return m_threadId; }
    uint64_t GetParam() const { return m_param; }

    // Level -1 (system default) or 0..6, value 1..99 (stored only).
    void SetPriority(int32_t level, uint32_t value);
    void SetStackSize(uint32_t bytes) { m_stackSize = bytes; }
    void SetCatchExceptions(bool on) { m_catchExceptions = on; }
    void SetStopOnDestroy(bool on) { m_stopOnDestroy = on; }
    void SetStopTimeout(uint32_t ms) { m_stopTimeoutMs = ms; }
    uint32_t GetStopTimeout() const { return m_stopTimeoutMs; }

    // True on the worker thread of this object.
    bool IsWorkerThread() const;

protected:
    // Returns when the stop flag is raised or timeoutMs passes; a cancellation point. Bodies
    // that only need to idle can use it instead of a plain sleep.
    void WaitStop(uint32_t timeoutMs);

private:
    static void* ThreadProc(void* arg);
    uint32_t RunOnWorker();
    void ApplyPriority();
    // Joins a finished or cancelled thread left by an earlier Stop from the worker itself, or
    // by a worker that ended on its own. Called off the worker only.
    void ReapHandle();

    uint32_t m_stackSize = 0x100000;
    bool m_catchExceptions = true;
    std::string m_name = "undefine";  // written before Start, read by the log lines
    bool m_stopOnDestroy = true;
    bool m_stopRequested = false;     // guarded by m_stopLock
    bool m_running = false;           // guarded by m_stateLock
    uint32_t m_stopTimeoutMs = 3000;
    CHLock m_stateLock{false};
    CHLock m_stopLock{false};
    bool m_stopping = false;          // guarded by m_stateLock
    int32_t m_priorityLevel = -1;
    uint32_t m_priorityValue = 51;
    uint64_t m_param = 0;
    uint32_t m_threadId = 0;
    pthread_t m_handle{};
    bool m_hasHandle = false;         // guarded by m_handleLock
    CHLock m_handleLock;              // serialises Start/Stop/join of the native handle

    // Start gate: the new thread waits here until resumed. Guarded by m_gateMutex.
    pthread_mutex_t m_gateMutex = PTHREAD_MUTEX_INITIALIZER;
    pthread_cond_t m_gateCond = PTHREAD_COND_INITIALIZER;
    bool m_gateOpen = false;
    // Set by the worker as its very last act, so a stopper knows whether it finished.
    pthread_mutex_t m_doneMutex = PTHREAD_MUTEX_INITIALIZER;
    pthread_cond_t m_doneCond;       // on the monotonic clock
    bool m_done = false;
};

}  // namespace BRIXEL
