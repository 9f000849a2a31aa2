#include "base/hbuffer.h"

#include <quorixsdk_codes.h>

#include <cxxabi.h>

#include <cstring>
#include <new>

#include "base/hthread.h"

namespace BRIXEL {

namespace {
constexpr uint64_t kMaxAllocation = 1ull << 40;
}  // namespace

CHBuffer::~CHBuffer() {
    // OnRelease is not called here: a derived object is already gone.
    if (m_owned)
        delete[] m_data;
}

void CHBuffer::Release() {
    if (m_owned)
        delete[] m_data;
    m_data = nullptr;
    m_capacity = 0;
    m_length = 0;
    m_owned = false;
    m_idleCount = 0;
    OnRelease();
}

H_PASSES_CANCEL
uint32_t CHBuffer::Allocate(uint64_t size, bool force) {
    if (size > UINT64_MAX - m_extra)
        return QUORIX_E_NO_MEMORY;
    const uint64_t need = size + m_extra;
    if (!force && need <= m_capacity)
        return QUORIX_OK;
    Release();
    if (size == 0)
        return QUORIX_OK;
    // No picture or record of this system comes near a terabyte; a size beyond it is corrupt input.
    if (need > kMaxAllocation)
        return QUORIX_E_NO_MEMORY;
    uint8_t* data = nullptr;
    try {
        data = new (std::nothrow) uint8_t[static_cast<size_t>(need)];
    } catch (abi::__forced_unwind&) {
        throw;
    } catch (...) {
        return QUORIX_E_EXCEPTION;
    }
    if (!data)
        return QUORIX_E_NO_MEMORY;
    m_data = data;
    m_capacity = need;
    m_owned = true;
    return QUORIX_OK;
}

uint32_t CHBuffer::Attach(uint8_t* data, uint64_t size, bool owned) {
    Release();
    m_data = data;
    m_capacity = data ? size : 0;
    m_length = m_capacity;
    m_owned = data ? owned : false;
    return QUORIX_OK;
}

uint32_t CHBuffer::Copy(const void* source, uint64_t count) {
    if (!source || !m_data)
        return QUORIX_E_BUFFER;
    if (count > m_capacity)
        return QUORIX_E_NO_MEMORY;
    memmove(m_data, source, static_cast<size_t>(count));
    m_length = count;
    return QUORIX_OK;
}

uint8_t* CHBuffer::Detach() {
    uint8_t* data = m_data;
    m_data = nullptr;
    m_capacity = 0;
    m_length = 0;
    m_owned = false;
    m_idleCount = 0;
    OnRelease();
    return data;
}

void CHBuffer::Free() {
    Release();
}

uint32_t CHBuffer::Reserve(uint64_t size) {
    if (size > UINT64_MAX - m_extra)
        return QUORIX_E_NO_MEMORY;
    const uint64_t need = m_extra + size;
    if (need > m_capacity)
        return Allocate(size, false);
    if (need >= m_capacity - m_capacity * m_shrinkPercent / 100) {
        m_idleCount = 0;
    } else {
        ++m_idleCount;
    }
    if (m_idleCount <= m_shrinkPatience)
        return HRESERVE_KEPT;
    return Allocate(size, true);
}

uint32_t CHBuffer::SetLength(uint64_t count) {
    if (count > m_capacity)
        return QUORIX_E_BUFFER_TOO_SMALL;
    m_length = count;
    return QUORIX_OK;
}

}  // namespace BRIXEL
