#pragma once
// The player port's file writer: begins a new recording with the port's two data blocks as
// extension records, or a clip with the header block of its source file.
//
// Local recording, as the owning port drives it:
//   start:  hold GetLock(); IsOpen() -> refuse (the port answers QUORIX_E_STATE); otherwise
//           SetFormatTag(kHMFFormatTag), SetRenderModel(the port's render model), then
//           Create(path, open-info block, its length, renderer parameters, its length) and
//           return its result; raise the port's recording flag only on QUORIX_OK.
//   feed:   every record the port's InputData accepts while the flag is up goes to
//           WriteFrame(record, length), from whatever thread feeds the port; the result may be
//           ignored (a full disk is logged once per run of failures, and the file stays
//           readable).
//   stop:   lower the flag, then Close() (also done by the destructor).
// Closing the port's file or stream only lowers the flag; the recording stays open until stop.

#include <cstdint>

#include "media/hmfwriter.h"

namespace BRIXEL {

class CKZWriter : public CHMFWriter {
public:
    CKZWriter();
    ~CKZWriter() override;

    // A new recording: the header (creation tick and local date-time now, format tag and render
    // model as set before) and an extension record for each block that is not empty (type 1
    // the file-open information, type 2 the renderer parameters). A null block counts as
    // empty. QUORIX_E_ALREADY_OPEN when a file is open; QUORIX_E_OPEN_FILE when the file cannot
    // be created; QUORIX_E_PARAM when the blocks do not fit a 32-bit data offset;
    // QUORIX_E_WRITE_FILE (file closed) when the header or a block is written short.
    uint32_t Create(const char* path, const uint8_t* openInfo, uint32_t openInfoLength,
                    const uint8_t* renderParams, uint32_t renderParamsLength);
    // A clip: block is the source file's first data-offset bytes (header and extension records).
    // It is written as it is except for the creation tick (now) and the index fields (cleared).
    // QUORIX_E_PARAM for a missing block, one shorter than 64 bytes, or one whose header does
    // not say it is that long (magic "ZEBM", data offset = size); QUORIX_E_ALREADY_OPEN,
    // QUORIX_E_OPEN_FILE, QUORIX_E_WRITE_FILE as for Create.
    uint32_t CreateFrom(const char* path, const uint8_t* block, uint32_t size);
};

}  // namespace BRIXEL
