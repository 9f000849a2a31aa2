#pragma once
// Re-entrant locks and the scoped guard over them.

#include <atomic>
#include <cstdint>
#include <mutex>
#include <optional>

namespace BRIXEL {

// Either kind (critical section or unnamed mutex) is a re-entrant mutex on this platform; the kind
// is kept because callers choose it and Create() reports it back.
class CHLock {
public:
    explicit CHLock(bool createNow = true, bool useCriticalSection = true);
    ~CHLock();
    CHLock(const CHLock&) = delete;
    CHLock& operator=(const CHLock&) = delete;

    // QUORIX_E_ALREADY_INIT when already created, QUORIX_E_SYSTEM when the mutex cannot be made.
    uint32_t Create(bool useCriticalSection = true);
    bool IsCreated() const { return m_created.load(std::memory_order_acquire); }
    bool UsesCriticalSection() const { return m_useCriticalSection; }

    // Raw access for guards; both are no-ops on an uncreated lock (Enter then returns false).
    bool Enter();
    bool TryEnter();
    void Leave();

private:
    std::optional<std::recursive_mutex> m_mutex;  // built once by Create, lives until destruction
    bool m_useCriticalSection;
    std::atomic<bool> m_created{false};
};

// Scoped guard: a null or uncreated lock is never waited on and reports false.
class CHAutoLock {
public:
    explicit CHAutoLock(CHLock* lock, bool lockNow = true);
    ~CHAutoLock();
    CHAutoLock(const CHAutoLock&) = delete;
    CHAutoLock& operator=(const CHAutoLock&) = delete;

    bool Lock();
    bool Unlock();
    bool IsLocked() const { return m_locked; }

private:
    CHLock* m_lock;
    bool m_locked = false;
};

}  // namespace BRIXEL
