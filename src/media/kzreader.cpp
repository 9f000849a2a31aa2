#include "media/kzreader.h"

#include <algorithm>
#include <cstring>

#include "base/hlog.h"

namespace BRIXEL {

namespace {
constexpr const char* kSource = "kzreader";
constexpr const char* kModule = "hmedia";
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
    if (r != QUORIX_OK) return r;
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
    if (dataOffset <= kHMFHeaderSize) return QUORIX_OK;
    // Records must lie inside the extension area and inside the file.
    const uint64_t limit = std::min<uint64_t>(dataOffset, FileSize());
    uint64_t offset = kHMFHeaderSize;
    while (offset < dataOffset) {
        if (offset + kHMFExtHeaderSize > limit || !SeekFile(offset)) return QUORIX_E_FILE_FORMAT;
        uint8_t bytes[kHMFExtHeaderSize];
        if (ReadFile(bytes, kHMFExtHeaderSize) != kHMFExtHeaderSize) return QUORIX_E_FILE_FORMAT;
        HMFExtHeader ext;
        HMFParseExtHeader(bytes, &ext);
        if (!ext.HasMagic()) return QUORIX_E_FILE_FORMAT;
        const uint64_t next = offset + kHMFExtHeaderSize + ext.length;
        if (ext.length > kHMFMaxExtPayload || next > limit) return QUORIX_E_FILE_FORMAT;
        CHBuffer* block = nullptr;
        if (ext.type == HMF_EXT_OPEN_INFO) block = m_openInfo;
        if (ext.type == HMF_EXT_RENDER_PARAM) block = m_renderParams;
        if (block != nullptr && !LoadBlock(block, ext.length)) return QUORIX_E_FILE_FORMAT;
        offset = next;
    }
    return QUORIX_OK;
}

bool CKZReader::LoadBlock(CHBuffer* block, uint32_t length) {
    // A later record of the same type replaces an earlier one.
    block->Free();
    if (length == 0) return true;
    if (block->Allocate(uint64_t{length} + 1, true) != QUORIX_OK || block->GetData() == nullptr) return false;
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

uint32_t CKZReader::FilmEditing(const char*, uint32_t, uint32_t, bool, bool) {
    // Needs the file writer, which this library does not have yet.
    return QUORIX_E_NOT_IMPL;
}

}  // namespace BRIXEL
