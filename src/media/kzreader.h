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

    // Clip export: copies the records of the open file from the key frame at or before start
    // (ms or frames after the first video frame, as byTime says) up to the last video record
    // at most end ms after the first video timestamp into a new file at path, which begins
    // with this file's header block (header and extension records). Audio records only with
    // withAudio. Runs on the calling thread through a descriptor of its own: the reader
    // thread's position and the owner's queues are left alone.
    // QUORIX_OK when the end was reached; QUORIX_E_END_OF_DATA when the source ended first
    // (the clip holds everything up to there); QUORIX_E_FAIL when the export cannot begin (no
    // file open, no header, path is the source itself, output not created);
    // QUORIX_E_WRITE_FILE when the clip could not be written whole (it is closed readable).
    uint32_t FilmEditing(const char* path, uint32_t start, uint32_t end, bool byTime,
                         bool withAudio);

private:
    uint32_t ReadExtensions();
    bool LoadBlock(CHBuffer* block, uint32_t length);

    CHBuffer* m_openInfo = nullptr;      // owner's file-open information block
    CHBuffer* m_renderParams = nullptr;  // owner's renderer parameter block
};

}  // namespace BRIXEL
