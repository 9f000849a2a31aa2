#pragma once
// Frame records that travel between the engine, the decoders and the renderers, and the pools
// that hold them: free lists of spare records and first-in first-out queues alike.

#include <quorixsdk_codes.h>

#include <cstdint>
#include <cstring>
#include <memory>
#include <new>

#include "base/hbuffer.h"
#include "base/hlock.h"
#include "base/hpixel.h"
#include "media/hmfformat.h"

namespace BRIXEL {

// An encoded frame record waiting in a queue: the header copy and the payload without it.
class CHKZFrame {
public:
    static constexpr uint64_t kPayloadMargin = 2048;
    CHKZFrame() { payload.SetExtra(kPayloadMargin); }
    virtual ~CHKZFrame() = default;
    CHKZFrame(const CHKZFrame&) = delete;
    CHKZFrame& operator=(const CHKZFrame&) = delete;

    HMFFrameHeader header = HMFNewFrameHeader();
    CHBuffer payload;
    uint32_t receiveTick = 0;
};

// A decoded planar 4:2:0 picture without row padding: Y (width x height), then U and V
// (((width+1)/2) x ((height+1)/2) each), so no column or row of an odd size is lost.
class CHDecFrame {
public:
    CHDecFrame() = default;
    virtual ~CHDecFrame() = default;
    CHDecFrame(const CHDecFrame&) = delete;
    CHDecFrame& operator=(const CHDecFrame&) = delete;

    HMFFrameHeader header = HMFNewFrameHeader();
    CHBuffer pixels;
    uint32_t interval = 0;  // ms since the previous picture of the stream
    uint32_t receiveTick = 0;
    CHYUVColour colour = HYUV_BT601_LIMITED;  // matrix and range the decoder reported
};

// Bytes of a packed 4:2:0 picture of the given size.
inline uint64_t HPackedI420Size(uint32_t width, uint32_t height) {
    return HPixelI420Size(width, height);
}

// Ring of pointers used as a double-ended queue. It grows geometrically and never shrinks, so
// a queue that cycles within its high-water mark allocates nothing (a std::deque allocates and
// frees a block every few dozen operations when used as a FIFO).
template <typename T>
class CHPtrRing {
public:
    uint32_t Size() const { return m_count; }
    bool Empty() const { return m_count == 0; }

    // Throws std::bad_alloc when it has to grow and cannot.
    void PushBack(T* item) {
        if (m_count == m_capacity)
            Grow();
        m_items[(m_head + m_count) % m_capacity] = item;
        ++m_count;
    }
    T* PopFront() {
        if (m_count == 0)
            return nullptr;
        T* item = m_items[m_head];
        m_head = (m_head + 1) % m_capacity;
        --m_count;
        return item;
    }
    T* At(uint32_t index) const { return m_items[(m_head + index) % m_capacity]; }
    // Removes the element at index (0 = oldest), keeping the order of the others.
    T* EraseAt(uint32_t index) {
        T* item = At(index);
        for (uint32_t i = index; i + 1 < m_count; ++i) {
            m_items[(m_head + i) % m_capacity] = m_items[(m_head + i + 1) % m_capacity];
        }
        --m_count;
        return item;
    }
    void Reserve(uint32_t capacity) {
        while (m_capacity < capacity)
            Grow();
    }

private:
    void Grow() {
        const uint32_t capacity = m_capacity ? m_capacity * 2 : 16;
        std::unique_ptr<T*[]> items(new T*[capacity]);
        for (uint32_t i = 0; i < m_count; ++i)
            items[i] = At(i);
        m_items = std::move(items);
        m_capacity = capacity;
        m_head = 0;
    }

    std::unique_ptr<T*[]> m_items;
    uint32_t m_capacity = 0;
    uint32_t m_head = 0;
    uint32_t m_count = 0;
};

// Thread-safe pool and queue of record pointers, oldest first. With a maximum, a Put beyond it
// destroys the element instead of keeping it.
template <typename T>
class CHPool {
public:
    explicit CHPool(int32_t maximum = -1, bool ownsElements = true)
        : m_ownsElements(ownsElements), m_maximum(maximum) {
        m_ready = m_lock.IsCreated();
        if (m_ready) {
            // The first block is taken here so that a pool cycling below 16 elements never
            // allocates; a failure simply defers it to the first Put.
            try {
                m_elements.Reserve(16);
            } catch (const std::bad_alloc&) {
            }
        }
    }
    virtual ~CHPool() { CHPool::Clear(); }
    CHPool(const CHPool&) = delete;
    CHPool& operator=(const CHPool&) = delete;

    // Destroys every element (when owned) and empties the queue.
    virtual void Clear() {
        CHAutoLock lock(&m_lock);
        while (T* item = m_elements.PopFront()) {
            if (m_ownsElements)
                delete item;
        }
    }

    // The oldest element, or null when empty or not ready.
    T* Get() {
        if (!m_ready)
            return nullptr;
        CHAutoLock lock(&m_lock);
        return m_elements.PopFront();
    }

    // QUORIX_E_NO_POOL (element not taken) when not ready; otherwise the pool takes the element
    // and keeps it, or destroys it when the maximum is reached or no room can be made.
    uint32_t Put(T* item) {
        if (!m_ready)
            return QUORIX_E_NO_POOL;
        if (!item)
            return QUORIX_E_PARAM;
        bool keep = false;
        {
            CHAutoLock lock(&m_lock);
            if (m_maximum < 0 || m_elements.Size() < static_cast<uint32_t>(m_maximum)) {
                try {
                    m_elements.PushBack(item);
                    keep = true;
                } catch (const std::bad_alloc&) {
                }
            }
        }
        if (!keep)
            delete item;
        return QUORIX_OK;
    }

    uint32_t GetCount() {
        CHAutoLock lock(&m_lock);
        return m_elements.Size();
    }
    bool IsReady() const { return m_ready; }
    int32_t GetMaximum() const { return m_maximum; }

protected:
    CHLock m_lock;         // guards m_elements
    bool m_ready = false;  // set once m_lock exists
    bool m_ownsElements;
    CHPtrRing<T> m_elements;  // guarded by m_lock
    int32_t m_maximum;
};

// A video stream's encoded queue: it can shed the pictures just before the oldest key frame.
class CHVFPool : public CHPool<CHKZFrame> {
public:
    static constexpr uint32_t kDropSpan = 10;

    CHVFPool() : CHPool<CHKZFrame>(-1, true) {}

    // Removes up to ten records immediately before the oldest key frame and hands them to
    // freeList (queue lock, then the free list's lock). True when anything was dropped.
    bool DropBeforeKeyFrame(CHPool<CHKZFrame>* freeList);
};

}  // namespace BRIXEL
