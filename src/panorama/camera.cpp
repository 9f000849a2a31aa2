#include "panorama/camera.h"

#include <GL/glew.h>
#include <quorixsdk_codes.h>

#include <cstring>
#include <new>

#include "base/hpixel.h"

namespace SPHERA {

namespace {

struct FrameType {
    uint32_t type;
    uint32_t bytesPerPixel;
    bool bottomUp;
    uint32_t format;
};

constexpr FrameType kFrameTypes[] = {
    {FRAME_RGB32, 4, false, CAMERA_FORMAT_RGB},     {FRAME_RGB24, 3, false, CAMERA_FORMAT_RGB},
    {FRAME_BGR32, 4, false, CAMERA_FORMAT_BGR},     {FRAME_BGR24, 3, false, CAMERA_FORMAT_BGR},
    {FRAME_RGB32_FLIP, 4, true, CAMERA_FORMAT_RGB}, {FRAME_RGB24_FLIP, 3, true, CAMERA_FORMAT_RGB},
    {FRAME_BGR32_FLIP, 4, true, CAMERA_FORMAT_BGR}, {FRAME_BGR24_FLIP, 3, true, CAMERA_FORMAT_BGR},
};

const FrameType* FindType(uint32_t type) {
    for (const FrameType& t : kFrameTypes) {
        if (t.type == type)
            return &t;
    }
    return nullptr;
}

// Bytes of a packed planar 4:2:0 picture: Y, then U and V at half width and half height,
// rounded up so that an odd last column or row has its own chroma samples.
uint64_t Yuv420Size(uint32_t width, uint32_t height) {
    return BRIXEL::HPixelI420Size(width, height);
}

}  // namespace

CCamera::CCamera(BRIXEL::CHEvent* newFrameEvent) : m_newFrameEvent(newFrameEvent) {
    std::memset(&m_calibration, 0, sizeof(m_calibration));
    // A lens whose circle is centred in the picture with radius 0.5, not rotated.
    const float k[9] = {1, 0, 0.5f, 0, 1, 0.5f, 0, 0, 1};
    const float r[9] = {1, 0, 0, 0, 1, 0, 0, 0, 1};
    std::memcpy(m_calibration.K, k, sizeof(k));
    std::memcpy(m_calibration.R, r, sizeof(r));
}

CCamera::~CCamera() {
    BRIXEL::CHAutoLock guard(&m_lock);
    HandBackAttached();
    m_image.Free();
}

void CCamera::SetCalibration(const uint8_t* record) {
    if (record != nullptr)
        std::memcpy(&m_calibration, record, sizeof(m_calibration));
}

void CCamera::SetExtra(uint32_t first, uint32_t length) {
    m_extra[0] = first;
    m_extra[1] = length;
}

void CCamera::GetExtra(uint32_t* first, uint32_t* length) const {
    if (first != nullptr)
        *first = m_extra[0];
    if (length != nullptr)
        *length = m_extra[1];
}

void CCamera::HandBackAttached() {
    if (m_image.GetData() == nullptr || m_image.IsOwned())
        return;
    const uint32_t size = static_cast<uint32_t>(m_image.GetLength());
    uint8_t* data = m_image.Detach();
    if (m_releaseCallback != nullptr)
        m_releaseCallback(data, size, m_releaseUser);
}

void CCamera::Stored(uint32_t format, uint32_t bytesPerPixel, uint32_t width, uint32_t height) {
    if (format != m_format || width != m_width || height != m_height ||
        bytesPerPixel != m_bytesPerPixel) {
        m_sizeChanged = true;
    }
    m_format = format;
    m_bytesPerPixel = bytesPerPixel;
    m_width = width;
    m_height = height;
    m_newData = true;
    if (m_newFrameEvent != nullptr)
        m_newFrameEvent->Set();
}

uint32_t CCamera::InputFrame(uint32_t width, uint32_t height, uint32_t type,
                             const uint8_t* const* planes, const uint32_t* strides,
                             BRIXEL::CHYUVColour colour) {
    if (planes == nullptr || strides == nullptr)
        return QUORIX_E_PARAM;
    if (type == FRAME_YUV420) {
        if (planes[0] == nullptr || planes[1] == nullptr || planes[2] == nullptr)
            return QUORIX_E_PARAM;
        if (width == 0 || height == 0 || width > kMaxFrameSide || height > kMaxFrameSide)
            return QUORIX_E_PARAM;
        // Every column is kept: the textures take rows of any length (unpack alignment 1).
        const uint32_t cw = BRIXEL::HPixelChromaStride(width);
        const uint32_t ch = BRIXEL::HPixelChromaRows(height);
        if (strides[0] < width || strides[1] < cw || strides[2] < cw)
            return QUORIX_E_PARAM;

        BRIXEL::CHAutoLock guard(&m_lock);
        HandBackAttached();
        const uint64_t size = Yuv420Size(width, height);
        m_image.Reserve(size);
        if (m_image.GetData() == nullptr || m_image.GetCapacity() < size)
            return QUORIX_E_NO_MEMORY;
        m_image.SetLength(size);
        uint8_t* out = m_image.GetData();
        for (uint32_t row = 0; row < height; ++row, out += width) {
            std::memcpy(out, planes[0] + static_cast<uint64_t>(row) * strides[0], width);
        }
        for (uint32_t plane = 1; plane <= 2; ++plane) {
            for (uint32_t row = 0; row < ch; ++row, out += cw) {
                std::memcpy(out, planes[plane] + static_cast<uint64_t>(row) * strides[plane], cw);
            }
        }
        Stored(CAMERA_FORMAT_YUV420, 1, width, height);
        m_colour = BRIXEL::HYUVSanitize(colour);
        return QUORIX_OK;
    }

    const FrameType* t = FindType(type);
    if (t == nullptr || planes[0] == nullptr || width == 0 || height == 0)
        return QUORIX_E_PARAM;
    if (width > kMaxFrameSide || height > kMaxFrameSide)
        return QUORIX_E_PARAM;
    const uint64_t rowBytes = static_cast<uint64_t>(width) * t->bytesPerPixel;
    const uint64_t size = rowBytes * height;

    BRIXEL::CHAutoLock guard(&m_lock);
    HandBackAttached();
    m_image.Reserve(size);
    if (m_image.GetData() == nullptr || m_image.GetCapacity() < size)
        return QUORIX_E_NO_MEMORY;
    m_image.SetLength(size);
    uint8_t* out = m_image.GetData();
    for (uint32_t row = 0; row < height; ++row, out += rowBytes) {
        // Bottom-up pictures are stored top-down: the source's last row comes first.
        const uint32_t from = t->bottomUp ? height - 1 - row : row;
        std::memcpy(out, planes[0] + static_cast<uint64_t>(from) * strides[0], rowBytes);
    }
    Stored(t->format, t->bytesPerPixel, width, height);
    return QUORIX_OK;
}

uint32_t CCamera::AttachFrame(uint32_t width, uint32_t height, uint32_t type, uint8_t* data,
                              uint32_t size, BRIXEL::CHYUVColour colour) {
    if (data == nullptr || width == 0 || height == 0 || size == 0)
        return QUORIX_E_PARAM;
    if (width > kMaxFrameSide || height > kMaxFrameSide)
        return QUORIX_E_PARAM;
    uint32_t format = 0, bytesPerPixel = 0;
    uint64_t need = 0;
    if (type == FRAME_YUV420) {
        format = CAMERA_FORMAT_YUV420;
        bytesPerPixel = 1;
        need = Yuv420Size(width, height);
    } else {
        const FrameType* t = FindType(type);
        if (t == nullptr || t->bottomUp)
            return QUORIX_E_PARAM;
        format = t->format;
        bytesPerPixel = t->bytesPerPixel;
        need = static_cast<uint64_t>(width) * height * bytesPerPixel;
    }
    // The upload reads the whole picture from the block: a block shorter than the picture it
    // announces would be read past its end.
    if (size < need)
        return QUORIX_E_PARAM;

    BRIXEL::CHAutoLock guard(&m_lock);
    HandBackAttached();
    m_image.Attach(data, size, false);
    Stored(format, bytesPerPixel, width, height);
    m_colour = BRIXEL::HYUVSanitize(colour);
    return QUORIX_OK;
}

void CCamera::SetReleaseCallback(ReleaseCallback callback, void* user) {
    BRIXEL::CHAutoLock guard(&m_lock);
    m_releaseCallback = callback;
    m_releaseUser = user;
}

void CCamera::GetImageSize(uint32_t* width, uint32_t* height) {
    BRIXEL::CHAutoLock guard(&m_lock);
    if (width != nullptr)
        *width = m_width;
    if (height != nullptr)
        *height = m_height;
}

bool CCamera::HasNewPicture() {
    BRIXEL::CHAutoLock lock(&m_lock);
    return m_newData;
}

uint32_t CCamera::GetUploadedFormat() {
    BRIXEL::CHAutoLock guard(&m_lock);
    return m_uploadedFormat;
}

void CCamera::GetUploadCounts(uint32_t* specified, uint32_t* replaced) {
    BRIXEL::CHAutoLock guard(&m_lock);
    if (specified != nullptr)
        *specified = m_specified;
    if (replaced != nullptr)
        *replaced = m_replaced;
}

void CCamera::CreateTextures() {
    BRIXEL::CHAutoLock guard(&m_lock);
    glGenTextures(3, m_textures);
    for (GLuint texture : m_textures) {
        glBindTexture(GL_TEXTURE_2D, texture);
        glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MIN_FILTER, GL_LINEAR);
        glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MAG_FILTER, GL_LINEAR);
        glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_WRAP_S, GL_CLAMP_TO_EDGE);
        glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_WRAP_T, GL_CLAMP_TO_EDGE);
    }
    glBindTexture(GL_TEXTURE_2D, 0);
    // New textures hold nothing: the next upload specifies them, even for an old frame.
    m_sizeChanged = true;
    if (m_image.GetData() != nullptr)
        m_newData = true;
    m_uploadedFormat = 0;
}

void CCamera::DeleteTextures() {
    BRIXEL::CHAutoLock guard(&m_lock);
    for (GLuint& texture : m_textures) {
        if (texture != 0)
            glDeleteTextures(1, &texture);
        texture = 0;
    }
    m_uploadedFormat = 0;
}

void CCamera::Upload() {
    BRIXEL::CHAutoLock guard(&m_lock);
    const uint8_t* data = m_image.GetData();
    if (data == nullptr) {
        m_uploadedFormat = 0;
        return;
    }
    if (!m_newData || m_textures[0] == 0)
        return;
    const bool specify = m_sizeChanged;
    const GLsizei w = static_cast<GLsizei>(m_width), h = static_cast<GLsizei>(m_height);
    glPixelStorei(GL_UNPACK_ALIGNMENT, 1);
    glPixelStorei(GL_UNPACK_ROW_LENGTH, 0);
    auto put = [specify](GLenum unit, GLuint texture, GLint internal, GLenum format, GLsizei tw,
                         GLsizei th, const uint8_t* pixels) {
        glActiveTexture(unit);
        glBindTexture(GL_TEXTURE_2D, texture);
        if (specify) {
            glTexImage2D(GL_TEXTURE_2D, 0, internal, tw, th, 0, format, GL_UNSIGNED_BYTE, pixels);
        } else {
            glTexSubImage2D(GL_TEXTURE_2D, 0, 0, 0, tw, th, format, GL_UNSIGNED_BYTE, pixels);
        }
    };
    if (m_format == CAMERA_FORMAT_YUV420) {
        const uint64_t ySize = BRIXEL::HPixelI420FirstOffset(m_width, m_height);
        const uint64_t cSize = BRIXEL::HPixelChromaPlaneSize(m_width, m_height);
        const GLsizei cw = static_cast<GLsizei>(BRIXEL::HPixelChromaStride(m_width));
        const GLsizei ch = static_cast<GLsizei>(BRIXEL::HPixelChromaRows(m_height));
        put(GL_TEXTURE2, m_textures[0], GL_LUMINANCE, GL_LUMINANCE, w, h, data);
        // A software rasteriser pays per texture fetch: U and V side by side in one texture
        // are filtered by one fetch instead of two.
        try {
            m_chroma.resize(static_cast<size_t>(cSize) * 2);
        } catch (const std::bad_alloc&) {
            m_chroma.clear();
        }
        if (!m_chroma.empty()) {
            const uint8_t* u = data + ySize;
            const uint8_t* v = u + cSize;
            uint8_t* out = m_chroma.data();
            for (uint64_t i = 0; i < cSize; ++i) {
                out[2 * i] = u[i];
                out[2 * i + 1] = v[i];
            }
            put(GL_TEXTURE3, m_textures[1], GL_LUMINANCE_ALPHA, GL_LUMINANCE_ALPHA, cw, ch,
                m_chroma.data());
        }
    } else {
        const bool four = m_bytesPerPixel == 4;
        put(GL_TEXTURE2, m_textures[0], four ? GL_RGBA : GL_RGB, four ? GL_RGBA : GL_RGB, w, h,
            data);
    }
    glActiveTexture(GL_TEXTURE0);
    glPixelStorei(GL_UNPACK_ALIGNMENT, 4);
    if (specify) {
        ++m_specified;
    } else {
        ++m_replaced;
    }
    m_newData = false;
    m_sizeChanged = false;
    m_uploadedFormat = m_format;
    m_uploadedColour = m_colour;
}

void CCamera::Bind(const int32_t* locations) {
    BRIXEL::CHAutoLock guard(&m_lock);
    if (locations == nullptr)
        return;
    glUniform1i(locations[U_DATAFLAG], static_cast<GLint>(m_uploadedFormat));
    if (m_uploadedFormat == 0)
        return;
    glActiveTexture(GL_TEXTURE2);
    glBindTexture(GL_TEXTURE_2D, m_textures[0]);
    glUniform1i(locations[U_TEX], 2);
    if (m_uploadedFormat == CAMERA_FORMAT_YUV420) {
        glActiveTexture(GL_TEXTURE3);
        glBindTexture(GL_TEXTURE_2D, m_textures[1]);
        glUniform1i(locations[U_TEX_U], 3);
        const BRIXEL::CHYUVMatrix m = BRIXEL::HYUVToRGBMatrix(m_uploadedColour);
        glUniformMatrix3fv(locations[U_YUVMATRIX], 1, GL_TRUE, m.matrix);  // rows as stored
        glUniform3fv(locations[U_YUVOFFSET], 1, m.offset);
    }
    glActiveTexture(GL_TEXTURE0);
}

}  // namespace SPHERA
