#pragma once
// Byte buffer that grows at once and shrinks only after a long run of small requests.

#include <cstdint>

namespace BRIXEL {

// Reserve's answer when the memory already fits and stays as it is (not a failure).
constexpr uint32_t HRESERVE_KEPT = 0x80008006u;

class CHBuffer {
public:
    CHBuffer() = default;
    virtual ~CHBuffer();
    CHBuffer(const CHBuffer&) = delete;
    CHBuffer& operator=(const CHBuffer&) = delete;

    // Without force, keeps memory that already fits size + extra. Otherwise gives it up and
    // allocates size + extra bytes (length 0). QUORIX_E_NO_MEMORY when allocation fails.
    uint32_t Allocate(uint64_t size, bool force = false);
    // Gives up the current memory and takes data (capacity = length = size). Owned memory must
    // come from new uint8_t[].
    uint32_t Attach(uint8_t* data, uint64_t size, bool owned);
    // QUORIX_E_BUFFER for a null source or no memory, QUORIX_E_NO_MEMORY beyond the capacity.
    uint32_t Copy(const void* source, uint64_t count);
    uint8_t* Detach();
    void Free();
    // 0 when the memory was (re)allocated, HRESERVE_KEPT when the present block already holds
    // size + extra and stays; after more than 50 requests in a row below 80 % of the capacity
    // the block is replaced by exactly size + extra bytes. QUORIX_E_NO_MEMORY when growing
    // fails (the data pointer is then null).
    uint32_t Reserve(uint64_t size);
    // QUORIX_E_BUFFER_TOO_SMALL beyond the capacity.
    uint32_t SetLength(uint64_t count);
    void SetExtra(uint64_t bytes) { m_extra = bytes; }

    uint8_t* GetData() const { return m_data; }
    uint64_t GetCapacity() const { return m_capacity; }
    uint64_t GetLength() const { return m_length; }
    uint64_t GetExtra() const { return m_extra; }
    bool IsOwned() const { return m_owned; }
    uint32_t GetIdleCount() const { return m_idleCount; }

protected:
    // Called after the memory has been given up.
    virtual void OnRelease() {}

private:
    void Release();

    uint8_t* m_data = nullptr;
    uint64_t m_capacity = 0;
    uint64_t m_length = 0;
    bool m_owned = false;
    uint32_t m_shrinkPercent = 20;
    uint32_t m_shrinkPatience = 50;
    uint32_t m_idleCount = 0;
    uint64_t m_extra = 0;
};

}  // namespace BRIXEL
