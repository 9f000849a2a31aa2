#pragma once
// Byte buffer that grows at once and shrinks only after a long run of small requests.

#include <cstdint>

namespace BRIXEL {

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
    // 0 when the memory fits (or was grown), QUORIX_E_NOT_OPEN while a smaller request keeps
    // the larger block; the block shrinks to exactly the need after 50 such calls in a row.
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
