#include "media/mkzdata.h"

#include <quorixsdk_codes.h>

#include <cstring>

namespace BRIXEL {

CMKZData::CMKZData() : m_header(HMFNewFrameHeader()) {}

CMKZData::~CMKZData() = default;

uint32_t CMKZData::Prepare(const uint8_t* headerBytes, uint64_t recordSize) {
    m_pending = 0;
    if (recordSize < kHMFFrameHeaderSize)
        return QUORIX_E_PARAM;
    m_buffer.SetLength(0);
    // Reserve keeps a larger block for a while and only answers non-zero to say so; what
    // matters is whether the memory now holds the record.
    m_buffer.Reserve(recordSize);
    if (m_buffer.GetData() == nullptr || m_buffer.GetCapacity() < recordSize)
        return QUORIX_E_NO_MEMORY;
    std::memcpy(m_buffer.GetData(), headerBytes, kHMFFrameHeaderSize);
    HMFParseFrameHeader(headerBytes, &m_header);
    m_pending = recordSize;
    return QUORIX_OK;
}

uint8_t* CMKZData::PayloadPtr() const {
    return m_buffer.GetData() == nullptr ? nullptr : m_buffer.GetData() + kHMFFrameHeaderSize;
}

void CMKZData::Commit() {
    m_buffer.SetLength(m_pending);
}

void CMKZData::Clear() {
    m_pending = 0;
    m_buffer.SetLength(0);
}

void CMKZData::Free() {
    m_pending = 0;
    m_buffer.Free();
    m_header = HMFNewFrameHeader();
}

}  // namespace BRIXEL
