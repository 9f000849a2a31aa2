// The software DirectDraw on its own, without an X display: devices, surface descriptions and
// locking, colour fills and stretch blits with clipping, and the YUV surfaces' conversion to
// RGB checked against the base library's converter.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "base/hpixel.h"
#include "platform/soft_ddraw.h"

namespace {

using namespace QXPLAT;

// Runs the body with $DISPLAY unset, restoring it (and the monitor list read with it) after.
class NoXDisplay : public ::testing::Test {
protected:
    void SetUp() override {
        const char* d = std::getenv("DISPLAY");
        if (d != nullptr)
            m_saved = d;
        m_had = d != nullptr;
        unsetenv("DISPLAY");
        unsetenv(kDDrawNoFourCCEnv);
        ASSERT_EQ(DirectDrawCreateEx(nullptr, &m_dd), DD_OK);
    }
    void TearDown() override {
        unsetenv(kDDrawNoFourCCEnv);
        if (m_had)
            setenv("DISPLAY", m_saved.c_str(), 1);
        DirectDrawEnumerateEx(
            [](const DDGUID*, const char*, const char*, void*, DDMONITOR) { return true; }, nullptr,
            0);
    }

    std::shared_ptr<CDirectDrawSurface7> Make(uint32_t w, uint32_t h, uint32_t fourCC = 0,
                                              uint32_t* result = nullptr) {
        DDSURFACEDESC2 desc{};
        desc.size = sizeof(desc);
        desc.flags = DDSD_CAPS | DDSD_WIDTH | DDSD_HEIGHT;
        desc.caps = DDSCAPS_OFFSCREENPLAIN;
        desc.width = w;
        desc.height = h;
        if (fourCC != 0) {
            desc.flags |= DDSD_PIXELFORMAT;
            desc.pixelFormat.size = sizeof(DDPIXELFORMAT);
            desc.pixelFormat.flags = DDPF_FOURCC;
            desc.pixelFormat.fourCC = fourCC;
        }
        std::shared_ptr<CDirectDrawSurface7> s;
        const uint32_t r = m_dd->CreateSurface(&desc, &s);
        if (result != nullptr)
            *result = r;
        return s;
    }

    std::shared_ptr<CDirectDraw7> m_dd;
    std::string m_saved;
    bool m_had = false;
};

uint32_t PixelAt(CDirectDrawSurface7& s, uint32_t x, uint32_t y) {
    DDSURFACEDESC2 desc{};
    EXPECT_EQ(s.Lock(nullptr, &desc, DDLOCK_WAIT, nullptr), DD_OK);
    uint32_t v = 0;
    std::memcpy(&v, desc.surface + static_cast<size_t>(y) * desc.pitch + x * 4, 4);
    s.Unlock(nullptr);
    return v & 0x00FFFFFF;
}

TEST_F(NoXDisplay, OnlyTheDefaultDeviceWithoutMonitors) {
    std::vector<bool> guids;
    ASSERT_EQ(DirectDrawEnumerateEx(
                  [](const DDGUID* g, const char*, const char*, void* ctx, DDMONITOR) {
                      static_cast<std::vector<bool>*>(ctx)->push_back(g != nullptr);
                      return true;
                  },
                  &guids, DDENUM_ATTACHEDSECONDARYDEVICES | DDENUM_NONDISPLAYDEVICES),
              DD_OK);
    EXPECT_EQ(guids, std::vector<bool>{false});  // the driver entry only
    DDGUID unknown{};
    unknown.bytes[0] = 0x42;
    std::shared_ptr<CDirectDraw7> dd;
    EXPECT_EQ(DirectDrawCreateEx(&unknown, &dd), DDERR_NODIRECTDRAWHW);
    DDCAPS caps{};
    ASSERT_EQ(m_dd->GetCaps(&caps, nullptr), DD_OK);
    EXPECT_EQ(caps.surfaceCaps & DDSCAPS_VIDEOMEMORY, 0u);
    DDRECT client{};
    EXPECT_FALSE(DDGetClientRect(0x1234, &client));

    // A primary surface exists, but has nowhere to show anything.
    DDSURFACEDESC2 desc{};
    desc.size = sizeof(desc);
    desc.flags = DDSD_CAPS;
    desc.caps = DDSCAPS_PRIMARYSURFACE;
    std::shared_ptr<CDirectDrawSurface7> primary;
    ASSERT_EQ(m_dd->CreateSurface(&desc, &primary), DD_OK);
    auto cache = Make(16, 16);
    EXPECT_EQ(primary->Blt(nullptr, cache.get(), nullptr, DDBLT_WAIT, 0), DDERR_NOHWND);
    ASSERT_EQ(m_dd->SetCooperativeLevel(0x1234, DDSCL_NORMAL), DD_OK);
    ASSERT_EQ(m_dd->CreateSurface(&desc, &primary), DD_OK);
    EXPECT_EQ(primary->Blt(nullptr, cache.get(), nullptr, DDBLT_WAIT, 0), DDERR_SURFACELOST);
    EXPECT_NE(primary->Lock(nullptr, &desc, DDLOCK_WAIT, nullptr), DD_OK);
}

TEST_F(NoXDisplay, SurfacesDescribeLockAndRefuseWhatTheyCannotBe) {
    uint32_t r = 0;
    auto rgb = Make(10, 4, 0, &r);
    ASSERT_EQ(r, DD_OK);
    DDSURFACEDESC2 desc{};
    ASSERT_EQ(rgb->Lock(nullptr, &desc, DDLOCK_WAIT, nullptr), DD_OK);
    EXPECT_EQ(desc.pitch, 40);
    EXPECT_EQ(desc.pixelFormat.flags, DDPF_RGB);
    EXPECT_EQ(desc.pixelFormat.rgbBitCount, 32u);
    EXPECT_EQ(desc.pixelFormat.rBitMask, 0x00FF0000u);
    EXPECT_EQ(desc.caps & DDSCAPS_SYSTEMMEMORY, DDSCAPS_SYSTEMMEMORY);
    DDSURFACEDESC2 again{};
    EXPECT_EQ(rgb->Lock(nullptr, &again, DDLOCK_WAIT, nullptr), DDERR_SURFACEBUSY);
    EXPECT_EQ(rgb->Blt(nullptr, nullptr, nullptr, DDBLT_COLORFILL, 0), DDERR_SURFACEBUSY);
    EXPECT_EQ(rgb->Unlock(nullptr), DD_OK);
    EXPECT_EQ(rgb->Unlock(nullptr), DDERR_NOTLOCKED);

    // GetDC hands out the memory as a host surface; nothing else may touch it meanwhile.
    QUORIX_HDC dc = nullptr;
    ASSERT_EQ(rgb->GetDC(&dc), DD_OK);
    auto* s = static_cast<QUORIX_SURFACE*>(dc);
    EXPECT_EQ(s->width, 10u);
    EXPECT_EQ(s->stride, 40u);
    EXPECT_EQ(s->format, QUORIX_PIXEL_BGR32);
    EXPECT_EQ(rgb->Lock(nullptr, &desc, DDLOCK_WAIT, nullptr), DDERR_SURFACEBUSY);
    EXPECT_EQ(rgb->ReleaseDC(nullptr), DDERR_INVALIDPARAMS);
    EXPECT_EQ(rgb->ReleaseDC(dc), DD_OK);

    auto yv12 = Make(9, 5, DDFOURCC_YV12, &r);
    ASSERT_EQ(r, DD_OK);
    ASSERT_EQ(yv12->Lock(nullptr, &desc, DDLOCK_WAIT, nullptr), DD_OK);
    EXPECT_EQ(desc.pixelFormat.flags, DDPF_FOURCC);
    EXPECT_EQ(desc.pitch, 10);  // even, so that the chroma rows are exactly half
    yv12->Unlock(nullptr);
    EXPECT_EQ(yv12->GetDC(&dc), DDERR_UNSUPPORTED);
    EXPECT_EQ(yv12->Blt(nullptr, nullptr, nullptr, DDBLT_COLORFILL, 0), DDERR_UNSUPPORTED);

    struct {
        uint32_t w, h, fourCC, result;
    } refused[] = {{9, 4, DDFOURCC_YUY2, DDERR_INVALIDPARAMS},  // pixels come in pairs
                   {16, 16, DDMakeFourCC('N', 'V', '1', '2'), DDERR_INVALIDPIXELFORMAT},
                   {0, 16, 0, DDERR_INVALIDPARAMS},
                   {100000, 16, 0, DDERR_INVALIDPARAMS}};
    for (const auto& c : refused) {
        SCOPED_TRACE(c.w);
        EXPECT_EQ(Make(c.w, c.h, c.fourCC, &r), nullptr);
        EXPECT_EQ(r, c.result);
    }
    desc = {};
    desc.flags = DDSD_CAPS | DDSD_WIDTH | DDSD_HEIGHT;
    desc.caps = DDSCAPS_OFFSCREENPLAIN | DDSCAPS_VIDEOMEMORY;
    desc.width = desc.height = 8;
    std::shared_ptr<CDirectDrawSurface7> video;
    EXPECT_EQ(m_dd->CreateSurface(&desc, &video), DDERR_NOVIDEOMEMORY);

    // A device made while FourCC surfaces are refused offers RGB only.
    setenv(kDDrawNoFourCCEnv, "1", 1);
    ASSERT_EQ(DirectDrawCreateEx(nullptr, &m_dd), DD_OK);
    for (uint32_t f : {DDFOURCC_YV12, DDFOURCC_I420, DDFOURCC_YUY2, DDFOURCC_YUYV, DDFOURCC_UYVY}) {
        EXPECT_EQ(Make(16, 16, f, &r), nullptr);
        EXPECT_EQ(r, DDERR_INVALIDPIXELFORMAT);
    }
    EXPECT_NE(Make(16, 16), nullptr);
}

TEST_F(NoXDisplay, FillsAndBlitsStayInsideAndCopyExactly) {
    auto dst = Make(8, 6);
    // A fill reaching past the surface is cut at its edge.
    ASSERT_EQ(dst->Blt(nullptr, nullptr, nullptr, DDBLT_COLORFILL, 0x112233), DD_OK);
    const DDRECT over{5, 3, 20, 20};
    ASSERT_EQ(dst->Blt(&over, nullptr, nullptr, DDBLT_COLORFILL, 0xABCDEF), DD_OK);
    EXPECT_EQ(PixelAt(*dst, 4, 3), 0x112233u);
    EXPECT_EQ(PixelAt(*dst, 5, 3), 0xABCDEFu);
    EXPECT_EQ(PixelAt(*dst, 7, 5), 0xABCDEFu);
    EXPECT_EQ(PixelAt(*dst, 5, 2), 0x112233u);

    // 1:1 copies are exact, also when the destination is partly off the surface.
    auto src = Make(4, 2);
    DDSURFACEDESC2 desc{};
    ASSERT_EQ(src->Lock(nullptr, &desc, DDLOCK_WAIT, nullptr), DD_OK);
    for (uint32_t i = 0; i < 8; ++i) {
        const uint32_t v = 0x010203u * (i + 1);
        std::memcpy(desc.surface + (i / 4) * desc.pitch + (i % 4) * 4, &v, 4);
    }
    src->Unlock(nullptr);
    const DDRECT at{6, 1, 10, 3};
    ASSERT_EQ(dst->Blt(&at, src.get(), nullptr, DDBLT_WAIT, 0), DD_OK);
    EXPECT_EQ(PixelAt(*dst, 6, 1), 0x010203u);
    EXPECT_EQ(PixelAt(*dst, 7, 2), 0x010203u * 6);
    EXPECT_EQ(PixelAt(*dst, 5, 1), 0x112233u);

    // A source rectangle outside the source is refused; the same surface cannot be both.
    const DDRECT bad{2, 0, 5, 2};
    EXPECT_EQ(dst->Blt(nullptr, src.get(), &bad, DDBLT_WAIT, 0), DDERR_INVALIDRECT);
    EXPECT_EQ(dst->Blt(nullptr, dst.get(), nullptr, DDBLT_WAIT, 0), DDERR_INVALIDPARAMS);
    // Stretching a single source pixel fills the whole destination with it.
    const DDRECT one{1, 1, 2, 2};
    ASSERT_EQ(dst->Blt(nullptr, src.get(), &one, DDBLT_WAIT, 0), DD_OK);
    EXPECT_EQ(PixelAt(*dst, 0, 0), 0x010203u * 6);
    EXPECT_EQ(PixelAt(*dst, 7, 5), 0x010203u * 6);
}

TEST_F(NoXDisplay, YuvSurfacesBlitAsTheirPictureConvertedToRgb) {
    // A 4:2:0 picture with a luma ramp and four chroma quadrants.
    const uint32_t w = 16, h = 8;
    std::vector<uint8_t> picture(w * h * 3 / 2);
    for (uint32_t i = 0; i < w * h; ++i)
        picture[i] = static_cast<uint8_t>(30 + (i * 7) % 200);
    for (uint32_t y = 0; y < h / 2; ++y) {
        for (uint32_t x = 0; x < w / 2; ++x) {
            picture[w * h + y * (w / 2) + x] = x < w / 4 ? 60 : 190;
            picture[w * h * 5 / 4 + y * (w / 2) + x] = y < h / 4 ? 80 : 220;
        }
    }
    std::vector<uint8_t> expected(w * h * 4);
    ASSERT_EQ(BRIXEL::CHYUV420pConvert::ToRGB(
                  BRIXEL::HPIXEL_BGRX32, picture.data(), picture.data() + w * h,
                  picture.data() + w * h * 5 / 4, w, w / 2, w, h, expected.data(),
                  static_cast<uint32_t>(expected.size()), w * 4),
              QUORIX_OK);
    struct {
        uint32_t fourCC;
        BRIXEL::CHPixelFormat layout;
    } formats[] = {{DDFOURCC_YV12, BRIXEL::HPIXEL_YV12},
                   {DDFOURCC_I420, BRIXEL::HPIXEL_YUV420P},
                   {DDFOURCC_YUY2, BRIXEL::HPIXEL_YUYV},
                   {DDFOURCC_YUYV, BRIXEL::HPIXEL_YUYV},
                   {DDFOURCC_UYVY, BRIXEL::HPIXEL_UYVY}};
    for (const auto& f : formats) {
        SCOPED_TRACE(f.layout);
        auto yuv = Make(w, h, f.fourCC);
        ASSERT_NE(yuv, nullptr);
        DDSURFACEDESC2 desc{};
        ASSERT_EQ(yuv->Lock(nullptr, &desc, DDLOCK_WAIT, nullptr), DD_OK);
        BRIXEL::CHPixel pixel;
        ASSERT_EQ(pixel.Set(BRIXEL::HPIXEL_YUV420P, picture.data(),
                            static_cast<uint32_t>(picture.size()), w, h, w, false),
                  QUORIX_OK);
        ASSERT_EQ(pixel.Convert(f.layout, static_cast<uint32_t>(desc.pitch)), QUORIX_OK);
        const size_t room = (f.layout == BRIXEL::HPIXEL_YV12 || f.layout == BRIXEL::HPIXEL_YUV420P)
                                ? static_cast<size_t>(desc.pitch) * h * 3 / 2
                                : static_cast<size_t>(desc.pitch) * h;
        std::memcpy(desc.surface, pixel.GetData(), std::min<size_t>(room, pixel.GetLength()));
        ASSERT_EQ(yuv->Unlock(nullptr), DD_OK);

        auto rgb = Make(w, h);
        ASSERT_EQ(rgb->Blt(nullptr, yuv.get(), nullptr, DDBLT_WAIT, 0), DD_OK);
        DDSURFACEDESC2 out{};
        ASSERT_EQ(rgb->Lock(nullptr, &out, DDLOCK_WAIT, nullptr), DD_OK);
        for (uint32_t y = 0; y < h; ++y) {
            for (uint32_t x = 0; x < w; ++x) {
                const uint8_t* got = out.surface + y * out.pitch + x * 4;
                const uint8_t* want = expected.data() + (y * w + x) * 4;
                ASSERT_TRUE(got[0] == want[0] && got[1] == want[1] && got[2] == want[2])
                    << "pixel " << x << "," << y;
            }
        }
        rgb->Unlock(nullptr);
    }
}

// A YUV surface is shown with the matrix and range of the picture written into it, and a new
// colour takes effect on a surface whose content did not change.
TEST_F(NoXDisplay, YuvSurfacesShowTheirPicturesColour) {
    const uint32_t w = 8, h = 4;
    std::vector<uint8_t> picture(w * h * 3 / 2);
    std::fill(picture.begin(), picture.begin() + w * h, 81);                  // Y
    std::fill(picture.begin() + w * h, picture.begin() + w * h * 5 / 4, 90);  // U
    std::fill(picture.begin() + w * h * 5 / 4, picture.end(), 240);           // V
    auto yuv = Make(w, h, DDFOURCC_I420);
    ASSERT_NE(yuv, nullptr);
    DDSURFACEDESC2 desc{};
    ASSERT_EQ(yuv->Lock(nullptr, &desc, DDLOCK_WAIT, nullptr), DD_OK);
    ASSERT_EQ(static_cast<uint32_t>(desc.pitch), w);
    std::memcpy(desc.surface, picture.data(), picture.size());
    ASSERT_EQ(yuv->Unlock(nullptr), DD_OK);
    // Limited-range BT.601 red, then the same samples read as full-range BT.709.
    const struct {
        BRIXEL::CHYUVColour colour;
        int r, g, b;
    } cases[] = {{BRIXEL::HYUV_BT601_LIMITED, 254, 0, 0}, {BRIXEL::HYUV_BT709_FULL, 255, 36, 10}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.colour);
        yuv->SetYUVColour(c.colour);
        auto rgb = Make(w, h);
        ASSERT_EQ(rgb->Blt(nullptr, yuv.get(), nullptr, DDBLT_WAIT, 0), DD_OK);
        DDSURFACEDESC2 out{};
        ASSERT_EQ(rgb->Lock(nullptr, &out, DDLOCK_WAIT, nullptr), DD_OK);
        const uint8_t* got = out.surface + out.pitch + 4;  // B, G, R, X
        EXPECT_NEAR(got[2], c.r, 1);
        EXPECT_NEAR(got[1], c.g, 1);
        EXPECT_NEAR(got[0], c.b, 1);
        rgb->Unlock(nullptr);
    }
}

}  // namespace
