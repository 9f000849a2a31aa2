#pragma once
// The renderer parameter block ("model data"): an 88-byte header naming the projection model
// and the cameras, then one 200-byte record per camera, each optionally followed by an extra
// block. Everything in it comes from a file or a host and is checked before it is used.

#include <cstdint>
#include <vector>

#include "panorama/camera.h"

namespace SPHERA {

struct ModelDataHeader {
    uint8_t magic[4];  // "SPH\0"
    uint32_t size;     // block size in bytes
    uint32_t modelType;
    int32_t cameraCount;
    uint8_t reserved0[32];
    uint16_t stitchedWidth;  // 0: derived from the cameras
    uint8_t reserved1[2];
    float stitchedAspect;  // width / height
    uint8_t reserved2[24];
    uint8_t reserved3[8];
};
static_assert(sizeof(ModelDataHeader) == 88, "model-data header is 88 bytes");

constexpr uint32_t kModelDataHeaderSize = 88;
constexpr uint32_t kCameraRecordSize = 200;

struct ModelCamera {
    CameraCalibration calibration;
    bool hasExtra = false;
    uint32_t extra[2] = {0, 0};  // the extra block's header: a kept value and its length
};

// The header a renderer has before any block: one ordinary camera.
ModelDataHeader DefaultModelDataHeader();

// The lens camera's mount, kept in the first four of the eight bytes at offset 80 that the
// layout leaves free: the letters "MNT" and the mount (0 ceiling, 1 wall, 2 desk). Those bytes
// may hold anything in blocks written before, so without the letters, or with another value,
// the camera hangs from the ceiling.
constexpr uint32_t kMountOffset = 80;
int32_t MountOf(const ModelDataHeader& header);

// Reads a block. 0x80008008 for a null block or one shorter than the header; 0x80008104 for a
// wrong magic or a size field below `size` (header and cameras then untouched); otherwise the
// header is taken and every complete camera record is appended to `cameras` (never more than
// the block holds), and the result is 0x80008104 when fewer cameras than announced were found.
uint32_t ParseModelData(const uint8_t* block, uint32_t size, ModelDataHeader* header,
                        std::vector<ModelCamera>* cameras);

}  // namespace SPHERA
