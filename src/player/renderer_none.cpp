// What a port answers while it has no renderer (no file or stream open): the stored setters
// succeed, since the port hands their settings to the next renderer; a request that needs a
// renderer is refused as the OpenGL renderer refuses it when it does not exist.

#include "player/port_renderer.h"

namespace {

class CNoRenderer final : public IPortRenderer {
public:
    Kind GetKind() const override { return Kind::None; }

    void ApplyRegions(const PortRegionSettings (&)[kPortRegionCount]) override {}
    uint32_t Start(QUORIX_HWND, QUORIX_HDC, bool) override { return QUORIX_E_PARAM; }
    void DetachCallbacks() override {}
    bool OnDrawingThread() const override { return false; }
    void Retire(bool) override {}

    uint32_t SetRegion(uint16_t, const PortRegionSettings&) override { return QUORIX_OK; }
    uint32_t GetDisplayTypeList(uint32_t*, int32_t*) override { return QUORIX_E_PARAM; }
    uint32_t GetDisplayType(uint16_t, uint32_t*) override { return QUORIX_E_PARAM; }
    uint32_t SetDisplayType(uint16_t, uint32_t) override { return QUORIX_OK; }
    uint32_t GetPtz(uint16_t, float*, float*, float*) override { return QUORIX_E_PARAM; }
    uint32_t SetPtz(uint16_t, float, float, float) override { return QUORIX_OK; }
    uint32_t EnableBlankPtz(uint16_t, bool) override { return QUORIX_E_PARAM; }
    uint32_t SetFlip(uint16_t, uint32_t) override { return QUORIX_E_STATE; }
    uint32_t SetRatioType(uint16_t, uint32_t) override { return QUORIX_E_STATE; }
    uint32_t Project(uint16_t, const float*, const float*, float*, float*, uint32_t) override {
        return QUORIX_E_PARAM;
    }
    uint32_t UnProject(uint16_t, const float*, const float*, float*, float*, uint32_t) override {
        return QUORIX_E_PARAM;
    }
    // The port keeps the pair and the next renderer receives it.
    uint32_t InstallStatusCallback() override { return QUORIX_E_PARAM; }

    int32_t ManualSupport() const override { return -1; }
    uint32_t ManualInit(bool) override { return QUORIX_E_STATE; }
    uint32_t ManualRender() override { return QUORIX_E_STATE; }
    uint32_t ManualSwapbuffers() override { return QUORIX_E_STATE; }
    uint32_t ManualUnInit() override { return QUORIX_E_STATE; }

    uint32_t CaptureRegion(uint32_t, CPortPicture&) override { return QUORIX_E_STATE; }
    uint32_t CaptureOriginal(CPortPicture&) override { return QUORIX_E_STATE; }
    uint32_t SetSnapCallback(uint32_t, bool, uint32_t, uint32_t) override { return QUORIX_E_PARAM; }
    uint32_t SetScreenOffSnapCallback(bool, float, uint32_t, uint32_t) override {
        return QUORIX_E_PARAM;
    }
    uint32_t SetSnapRect(uint32_t, float, float, float, float) override { return QUORIX_E_PARAM; }
    uint32_t SetScreenOffSnapRect(float, float, float, float) override { return QUORIX_E_PARAM; }

    uint32_t InputPicture(uint16_t, uint16_t, uint16_t, const uint8_t* const[3], const uint32_t[3],
                          BRIXEL::CHYUVColour) override {
        return QUORIX_E_NOT_IMPL;
    }
    uint32_t AttachPicture(uint16_t, uint16_t, uint16_t, uint8_t*, uint32_t,
                           BRIXEL::CHYUVColour) override {
        return QUORIX_E_NOT_IMPL;
    }
    uint32_t SetPictureRelease(uint16_t, BRIXEL::HRecoveryCallback, void*) override {
        return QUORIX_OK;
    }
};

}  // namespace

IPortRenderer& NoRenderer() {
    static CNoRenderer none;
    return none;
}
