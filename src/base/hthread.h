#pragma once
// Base class of every worker object: one native thread per Start, a stop request that the body
// polls, and a stop time-out after which the thread is cancelled.

#include <pthread.h>

#include <atomic>
#include <cstdint>
#include <string>

#include "base/hevent.h"
#include "base/hlock.h"

namespace BRIXEL {

// Holds off cancellation of the calling thread for a scope: for work that must not become the
// point where a cancelled worker starts unwinding (closing files, writing a log line), and for
// cleanup that runs in destructors, where an unwind would end the process.
class CHCancelGuard {
public:
    CHCancelGuard() { pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, &m_old); }
    ~CHCancelGuard() { pthread_setcancelstate(m_old, nullptr); }
    CHCancelGuard(const CHCancelGuard&) = delete;
    CHCancelGuard& operator=(const CHCancelGuard&) = delete;

private:
    int m_old = PTHREAD_CANCEL_ENABLE;
};

// A catch-all on any path a worker can take must let a cancellation through: glibc unwinds a
// cancelled thread with a forced-unwind exception, and one that a catch (...) swallows ends the
// process ("exception not rethrown"). Such a catch-all is preceded by
//     } catch (abi::__forced_unwind&) {
//         throw;
// and its function is marked H_PASSES_CANCEL: the unwind's exception object is foreign, and
// binding it trips the null check of clang's undefined-behaviour sanitizer.
#define H_PASSES_CANCEL __attribute__((no_sanitize("null")))

// Derived classes that override the hooks must Stop() in their own destructor: by the time this
// destructor runs, the overrides are gone.
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
    // Raises the stop request and waits for the worker up to the stop time-out (3000 ms). A
    // worker still busy then is cancelled at its next cancellation point (CHEvent::Wait, HSleep,
    // blocking I/O): its stack unwinds, scoped locks are released, and OnThreadEnd is called
    // here with QUORIX_E_THREAD_KILLED. QUORIX_E_THREAD_NOT_RUNNING when not running (a thread
    // that ended by itself is joined then). Called on the worker itself it only raises the stop
    // request; the thread is joined by the next Start/Stop/destructor on another thread.
    uint32_t Stop();
    void SetStopFlag();
    bool IsStopRequested();
    bool IsRunning();

    void SetThreadName(const std::string& name);
    std::string GetThreadName() const;
    uint32_t GetThreadId() const { return m_threadId; }
    uint64_t GetParam() const { return m_param; }
    uint32_t GetExitCode() const { return m_exitCode.load(); }

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
    void RunOnWorker();
    static uint32_t RunHooks(CHThread* thread);
    void ApplyPriority();
    void OpenGate();
    // Joins a thread left by a worker that ended on its own or was asked to stop from itself.
    // Called off the worker only, under m_handleLock.
    void ReapHandle();
    // True once the worker has finished (or unwound), false after timeoutMs.
    bool WaitDone(uint32_t timeoutMs);

    uint32_t m_stackSize = 0x100000;
    bool m_catchExceptions = true;
    std::string m_name = "undefine";  // set before Start; read by the log lines
    bool m_stopOnDestroy = true;
    bool m_stopRequested = false;  // guarded by m_stopLock
    bool m_running = false;        // guarded by m_stateLock
    uint32_t m_stopTimeoutMs = 3000;
    CHLock m_stateLock{false};  // created on the first Start
    CHLock m_stopLock{false};   // created on the first Start
    bool m_stopping = false;    // guarded by m_stateLock
    int32_t m_priorityLevel = -1;
    uint32_t m_priorityValue = 51;
    uint64_t m_param = 0;
    uint32_t m_threadId = 0;   // written by the worker under m_syncMutex before Start logs it
    pthread_t m_handle{};      // guarded by m_handleLock
    bool m_hasHandle = false;  // guarded by m_handleLock
    CHLock m_handleLock;       // serialises Start, Stop and joins from other threads
    CHEvent m_stopEvent{true, true, false};  // mirrors the stop request for WaitStop
    std::atomic<bool> m_endEntered{false};   // the worker reached OnThreadEnd
    std::atomic<uint32_t> m_exitCode{0};

    // Start gate and completion. Guarded by m_syncMutex; m_syncCond runs on the monotonic clock.
    pthread_mutex_t m_syncMutex = PTHREAD_MUTEX_INITIALIZER;
    pthread_cond_t m_syncCond;
    bool m_idReady = false;
    bool m_gateOpen = false;
    bool m_done = true;
};

}  // namespace BRIXEL
