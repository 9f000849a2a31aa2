#pragma once
// A video source of the renderer: keeps the newest frame (copied into a buffer of its own or
// attached without copying) until the GL thread uploads it into textures, and carries the
// calibration of its lens that the shaders read.

#include <cstdint>
#include <vector>

#include "base/hbuffer.h"
#include "base/hevent.h"
#include "base/hlock.h"
#include "base/hpixel.h"
#include "panorama/view.h"

namespace SPHERA {

// Hands caller memory given to AttachFrame back once the source no longer uses it. Runs on the
// thread that replaced the frame (or destroyed the source), under the source's lock.
using ReleaseCallback = void (*)(uint8_t* data, uint32_t size, void* user);

// The 200-byte camera record of the model data, kept as it came.
struct CameraCalibration {
    float K[9];  // camera matrix, memory order k0..k8
    float D[5];  // distortion k1, k2, p1, p2, k3
    float R[9];  // rotation
    float KDinv[9];
    uint8_t reserved0[4];
    uint8_t extraFlag;  // non-zero: an extra block follows the record
    uint8_t reserved1[67];
};
static_assert(sizeof(CameraCalibration) == 200, "camera record is 200 bytes");

// Frame types of InputFrame/AttachFrame.
enum : uint32_t {
    FRAME_RGB32 = 1,
    FRAME_RGB24 = 2,
    FRAME_BGR32 = 3,
    FRAME_BGR24 = 4,
    FRAME_RGB32_FLIP = 11,
    FRAME_RGB24_FLIP = 12,
    FRAME_BGR32_FLIP = 13,
    FRAME_BGR24_FLIP = 14,
    FRAME_YUV420 = 20,
};
// Stored formats (the shader's data flag).
enum : uint32_t {
    CAMERA_FORMAT_NONE = 0,
    CAMERA_FORMAT_RGB = 2,
    CAMERA_FORMAT_BGR = 4,
    CAMERA_FORMAT_YUV420 = 20
};

// Largest picture side a source accepts; beyond it no texture could hold the frame anyway and
// the copy would be an unbounded allocation.
constexpr uint32_t kMaxFrameSide = 16384;

class CCamera {
public:
    // newFrameEvent: the renderer's event, set for every frame (may be null).
    explicit CCamera(BRIXEL::CHEvent* newFrameEvent);
    virtual ~CCamera();
    CCamera(const CCamera&) = delete;
    CCamera& operator=(const CCamera&) = delete;

    void SetCalibration(const uint8_t* record);  // 200 bytes
    void SetExtra(uint32_t first, uint32_t length);
    const CameraCalibration& GetCalibration() const { return m_calibration; }
    void GetExtra(uint32_t* first, uint32_t* length) const;

    // Copies a frame. Type 20: planes/strides hold Y, U, V; other types use the first entry.
    // colour: matrix and range of a type-20 frame, used by the shader with that frame.
    uint32_t InputFrame(uint32_t width, uint32_t height, uint32_t type,
                        const uint8_t* const* planes, const uint32_t* strides,
                        BRIXEL::CHYUVColour colour = BRIXEL::HYUV_BT601_LIMITED);
    // Takes caller memory without copying: tightly packed rows (types 1-4) or Y, U, V one after
    // the other (type 20). The memory stays the caller's and comes back through the callback.
    uint32_t AttachFrame(uint32_t width, uint32_t height, uint32_t type, uint8_t* data,
                         uint32_t size, BRIXEL::CHYUVColour colour = BRIXEL::HYUV_BT601_LIMITED);
    void SetReleaseCallback(ReleaseCallback callback, void* user);
    void GetImageSize(uint32_t* width, uint32_t* height);

    // ---- GL thread ----
    void CreateTextures();
    void DeleteTextures();
    void Upload();
    // A picture has come since the last Upload.
    bool HasNewPicture();
    // Points the sampler uniforms at this source's textures and sets the data flag and the
    // colour conversion of the uploaded picture.
    void Bind(const int32_t* uniformLocations);
    uint32_t GetUploadedFormat();
    // How often Upload specified the textures anew and how often it only replaced content.
    void GetUploadCounts(uint32_t* specified, uint32_t* replaced);

private:
    void HandBackAttached();  // under m_lock
    void Stored(uint32_t format, uint32_t bytesPerPixel, uint32_t width,
                uint32_t height);  // under m_lock

    CameraCalibration m_calibration;
    uint32_t m_extra[2] = {0, 0};

    BRIXEL::CHLock m_lock;  // guards every field below
    BRIXEL::CHBuffer m_image;
    uint32_t m_format = 0;
    BRIXEL::CHYUVColour m_colour = BRIXEL::HYUV_BT601_LIMITED;  // of m_image
    uint32_t m_width = 0, m_height = 0;
    uint32_t m_bytesPerPixel = 0;  // 3 or 4 for RGB/BGR, 1 for YUV
    ReleaseCallback m_releaseCallback = nullptr;
    void* m_releaseUser = nullptr;
    bool m_newData = false;
    bool m_sizeChanged = true;
    // Y (or the whole RGB picture); U and V interleaved (luminance U, alpha V), one fetch for
    // both in the shader; the third is kept unused.
    uint32_t m_textures[3] = {0, 0, 0};
    std::vector<uint8_t> m_chroma;  // the interleaved U and V of the latest upload
    uint32_t m_uploadedFormat = 0;
    BRIXEL::CHYUVColour m_uploadedColour = BRIXEL::HYUV_BT601_LIMITED;
    uint32_t m_specified = 0, m_replaced = 0;

    BRIXEL::CHEvent* const m_newFrameEvent;
};

}  // namespace SPHERA
