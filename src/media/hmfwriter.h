#pragma once
// File writer of the media container: the header, the frame records as they come, and at the
// end the key-frame index with the header rewritten to point at it.
//
// What survives what:
// - Every record is handed to the kernel (pwrite on the file descriptor, nothing kept in a
//   user-space buffer) before WriteFrame returns, so a process that dies at any moment leaves
//   every accepted record in the file, except at most the one being written. The header on disk
//   has an index offset of 0 until Close, so the reader rebuilds the index by scanning.
// - Data reaches the disk when the kernel writes it back (typically within 30 s) unless a sync
//   period is set (SetSyncPeriod); Close syncs the index before the header that points at it
//   and syncs the header, so a closed recording is durable when Close returns.
// - A record that is written short (disk full, file size limit) is cut off again: the file
//   ends with the last whole record, and later records, if they fit, follow it seamlessly.
//
// Threads: every operation may be called from any thread; the writer's lock serialises them.

#include <quorixsdk_codes.h>

#include <cstdint>
#include <vector>

#include "base/hfile.h"
#include "base/hlock.h"
#include "media/hmfformat.h"

namespace BRIXEL {

class CHMFWriter {
public:
    CHMFWriter();
    virtual ~CHMFWriter();
    CHMFWriter(const CHMFWriter&) = delete;
    CHMFWriter& operator=(const CHMFWriter&) = delete;

    bool IsOpen() const;
    // Header bytes 60 and 61 of the next file begun by Create; they stay set across Close.
    void SetFormatTag(uint8_t tag);
    void SetRenderModel(int8_t model);
    // Flushes written records to the disk at most every periodMs of the tick count, from the
    // thread that writes, at the first record after the period has passed. 0 (the default)
    // leaves write-back to the kernel until Close.
    void SetSyncPeriod(uint32_t periodMs);

    // Appends one frame record in the form the reader reads back: the 28-byte header with the
    // magic "ht" and exactly the payload its header announces. A record given with the
    // sub-frame magic "HT", or with bytes beyond its payload, is written that way; the rest of
    // the header and the payload stay unchanged.
    // QUORIX_E_PARAM for a null record, fewer than 28 bytes, another magic, fewer bytes than the
    // header announces or a payload larger than the reader takes (such a record would end the
    // readable part of the file); QUORIX_E_NOT_WRITING without an open file; QUORIX_E_WRITE_FILE
    // when the record cannot be written whole: nothing of it stays in the file and the writer
    // stays open. With a file open, every refused record counts as lost (GetLostRecords).
    uint32_t WriteFrame(const uint8_t* record, uint32_t length);
    // Appends the index (when there are key frames), rewrites the header and closes the file.
    // QUORIX_OK also when nothing is open; QUORIX_E_WRITE_FILE when the index or the header
    // could not be written (the file is then left to be scanned: index offset 0 on disk).
    uint32_t Close();

    // Copies of the in-memory state, for the owner's queries and diagnostics.
    HMFFileHeader GetHeader() const;
    std::vector<HMFIndexEntry> GetIndex() const;
    // Bytes in the file: where the next record goes.
    uint64_t GetFileEnd() const;
    // WriteFrame calls that failed since the file was begun.
    uint32_t GetFailedWrites() const;
    // Records given to WriteFrame with a file open that are not in it: refused as malformed or
    // failed to write, since the file was begun.
    uint32_t GetLostRecords() const;
    // Flushes to the disk since the file was begun (the sync period's and Close's).
    uint32_t GetSyncCount() const;

    // Serialises every operation on the open file; re-entrant. Callers that need several calls
    // to see one state (test IsOpen, then Create) may hold it around them.
    CHLock* GetLock() { return &m_lock; }

protected:
    // For the derived writers, with m_lock held.
    // Opens path for writing (truncating it); QUORIX_E_OPEN_FILE when it cannot be created.
    uint32_t OpenFile(const char* path);
    // Writes the bytes at the end of the file; false when short (the file is cut back then).
    bool AppendBytes(const void* data, uint64_t count);
    // A frame record from its header bytes and its payload; all of it or nothing stays.
    bool AppendRecord(const uint8_t* header, const uint8_t* payload, uint32_t payloadLength);
    bool WriteHeaderToDisk();
    // Closes without writing anything more and forgets the file's state.
    void AbandonFile();
    void ResetState();

    HMFFileHeader m_header;  // guarded by m_lock

private:
    bool WriteAll(uint64_t offset, const void* data, uint64_t count);
    void CutBack(uint64_t size);
    void SyncFile();
    void NoteFailure(const char* what, uint64_t offset, uint64_t count);

    mutable CHLock m_lock;
    // Guarded by m_lock:
    CHFile m_file;
    int m_fd = -1;       // descriptor of m_file's stream; -1 when closed
    uint64_t m_end = 0;  // file size as written
    std::vector<HMFIndexEntry> m_index;
    uint8_t m_formatTag = 0;
    int8_t m_renderModel = 0;
    uint32_t m_syncPeriodMs = 0;
    uint32_t m_lastSyncTick = 0;
    uint32_t m_syncCount = 0;
    bool m_failing = false;  // inside a run of failed writes (logged once per run)
    uint32_t m_failedInRun = 0;
    uint32_t m_failedTotal = 0;
    bool m_rejecting = false;  // inside a run of malformed records (logged once)
    uint32_t m_rejectedTotal = 0;
};

}  // namespace BRIXEL
