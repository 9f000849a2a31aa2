#include "media/hmfwriter.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "base/hclock.h"
#include "base/hdatetime.h"
#include "base/hlog.h"
#include "base/hmodule.h"
#include "base/hthread.h"

namespace BRIXEL {

namespace {
constexpr const char* kSource = "hmfwriter";
constexpr const char* kModule = "hmedia";
// Largest single pwrite; bigger writes are split (the kernel caps one call near 2 GiB anyway).
constexpr uint64_t kMaxChunk = 1u << 30;
}  // namespace

CHMFWriter::CHMFWriter() : m_header(HMFNewHeader()) {}

CHMFWriter::~CHMFWriter() {
    Close();
}

bool CHMFWriter::IsOpen() const {
    CHAutoLock lock(&m_lock);
    return m_fd >= 0;
}

void CHMFWriter::SetFormatTag(uint8_t tag) {
    CHAutoLock lock(&m_lock);
    m_formatTag = tag;
    if (m_fd < 0)
        m_header.formatTag = tag;
}

void CHMFWriter::SetRenderModel(int8_t model) {
    CHAutoLock lock(&m_lock);
    m_renderModel = model;
    if (m_fd < 0)
        m_header.renderModel = model;
}

void CHMFWriter::SetSyncPeriod(uint32_t periodMs) {
    CHAutoLock lock(&m_lock);
    m_syncPeriodMs = periodMs;
}

HMFFileHeader CHMFWriter::GetHeader() const {
    CHAutoLock lock(&m_lock);
    return m_header;
}

std::vector<HMFIndexEntry> CHMFWriter::GetIndex() const {
    CHAutoLock lock(&m_lock);
    return m_index;
}

uint64_t CHMFWriter::GetFileEnd() const {
    CHAutoLock lock(&m_lock);
    return m_end;
}

uint32_t CHMFWriter::GetFailedWrites() const {
    CHAutoLock lock(&m_lock);
    return m_failedTotal;
}

uint32_t CHMFWriter::GetLostRecords() const {
    CHAutoLock lock(&m_lock);
    return m_failedTotal + m_rejectedTotal;
}

uint32_t CHMFWriter::GetSyncCount() const {
    CHAutoLock lock(&m_lock);
    return m_syncCount;
}

// ---------------------------------------------------------------------------------------------
// File access (m_lock held).

uint32_t CHMFWriter::OpenFile(const char* path) {
    // "e": a process the host forks must not keep the recording open.
    if (path == nullptr || !m_file.Open(path, "wbe")) {
        HLOG(kSource, kModule, HLOG_ERROR, "BRIXEL::CHMFWriter::OpenFile",
             "create file %s fail: %s", path ? path : "(null)", std::strerror(errno));
        return QUORIX_E_OPEN_FILE;
    }
    // Everything goes through the descriptor; the stream only owns it and never buffers.
    m_fd = fileno(m_file.GetStream());
    if (m_fd < 0) {
        m_file.Close();
        return QUORIX_E_OPEN_FILE;
    }
    m_end = 0;
    m_index.clear();
    m_failing = false;
    m_failedInRun = 0;
    m_failedTotal = 0;
    m_rejecting = false;
    m_rejectedTotal = 0;
    m_lastSyncTick = HGetTickCount();
    m_syncCount = 0;
    return QUORIX_OK;
}

bool CHMFWriter::WriteAll(uint64_t offset, const void* data, uint64_t count) {
    const uint8_t* bytes = static_cast<const uint8_t*>(data);
    while (count > 0) {
        const size_t chunk = static_cast<size_t>(count < kMaxChunk ? count : kMaxChunk);
        const ssize_t n = ::pwrite(m_fd, bytes, chunk, static_cast<off_t>(offset));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        bytes += n;
        offset += static_cast<uint64_t>(n);
        count -= static_cast<uint64_t>(n);
    }
    return true;
}

void CHMFWriter::CutBack(uint64_t size) {
    // Whatever part of a short write landed is removed, so the file ends with a whole record
    // and the next record starts where the reader expects one.
    while (::ftruncate(m_fd, static_cast<off_t>(size)) != 0 && errno == EINTR) {
    }
}

bool CHMFWriter::AppendBytes(const void* data, uint64_t count) {
    if (WriteAll(m_end, data, count)) {
        m_end += count;
        return true;
    }
    const int err = errno;
    CutBack(m_end);
    errno = err;
    return false;
}

bool CHMFWriter::AppendRecord(const uint8_t* header, const uint8_t* payload,
                              uint32_t payloadLength) {
    const uint64_t start = m_end;
    if (!AppendBytes(header, kHMFFrameHeaderSize))
        return false;
    if (payloadLength == 0 || AppendBytes(payload, payloadLength))
        return true;
    const int err = errno;
    CutBack(start);
    m_end = start;
    errno = err;
    return false;
}

bool CHMFWriter::WriteHeaderToDisk() {
    uint8_t bytes[kHMFHeaderSize];
    HMFSerializeFileHeader(m_header, bytes);
    return WriteAll(0, bytes, kHMFHeaderSize);
}

void CHMFWriter::SyncFile() {
    while (::fdatasync(m_fd) != 0 && errno == EINTR) {
    }
    m_lastSyncTick = HGetTickCount();
    ++m_syncCount;
}

void CHMFWriter::ResetState() {
    m_header = HMFNewHeader();
    m_header.formatTag = m_formatTag;
    m_header.renderModel = m_renderModel;
    std::vector<HMFIndexEntry>().swap(m_index);
    m_end = 0;
}

void CHMFWriter::AbandonFile() {
    m_file.Close();
    m_fd = -1;
    ResetState();
}

void CHMFWriter::NoteFailure(const char* what, uint64_t offset, uint64_t count) {
    ++m_failedTotal;
    ++m_failedInRun;
    // A full disk fails every record until space comes back: one line for the whole run.
    if (m_failing)
        return;
    m_failing = true;
    HLOG(
        kSource, kModule, HLOG_ERROR, "BRIXEL::CHMFWriter::WriteFrame",
        "write %s of %llu bytes at %llu fail: %s; records are dropped until writing succeeds again",
        what, static_cast<unsigned long long>(count), static_cast<unsigned long long>(offset),
        std::strerror(errno));
}

// ---------------------------------------------------------------------------------------------
// Records.

uint32_t CHMFWriter::WriteFrame(const uint8_t* record, uint32_t length) {
    if (record == nullptr || length < kHMFFrameHeaderSize) {
        CHAutoLock lock(&m_lock);
        if (m_fd >= 0)
            ++m_rejectedTotal;
        return QUORIX_E_PARAM;
    }
    // A feeding thread cancelled inside a write would leave the lock held and the file torn.
    CHCancelGuard noCancel;
    CHAutoLock lock(&m_lock);
    if (m_fd < 0)
        return QUORIX_E_NOT_WRITING;

    HMFFrameHeader h;
    HMFParseFrameHeader(record, &h);
    // The reader takes the plain magic only and reads exactly the announced payload: what it
    // would stop at cannot go into the file, where it would end the readable records.
    const bool magic = h.magic == kHMFFrameMagic || h.magic == kHMFSubFrameMagic;
    if (!magic || length < h.RecordSize() || h.payloadLength > kHMFMaxPayload) {
        ++m_rejectedTotal;
        if (!m_rejecting) {
            m_rejecting = true;
            HLOG(kSource, kModule, HLOG_WARN, "BRIXEL::CHMFWriter::WriteFrame",
                 "record not written: magic %#06x, %u bytes given, header announces %llu", h.magic,
                 length, static_cast<unsigned long long>(h.RecordSize()));
        }
        return QUORIX_E_PARAM;
    }
    m_rejecting = false;
    uint8_t header[kHMFFrameHeaderSize];
    std::memcpy(header, record, kHMFFrameHeaderSize);
    HStoreLE16(header, kHMFFrameMagic);

    // Everything below is undone when the record does not reach the file, so the header and
    // the index never describe a record that is not there.
    const HMFFileHeader before = m_header;
    const size_t indexBefore = m_index.size();
    const uint64_t start = m_end;

    if (h.IsVideo()) {
        if (m_header.frameCount == 0) {
            m_header.firstSequence = h.sequence;
            m_header.firstTimestamp = h.timestamp;
            m_header.lastTimestamp = h.timestamp;
            struct tm fields;
            if (HLocalTime(static_cast<int64_t>(h.clock), &fields)) {
                const CHDateTime local(fields);
                if (local.IsValid())
                    m_header.startTime = local.GetValue();
            }
            if (!WriteHeaderToDisk()) {
                NoteFailure("header", 0, kHMFHeaderSize);
                m_header = before;
                return QUORIX_E_WRITE_FILE;
            }
        }
        ++m_header.frameCount;
        m_header.lastTimestamp = h.timestamp;
        // Index offsets are 32-bit: a key frame past 4 GiB is played but cannot be sought.
        if (h.IsKeyFrame() && start <= UINT32_MAX) {
            m_index.push_back({h.timestamp, static_cast<uint32_t>(start), m_header.frameCount});
            ++m_header.indexCount;
        }
    }

    if (!AppendRecord(header, record + kHMFFrameHeaderSize, h.payloadLength)) {
        NoteFailure("record", start, h.RecordSize());
        m_header = before;
        m_index.resize(indexBefore);
        return QUORIX_E_WRITE_FILE;
    }
    if (m_failing) {
        m_failing = false;
        HLOG(kSource, kModule, HLOG_INFO, "BRIXEL::CHMFWriter::WriteFrame",
             "writing succeeds again after %u failed records", m_failedInRun);
        m_failedInRun = 0;
    }
    if (m_syncPeriodMs != 0 && HGetTickCount() - m_lastSyncTick >= m_syncPeriodMs)
        SyncFile();
    return QUORIX_OK;
}

uint32_t CHMFWriter::Close() {
    CHCancelGuard noCancel;  // also runs from the destructor
    CHAutoLock lock(&m_lock);
    if (m_fd < 0)
        return QUORIX_OK;
    uint32_t result = QUORIX_OK;
    if (!m_index.empty()) {
        if (m_end > UINT32_MAX) {
            // The header cannot point past 4 GiB; the file stays as it is and is scanned.
            HLOG(kSource, kModule, HLOG_WARN, "BRIXEL::CHMFWriter::Close",
                 "file of %llu bytes is too large for an index, left to be scanned",
                 static_cast<unsigned long long>(m_end));
        } else {
            std::vector<uint8_t> bytes(m_index.size() * kHMFIndexEntrySize);
            for (size_t i = 0; i < m_index.size(); ++i)
                HMFSerializeIndexEntry(m_index[i], &bytes[i * kHMFIndexEntrySize]);
            const uint64_t indexOffset = m_end;
            if (!AppendBytes(bytes.data(), bytes.size())) {
                HLOG(kSource, kModule, HLOG_ERROR, "BRIXEL::CHMFWriter::Close",
                     "write index of %zu entries at %llu fail: %s; the file is left to be scanned",
                     m_index.size(), static_cast<unsigned long long>(indexOffset),
                     std::strerror(errno));
                result = QUORIX_E_WRITE_FILE;
            } else {
                // The index is on the disk before the header that points at it.
                SyncFile();
                m_header.indexOffset = static_cast<uint32_t>(indexOffset);
                if (!WriteHeaderToDisk()) {
                    HLOG(kSource, kModule, HLOG_ERROR, "BRIXEL::CHMFWriter::Close",
                         "write header fail: %s", std::strerror(errno));
                    result = QUORIX_E_WRITE_FILE;
                }
            }
        }
    }
    SyncFile();
    HLOG(kSource, kModule, HLOG_INFO, "BRIXEL::CHMFWriter::Close",
         "close file, %llu bytes, %u video frames, %zu key frames, %u failed writes",
         static_cast<unsigned long long>(m_end), m_header.frameCount, m_index.size(),
         m_failedTotal);
    AbandonFile();
    return result;
}

}  // namespace BRIXEL
