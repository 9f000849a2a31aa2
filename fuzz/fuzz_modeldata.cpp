// The renderer parameter block parser: any bytes, with the size it is told either the real one
// or smaller, and the header's own size field lying as it likes.

#include <quorixsdk.h>

#include <cstring>
#include <vector>

#include "fuzz_support.h"
#include "panorama/modeldata.h"

using namespace SPHERA;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > 0xFFFFFFFFu)
        return 0;
    // A copy of exactly the input, so the parser's reads are bounded by what it was given.
    std::vector<uint8_t> block(data, data + size);
    for (uint32_t told : {static_cast<uint32_t>(size), static_cast<uint32_t>(size / 2)}) {
        ModelDataHeader header = DefaultModelDataHeader();
        std::vector<ModelCamera> cameras;
        const uint32_t r =
            ParseModelData(block.empty() ? nullptr : block.data(), told, &header, &cameras);
        QUORIX_FUZZ_CHECK(r == QUORIX_OK || r == QUORIX_E_PARAM || r == QUORIX_E_FILE_FORMAT ||
                          r == QUORIX_E_NO_MEMORY);
        // Never more cameras than whole records in the bytes, and all of them announced.
        if (told >= kModelDataHeaderSize) {
            QUORIX_FUZZ_CHECK(cameras.size() <= (told - kModelDataHeaderSize) / kCameraRecordSize);
        }
        if (r == QUORIX_OK)
            QUORIX_FUZZ_CHECK(static_cast<int64_t>(cameras.size()) == header.cameraCount);
        if (!cameras.empty())
            QUORIX_FUZZ_CHECK(static_cast<int64_t>(cameras.size()) <= header.cameraCount);
    }
    // No block at all.
    ModelDataHeader header = DefaultModelDataHeader();
    std::vector<ModelCamera> cameras;
    QUORIX_FUZZ_CHECK(ParseModelData(nullptr, static_cast<uint32_t>(size), &header, &cameras) ==
                      QUORIX_E_PARAM);
    return 0;
}
