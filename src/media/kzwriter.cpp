#include "media/kzwriter.h"

#include <cerrno>
#include <cstring>
#include <vector>

#include "base/hclock.h"
#include "base/hdatetime.h"
#include "base/hlog.h"
#include "base/hthread.h"

namespace BRIXEL {

namespace {
constexpr const char* kSource = "kzwriter";
constexpr const char* kModule = "hmedia";
}  // namespace

CKZWriter::CKZWriter() = default;

CKZWriter::~CKZWriter() {
    Close();
}

uint32_t CKZWriter::Create(const char* path, const uint8_t* openInfo, uint32_t openInfoLength,
                           const uint8_t* renderParams, uint32_t renderParamsLength) {
    if (openInfo == nullptr)
        openInfoLength = 0;
    if (renderParams == nullptr)
        renderParamsLength = 0;
    CHCancelGuard noCancel;
    CHAutoLock lock(GetLock());
    if (IsOpen())
        return QUORIX_E_ALREADY_OPEN;

    uint64_t dataOffset = kHMFHeaderSize;
    if (openInfoLength != 0)
        dataOffset += kHMFExtHeaderSize + uint64_t{openInfoLength};
    if (renderParamsLength != 0)
        dataOffset += kHMFExtHeaderSize + uint64_t{renderParamsLength};
    if (dataOffset > UINT32_MAX)
        return QUORIX_E_PARAM;

    ResetState();
    m_header.createTick = HGetTickCount();
    m_header.startTime = CHDateTime::Now().GetValue();
    m_header.dataOffset = static_cast<uint32_t>(dataOffset);

    const uint32_t opened = OpenFile(path);
    if (opened != QUORIX_OK) {
        ResetState();
        return opened;
    }

    uint8_t header[kHMFHeaderSize];
    HMFSerializeFileHeader(m_header, header);
    bool ok = AppendBytes(header, kHMFHeaderSize);
    const struct {
        uint8_t type;
        const uint8_t* data;
        uint32_t length;
    } blocks[2] = {{HMF_EXT_OPEN_INFO, openInfo, openInfoLength},
                   {HMF_EXT_RENDER_PARAM, renderParams, renderParamsLength}};
    for (const auto& b : blocks) {
        if (!ok || b.length == 0)
            continue;
        uint8_t ext[kHMFExtHeaderSize];
        HMFSerializeExtHeader(HMFMakeExtHeader(b.type, b.length), ext);
        ok = AppendBytes(ext, kHMFExtHeaderSize) && AppendBytes(b.data, b.length);
    }
    if (!ok) {
        HLOG(kSource, kModule, HLOG_ERROR, "BRIXEL::CKZWriter::Create",
             "write header of %s fail: %s", path, std::strerror(errno));
        AbandonFile();
        return QUORIX_E_WRITE_FILE;
    }
    HLOG(kSource, kModule, HLOG_INFO, "BRIXEL::CKZWriter::Create",
         "create file %s ok, dataoffset=%u model=%d", path, m_header.dataOffset,
         m_header.renderModel);
    return QUORIX_OK;
}

uint32_t CKZWriter::CreateFrom(const char* path, const uint8_t* block, uint32_t size) {
    if (block == nullptr || size < kHMFHeaderSize)
        return QUORIX_E_PARAM;
    HMFFileHeader header;
    HMFParseFileHeader(block, &header);
    // The block's own header says where the frame records begin; a block of another length
    // would put the first record where the reader does not look for it.
    if (!header.HasMagic() || header.dataOffset != size)
        return QUORIX_E_PARAM;
    CHCancelGuard noCancel;
    CHAutoLock lock(GetLock());
    if (IsOpen())
        return QUORIX_E_ALREADY_OPEN;

    std::vector<uint8_t> copy(block, block + size);
    header.createTick = HGetTickCount();
    header.indexOffset = 0;
    header.firstTimestamp = 0;
    header.lastTimestamp = 0;
    header.firstSequence = 0;
    header.frameCount = 0;
    header.indexCount = 0;
    HMFSerializeFileHeader(header, copy.data());

    ResetState();
    const uint32_t opened = OpenFile(path);
    if (opened != QUORIX_OK) {
        ResetState();
        return opened;
    }
    m_header = header;
    if (!AppendBytes(copy.data(), copy.size())) {
        HLOG(kSource, kModule, HLOG_ERROR, "BRIXEL::CKZWriter::CreateFrom",
             "write header block of %s fail: %s", path, std::strerror(errno));
        AbandonFile();
        return QUORIX_E_WRITE_FILE;
    }
    HLOG(kSource, kModule, HLOG_INFO, "BRIXEL::CKZWriter::CreateFrom",
         "create clip %s ok, dataoffset=%u", path, m_header.dataOffset);
    return QUORIX_OK;
}

}  // namespace BRIXEL
