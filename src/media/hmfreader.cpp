#include "media/hmfreader.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <new>

#include "base/hclock.h"
#include "base/hdatetime.h"
#include "base/hlog.h"

namespace BRIXEL {

namespace {
constexpr const char* kSource = "hmfreader";
constexpr const char* kModule = "hmedia";
// Idle poll while stopped, and the pause after a record the reader cannot use yet.
constexpr uint32_t kIdleMs = 10;
// An interval longer than this is a gap in the recording, not the frame rate.
constexpr uint16_t kMaxIntervalMs = 1000;
// Index entries read per file read.
constexpr uint32_t kIndexChunkEntries = 1024;

// Walks the frame records from offset up to end as playback reads them: the plain magic, a
// payload the reader takes, the whole record inside the data. Calls visit(header, offset) for
// each; stops at the first thing that is not such a record. The file position is left anywhere.
template <typename Visit>
void WalkRecords(CHFile& file, uint64_t offset, uint64_t end, Visit visit) {
    uint8_t bytes[kHMFFrameHeaderSize];
    while (offset + kHMFFrameHeaderSize <= end) {
        if (file.Seek(static_cast<int64_t>(offset), SEEK_SET) != 0 ||
            file.Read(bytes, kHMFFrameHeaderSize) != kHMFFrameHeaderSize) {
            break;
        }
        HMFFrameHeader h;
        HMFParseFrameHeader(bytes, &h);
        if (h.magic != kHMFFrameMagic)
            break;
        // A record running past the data is the torn end of a recording, not a frame.
        if (h.payloadLength > kHMFMaxPayload || offset + h.RecordSize() > end)
            break;
        visit(h, offset);
        offset += h.RecordSize();
    }
}

// Where an index can be: after the header and extension area, inside the file.
bool IndexFits(const HMFFileHeader& header, uint64_t fileSize) {
    const uint64_t earliest = std::max<uint64_t>(kHMFHeaderSize, header.dataOffset);
    return header.indexOffset >= earliest && header.indexOffset <= fileSize;
}

}  // namespace

CHMFReader::CHMFReader() : m_header(HMFZeroHeader()) {
    char name[40];
    std::snprintf(name, sizeof name, "CHMFReader_%x",
                  static_cast<unsigned>(reinterpret_cast<uintptr_t>(this)));
    SetThreadName(name);
}

CHMFReader::~CHMFReader() {
    Close();
}

// ---------------------------------------------------------------------------------------------
// File access (m_posLock held, or the thread not running).

bool CHMFReader::SeekFile(uint64_t offset) {
    if (m_file.Seek(static_cast<int64_t>(offset), SEEK_SET) != 0)
        return false;
    m_filePos = offset;
    return true;
}

uint32_t CHMFReader::ReadFile(void* buffer, uint32_t count) {
    const uint32_t got = m_file.Read(buffer, count);
    if (got > count)
        return 0;  // an error code, not a count
    m_filePos += got;
    return got;
}

// ---------------------------------------------------------------------------------------------
// Opening and closing.

uint32_t CHMFReader::Open(const char* path) {
    // The reader thread cannot start itself again.
    if (IsWorkerThread())
        return QUORIX_E_OPEN_FILE;
    // Joins a thread that ended on its own or was asked to from a callback, before anything
    // it might still look at is replaced.
    {
        CHAutoLock open(&m_openLock);
        if (m_isOpen)
            return QUORIX_E_OPEN_FILE;
    }
    CHThread::Stop();

    CHAutoLock open(&m_openLock);
    if (m_isOpen)
        return QUORIX_E_OPEN_FILE;
    if (path == nullptr || !m_file.Open(path, "rb")) {
        HLOG(kSource, kModule, HLOG_ERROR, "BRIXEL::CHMFReader::Open", "open file %s fail",
             path ? path : "(null)");
        return QUORIX_E_OPEN_FILE;
    }
    CHAutoLock pos(&m_posLock);
    // The index and the first record are the reader's only allocations of a size the file
    // decides; out of memory the file is not opened and nothing of it stays open.
    try {
        m_filePos = 0;
        const int64_t size = m_file.GetSize();
        m_fileSize = size > 0 ? static_cast<uint64_t>(size) : 0;
        m_dataEnd = m_fileSize;
        m_index.clear();
        m_record.Clear();

        ReadHeader();
        bool scan = m_header.indexOffset == 0;
        if (!scan && LoadIndex() != QUORIX_OK) {
            // An index that cannot be where the header says is ignored; the counts that went with
            // it are rebuilt from the records.
            HLOG(kSource, kModule, HLOG_WARN, "BRIXEL::CHMFReader::Open",
                 "index offset %u out of the file (size %llu), scanning", m_header.indexOffset,
                 static_cast<unsigned long long>(m_fileSize));
            m_header.indexOffset = 0;
            m_header.frameCount = 0;
            m_header.indexCount = 0;
            m_index.clear();
            scan = true;
        }
        if (scan) {
            ScanFrames();
            // A scanned index holds sequence numbers.
            m_frameBase = m_header.firstSequence;
        } else {
            // The recorder numbers index entries by their 1-based running count of video frames.
            m_frameBase = 1;
        }

        ResetPlayingState();
        SeekFile(m_header.dataOffset);
        m_wakeEvent.Reset();
        m_runGate.Reset();
        {
            CHAutoLock state(&m_stateLock);
            m_state.store(Stopped);
            m_backwards = false;
            m_stepPermits = 0;
            m_backSeekDue = false;
            m_closing = false;
        }
    } catch (const std::bad_alloc&) {
        FreeFileData(true);
        HLOG(kSource, kModule, HLOG_ERROR, "BRIXEL::CHMFReader::Open",
             "open file %s fail, out of memory", path);
        return QUORIX_E_NO_MEMORY;
    }
    m_isOpen = true;
    pos.Unlock();

    if (Start() != QUORIX_OK) {
        HLOG(kSource, kModule, HLOG_ERROR, "BRIXEL::CHMFReader::Open", "start reader thread fail");
        m_isOpen = false;
        CHAutoLock pos2(&m_posLock);
        FreeFileData(true);
        return QUORIX_E_OPEN_FILE;
    }
    HLOG(kSource, kModule, HLOG_INFO, "BRIXEL::CHMFReader::Open",
         "open file %s ok, dataoffset=%u indexoffset=%u frames=%u keys=%zu", path,
         m_header.dataOffset, m_header.indexOffset, m_header.frameCount, m_index.size());
    return QUORIX_OK;
}

void CHMFReader::FreeFileData(bool freeRecord) {
    m_file.Close();
    std::vector<HMFIndexEntry>().swap(m_index);
    if (freeRecord)
        m_record.Free();
    m_header = HMFZeroHeader();
    m_fileSize = 0;
    m_dataEnd = 0;
    m_filePos = 0;
}

void CHMFReader::Close() {
    const bool onWorker = IsWorkerThread();
    {
        CHAutoLock open(&m_openLock);
        if (m_isOpen) {
            CHAutoLock state(&m_stateLock);
            m_closing = true;
            m_state.store(Stopped);
        }
    }
    if (onWorker) {
        // Called from a callback: the thread cannot wait for itself. It sees the request as
        // soon as the callback returns and ends; the next Open, Close or the destructor on
        // another thread joins it. The record stays, the callback may still be reading it.
        SetStopFlag();
        m_wakeEvent.Set();
        m_runGate.Set();
        CHAutoLock open(&m_openLock);
        if (!m_isOpen)
            return;
        CHAutoLock pos(&m_posLock);
        FreeFileData(false);
        m_isOpen = false;
        HLOG(kSource, kModule, HLOG_INFO, "BRIXEL::CHMFReader::Close",
             "close file from reader thread");
        return;
    }
    // No lock is held while joining: the thread may be inside a callback that takes them.
    SetStopFlag();
    m_wakeEvent.Set();
    m_runGate.Set();
    CHThread::Stop();

    CHAutoLock open(&m_openLock);
    CHAutoLock pos(&m_posLock);
    if (m_isOpen)
        HLOG(kSource, kModule, HLOG_INFO, "BRIXEL::CHMFReader::Close", "close file");
    FreeFileData(true);
    m_isOpen = false;
    CHAutoLock state(&m_stateLock);
    m_closing = false;
    m_state.store(Stopped);
}

bool CHMFReader::IsOpen() const {
    CHAutoLock open(const_cast<CHLock*>(&m_openLock));
    return m_isOpen;
}

bool CHMFReader::IsOpenFile(const char* path) const {
    if (path == nullptr)
        return false;
    CHAutoLock open(const_cast<CHLock*>(&m_openLock));
    if (!m_isOpen || m_file.GetStream() == nullptr)
        return false;
    struct stat mine, named;
    return ::fstat(fileno(m_file.GetStream()), &mine) == 0 && ::stat(path, &named) == 0 &&
           mine.st_dev == named.st_dev && mine.st_ino == named.st_ino;
}

// ---------------------------------------------------------------------------------------------
// Header, extension area, index.

uint32_t CHMFReader::ReadHeader() {
    uint8_t bytes[kHMFHeaderSize];
    SeekFile(0);
    const uint32_t got = ReadFile(bytes, kHMFHeaderSize);
    if (got == kHMFHeaderSize)
        HMFParseFileHeader(bytes, &m_header);
    if (got != kHMFHeaderSize || !m_header.HasMagic()) {
        // Played as bare frame records from offset 0.
        m_header = HMFZeroHeader();
        SeekFile(0);
        return QUORIX_E_FILE_FORMAT;
    }
    return QUORIX_OK;
}

uint32_t CHMFReader::LoadIndex() {
    const uint64_t indexOffset = m_header.indexOffset;
    // The index follows the frame data: it can neither sit inside the header and extension
    // area nor begin past the end of the file.
    if (!IndexFits(m_header, m_fileSize))
        return QUORIX_E_FILE_FORMAT;
    if (!SeekFile(indexOffset))
        return QUORIX_E_FILE_FORMAT;

    const uint64_t available = (m_fileSize - indexOffset) / kHMFIndexEntrySize;
    m_index.reserve(static_cast<size_t>(std::min<uint64_t>(available, m_header.indexCount)));
    std::vector<uint8_t> chunk(size_t{kIndexChunkEntries} * kHMFIndexEntrySize);
    uint64_t left = available;
    uint32_t dropped = 0;
    while (left > 0) {
        const uint32_t want = static_cast<uint32_t>(std::min<uint64_t>(left, kIndexChunkEntries));
        const uint32_t got = ReadFile(chunk.data(), want * kHMFIndexEntrySize) / kHMFIndexEntrySize;
        for (uint32_t i = 0; i < got; ++i) {
            HMFIndexEntry e;
            HMFParseIndexEntry(chunk.data() + size_t{i} * kHMFIndexEntrySize, &e);
            if (e.IsEmpty())
                continue;
            // An entry must name a whole record header inside the frame data.
            if (e.offset < m_header.dataOffset ||
                uint64_t{e.offset} + kHMFFrameHeaderSize > indexOffset) {
                ++dropped;
                continue;
            }
            m_index.push_back(e);
        }
        if (got < want)
            break;
        left -= want;
    }
    if (dropped != 0) {
        HLOG(kSource, kModule, HLOG_WARN, "BRIXEL::CHMFReader::LoadIndex",
             "%u index entries point outside the frame data, ignored", dropped);
    }
    m_dataEnd = indexOffset;
    return QUORIX_OK;
}

uint32_t CHMFReader::ScanFrames() {
    const uint64_t end = m_dataEnd;
    bool seenVideo = false;
    WalkRecords(m_file, m_header.dataOffset, end, [&](const HMFFrameHeader& h, uint64_t offset) {
        if (!h.IsVideo())
            return;
        if (!seenVideo) {
            seenVideo = true;
            m_header.firstTimestamp = h.timestamp;
            m_header.firstSequence = h.sequence;
        }
        ++m_header.frameCount;
        m_header.lastTimestamp = h.timestamp;
        // Index offsets are 32-bit: a key frame past 4 GiB plays but cannot be sought.
        if (h.IsKeyFrame() && offset <= UINT32_MAX) {
            m_index.push_back({h.timestamp, static_cast<uint32_t>(offset), h.sequence});
            ++m_header.indexCount;
        }
    });
    // The walk moved the file without telling the position it keeps.
    SeekFile(m_header.dataOffset);
    m_dataEnd = end;
    return QUORIX_OK;
}

uint32_t CHMFReader::ReadFileTimes(CHFile& file, double* begin, double* end) {
    if (begin == nullptr || end == nullptr)
        return QUORIX_E_PARAM;
    uint8_t bytes[kHMFHeaderSize];
    if (file.Seek(0, SEEK_SET) != 0 || file.Read(bytes, kHMFHeaderSize) != kHMFHeaderSize) {
        return QUORIX_E_FILE_FORMAT;
    }
    HMFFileHeader header;
    HMFParseFileHeader(bytes, &header);
    if (!header.HasMagic())
        return QUORIX_E_FILE_FORMAT;
    const int64_t size = file.GetSize();
    const uint64_t fileSize = size > 0 ? static_cast<uint64_t>(size) : 0;
    // The same rule as playback: without an index where the header says, the header's
    // timestamps are those it had before the recording was finished.
    if (header.indexOffset == 0 || !IndexFits(header, fileSize)) {
        bool seenVideo = false;
        WalkRecords(file, header.dataOffset, fileSize, [&](const HMFFrameHeader& h, uint64_t) {
            if (!h.IsVideo())
                return;
            if (!seenVideo) {
                seenVideo = true;
                header.firstTimestamp = h.timestamp;
            }
            header.lastTimestamp = h.timestamp;
        });
    }
    // A start that is not a date (not a number, infinite, beyond the calendar) gives no begin
    // and no end a host could use.
    const CHDateTime first(header.startTime);
    if (!first.IsValid())
        return QUORIX_E_FILE_FORMAT;
    const CHDateTime last = first + CHDateTimeSpan(0, 0, 0, 0, header.TotalTime());
    if (!last.IsValid())
        return QUORIX_E_FILE_FORMAT;
    *begin = first.GetValue();
    *end = last.GetValue();
    return QUORIX_OK;
}

// ---------------------------------------------------------------------------------------------
// Reading records.

uint32_t CHMFReader::ReadFrame(CMKZData* data) {
    if (data == nullptr)
        return QUORIX_E_PARAM;
    CHAutoLock pos(&m_posLock);
    if (!m_file.IsOpen() || m_filePos + kHMFFrameHeaderSize > m_dataEnd)
        return QUORIX_E_END_OF_DATA;
    uint8_t bytes[kHMFFrameHeaderSize];
    if (ReadFile(bytes, kHMFFrameHeaderSize) != kHMFFrameHeaderSize)
        return QUORIX_E_END_OF_DATA;
    HMFFrameHeader h;
    HMFParseFrameHeader(bytes, &h);
    if (h.magic != kHMFFrameMagic)
        return QUORIX_E_END_OF_DATA;
    // The length is checked against the data before anything is allocated for it.
    if (h.payloadLength > kHMFMaxPayload || m_filePos + h.payloadLength > m_dataEnd)
        return QUORIX_E_END_OF_DATA;
    if (data->Prepare(bytes, h.RecordSize()) != QUORIX_OK)
        return QUORIX_E_END_OF_DATA;
    if (h.payloadLength != 0 && ReadFile(data->PayloadPtr(), h.payloadLength) != h.payloadLength) {
        data->Clear();
        return QUORIX_E_END_OF_DATA;
    }
    data->Commit();
    return QUORIX_OK;
}

CHMFReader::FrameTiming CHMFReader::GetFrameInterval(HMFFrameHeader* header) {
    FrameTiming t;
    const uint8_t kind = header->Kind();
    if (HMFIsAudioKind(kind)) {
        t.accepted = true;
        return t;
    }
    if (!HMFIsVideoKind(kind))
        return t;
    if (m_awaitKey) {
        if (kind != HMF_KIND_KEY)
            return t;
        m_awaitKey = false;
        t.accepted = true;
        t.intervalMs = m_prevInterval;
        t.timestamp = header->timestamp;
        m_prevTimestamp = header->timestamp;
        return t;
    }
    if (kind == HMF_KIND_UNTIMED)
        header->timestamp = m_prevTimestamp + m_prevInterval;
    // Stamps are compared on their low 16 bits, so a wrap of the 32-bit stamp is harmless; a
    // jump (or a step back) shows up as a large difference and keeps the previous pace.
    uint16_t interval = static_cast<uint16_t>(static_cast<uint16_t>(header->timestamp) -
                                              static_cast<uint16_t>(m_prevTimestamp));
    if (interval > kMaxIntervalMs)
        interval = m_prevInterval;
    m_prevInterval = interval;
    m_prevTimestamp = header->timestamp;
    t.accepted = true;
    t.intervalMs = interval;
    t.timestamp = header->timestamp;
    return t;
}

void CHMFReader::ResetPlayingState() {
    m_prevTimestamp = 0;
    m_prevInterval = 0;
    m_awaitKey = true;
    m_seekGeneration = 0;
    m_rewindPending.store(false);
    m_playedTime.store(0);
    m_playedFrames.store(0);
    m_percent.store(0.0);
    m_playClock.store(0);
    m_framesSinceKey = 0;
    m_prevGroupLength = 0;
    m_dropThreshold = 0;
    m_speed.store(0);
}

void CHMFReader::Rewind() {
    CHAutoLock pos(&m_posLock);
    m_playClock.store(0);
    m_percent.store(0.0);
    m_playedTime.store(0);
    m_playedFrames.store(0);
    m_prevTimestamp = 0;
    m_awaitKey = true;
    SeekFile(m_header.dataOffset);
    ++m_seekGeneration;
    m_rewindPending.store(false);
}

void CHMFReader::SeekPrevKeyFrame(uint32_t playedTimeMs) {
    CHAutoLock pos(&m_posLock);
    const uint32_t target = m_header.firstTimestamp + playedTimeMs;
    const size_t limit = std::min<size_t>(m_index.size(), m_header.indexCount);
    const HMFIndexEntry* found = nullptr;
    for (size_t i = 0; i < limit; ++i) {
        if (HStampDiff(m_index[i].timestamp, target) < 0)
            found = &m_index[i];
    }
    if (found != nullptr) {
        SeekFile(found->offset);
        ++m_seekGeneration;
    }
}

// ---------------------------------------------------------------------------------------------
// Control operations.

uint32_t CHMFReader::Play() {
    CHAutoLock open(&m_openLock);
    if (!m_isOpen)
        return QUORIX_E_NOT_OPEN;
    CHAutoLock state(&m_stateLock);
    m_backwards = false;
    m_stepPermits = 0;
    m_backSeekDue = false;
    m_state.store(Playing);
    m_wakeEvent.Set();
    m_runGate.Set();
    return QUORIX_OK;
}

uint32_t CHMFReader::Pause() {
    CHAutoLock open(&m_openLock);
    if (!m_isOpen)
        return QUORIX_E_NOT_OPEN;
    CHAutoLock state(&m_stateLock);
    if (m_state.load() != Playing)
        return QUORIX_E_NOT_OPEN;
    m_runGate.Reset();
    m_state.store(Paused);
    return QUORIX_OK;
}

uint32_t CHMFReader::StopPlay() {
    CHAutoLock open(&m_openLock);
    if (!m_isOpen)
        return QUORIX_E_NOT_OPEN;
    CHAutoLock state(&m_stateLock);
    if (m_state.load() == Stopped)
        return QUORIX_E_NOT_OPEN;
    m_runGate.Reset();
    m_state.store(Stopped);
    m_stepPermits = 0;
    m_backSeekDue = false;
    m_rewindPending.store(true);
    return QUORIX_OK;
}

uint32_t CHMFReader::Step(bool backwards) {
    CHAutoLock open(&m_openLock);
    if (!m_isOpen)
        return QUORIX_E_NOT_OPEN;
    CHAutoLock state(&m_stateLock);
    const uint16_t current = m_state.load();
    if (current == Stopped)
        return QUORIX_E_NOT_OPEN;
    m_backwards = backwards;
    if (current == Playing) {
        // The thread is already past its gate: the record it delivers next is this step, and
        // it parks after it. A backward step repositions first.
        m_stepPermits = 0;
        m_backSeekDue = backwards;
    } else {
        // Steps are counted, so a step asked for while the thread is still busy with the
        // previous one is not lost.
        if (m_stepPermits < UINT32_MAX)
            ++m_stepPermits;
    }
    m_state.store(Stepping);
    m_runGate.Set();
    return QUORIX_OK;
}

void CHMFReader::SetSpeed(int32_t exponent) {
    if (exponent < -4 || exponent > 4)
        return;
    m_speed.store(exponent);
}

IHMFReadCB* CHMFReader::SetCallback(IHMFReadCB* callback) {
    return m_callback.exchange(callback);
}

void CHMFReader::SetStateStopped() {
    CHAutoLock state(&m_stateLock);
    m_state.store(Stopped);
    m_stepPermits = 0;
    m_backSeekDue = false;
}

uint32_t CHMFReader::SeekTo(uint32_t position, bool byTime) {
    uint32_t target;
    {
        CHAutoLock open(&m_openLock);
        if (!m_isOpen)
            return QUORIX_E_FAIL;
        target = position + (byTime ? m_header.firstTimestamp : m_frameBase);
    }
    if (IHMFReadCB* cb = m_callback.load())
        cb->OnReset();
    return Seek(target, byTime);
}

const HMFIndexEntry* CHMFReader::FindSeekEntry(const std::vector<HMFIndexEntry>& index,
                                               uint32_t count, uint32_t target, bool byTime) {
    const size_t limit = std::min<size_t>(index.size(), count);
    const HMFIndexEntry* chosen = nullptr;
    for (size_t i = 0; i < limit; ++i) {
        const HMFIndexEntry& e = index[i];
        const int32_t d = HStampDiff(byTime ? e.timestamp : e.frameNumber, target);
        if (d == 0)
            return &e;
        if (d > 0)
            return chosen != nullptr ? chosen : &e;
        chosen = &e;
    }
    return chosen;
}

int CHMFReader::DuplicateFile(FileView* view) {
    if (view == nullptr)
        return -1;
    CHAutoLock open(&m_openLock);
    if (!m_isOpen || m_file.GetStream() == nullptr)
        return -1;
    const int fd = ::fcntl(fileno(m_file.GetStream()), F_DUPFD_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    view->header = m_header;
    view->index = m_index;
    view->dataEnd = m_dataEnd;
    view->frameBase = m_frameBase;
    return fd;
}

uint32_t CHMFReader::Seek(uint32_t target, bool byTime) {
    CHAutoLock open(&m_openLock);
    if (!m_isOpen)
        return QUORIX_E_FAIL;
    const HMFIndexEntry* chosen = FindSeekEntry(m_index, m_header.indexCount, target, byTime);
    CHAutoLock pos(&m_posLock);
    const uint64_t offset = chosen != nullptr ? chosen->offset : m_header.dataOffset;
    if (!SeekFile(offset))
        return QUORIX_E_FAIL;
    m_awaitKey = true;
    // Without a key frame to land on, the position is the start of the data.
    m_playedFrames.store(chosen != nullptr ? chosen->frameNumber - m_frameBase : 0);
    m_playedTime.store(chosen != nullptr ? chosen->timestamp - m_header.firstTimestamp : 0);
    m_playClock.store(0);
    m_rewindPending.store(false);
    ++m_seekGeneration;
    return QUORIX_OK;
}

// ---------------------------------------------------------------------------------------------
// Queries.

HMFFileHeader CHMFReader::GetHeader() const {
    CHAutoLock open(const_cast<CHLock*>(&m_openLock));
    return m_header;
}

std::vector<HMFIndexEntry> CHMFReader::GetIndex() const {
    CHAutoLock open(const_cast<CHLock*>(&m_openLock));
    return m_index;
}

uint64_t CHMFReader::GetFrameDataEnd() const {
    CHAutoLock open(const_cast<CHLock*>(&m_openLock));
    return m_dataEnd;
}

uint32_t CHMFReader::GetTotalTime() const {
    CHAutoLock open(const_cast<CHLock*>(&m_openLock));
    return m_isOpen ? m_header.TotalTime() : 0;
}

uint32_t CHMFReader::GetTotalFrames() const {
    CHAutoLock open(const_cast<CHLock*>(&m_openLock));
    return m_isOpen ? m_header.frameCount : 0;
}

uint32_t CHMFReader::GetPlayedTime() const {
    return IsOpen() ? m_playedTime.load() : 0;
}
uint32_t CHMFReader::GetPlayedFrames() const {
    return IsOpen() ? m_playedFrames.load() : 0;
}
double CHMFReader::GetPlayedPercent() const {
    return IsOpen() ? m_percent.load() : 0.0;
}
uint32_t CHMFReader::GetPlayClock() const {
    return IsOpen() ? m_playClock.load() : 0;
}

// ---------------------------------------------------------------------------------------------
// Reader thread.

uint32_t CHMFReader::OnFrameTime(uint32_t, uint32_t) {
    return QUORIX_OK;
}

uint32_t CHMFReader::OnFrame(const uint8_t* record, uint32_t length, uint8_t kind,
                             uint32_t clockMs) {
    const uint32_t frames = m_header.frameCount;
    // Without a frame count there is nothing to be a percentage of.
    const double percent =
        frames == 0 ? 0.0 : static_cast<double>(m_playedFrames.load()) * 100.0 / frames;
    m_percent.store(percent);
    IHMFReadCB* cb = m_callback.load();
    return cb != nullptr ? cb->OnFrame(record, length, kind, clockMs, percent) : QUORIX_OK;
}

bool CHMFReader::OnFileEnd() {
    SetStateStopped();
    IHMFReadCB* cb = m_callback.load();
    return cb != nullptr && cb->OnFileEnd();
}

uint32_t CHMFReader::WaitFrameInterval(uint32_t intervalMs) {
    return m_wakeEvent.Wait(intervalMs);
}

bool CHMFReader::IsClosing() {
    CHAutoLock state(&m_stateLock);
    return m_closing || IsStopRequested();
}

bool CHMFReader::IsCurrent(uint32_t generation) {
    if (IsClosing() || m_state.load() == Stopped)
        return false;
    // A record read just before a seek or rewind belongs to the old position.
    CHAutoLock pos(&m_posLock);
    return generation == m_seekGeneration;
}

bool CHMFReader::PassGate() {
    for (;;) {
        {
            CHAutoLock state(&m_stateLock);
            if (m_closing || IsStopRequested())
                return false;
            const uint16_t s = m_state.load();
            if (s == Playing)
                return true;
            if (s == Stepping) {
                if (m_backSeekDue)
                    return true;
                if (m_stepPermits > 0) {
                    --m_stepPermits;
                    m_backSeekDue = m_backwards;
                    return true;
                }
            }
            // Cleared under the lock that Play and Step set it under, so none of them is lost.
            m_runGate.Reset();
        }
        const uint32_t r = m_runGate.Wait(HINFINITE);
        if (r != QUORIX_OK && r != QUORIX_E_TIMEOUT)
            return false;
    }
}

uint8_t CHMFReader::ChooseDropThreshold(int32_t speed, uint32_t queued) const {
    static constexpr uint8_t kThresholds[3][3] = {
        // queued 0-5, 6-20, over 20
        {0, 1, 3},     // speed 1
        {4, 10, 16},   // speed 2
        {12, 19, 23},  // speed 3
    };
    if (speed < 1 || speed > 3)
        return m_dropThreshold;
    const int band = queued <= 5 ? 0 : (queued <= 20 ? 1 : 2);
    return kThresholds[speed - 1][band];
}

uint32_t CHMFReader::OnThreadLoop(uint64_t) {
    if (IsClosing())
        return 0;

    if (m_state.load() == Stopped) {
        {
            CHAutoLock state(&m_stateLock);
            if (m_state.load() == Stopped && !m_closing)
                m_runGate.Reset();
        }
        // Play sets the gate and cuts this short.
        m_runGate.Wait(kIdleMs);
        return 0;
    }

    if (m_rewindPending.load())
        Rewind();

    bool seekBack = false;
    {
        CHAutoLock state(&m_stateLock);
        if (m_state.load() == Stepping && m_backSeekDue) {
            m_backSeekDue = false;
            seekBack = true;
        }
    }
    if (seekBack) {
        {
            CHAutoLock pos(&m_posLock);
            m_awaitKey = true;
        }
        SeekPrevKeyFrame(m_playedTime.load());
    }

    // Read and time the record in one hold of the position lock, so a seek lands between
    // records, never inside one.
    CHAutoLock pos(&m_posLock);
    const uint32_t readResult = ReadFrame(&m_record);
    if (readResult != QUORIX_OK) {
        pos.Unlock();
        if (IsClosing())
            return 0;
        if (OnFileEnd())
            return 2;
        if (IsClosing())
            return 0;
        PassGate();
        return 0;
    }
    HMFFrameHeader header = m_record.Header();
    const FrameTiming timing = GetFrameInterval(&header);
    const uint32_t generation = m_seekGeneration;
    const uint8_t kind = header.Kind();
    if (!timing.accepted) {
        pos.Unlock();
        HSleep(kIdleMs);
        return 0;
    }
    if (HMFIsVideoKind(kind)) {
        // Updated with the position, so a seek's figures are never overwritten by a record
        // read before it.
        m_playedTime.store(timing.timestamp - m_header.firstTimestamp);
        m_playedFrames.store(header.sequence - m_header.firstSequence);
    }

    // m_record is written by this thread only, so it stays valid after the lock is released.
    pos.Unlock();

    const int32_t speed = m_speed.load();
    if (HMFIsAudioKind(kind)) {
        if (speed == 0 && IsCurrent(generation))
            OnFrame(m_record.Record(), m_record.RecordLength(), kind, 0);
        return 0;
    }

    if (OnFrameTime(timing.timestamp, header.sequence) != QUORIX_OK)
        return 3;

    uint16_t interval = timing.intervalMs;
    if (speed > 0) {
        interval = static_cast<uint16_t>(interval >> speed);
    } else if (speed < 0) {
        interval = static_cast<uint16_t>(interval << -speed);
    }

    bool drop = false;
    if (kind == HMF_KIND_KEY) {
        IHMFReadCB* cb = m_callback.load();
        const uint32_t queued = cb != nullptr ? cb->GetQueuedFrames(speed) : 0;
        m_prevGroupLength = m_framesSinceKey;
        m_framesSinceKey = 0;
        m_dropThreshold = ChooseDropThreshold(speed, queued);
    }
    ++m_framesSinceKey;
    if (kind != HMF_KIND_KEY && speed > 0) {
        // The tail of each group of pictures goes first: what is dropped there is not needed
        // to decode anything that is shown.
        drop = (m_prevGroupLength - m_framesSinceKey) < m_dropThreshold || speed > 3;
    }

    if (!drop && IsCurrent(generation)) {
        OnFrame(m_record.Record(), m_record.RecordLength(), kind, m_playClock.load());
        m_playClock.fetch_add(interval);
    }

    if (!PassGate())
        return 0;
    if (m_state.load() != Stopped && interval != 0) {
        const uint32_t r = WaitFrameInterval(interval);
        if (r != QUORIX_OK && r != QUORIX_E_TIMEOUT)
            return 4;
    }
    return 0;
}

}  // namespace BRIXEL
