#include "media/kzreader.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <vector>

#include "base/hlog.h"
#include "media/kzwriter.h"

namespace BRIXEL {

namespace {
constexpr const char* kSource = "kzreader";
constexpr const char* kModule = "hmedia";
// Largest header block a clip copies: the header and two extension records of the largest
// payload the reader loads, with room to spare for records of other types.
constexpr uint32_t kMaxClipHeaderBlock = 4 * kHMFMaxExtPayload;
}  // namespace

CKZReader::CKZReader() = default;

CKZReader::~CKZReader() {
    // The thread calls this class's overrides: it has to end before this part is gone.
    Close();
}

void CKZReader::SetDataBlocks(CHBuffer* openInfo, CHBuffer* renderParams) {
    m_openInfo = openInfo;
    m_renderParams = renderParams;
}

uint32_t CKZReader::ReadHeader() {
    const uint32_t r = CHMFReader::ReadHeader();
    if (r != QUORIX_OK)
        return r;
    const uint32_t ext = ReadExtensions();
    if (ext != QUORIX_OK) {
        HLOG(kSource, kModule, HLOG_WARN, "BRIXEL::CKZReader::ReadHeader",
             "extension records end early, dataoffset=%u filesize=%llu", HeaderRef().dataOffset,
             static_cast<unsigned long long>(FileSize()));
    }
    return QUORIX_OK;
}

uint32_t CKZReader::ReadExtensions() {
    const uint64_t dataOffset = HeaderRef().dataOffset;
    if (dataOffset <= kHMFHeaderSize)
        return QUORIX_OK;
    // Records must lie inside the extension area and inside the file.
    const uint64_t limit = std::min<uint64_t>(dataOffset, FileSize());
    uint64_t offset = kHMFHeaderSize;
    while (offset < dataOffset) {
        if (offset + kHMFExtHeaderSize > limit || !SeekFile(offset))
            return QUORIX_E_FILE_FORMAT;
        uint8_t bytes[kHMFExtHeaderSize];
        if (ReadFile(bytes, kHMFExtHeaderSize) != kHMFExtHeaderSize)
            return QUORIX_E_FILE_FORMAT;
        HMFExtHeader ext;
        HMFParseExtHeader(bytes, &ext);
        if (!ext.HasMagic())
            return QUORIX_E_FILE_FORMAT;
        const uint64_t next = offset + kHMFExtHeaderSize + ext.length;
        if (ext.length > kHMFMaxExtPayload || next > limit)
            return QUORIX_E_FILE_FORMAT;
        CHBuffer* block = nullptr;
        if (ext.type == HMF_EXT_OPEN_INFO)
            block = m_openInfo;
        if (ext.type == HMF_EXT_RENDER_PARAM)
            block = m_renderParams;
        if (block != nullptr && !LoadBlock(block, ext.length))
            return QUORIX_E_FILE_FORMAT;
        offset = next;
    }
    return QUORIX_OK;
}

bool CKZReader::LoadBlock(CHBuffer* block, uint32_t length) {
    // A later record of the same type replaces an earlier one.
    block->Free();
    if (length == 0)
        return true;
    if (block->Allocate(uint64_t{length} + 1, true) != QUORIX_OK || block->GetData() == nullptr)
        return false;
    if (ReadFile(block->GetData(), length) != length) {
        block->Free();
        return false;
    }
    block->GetData()[length] = 0;
    block->SetLength(length);
    return true;
}

bool CKZReader::OnFileEnd() {
    SetRewindPending();
    return CHMFReader::OnFileEnd();
}

namespace {

// Reads exactly count bytes at offset; false when fewer come.
bool ReadAt(int fd, uint64_t offset, void* buffer, uint64_t count) {
    uint8_t* bytes = static_cast<uint8_t*>(buffer);
    while (count > 0) {
        const ssize_t n =
            ::pread(fd, bytes, static_cast<size_t>(count), static_cast<off_t>(offset));
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

// The record at offset into data, with the reader's checks; false at the end of the data.
bool ReadRecordAt(int fd, uint64_t offset, uint64_t dataEnd, CHMFReader::CMKZData* data) {
    if (offset + kHMFFrameHeaderSize > dataEnd)
        return false;
    uint8_t bytes[kHMFFrameHeaderSize];
    if (!ReadAt(fd, offset, bytes, kHMFFrameHeaderSize))
        return false;
    HMFFrameHeader h;
    HMFParseFrameHeader(bytes, &h);
    if (h.magic != kHMFFrameMagic || h.payloadLength > kHMFMaxPayload ||
        offset + h.RecordSize() > dataEnd) {
        return false;
    }
    if (data->Prepare(bytes, h.RecordSize()) != QUORIX_OK)
        return false;
    if (h.payloadLength != 0 &&
        !ReadAt(fd, offset + kHMFFrameHeaderSize, data->PayloadPtr(), h.payloadLength)) {
        data->Clear();
        return false;
    }
    data->Commit();
    return true;
}

struct FdCloser {
    int fd;
    ~FdCloser() {
        if (fd >= 0)
            ::close(fd);
    }
};

}  // namespace

uint32_t CKZReader::FilmEditing(const char* path, uint32_t start, uint32_t end, bool byTime,
                                bool withAudio) {
    if (path == nullptr || *path == 0)
        return QUORIX_E_FAIL;
    // The export reads through a descriptor of its own with positioned reads, so the reader
    // thread keeps its place and its pace, and a Close on another thread cannot pull the file
    // away in the middle of the copy.
    FileView view;
    const FdCloser source{DuplicateFile(&view)};
    if (source.fd < 0)
        return QUORIX_E_FAIL;
    const HMFFileHeader& header = view.header;
    if (header.dataOffset == 0 || header.dataOffset > view.dataEnd ||
        header.dataOffset > kMaxClipHeaderBlock) {
        HLOG(kSource, kModule, HLOG_ERROR, "BRIXEL::CKZReader::FilmEditing",
             "no usable header block, dataoffset=%u", header.dataOffset);
        return QUORIX_E_FAIL;
    }
    std::vector<uint8_t> block(header.dataOffset);
    if (!ReadAt(source.fd, 0, block.data(), block.size()))
        return QUORIX_E_FAIL;

    // Writing the clip over the file it is cut from would destroy the source while it is read.
    struct stat in, out;
    if (::fstat(source.fd, &in) == 0 && ::stat(path, &out) == 0 && in.st_dev == out.st_dev &&
        in.st_ino == out.st_ino) {
        HLOG(kSource, kModule, HLOG_ERROR, "BRIXEL::CKZReader::FilmEditing",
             "clip %s is the source file", path);
        return QUORIX_E_FAIL;
    }

    const uint32_t target = start + (byTime ? header.firstTimestamp : view.frameBase);
    const HMFIndexEntry* entry = FindSeekEntry(view.index, header.indexCount, target, byTime);
    uint64_t offset = entry != nullptr ? entry->offset : header.dataOffset;
    const uint32_t last = header.firstTimestamp + end;

    CKZWriter writer;
    const uint32_t created =
        writer.CreateFrom(path, block.data(), static_cast<uint32_t>(block.size()));
    if (created != QUORIX_OK) {
        HLOG(kSource, kModule, HLOG_ERROR, "BRIXEL::CKZReader::FilmEditing",
             "begin clip %s fail (%#x)", path, created);
        return QUORIX_E_FAIL;
    }
    HLOG(kSource, kModule, HLOG_INFO, "BRIXEL::CKZReader::FilmEditing",
         "clip %s from offset %llu, start %u end %u %s%s", path,
         static_cast<unsigned long long>(offset), start, end, byTime ? "ms" : "frames",
         withAudio ? ", with audio" : "");

    CMKZData record;
    for (;;) {
        if (!ReadRecordAt(source.fd, offset, view.dataEnd, &record)) {
            writer.Close();
            return QUORIX_E_END_OF_DATA;
        }
        offset += record.RecordLength();
        const HMFFrameHeader& h = record.Header();
        if (h.IsAudio() && !withAudio)
            continue;
        // The end is compared like the seek compares, so stamps that wrap around 2^32 within
        // the clip still end it at the right record.
        if (h.IsVideo() && HStampDiff(h.timestamp, last) > 0)
            break;
        const uint32_t written = writer.WriteFrame(record.Record(), record.RecordLength());
        if (written != QUORIX_OK) {
            HLOG(kSource, kModule, HLOG_ERROR, "BRIXEL::CKZReader::FilmEditing",
                 "clip %s ends early at source offset %llu: write fail (%#x)", path,
                 static_cast<unsigned long long>(offset - record.RecordLength()), written);
            writer.Close();
            return QUORIX_E_WRITE_FILE;
        }
    }
    return writer.Close() == QUORIX_OK ? QUORIX_OK : QUORIX_E_WRITE_FILE;
}

}  // namespace BRIXEL
