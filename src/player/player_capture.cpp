// Snapshots of a port: one-shot captures into BMP or JPEG files, continuous snapshot callbacks
// through the renderer's adapters, and the sub-frames of composite packets that go to an
// attached port.
//
// A capture asks the port's renderer for a picture (port_renderer.h) and writes it here.

#include <atomic>

#include "base/hfile.h"
#include "base/hlog.h"
#include "codec/dec_ximage.h"
#include "media/hmfformat.h"
#include "player/player.h"

namespace {

constexpr const char* kSource = "player_capture";
constexpr const char* kModule = "quorixsdk";
constexpr uint32_t kBmpHeaderBytes = 54;
constexpr uint32_t kBmpFileType = 1;

void PutLe16(uint8_t* p, uint32_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
}

void PutLe32(uint8_t* p, uint32_t v) {
    for (int i = 0; i < 4; ++i)
        p[i] = static_cast<uint8_t>(v >> (8 * i));
}

// Full-resolution captures answer for the picture, not for a file that could not be created;
// but a file that was begun and could not be written whole (a full disk) is a failure.
uint32_t FileResultOfOriginal(uint32_t saved) {
    return saved == QUORIX_E_WRITE_FILE ? saved : QUORIX_OK;
}

// Packed three-byte RGB and BGR are 24 bits a pixel; every other layout is written as 32.
uint32_t BitsPerPixel(uint32_t format) {
    return format == 2 || format == 4 ? 24 : 32;
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// Files

uint32_t CPlayer::SaveSnapData(const char* path, uint16_t quality, uint32_t fileType,
                               uint32_t width, uint32_t stride, uint32_t height, uint32_t format,
                               const uint8_t* data) {
    if (path == nullptr || path[0] == '\0')
        return QUORIX_E_OPEN_FILE;
    // Everything that can refuse the request is settled before the file is touched, and the
    // file replaces the old one only once it is whole: a refused or failed call leaves the
    // target as it was.
    const uint64_t imageBytes = uint64_t{stride} * height;
    const uint32_t bits = BitsPerPixel(format);
    uint8_t header[kBmpHeaderBytes] = {};
    uint8_t* jpeg = nullptr;
    uint32_t jpegBytes = 0;
    if (fileType == kBmpFileType) {
        // The header sizes are 32-bit: a picture that does not fit them has no BMP file.
        if (imageBytes + kBmpHeaderBytes > UINT32_MAX || (data == nullptr && imageBytes != 0))
            return QUORIX_E_PARAM;
        header[0] = 'B';
        header[1] = 'M';
        PutLe32(header + 2, static_cast<uint32_t>(imageBytes + kBmpHeaderBytes));
        PutLe32(header + 10, kBmpHeaderBytes);
        PutLe32(header + 14, 40);
        PutLe32(header + 18, width);
        PutLe32(header + 22, height);
        PutLe16(header + 26, 1);
        PutLe16(header + 28, bits);
        PutLe32(header + 34, static_cast<uint32_t>(imageBytes));
    } else {
        const uint32_t encoded = HCC::EncodeSnapshotJpeg(data, width, stride, height, bits,
                                                         quality & 0xFFu, &jpeg, &jpegBytes);
        if (encoded != QUORIX_OK)
            return encoded;
    }
    struct JpegRelease {
        uint8_t* block;
        ~JpegRelease() {
            if (block != nullptr)
                HCC::ReleaseSnapshotJpeg(block);
        }
    } release{jpeg};

    BRIXEL::CHReplaceFile file;
    if (!file.Open(path))
        return QUORIX_E_OPEN_FILE;
    const bool written = fileType == kBmpFileType
                             ? file.Write(header, kBmpHeaderBytes) && file.Write(data, imageBytes)
                             : file.Write(jpeg, jpegBytes);
    if (!written || !file.Commit()) {
        HLOG(kSource, kModule, BRIXEL::HLOG_ERROR, "CPlayer::SaveSnapData", "write %s fail", path);
        return QUORIX_E_WRITE_FILE;
    }
    return QUORIX_OK;
}

// ---------------------------------------------------------------------------------------------
// One-shot captures

uint32_t CPlayer::Snap(uint32_t region, const char* path, uint16_t quality, uint32_t fileType) {
    if (region >= kRegionCount || path == nullptr)
        return QUORIX_E_PARAM;
    const CRendererUse use(*this);
    CPortPicture picture;
    const uint32_t taken = use->CaptureRegion(region, picture);
    if (taken != QUORIX_OK)
        return taken;
    return SaveSnapData(path, quality, fileType, picture.width, picture.stride, picture.height,
                        picture.format, picture.data);
}

// Only taking the picture can fail the request; the file is the host's business.
uint32_t CPlayer::SnapOriginal(const char* path, uint16_t quality, uint32_t fileType) {
    const CRendererUse use(*this);
    CPortPicture picture;
    const uint32_t taken = use->CaptureOriginal(picture);
    if (taken != QUORIX_OK)
        return taken;
    return FileResultOfOriginal(SaveSnapData(path, quality, fileType, picture.width, picture.stride,
                                             picture.height, picture.format, picture.data));
}

// ---------------------------------------------------------------------------------------------
// Continuous captures

// Region 9 is the full-resolution picture, reported with the screen-off pair.
void CPlayer::CallSnapCallback(uint16_t region, uint32_t width, uint32_t stride, uint32_t height,
                               uint32_t format, const uint8_t* data) {
    QUORIX_SnapCallback callback = nullptr;
    void* hostUser = nullptr;
    if (region == kPortScreenOffRegion) {
        callback = m_screenOffCallback.load();
        hostUser = m_screenOffUser.load();
    } else if (region < kRegionCount) {
        std::atomic_ref<QUORIX_SnapCallback> pair(m_regions[region].snapCallback);
        std::atomic_ref<void*> pairUser(m_regions[region].snapUser);
        callback = pair.load();
        hostUser = pairUser.load();
    }
    if (callback != nullptr) {
        callback(static_cast<uint16_t>(m_port), region, width, stride, height, format, data,
                 hostUser);
    }
}

uint32_t CPlayer::SetSnapCallback(uint32_t region, QUORIX_SnapCallback callback, void* user,
                                  uint32_t format, uint32_t align) {
    const CRendererUse use(*this);
    if (region >= kRegionCount)
        return QUORIX_E_PARAM;
    const uint32_t set = use->SetSnapCallback(region, callback != nullptr, format, align);
    if (set != QUORIX_OK)
        return set;
    // The drawing thread reads the pair word by word: the function goes last, so a reader that
    // sees it also sees its user value.
    std::atomic_ref<QUORIX_SnapCallback> pair(m_regions[region].snapCallback);
    std::atomic_ref<void*> pairUser(m_regions[region].snapUser);
    pair.store(nullptr);
    pairUser.store(user);
    pair.store(callback);
    return QUORIX_OK;
}

uint32_t CPlayer::SetScreenOffSnapCallback(QUORIX_SnapCallback callback, void* user, float scale,
                                           uint32_t format, uint32_t align) {
    const CRendererUse use(*this);
    const uint32_t set = use->SetScreenOffSnapCallback(callback != nullptr, scale, format, align);
    if (set != QUORIX_OK)
        return set;
    m_screenOffCallback.store(nullptr);
    m_screenOffUser.store(user);
    m_screenOffCallback.store(callback);
    return QUORIX_OK;
}

uint32_t CPlayer::SetSnapRect(uint32_t region, float x, float y, float width, float height) {
    const CRendererUse use(*this);
    if (region >= kRegionCount)
        return QUORIX_E_PARAM;
    return use->SetSnapRect(region, x, y, width, height);
}

uint32_t CPlayer::SetScreenOffSnapRect(float x, float y, float width, float height) {
    const CRendererUse use(*this);
    return use->SetScreenOffSnapRect(x, y, width, height);
}

// ---------------------------------------------------------------------------------------------
// Attached port

void CPlayer::SetAttachCallback(QUORIX_AttachCallback callback, void* user) {
    m_attachCallback.store(nullptr);
    m_attachUser.store(user);
    m_attachCallback.store(callback);
}

uint32_t CPlayer::OnSubFrame(uint8_t streamId, const uint8_t* data, uint32_t length) {
    // A sub-frame that is itself a composite packet stays with this port.
    if (data == nullptr || length < BRIXEL::kHMFFrameHeaderSize ||
        (data[2] & BRIXEL::kHMFCompositeBit) != 0) {
        return 0;
    }
    if (CPlayer* attached = m_attached.load())
        attached->InputData(data, length);
    const QUORIX_AttachCallback callback = m_attachCallback.load();
    if (callback != nullptr)
        callback(static_cast<uint16_t>(m_port), streamId, data, length, m_attachUser.load());
    return 1;
}
