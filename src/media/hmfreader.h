#pragma once
// File reader of the media container: opens a file, finds or rebuilds its key-frame index, and
// on its own thread reads frame records one by one, paced by their timestamps and the play
// speed, handing each to its owner through IHMFReadCB.
//
// Threads: the host's threads call the control operations (Open, Close, Play, Pause, StopPlay,
// Step, SetSpeed, SeekTo, the getters); the reader thread reads the file and runs every
// callback. A callback may call the control operations back, Close included: on the reader
// thread Close only raises the stop request, and the thread is joined by the next Open, Close
// or the destructor on another thread.
//
// Locks, in the order they may nest: the open lock, then the file-position lock, then the
// state lock. No lock is held while a callback runs.

#include <quorixsdk_codes.h>

#include <atomic>
#include <cstdint>
#include <vector>

#include "base/hevent.h"
#include "base/hfile.h"
#include "base/hlock.h"
#include "base/hthread.h"
#include "media/hmfformat.h"
#include "media/mkzdata.h"

namespace BRIXEL {

// Implemented by the owner of a reader (the player port). Every call comes on the reader
// thread.
class IHMFReadCB {
public:
    virtual ~IHMFReadCB() = default;
    // A seek is about to reposition the reader: drop whatever is queued.
    virtual void OnReset() = 0;
    // Encoded frames still waiting in the owner, which steers fast-play thinning.
    virtual uint32_t GetQueuedFrames(int32_t speed) = 0;
    // The data has ended. True ends the reader thread; false parks it until Play.
    virtual bool OnFileEnd() = 0;
    // One whole frame record (header and payload), valid only during the call.
    virtual uint32_t OnFrame(const uint8_t* record, uint32_t length, uint8_t kind, uint32_t clockMs,
                             double percent) = 0;
};

class CHMFReader : public CHThread {
public:
    using CMKZData = BRIXEL::CMKZData;

    enum State : uint16_t { Playing = 0, Stopped = 1, Paused = 2, Stepping = 3 };

    CHMFReader();
    ~CHMFReader() override;

    // QUORIX_E_OPEN_FILE when a file is open, the file cannot be opened or the thread cannot
    // start (or when called from the reader thread itself). A file without a valid header is
    // still opened and read as bare frame records.
    uint32_t Open(const char* path);
    void Close();
    // QUORIX_E_NOT_OPEN without an open file.
    uint32_t Play();
    // Only from Playing, else QUORIX_E_NOT_OPEN.
    uint32_t Pause();
    // Stops and rewinds: the next Play starts from the first record. QUORIX_E_NOT_OPEN without
    // an open file or when already stopped.
    uint32_t StopPlay();
    // One record forward, or back to the key frame before the current picture.
    // QUORIX_E_NOT_OPEN without an open file or in Stopped.
    uint32_t Step(bool backwards);
    // -4..4 (0 normal, positive faster); anything else is ignored.
    void SetSpeed(int32_t exponent);
    int32_t GetSpeed() const { return m_speed.load(); }
    // The previous callback. The callback is not owned.
    IHMFReadCB* SetCallback(IHMFReadCB* callback);
    // Position after the first video frame in ms (byTime) or frames. 0, or QUORIX_E_FAIL when
    // no file is open or the seek fails. Calls the callback's OnReset first.
    uint32_t SeekTo(uint32_t position, bool byTime);

    bool IsOpen() const;
    // Whether path names the open file itself (same device and inode, whatever the name).
    bool IsOpenFile(const char* path) const;
    State GetState() const { return static_cast<State>(m_state.load()); }
    // The header as read (or rebuilt by scanning); all zero when no file is open.
    HMFFileHeader GetHeader() const;
    std::vector<HMFIndexEntry> GetIndex() const;
    // Offset at which frame data ends (the index, or the file size).
    uint64_t GetFrameDataEnd() const;

    // Begin and end date-time of a recording (days since 1899-12-30, local time), from a file
    // open for reading, without a reader: the header's start date-time, and that plus the
    // span from the first to the last video timestamp. Where the header points at no index (a
    // recording still being written, or left by a process that died) the timestamps come from
    // the records, walked as playback reads them up to the end of the file.
    // QUORIX_E_FILE_FORMAT when the file has no header of this format, or when its start
    // date-time (or the end it gives) is not a date.
    static uint32_t ReadFileTimes(CHFile& file, double* begin, double* end);

    // Derived figures; 0 when no file is open.
    uint32_t GetTotalTime() const;
    uint32_t GetTotalFrames() const;
    uint32_t GetPlayedTime() const;
    uint32_t GetPlayedFrames() const;
    double GetPlayedPercent() const;
    uint32_t GetPlayClock() const;

    uint32_t OnThreadLoop(uint64_t param) override;

    // Positions on the index entry for target (absolute timestamp or frame number).
    virtual uint32_t Seek(uint32_t target, bool byTime);
    // Reads the index at the header's index offset; QUORIX_E_FILE_FORMAT when that offset
    // cannot hold an index (the caller then scans instead).
    virtual uint32_t LoadIndex();
    // Reads the 64-byte header; QUORIX_E_FILE_FORMAT (header cleared) when short or foreign.
    virtual uint32_t ReadHeader();
    // Rebuilds timestamps, counts and the index from the frame records.
    virtual uint32_t ScanFrames();
    // Each video frame before it is paced; non-zero ends the thread.
    virtual uint32_t OnFrameTime(uint32_t timestamp, uint32_t sequence);
    virtual uint32_t OnFrame(const uint8_t* record, uint32_t length, uint8_t kind,
                             uint32_t clockMs);
    virtual bool OnFileEnd();
    // The next record at the current position: 0 or QUORIX_E_END_OF_DATA.
    virtual uint32_t ReadFrame(CMKZData* data);

protected:
    // The pause between two video frames: waits on the wake event for intervalMs. 0 or
    // QUORIX_E_TIMEOUT carry on; anything else ends the thread.
    virtual uint32_t WaitFrameInterval(uint32_t intervalMs);

    // The index entry a seek to target (absolute timestamp or frame number) lands on: the
    // equal entry, else the last one before the target, else the first one; among the first
    // `count` entries only. Null when there is none.
    static const HMFIndexEntry* FindSeekEntry(const std::vector<HMFIndexEntry>& index,
                                              uint32_t count, uint32_t target, bool byTime);

    // What a reader of the open file needs that must not disturb the reader thread: a
    // descriptor of its own on the same file (read it with pread; the caller closes it), and
    // the header, index, end of frame data and index frame-number base as they are now.
    // -1 when no file is open or the descriptor cannot be duplicated.
    struct FileView {
        HMFFileHeader header;
        std::vector<HMFIndexEntry> index;
        uint64_t dataEnd = 0;
        uint32_t frameBase = 0;
    };
    int DuplicateFile(FileView* view);

    // For derived readers, with the file-position lock held or before the thread runs.
    bool SeekFile(uint64_t offset);
    uint32_t ReadFile(void* buffer, uint32_t count);
    uint64_t FileSize() const { return m_fileSize; }
    HMFFileHeader& HeaderRef() { return m_header; }
    void SetRewindPending() { m_rewindPending.store(true); }
    void SetStateStopped();

    CHLock m_openLock;  // guards m_isOpen, the file handle's life, m_header and m_index
    CHLock m_posLock;   // guards the file position, m_record and the playing position below

private:
    struct FrameTiming {
        bool accepted = false;
        uint16_t intervalMs = 0;
        uint32_t timestamp = 0;
    };

    FrameTiming GetFrameInterval(HMFFrameHeader* header);  // m_posLock held
    void Rewind();                                         // m_posLock taken inside
    void SeekPrevKeyFrame(uint32_t playedTimeMs);          // m_posLock taken inside
    void ResetPlayingState();
    uint8_t ChooseDropThreshold(int32_t speed, uint32_t queued) const;
    // Blocks until the thread may go on; false when it must end.
    bool PassGate();
    bool IsClosing();
    // Whether a record read under the given seek generation may still be delivered.
    bool IsCurrent(uint32_t generation);
    void FreeFileData(bool freeRecord);

    // Guarded by m_openLock (written only while the thread is not running, or by the thread
    // itself when it closes from a callback):
    CHFile m_file;
    bool m_isOpen = false;
    HMFFileHeader m_header;
    std::vector<HMFIndexEntry> m_index;
    uint64_t m_fileSize = 0;
    uint64_t m_dataEnd = 0;    // frame records stop here: index offset or file size
    uint32_t m_frameBase = 0;  // what index frame numbers count from (see Open)

    // Guarded by m_posLock:
    uint64_t m_filePos = 0;
    CMKZData m_record;
    bool m_awaitKey = true;
    uint32_t m_prevTimestamp = 0;
    uint16_t m_prevInterval = 0;
    uint32_t m_seekGeneration = 0;
    std::atomic<bool> m_rewindPending{false};  // raised without the lock, consumed under it

    // Written under m_posLock or by the thread, read anywhere:
    std::atomic<uint32_t> m_playedTime{0};
    std::atomic<uint32_t> m_playedFrames{0};
    std::atomic<double> m_percent{0.0};
    std::atomic<uint32_t> m_playClock{0};

    // Reader thread only (reset by Open before the thread runs):
    uint32_t m_framesSinceKey = 0;
    uint32_t m_prevGroupLength = 0;
    uint8_t m_dropThreshold = 0;

    // Guarded by m_stateLock (m_state also read without it):
    CHLock m_stateLock;
    std::atomic<uint16_t> m_state{Stopped};
    bool m_backwards = false;
    uint32_t m_stepPermits = 0;  // gate passes granted by Step
    bool m_backSeekDue = false;  // a backward step whose repositioning has not happened yet
    bool m_closing = false;

    std::atomic<int32_t> m_speed{0};
    std::atomic<IHMFReadCB*> m_callback{nullptr};

    CHEvent m_wakeEvent{true, false, false};  // cuts the wait between frames short
    CHEvent m_runGate{true, true, false};     // holds the thread while it must not advance
};

}  // namespace BRIXEL
