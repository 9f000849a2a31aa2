// Video sources (frame copy and attach, texture upload) and the model-data block.
#include <GL/glew.h>
#include <gtest/gtest.h>
#include <quorixsdk.h>

#include <cstring>
#include <vector>

#include "panorama/camera.h"
#include "panorama/modeldata.h"
#include "panorama/render.h"
#include "support/gl_test_context.h"

namespace {

using namespace SPHERA;

// A picture of width x height where every pixel encodes its own row and column.
std::vector<uint8_t> Picture(uint32_t width, uint32_t height, uint32_t bpp, uint32_t stride) {
    std::vector<uint8_t> p(static_cast<size_t>(stride) * height, 0xEE);
    for (uint32_t y = 0; y < height; ++y) {
        for (uint32_t x = 0; x < width; ++x) {
            for (uint32_t c = 0; c < bpp; ++c)
                p[y * stride + x * bpp + c] = static_cast<uint8_t>(y * 16 + x + c);
        }
    }
    return p;
}

TEST(PanoramaSource, RefusesFramesItCannotHold) {
    CCamera camera(nullptr);
    const std::vector<uint8_t> pic = Picture(16, 16, 4, 64);
    const uint8_t* planes[3] = {pic.data(), pic.data(), pic.data()};
    const uint32_t strides[3] = {64, 32, 32};
    struct Case {
        uint32_t width, height, type;
        bool nullPlane;
    };
    const Case bad[] = {
        {16, 16, 0, false},
        {16, 16, 5, false},
        {16, 16, 10, false},
        {16, 16, 15, false},
        {16, 16, 19, false},
        {16, 16, 21, false},
        {0, 16, 1, false},
        {16, 0, 11, false},
        {16, 16, 1, true},
        {0, 16, 20, false},
        {16, 0, 20, false},
        {16, 16, 20, true},
        {kMaxFrameSide + 1, 1, 2, false},
        {8, kMaxFrameSide + 1, 20, false},
    };
    for (const Case& c : bad) {
        const uint8_t* withNull[3] = {c.nullPlane ? nullptr : pic.data(), pic.data(), pic.data()};
        EXPECT_EQ(
            camera.InputFrame(c.width, c.height, c.type, c.nullPlane ? withNull : planes, strides),
            QUORIX_E_PARAM)
            << "type " << c.type << " " << c.width << "x" << c.height;
    }
    // YUV strides below the width, or below the (width+1)/2 chroma samples of an odd width.
    const uint32_t shortY[3] = {20, 11, 11};
    const uint32_t shortU[3] = {21, 10, 11};
    const uint32_t shortV[3] = {21, 11, 10};
    EXPECT_EQ(camera.InputFrame(21, 4, 20, planes, shortY), QUORIX_E_PARAM);
    EXPECT_EQ(camera.InputFrame(21, 4, 20, planes, shortU), QUORIX_E_PARAM);
    EXPECT_EQ(camera.InputFrame(21, 4, 20, planes, shortV), QUORIX_E_PARAM);
    const uint32_t exact[3] = {21, 11, 11};
    EXPECT_EQ(camera.InputFrame(21, 4, 20, planes, exact), QUORIX_OK);

    uint8_t block[64] = {};
    EXPECT_EQ(camera.AttachFrame(4, 4, 11, block, sizeof(block)),
              QUORIX_E_PARAM);  // copy-only type
    EXPECT_EQ(camera.AttachFrame(4, 4, 1, nullptr, 64), QUORIX_E_PARAM);
    EXPECT_EQ(camera.AttachFrame(4, 4, 1, block, 0), QUORIX_E_PARAM);
    EXPECT_EQ(camera.AttachFrame(5, 4, 1, block, 64), QUORIX_E_PARAM);   // 80 bytes announced
    EXPECT_EQ(camera.AttachFrame(8, 8, 20, block, 64), QUORIX_E_PARAM);  // 96 bytes announced
    EXPECT_EQ(camera.AttachFrame(7, 5, 20, block, 58), QUORIX_E_PARAM);  // 35 + 2 x 4 x 3 = 59
    uint32_t w = 0, h = 0;
    camera.GetImageSize(&w, &h);
    EXPECT_EQ(w, 21u);  // the last good frame stays
    EXPECT_EQ(h, 4u);
}

struct Released {
    std::vector<const uint8_t*> order;
    std::vector<uint32_t> sizes;
};

void OnRelease(uint8_t* data, uint32_t size, void* user) {
    auto* r = static_cast<Released*>(user);
    r->order.push_back(data);
    r->sizes.push_back(size);
}

TEST(PanoramaSource, AttachedMemoryComesBackInOrder) {
    Released released;
    std::vector<uint8_t> a(8 * 8 * 3 / 2), b(4 * 4 * 4), c(2 * 2 * 3);
    {
        BRIXEL::CHEvent newFrame(true, true, false);
        CCamera camera(&newFrame);
        camera.SetReleaseCallback(OnRelease, &released);
        ASSERT_EQ(camera.AttachFrame(8, 8, 20, a.data(), static_cast<uint32_t>(a.size())),
                  QUORIX_OK);
        EXPECT_TRUE(released.order.empty());
        ASSERT_EQ(camera.AttachFrame(4, 4, 3, b.data(), static_cast<uint32_t>(b.size())),
                  QUORIX_OK);
        ASSERT_EQ(released.order.size(), 1u);
        EXPECT_EQ(released.order[0], a.data());
        EXPECT_EQ(released.sizes[0], a.size());

        // A copied frame replaces the attached one, which comes back at once.
        const std::vector<uint8_t> pic = Picture(2, 2, 3, 6);
        const uint8_t* planes[1] = {pic.data()};
        const uint32_t strides[1] = {6};
        ASSERT_EQ(camera.InputFrame(2, 2, 2, planes, strides), QUORIX_OK);
        ASSERT_EQ(released.order.size(), 2u);
        EXPECT_EQ(released.order[1], b.data());

        ASSERT_EQ(camera.AttachFrame(2, 2, 2, c.data(), static_cast<uint32_t>(c.size())),
                  QUORIX_OK);
        EXPECT_EQ(released.order.size(), 2u);  // copied memory is the source's own
    }
    // Destroying the source hands back what it still holds.
    ASSERT_EQ(released.order.size(), 3u);
    EXPECT_EQ(released.order[2], c.data());
    EXPECT_EQ(released.sizes[2], c.size());
}

class PanoramaSourceGl : public ::testing::Test {
protected:
    void SetUp() override {
        host_ = std::make_unique<gltest::HostContext>();
        ASSERT_TRUE(host_->ok());
        glewExperimental = GL_TRUE;
        (void)glewInit();
        while (glGetError() != GL_NO_ERROR) {
        }
    }
    // The content of the texture on unit `unit` as tightly packed bytes.
    static std::vector<uint8_t> Texture(GLenum unit, GLenum format, uint32_t bpp, GLint* w,
                                        GLint* h) {
        glActiveTexture(unit);
        glGetTexLevelParameteriv(GL_TEXTURE_2D, 0, GL_TEXTURE_WIDTH, w);
        glGetTexLevelParameteriv(GL_TEXTURE_2D, 0, GL_TEXTURE_HEIGHT, h);
        std::vector<uint8_t> out(static_cast<size_t>(*w) * *h * bpp);
        glPixelStorei(GL_PACK_ALIGNMENT, 1);
        glGetTexImage(GL_TEXTURE_2D, 0, format, GL_UNSIGNED_BYTE, out.data());
        glActiveTexture(GL_TEXTURE0);
        return out;
    }
    gltest::NoDisplay noDisplay_;
    std::unique_ptr<gltest::HostContext> host_;
};

TEST_F(PanoramaSourceGl, BottomUpFramesAreStoredUpright) {
    CCamera camera(nullptr);
    camera.CreateTextures();
    // Type 12 (bottom-up RGB24) with padded rows: the source's last row is the picture's top.
    const uint32_t width = 3, height = 4, stride = 12;
    const std::vector<uint8_t> pic = Picture(width, height, 3, stride);
    const uint8_t* planes[1] = {pic.data()};
    const uint32_t strides[1] = {stride};
    ASSERT_EQ(camera.InputFrame(width, height, 12, planes, strides), QUORIX_OK);
    camera.Upload();
    EXPECT_EQ(camera.GetUploadedFormat(), CAMERA_FORMAT_RGB);
    GLint w = 0, h = 0;
    const std::vector<uint8_t> tex = Texture(GL_TEXTURE2, GL_RGB, 3, &w, &h);
    ASSERT_EQ(w, 3);
    ASSERT_EQ(h, 4);
    for (uint32_t y = 0; y < height; ++y) {
        EXPECT_EQ(0, std::memcmp(&tex[y * width * 3], &pic[(height - 1 - y) * stride], width * 3))
            << "row " << y;
    }

    // Type 4 (top-down BGR24) keeps its rows and is flagged as BGR for the shader.
    ASSERT_EQ(camera.InputFrame(width, height, 4, planes, strides), QUORIX_OK);
    camera.Upload();
    EXPECT_EQ(camera.GetUploadedFormat(), CAMERA_FORMAT_BGR);
    const std::vector<uint8_t> same = Texture(GL_TEXTURE2, GL_RGB, 3, &w, &h);
    EXPECT_EQ(0, std::memcmp(&same[0], &pic[0], width * 3));
    camera.DeleteTextures();
}

// An odd width and height are kept whole: Y is 1285 x 7, U and V 643 x 4 with their own last
// column and row, in copied and in attached frames alike.
TEST_F(PanoramaSourceGl, OddYuvSizesKeepEveryColumnAndRowInTheirTextures) {
    CCamera camera(nullptr);
    camera.CreateTextures();
    const uint32_t width = 1285, height = 7, cw = 643, ch = 4;
    std::vector<uint8_t> y(1300 * height, 0), u(650 * ch, 0), v(650 * ch, 0);
    for (uint32_t r = 0; r < height; ++r) {
        for (uint32_t c = 0; c < width; ++c)
            y[r * 1300 + c] = static_cast<uint8_t>(c + r);
    }
    // The last chroma column and row carry values of their own.
    for (uint32_t r = 0; r < ch; ++r) {
        for (uint32_t c = 0; c < cw; ++c) {
            const bool edge = c == cw - 1 || r == ch - 1;
            u[r * 650 + c] = edge ? 111 : 100;
            v[r * 650 + c] = edge ? 222 : 200;
        }
    }
    auto expectTextures = [&](const char* how) {
        SCOPED_TRACE(how);
        uint32_t w = 0, h = 0;
        camera.GetImageSize(&w, &h);
        EXPECT_EQ(w, width);
        EXPECT_EQ(h, height);
        camera.Upload();
        EXPECT_EQ(camera.GetUploadedFormat(), CAMERA_FORMAT_YUV420);
        GLint tw = 0, th = 0;
        const std::vector<uint8_t> ty = Texture(GL_TEXTURE2, GL_RED, 1, &tw, &th);
        ASSERT_EQ(tw, 1285);
        ASSERT_EQ(th, 7);
        EXPECT_EQ(ty[1284], static_cast<uint8_t>(1284));
        EXPECT_EQ(ty[6 * 1285 + 1284], static_cast<uint8_t>(1290));
        // U and V side by side in one two-channel texture.
        const std::vector<uint8_t> tuv = Texture(GL_TEXTURE3, GL_LUMINANCE_ALPHA, 2, &tw, &th);
        ASSERT_EQ(tw, 643);
        ASSERT_EQ(th, 4);
        ASSERT_EQ(tuv.size(), 643u * 4u * 2u);
        EXPECT_EQ(tuv[0], 100);
        EXPECT_EQ(tuv[1], 200);
        EXPECT_EQ(tuv[2 * 642], 111);  // last column
        EXPECT_EQ(tuv[2 * 642 + 1], 222);
        EXPECT_EQ(tuv[2 * (3 * 643)], 111);  // last row
        EXPECT_EQ(tuv[2 * (3 * 643) + 1], 222);
        EXPECT_EQ(tuv[2 * (2 * 643 + 641)], 100);
        EXPECT_EQ(tuv[2 * (2 * 643 + 641) + 1], 200);
    };
    const uint8_t* planes[3] = {y.data(), u.data(), v.data()};
    const uint32_t strides[3] = {1300, 650, 650};
    ASSERT_EQ(camera.InputFrame(width, height, 20, planes, strides), QUORIX_OK);
    expectTextures("copied");

    // The same picture packed in one block: Y, then U and V of 643 x 4 each.
    std::vector<uint8_t> packed(width * height + 2 * cw * ch);
    for (uint32_t r = 0; r < height; ++r)
        std::memcpy(&packed[r * width], &y[r * 1300], width);
    for (uint32_t r = 0; r < ch; ++r) {
        std::memcpy(&packed[width * height + r * cw], &u[r * 650], cw);
        std::memcpy(&packed[width * height + cw * ch + r * cw], &v[r * 650], cw);
    }
    // One byte short of the block is refused rather than read past.
    EXPECT_EQ(camera.AttachFrame(width, height, 20, packed.data(),
                                 static_cast<uint32_t>(packed.size() - 1)),
              QUORIX_E_PARAM);
    ASSERT_EQ(
        camera.AttachFrame(width, height, 20, packed.data(), static_cast<uint32_t>(packed.size())),
        QUORIX_OK);
    expectTextures("attached");
    camera.DeleteTextures();
}

TEST_F(PanoramaSourceGl, TexturesAreSpecifiedOnlyWhenSizeOrFormatChanges) {
    CCamera camera(nullptr);
    camera.CreateTextures();
    std::vector<uint8_t> plane(64 * 64 * 4, 50);
    const uint8_t* planes[3] = {plane.data(), plane.data(), plane.data()};
    const uint32_t yuvStrides[3] = {64, 32, 32};
    const uint32_t rgbStrides[1] = {64 * 3};
    struct Step {
        uint32_t width, height, type;
        uint32_t specified, replaced;
    };
    const Step steps[] = {
        {64, 32, 20, 1, 0}, {64, 32, 20, 1, 1}, {64, 32, 20, 1, 2},  // steady: content only
        {32, 32, 20, 2, 2},                                          // new size
        {32, 32, 20, 2, 3}, {32, 32, 2, 3, 3},                       // new format
        {32, 32, 4, 4, 3},  {32, 32, 4, 4, 4},  {32, 32, 3, 5, 4},   // 3 -> 4 bytes a pixel
    };
    for (const Step& s : steps) {
        const uint32_t* strides = s.type == 20 ? yuvStrides : rgbStrides;
        ASSERT_EQ(camera.InputFrame(s.width, s.height, s.type, planes, strides), QUORIX_OK);
        camera.Upload();
        camera.Upload();  // nothing new: nothing uploaded
        uint32_t specified = 0, replaced = 0;
        camera.GetUploadCounts(&specified, &replaced);
        EXPECT_EQ(specified, s.specified) << s.width << "x" << s.height << " type " << s.type;
        EXPECT_EQ(replaced, s.replaced) << s.width << "x" << s.height << " type " << s.type;
    }
    EXPECT_EQ(glGetError(), static_cast<GLenum>(GL_NO_ERROR));
    camera.DeleteTextures();
    EXPECT_EQ(camera.GetUploadedFormat(), 0u);
}

// ---- model data ----

std::vector<uint8_t> Header(int32_t cameras, uint32_t sizeField) {
    std::vector<uint8_t> b(kModelDataHeaderSize, 0);
    std::memcpy(b.data(), "SPH", 4);
    std::memcpy(&b[4], &sizeField, 4);
    const uint32_t model = 2;
    std::memcpy(&b[8], &model, 4);
    std::memcpy(&b[12], &cameras, 4);
    const uint16_t stitched = 3840;
    std::memcpy(&b[48], &stitched, 2);
    const float aspect = 2.5f;
    std::memcpy(&b[52], &aspect, 4);
    return b;
}

void AddCamera(std::vector<uint8_t>& b, float k0, bool extra = false, uint32_t extraLength = 0,
               uint32_t extraPresent = 0) {
    uint8_t record[kCameraRecordSize] = {};
    std::memcpy(record, &k0, 4);
    record[132] = extra ? 1 : 0;
    b.insert(b.end(), record, record + sizeof(record));
    if (extra) {
        const uint32_t head[2] = {7, extraLength};
        const uint8_t* h = reinterpret_cast<const uint8_t*>(head);
        b.insert(b.end(), h, h + 8);
        b.insert(b.end(), extraPresent, 0xAB);
    }
}

void FixSize(std::vector<uint8_t>& b) {
    const uint32_t size = static_cast<uint32_t>(b.size());
    std::memcpy(&b[4], &size, 4);
}

TEST(PanoramaModelData, BlocksFromOutsideAreChecked) {
    std::vector<uint8_t> good = Header(2, 0);
    AddCamera(good, 1.5f);
    AddCamera(good, 2.5f, true, 16, 16);
    FixSize(good);

    std::vector<uint8_t> oneOfTwo = Header(2, 0);
    AddCamera(oneOfTwo, 1.5f);
    oneOfTwo.insert(oneOfTwo.end(), 150, 0);  // a second record cut short
    FixSize(oneOfTwo);

    std::vector<uint8_t> badMagic = good;
    badMagic[3] = 'X';
    std::vector<uint8_t> sizeTooSmall = good;
    const uint32_t small = static_cast<uint32_t>(good.size()) - 1;
    std::memcpy(&sizeTooSmall[4], &small, 4);
    std::vector<uint8_t> sizeTooLarge =
        good;  // claims more than it holds: only what is given is read
    const uint32_t large = 0xFFFFFFF0u;
    std::memcpy(&sizeTooLarge[4], &large, 4);

    std::vector<uint8_t> hugeCount = Header(INT32_MIN, 0);  // 2^31 as the stored bits
    AddCamera(hugeCount, 1.0f);
    FixSize(hugeCount);
    std::vector<uint8_t> maxCount = Header(INT32_MAX, 0);
    AddCamera(maxCount, 1.0f);
    FixSize(maxCount);

    std::vector<uint8_t> extraCut = Header(1, 0);
    AddCamera(extraCut, 1.0f, true, 0xFFFFFFFFu, 10);
    FixSize(extraCut);
    std::vector<uint8_t> extraHeadCut = Header(1, 0);
    AddCamera(extraHeadCut, 1.0f);
    extraHeadCut[kModelDataHeaderSize + 132] = 1;  // flag set, 0 bytes follow
    FixSize(extraHeadCut);

    std::vector<uint8_t> trailing = Header(1, 0);
    AddCamera(trailing, 1.0f);
    AddCamera(trailing, 9.0f, true, 4, 4);  // a block past the announced cameras
    FixSize(trailing);

    std::vector<uint8_t> none = Header(0, 0);
    FixSize(none);

    struct Case {
        const char* name;
        const std::vector<uint8_t>* block;
        uint32_t size;
        uint32_t result;
        size_t cameras;
    };
    const Case cases[] = {
        {"good", &good, static_cast<uint32_t>(good.size()), QUORIX_OK, 2},
        {"two announced, one present", &oneOfTwo, static_cast<uint32_t>(oneOfTwo.size()),
         QUORIX_E_FILE_FORMAT, 1},
        {"wrong magic", &badMagic, static_cast<uint32_t>(badMagic.size()), QUORIX_E_FILE_FORMAT, 0},
        {"size field below size", &sizeTooSmall, static_cast<uint32_t>(good.size()),
         QUORIX_E_FILE_FORMAT, 0},
        {"size field above size", &sizeTooLarge, static_cast<uint32_t>(good.size()), QUORIX_OK, 2},
        {"short block", &good, 87, QUORIX_E_PARAM, 0},
        {"2^31 cameras", &hugeCount, static_cast<uint32_t>(hugeCount.size()), QUORIX_E_FILE_FORMAT,
         0},
        {"2^31-1 cameras", &maxCount, static_cast<uint32_t>(maxCount.size()), QUORIX_E_FILE_FORMAT,
         1},
        {"extra block cut short", &extraCut, static_cast<uint32_t>(extraCut.size()),
         QUORIX_E_FILE_FORMAT, 0},
        {"extra header cut short", &extraHeadCut, static_cast<uint32_t>(extraHeadCut.size()),
         QUORIX_E_FILE_FORMAT, 0},
        {"blocks past the end", &trailing, static_cast<uint32_t>(trailing.size()), QUORIX_OK, 1},
        {"no cameras", &none, static_cast<uint32_t>(none.size()), QUORIX_OK, 0},
        // Only the caller's size counts: a size that cuts the second camera drops it.
        {"given size cuts a camera", &sizeTooLarge, static_cast<uint32_t>(good.size()) - 10,
         QUORIX_E_FILE_FORMAT, 1},
    };
    for (const Case& c : cases) {
        ModelDataHeader header = DefaultModelDataHeader();
        std::vector<ModelCamera> cameras;
        EXPECT_EQ(ParseModelData(c.block->data(), c.size, &header, &cameras), c.result) << c.name;
        EXPECT_EQ(cameras.size(), c.cameras) << c.name;
    }
    ModelDataHeader header = DefaultModelDataHeader();
    std::vector<ModelCamera> cameras;
    EXPECT_EQ(ParseModelData(nullptr, 200, &header, &cameras), QUORIX_E_PARAM);
    EXPECT_EQ(header.modelType, 1u);  // refused blocks leave the header alone
    ASSERT_EQ(ParseModelData(good.data(), static_cast<uint32_t>(good.size()), &header, &cameras),
              QUORIX_OK);
    EXPECT_EQ(header.modelType, 2u);
    EXPECT_EQ(header.stitchedWidth, 3840);
    EXPECT_FLOAT_EQ(header.stitchedAspect, 2.5f);
    ASSERT_EQ(cameras.size(), 2u);
    EXPECT_FLOAT_EQ(cameras[1].calibration.K[0], 2.5f);
    EXPECT_TRUE(cameras[1].hasExtra);
    EXPECT_EQ(cameras[1].extra[0], 7u);
    EXPECT_EQ(cameras[1].extra[1], 16u);
}

// The camera's mount rides in four header bytes that blocks written before may hold anything
// in: only the letters "MNT" with a known mount count, everything else is a ceiling camera.
TEST(PanoramaModelData, MountComesFromTheTaggedHeaderBytes) {
    struct Case {
        uint8_t bytes[4];
        int32_t mount;
    } cases[] = {
        {{'M', 'N', 'T', 0}, 0},       {{'M', 'N', 'T', 1}, 1}, {{'M', 'N', 'T', 2}, 2},
        {{'M', 'N', 'T', 3}, 0},       {{'M', 'N', 'X', 1}, 0}, {{0, 0, 0, 1}, 0},
        {{0xFF, 0xFF, 0xFF, 0xFF}, 0},
    };
    for (const Case& c : cases) {
        std::vector<uint8_t> block(88 + 200, 0);
        const uint32_t size = static_cast<uint32_t>(block.size()), model = 2, count = 1;
        std::memcpy(block.data(), "SPH", 4);
        std::memcpy(block.data() + 4, &size, 4);
        std::memcpy(block.data() + 8, &model, 4);
        std::memcpy(block.data() + 12, &count, 4);
        std::memcpy(block.data() + QUORIX_MOUNT_OFFSET, c.bytes, 4);
        ModelDataHeader header = DefaultModelDataHeader();
        std::vector<ModelCamera> cameras;
        ASSERT_EQ(ParseModelData(block.data(), size, &header, &cameras), QUORIX_OK);
        EXPECT_EQ(MountOf(header), c.mount) << int(c.bytes[2]) << " " << int(c.bytes[3]);
    }
    EXPECT_EQ(MountOf(DefaultModelDataHeader()), 0);
}

TEST(PanoramaModelData, RendererTakesItsSourcesFromTheModel) {
    ASSERT_EQ(GlobalInit(), QUORIX_OK);
    std::vector<uint8_t> oneOfTwo = Header(2, 0);
    AddCamera(oneOfTwo, 1.5f);
    FixSize(oneOfTwo);
    {
        CRender render;
        EXPECT_EQ(render.SetModel(0, oneOfTwo.data(), static_cast<uint32_t>(oneOfTwo.size())),
                  QUORIX_E_FILE_FORMAT);
        ASSERT_EQ(render.GetCameraCount(), 1u);
        EXPECT_FLOAT_EQ(render.GetCamera(0)->GetCalibration().K[0], 1.5f);
        EXPECT_EQ(render.GetModelType(), 2);
        EXPECT_EQ(render.GetStitchedWidth(), 3840);
        EXPECT_EQ(render.GetCamera(1), nullptr);
    }
    // A plain model type ignores the block and makes one source of the default lens.
    CRender* render = nullptr;
    ASSERT_EQ(CreateRender(3, oneOfTwo.data(), 5, &render), QUORIX_OK);
    ASSERT_EQ(render->GetCameraCount(), 1u);
    EXPECT_EQ(render->GetModelType(), 3);
    const CameraCalibration& c = render->GetCamera(0)->GetCalibration();
    EXPECT_FLOAT_EQ(c.K[2], 0.5f);
    EXPECT_FLOAT_EQ(c.K[5], 0.5f);
    EXPECT_FLOAT_EQ(c.R[4], 1.0f);
    uint8_t frame[12] = {};
    const uint8_t* planes[1] = {frame};
    const uint32_t strides[1] = {6};
    EXPECT_EQ(InputFrame(render, 1, 2, 2, 2, planes, strides), QUORIX_E_PARAM);  // no second camera
    EXPECT_EQ(InputFrame(nullptr, 0, 2, 2, 2, planes, strides), QUORIX_E_PARAM);
    EXPECT_EQ(InputFrame(render, 0, 2, 2, 2, planes, strides), QUORIX_OK);
    EXPECT_EQ(AttachFrame(render, 3, 2, 2, 2, frame, 12), QUORIX_E_PARAM);
    EXPECT_EQ(SetReleaseCallback(render, 1, nullptr, nullptr), QUORIX_E_PARAM);
    DestroyRender(render);

    // A failed model destroys the renderer it was made for.
    render = reinterpret_cast<CRender*>(0x1);
    EXPECT_EQ(CreateRender(0, oneOfTwo.data(), 40, &render), QUORIX_E_PARAM);
    EXPECT_EQ(render, nullptr);

    GlobalUnInit();
    CRender early;
    EXPECT_EQ(early.SetModel(1, nullptr, 0), QUORIX_E_NOT_INIT);
    ASSERT_EQ(GlobalInit(), QUORIX_OK);
}

}  // namespace
