#pragma once
// The player port's file reader: reads the extension records of a file into the two data
// blocks of its owner (file-open information and renderer parameters) and rewinds after the
// end of the data, so that the next Play starts from the first record.

#include <cstdint>

#include "base/hbuffer.h"
#include "media/hmfreader.h"

namespace BRIXEL {

class CKZReader : public CHMFReader {
public:
    CKZReader();
    ~CKZReader() override;

    // The owner's blocks that Open fills from extension records of type 1 and 2; a null block
    // leaves that payload unread. Each loaded block is allocated one byte longer than its
    // length, with that byte zero, and its length set to the payload length. Not owned; set
    // them before Open and keep them alive while a file is open.
    void SetDataBlocks(CHBuffer* openInfo, CHBuffer* renderParams);

    uint32_t ReadHeader() override;
    bool OnFileEnd() override;

    // Clip export of a time range of the open file into a new file.
    uint32_t FilmEditing(const char* path, uint32_t start, uint32_t end, bool byTime, bool withAudio);

private:
    uint32_t ReadExtensions();
    bool LoadBlock(CHBuffer* block, uint32_t length);

    CHBuffer* m_openInfo = nullptr;      // owner's file-open information block
    CHBuffer* m_renderParams = nullptr;  // owner's renderer parameter block
};

}  // namespace BRIXEL
