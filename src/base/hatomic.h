#pragma once
// Interlocked 32-bit counter.

#include <atomic>
#include <cstdint>

namespace BRIXEL {

class CHAtomic {
public:
    CHAtomic() = default;
    virtual ~CHAtomic() = default;
    CHAtomic(const CHAtomic&) = delete;
    CHAtomic& operator=(const CHAtomic&) = delete;

    // Both return the new value; full ordering.
    int32_t Increment() { return m_value.fetch_add(1, std::memory_order_seq_cst) + 1; }
    int32_t Decrement() { return m_value.fetch_sub(1, std::memory_order_seq_cst) - 1; }
    int32_t Get() const { return m_value.load(std::memory_order_seq_cst); }
    void Set(int32_t value) { m_value.store(value, std::memory_order_seq_cst); }

private:
    std::atomic<int32_t> m_value{0};
};

}  // namespace BRIXEL
