#pragma once
// One frame record read from a container file: a parsed copy of its 28-byte header and the
// whole record (header first, payload behind it) in a buffer that is grown, not reallocated, as
// records come.

#include <cstdint>

#include "base/hbuffer.h"
#include "media/hmfformat.h"

namespace BRIXEL {

class CMKZData {
public:
    CMKZData();
    virtual ~CMKZData();
    CMKZData(const CMKZData&) = delete;
    CMKZData& operator=(const CMKZData&) = delete;

    // Makes room for a record of recordSize bytes and stores the header bytes in front.
    // QUORIX_E_NO_MEMORY when the buffer cannot hold it; the previous record is then lost.
    uint32_t Prepare(const uint8_t* headerBytes, uint64_t recordSize);
    // Where the payload goes after Prepare.
    uint8_t* PayloadPtr() const;
    // Records the record as complete (length = recordSize given to Prepare).
    void Commit();
    void Clear();
    void Free();

    const HMFFrameHeader& Header() const { return m_header; }
    HMFFrameHeader& Header() { return m_header; }
    const uint8_t* Record() const { return m_buffer.GetData(); }
    // Bytes of the whole record, 0 when none is held.
    uint32_t RecordLength() const { return static_cast<uint32_t>(m_buffer.GetLength()); }

private:
    HMFFrameHeader m_header;
    CHBuffer m_buffer;
    uint64_t m_pending = 0;
};

}  // namespace BRIXEL
