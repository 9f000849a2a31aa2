#include "base/hthread.h"

#include <cxxabi.h>
#include <limits.h>
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <quorixsdk_codes.h>

#include <cerrno>
#include <ctime>

#include "base/hclock.h"
#include "base/hlog.h"

namespace BRIXEL {

namespace {

constexpr const char* kSource = "..\\src\\hthread";
constexpr uint32_t kMinCancelWaitMs = 2000;

thread_local CHThread* t_currentThread = nullptr;

// Keeps m_syncMutex for a scope, also while a cancelled wait unwinds.
class SyncGuard {
public:
    explicit SyncGuard(pthread_mutex_t* m) : m_mutex(m) { pthread_mutex_lock(m_mutex); }
    ~SyncGuard() { pthread_mutex_unlock(m_mutex); }
    SyncGuard(const SyncGuard&) = delete;
    SyncGuard& operator=(const SyncGuard&) = delete;

private:
    pthread_mutex_t* m_mutex;
};

// Nice values standing for the seven priority levels (idle .. time critical). Raising the
// priority needs privileges; without them the level stays stored only.
constexpr int kNiceForLevel[7] = {19, 10, 5, 0, -5, -10, -20};

}  // namespace

CHThread::CHThread() {
    pthread_condattr_t attr;
    pthread_condattr_init(&attr);
    pthread_condattr_setclock(&attr, CLOCK_MONOTONIC);
    pthread_cond_init(&m_syncCond, &attr);
    pthread_condattr_destroy(&attr);
}

CHThread::~CHThread() {
    if (IsWorkerThread()) {
        // The worker is destroying its own object: nobody can join it any more.
        CHAutoLock handle(&m_handleLock);
        if (m_hasHandle)
            pthread_detach(m_handle);
        m_hasHandle = false;
    } else {
        if (m_stopOnDestroy && IsRunning())
            Stop();
        CHAutoLock handle(&m_handleLock);
        ReapHandle();
    }
    pthread_cond_destroy(&m_syncCond);
    pthread_mutex_destroy(&m_syncMutex);
}

uint32_t CHThread::ThreadRun(uint64_t param) {
    for (;;) {
        if (IsStopRequested())
            return 0;
        const uint32_t r = OnThreadLoop(param);
        if (r != 0)
            return r;
    }
}

uint32_t CHThread::OnThreadLoop(uint64_t) {
    return 0;
}

uint32_t CHThread::OnThreadStart(uint64_t) {
    return 0;
}

void CHThread::OnThreadEnd(uint64_t, uint32_t exitCode) {
    HLOG(kSource, "hbase", 0, "BRIXEL::CHThread::OnThreadEnd",
         "the '%s' thread(id=%u) is end,exitcode=%#x", m_name.c_str(), m_threadId, exitCode);
}

bool CHThread::IsWorkerThread() const {
    return t_currentThread == this;
}

uint32_t CHThread::Start(uint64_t param, bool startSuspended) {
    // A worker cannot join itself; from its own thread it is still (or just was) running.
    if (IsWorkerThread())
        return QUORIX_E_THREAD_RUNNING;
    CHAutoLock handle(&m_handleLock);

    if (!m_stateLock.IsCreated()) {
        if (const uint32_t r = m_stateLock.Create(true))
            return r;
    }
    if (!m_stopLock.IsCreated()) {
        if (const uint32_t r = m_stopLock.Create(true))
            return r;
    }
    {
        CHAutoLock state(&m_stateLock);
        if (m_running)
            return QUORIX_E_THREAD_RUNNING;
        m_running = true;
        m_stopping = false;
    }
    // A previous worker that ended by itself is joined before its fields are reused.
    ReapHandle();
    {
        CHAutoLock stop(&m_stopLock);
        m_stopRequested = false;
        m_stopEvent.Reset();
    }
    m_param = param;
    m_exitCode = 0;
    m_endEntered.store(false);
    {
        SyncGuard sync(&m_syncMutex);
        m_idReady = false;
        m_gateOpen = false;
        m_done = false;
    }

    pthread_attr_t attr;
    if (pthread_attr_init(&attr) != 0) {
        SyncGuard sync(&m_syncMutex);
        m_done = true;
        return QUORIX_E_THREAD_CREATE;
    }
    size_t stack = m_stackSize;
    if (stack < static_cast<size_t>(PTHREAD_STACK_MIN))
        stack = PTHREAD_STACK_MIN;
    pthread_attr_setstacksize(&attr, stack);
    pthread_t thread{};
    const int rc = pthread_create(&thread, &attr, &CHThread::ThreadProc, this);
    pthread_attr_destroy(&attr);
    if (rc != 0) {
        // running stays raised until Stop finds no live thread.
        SyncGuard sync(&m_syncMutex);
        m_done = true;
        return QUORIX_E_THREAD_CREATE;
    }
    m_handle = thread;
    m_hasHandle = true;
    {
        // The new thread reports its id before it parks on the start gate.
        SyncGuard sync(&m_syncMutex);
        while (!m_idReady)
            pthread_cond_wait(&m_syncCond, &m_syncMutex);
    }

    HLOG(kSource, "hbase", 0, "BRIXEL::CHThread::Start", "the '%s' thread(id=%u) is start",
         m_name.c_str(), m_threadId);
    if (m_priorityLevel != -1)
        ApplyPriority();
    if (!startSuspended)
        OpenGate();
    return QUORIX_OK;
}

uint32_t CHThread::Resume() {
    OpenGate();
    return QUORIX_OK;
}

void CHThread::OpenGate() {
    SyncGuard sync(&m_syncMutex);
    m_gateOpen = true;
    pthread_cond_broadcast(&m_syncCond);
}

void* CHThread::ThreadProc(void* arg) {
    auto* self = static_cast<CHThread*>(arg);
    t_currentThread = self;
    // A write to a peer that went away (an X server killed under a window) answers EPIPE on our
    // threads instead of raising SIGPIPE, whose default action would end the host's process.
    sigset_t pipeSignal;
    sigemptyset(&pipeSignal);
    sigaddset(&pipeSignal, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipeSignal, nullptr);

    // Marks completion however the thread leaves, including a cancellation unwind.
    struct DoneMarker {
        CHThread* thread;
        ~DoneMarker() {
            SyncGuard sync(&thread->m_syncMutex);
            thread->m_done = true;
            pthread_cond_broadcast(&thread->m_syncCond);
        }
    } done{self};

    // Shown by debuggers and ps; the kernel keeps 15 characters.
    pthread_setname_np(pthread_self(), self->m_name.substr(0, 15).c_str());
    {
        SyncGuard sync(&self->m_syncMutex);
        self->m_threadId = static_cast<uint32_t>(gettid());
        self->m_idReady = true;
        pthread_cond_broadcast(&self->m_syncCond);
        while (!self->m_gateOpen)
            pthread_cond_wait(&self->m_syncCond, &self->m_syncMutex);
    }
    self->RunOnWorker();
    return nullptr;
}

namespace {

// glibc's cancellation unwind is a foreign exception whose object the reference below binds
// to as null; the null check of the undefined-behaviour sanitizer would stop on it.
__attribute__((no_sanitize("undefined"))) uint32_t RunCatching(CHThread* thread,
                                                               uint32_t (*body)(CHThread*)) {
    try {
        return body(thread);
    } catch (abi::__forced_unwind&) {
        throw;  // a cancellation must finish unwinding
    } catch (...) {
        return QUORIX_E_THREAD_FAULT;
    }
}

}  // namespace

uint32_t CHThread::RunHooks(CHThread* thread) {
    const uint64_t param = thread->m_param;
    const uint32_t r = thread->OnThreadStart(param);
    return r != 0 ? r : thread->ThreadRun(param);
}

void CHThread::RunOnWorker() {
    const uint64_t param = m_param;
    const uint32_t r = m_catchExceptions ? RunCatching(this, &CHThread::RunHooks) : RunHooks(this);
    {
        CHAutoLock state(&m_stateLock);
        m_running = false;
    }
    m_exitCode = r;
    m_endEntered.store(true);
    OnThreadEnd(param, r);
}

bool CHThread::WaitDone(uint32_t timeoutMs) {
    SyncGuard sync(&m_syncMutex);
    if (timeoutMs == HINFINITE) {
        while (!m_done)
            pthread_cond_wait(&m_syncCond, &m_syncMutex);
        return true;
    }
    const timespec deadline = HMonotonicDeadline(timeoutMs);
    while (!m_done) {
        if (pthread_cond_timedwait(&m_syncCond, &m_syncMutex, &deadline) == ETIMEDOUT)
            return m_done;
    }
    return true;
}

void CHThread::ReapHandle() {
    if (!m_hasHandle)
        return;
    pthread_join(m_handle, nullptr);
    m_hasHandle = false;
}

uint32_t CHThread::Stop() {
    if (IsWorkerThread()) {
        // Waiting for ourselves would never end: raise the request and let the body return.
        SetStopFlag();
        return QUORIX_OK;
    }
    CHAutoLock handle(&m_handleLock);
    {
        CHAutoLock state(&m_stateLock);
        if (!m_running) {
            state.Unlock();
            ReapHandle();
            return QUORIX_E_THREAD_NOT_RUNNING;
        }
        m_stopping = true;
    }
    SetStopFlag();

    bool killed = false;
    if (m_hasHandle) {
        bool done = WaitDone(m_stopTimeoutMs);
        if (!done) {
            pthread_cancel(m_handle);
            killed = true;
            // Twice the time-out, but never so short that a loaded machine could not schedule
            // the unwind of a short-time-out worker.
            uint32_t again = m_stopTimeoutMs >= HINFINITE / 2 ? HINFINITE - 1 : m_stopTimeoutMs * 2;
            if (again < kMinCancelWaitMs)
                again = kMinCancelWaitMs;
            done = WaitDone(again);
        }
        if (done) {
            pthread_join(m_handle, nullptr);
        } else {
            // A body spinning without a single cancellation point cannot be ended from outside.
            HLOG(kSource, "hbase", HLOG_ERROR, "BRIXEL::CHThread::Stop",
                 "the '%s' thread(id=%u) did not end after cancel, detached", m_name.c_str(),
                 m_threadId);
            pthread_detach(m_handle);
        }
        m_hasHandle = false;
    }
    {
        CHAutoLock state(&m_stateLock);
        m_running = false;
    }
    if (killed && !m_endEntered.load()) {
        m_exitCode = QUORIX_E_THREAD_KILLED;
        OnThreadEnd(m_param, QUORIX_E_THREAD_KILLED);
    }
    return QUORIX_OK;
}

void CHThread::SetStopFlag() {
    CHAutoLock stop(&m_stopLock);
    m_stopRequested = true;
    m_stopEvent.Set();
}

bool CHThread::IsStopRequested() {
    CHAutoLock stop(&m_stopLock);
    return m_stopRequested;
}

bool CHThread::IsRunning() {
    CHAutoLock state(&m_stateLock);
    return m_running;
}

void CHThread::WaitStop(uint32_t timeoutMs) {
    m_stopEvent.Wait(timeoutMs);
}

void CHThread::SetThreadName(const std::string& name) {
    m_name = name;
}

std::string CHThread::GetThreadName() const {
    return m_name;
}

void CHThread::SetPriority(int32_t level, uint32_t value) {
    if (level < -1)
        level = -1;
    if (level > 6)
        level = 6;
    if (value < 1)
        value = 1;
    if (value > 99)
        value = 99;
    m_priorityLevel = level;
    m_priorityValue = value;
    if (IsRunning())
        ApplyPriority();
}

void CHThread::ApplyPriority() {
    if (m_priorityLevel < 0 || m_priorityLevel > 6 || m_threadId == 0)
        return;
    setpriority(PRIO_PROCESS, static_cast<id_t>(m_threadId), kNiceForLevel[m_priorityLevel]);
}

}  // namespace BRIXEL
