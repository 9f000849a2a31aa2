#include "panorama/modeldata.h"

#include <quorixsdk_codes.h>

#include <cstddef>
#include <cstring>
#include <new>

namespace SPHERA {

ModelDataHeader DefaultModelDataHeader() {
    ModelDataHeader header;
    std::memset(&header, 0, sizeof(header));
    header.modelType = 1;
    header.cameraCount = 1;
    return header;
}

int32_t MountOf(const ModelDataHeader& header) {
    static_assert(offsetof(ModelDataHeader, reserved3) == kMountOffset, "mount at offset 80");
    const uint8_t* m = header.reserved3;
    if (m[0] != 'M' || m[1] != 'N' || m[2] != 'T' || m[3] > 2)
        return 0;
    return m[3];
}

uint32_t ParseModelData(const uint8_t* block, uint32_t size, ModelDataHeader* header,
                        std::vector<ModelCamera>* cameras) {
    if (block == nullptr || size < kModelDataHeaderSize || header == nullptr ||
        cameras == nullptr) {
        return QUORIX_E_PARAM;
    }
    ModelDataHeader read;
    std::memcpy(&read, block, sizeof(read));
    static const uint8_t kMagic[4] = {'S', 'P', 'H', 0};
    if (std::memcmp(read.magic, kMagic, 4) != 0 || read.size < size)
        return QUORIX_E_FILE_FORMAT;
    *header = read;

    // Every loop turn consumes at least one whole record, so a count announced far beyond the
    // block (up to 2^31 - 1) ends with the bytes, and nothing is reserved ahead of them.
    uint64_t remaining = size - kModelDataHeaderSize;
    const uint8_t* at = block + kModelDataHeaderSize;
    int64_t found = 0;
    for (int64_t i = 0; i < read.cameraCount; ++i) {
        if (remaining < kCameraRecordSize)
            break;
        ModelCamera camera;
        std::memcpy(&camera.calibration, at, kCameraRecordSize);
        at += kCameraRecordSize;
        remaining -= kCameraRecordSize;
        if (camera.calibration.extraFlag != 0) {
            if (remaining < 8)
                break;  // the extra block is cut short: the camera is dropped
            std::memcpy(camera.extra, at, 8);
            camera.hasExtra = true;
            at += 8;
            remaining -= 8;
            if (remaining < camera.extra[1])
                break;
            at += camera.extra[1];
            remaining -= camera.extra[1];
        }
        try {
            cameras->push_back(camera);
        } catch (const std::bad_alloc&) {
            return QUORIX_E_NO_MEMORY;
        }
        ++found;
    }
    return found == read.cameraCount ? QUORIX_OK : QUORIX_E_FILE_FORMAT;
}

}  // namespace SPHERA
