// The image codec library (BMP and JPEG through memory and disk files) and snapshot encoding.

#include <gtest/gtest.h>
#include <quorixsdk.h>

#include <unistd.h>
#include <cstdio>
#include <cstring>
#include <string>

#include "codec/dec_ximage.h"
#include "codec/ximage.h"
#include "support/media_encoder.h"

namespace {

using quorix_image::CImage;
using quorix_image::CImageFile;
using quorix_image::CMemoryFile;

// Bottom-up BGR rows of a smooth colour picture; `rowBytes` may exceed width × bytes per pixel.
std::vector<uint8_t> Rows(uint32_t width, uint32_t height, uint32_t rowBytes,
                          uint32_t bytesPerPixel) {
    std::vector<uint8_t> rows(static_cast<size_t>(rowBytes) * height, 0xEE);
    for (uint32_t y = 0; y < height; ++y)
        for (uint32_t x = 0; x < width; ++x) {
            uint8_t* p = rows.data() + y * rowBytes + x * bytesPerPixel;
            p[0] = static_cast<uint8_t>(40 + x * 150 / width);    // B
            p[1] = static_cast<uint8_t>(200 - y * 150 / height);  // G
            p[2] = static_cast<uint8_t>(90 + (x + y) % 64);       // R
        }
    return rows;
}

double ChannelPsnr(const uint8_t* a, uint32_t aRow, uint32_t aStep, const uint8_t* b, uint32_t bRow,
                   uint32_t bStep, uint32_t width, uint32_t height) {
    double worst = 99.0;
    for (int c = 0; c < 3; ++c) {
        std::vector<uint8_t> pa(static_cast<size_t>(width) * height), pb(pa.size());
        for (uint32_t y = 0; y < height; ++y)
            for (uint32_t x = 0; x < width; ++x) {
                pa[y * width + x] = a[y * aRow + x * aStep + c];
                pb[y * width + x] = b[y * bRow + x * bStep + c];
            }
        worst =
            std::min(worst, quorix_test::Psnr(pa.data(), width, pb.data(), width, width, height));
    }
    return worst;
}

TEST(ImageLibrary, BmpRoundTripsThroughAMemoryFile) {
    CImage image;
    ASSERT_TRUE(image.Create(33, 7));  // odd width: rows padded to 4 bytes in the file
    const std::vector<uint8_t> rows = Rows(33, 7, 99, 3);
    std::memcpy(image.GetBits(), rows.data(), rows.size());
    CMemoryFile file;
    ASSERT_TRUE(image.Encode(file, quorix_image::IMAGE_TYPE_BMP));
    EXPECT_EQ(file.Size(), 54 + 100 * 7);
    CImage back(file.GetBuffer(), static_cast<size_t>(file.Size()), quorix_image::IMAGE_TYPE_BMP);
    ASSERT_TRUE(back.IsValid());
    EXPECT_EQ(back.GetWidth(), 33u);
    EXPECT_EQ(back.GetHeight(), 7u);
    EXPECT_EQ(0, std::memcmp(back.GetBits(), rows.data(), rows.size()));
}

TEST(ImageLibrary, BmpReadsTopDownAnd32BitRowsIntoBottomUpBgr) {
    // 2 × 2, 32 bits, top-down (negative height): first stored row is the top.
    uint8_t bmp[54 + 16] = {'B', 'M'};
    auto put32 = [&](int at, uint32_t v) { std::memcpy(bmp + at, &v, 4); };
    put32(10, 54);
    put32(14, 40);
    put32(18, 2);
    put32(22, static_cast<uint32_t>(-2));
    bmp[26] = 1;
    bmp[28] = 32;
    const uint8_t pixels[16] = {1, 2, 3, 0, 4, 5, 6, 0, 7, 8, 9, 0, 10, 11, 12, 0};
    std::memcpy(bmp + 54, pixels, 16);
    CImage image(bmp, sizeof bmp, quorix_image::IMAGE_TYPE_BMP);
    ASSERT_TRUE(image.IsValid());
    const uint8_t expected[12] = {7, 8, 9, 10, 11, 12, 1, 2, 3, 4, 5, 6};  // bottom row first
    EXPECT_EQ(0, std::memcmp(image.GetBits(), expected, 12));
}

TEST(ImageLibrary, RefusesBrokenOrOversizedBmps) {
    CImage good;
    ASSERT_TRUE(good.Create(16, 16));
    CMemoryFile file;
    ASSERT_TRUE(good.Encode(file, quorix_image::IMAGE_TYPE_BMP));
    const std::vector<uint8_t> bytes(file.GetBuffer(), file.GetBuffer() + file.Size());

    auto patched = [&](int at, uint32_t value) {
        std::vector<uint8_t> b = bytes;
        std::memcpy(b.data() + at, &value, 4);
        return b;
    };
    const std::vector<std::vector<uint8_t>> broken = {
        std::vector<uint8_t>(bytes.begin(), bytes.begin() + 100),  // truncated pixels
        std::vector<uint8_t>(bytes.begin(), bytes.begin() + 20),   // truncated header
        patched(18, 65535),                                        // width beyond the bound
        patched(22, 0x80000000u),                                  // most negative height
        patched(10, 0xFFFFFFF0u),                                  // data offset beyond the file
        patched(30, 1),                                            // compressed
    };
    for (const std::vector<uint8_t>& b : broken) {
        CImage image(b.data(), b.size(), quorix_image::IMAGE_TYPE_BMP);
        EXPECT_FALSE(image.IsValid());
        EXPECT_EQ(image.GetBits(), nullptr);
    }
    CImage wrongType(bytes.data(), bytes.size(), quorix_image::IMAGE_TYPE_JPEG);
    EXPECT_FALSE(wrongType.IsValid());
    EXPECT_FALSE(CImage().Create(quorix_image::kMaxImageSide + 1, 1));
}

TEST(ImageLibrary, JpegThroughADiskFileKeepsThePicture) {
    const std::vector<uint8_t> rows = Rows(96, 64, 96 * 3, 3);
    CImage image;
    ASSERT_TRUE(image.Create(96, 64));
    std::memcpy(image.GetBits(), rows.data(), rows.size());
    image.SetJpegQuality(95);
    char path[] = "/tmp/codec_image_XXXXXX";
    const int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    close(fd);
    {
        CImageFile out;
        ASSERT_TRUE(out.Open(path, "wb"));
        ASSERT_TRUE(image.Encode(out, quorix_image::IMAGE_TYPE_JPEG));
    }
    CImageFile in;
    ASSERT_TRUE(in.Open(path, "rb"));
    CImage back;
    ASSERT_TRUE(back.Decode(in, quorix_image::IMAGE_TYPE_JPEG));
    unlink(path);
    EXPECT_EQ(back.GetWidth(), 96u);
    EXPECT_EQ(back.GetHeight(), 64u);
    EXPECT_GE(ChannelPsnr(back.GetBits(), 96 * 3, 3, rows.data(), 96 * 3, 3, 96, 64), 35.0);
}

TEST(ImageLibrary, MemoryFileSeeksReadsAndGrows) {
    CMemoryFile file;
    std::vector<uint8_t> block(10000);
    for (size_t i = 0; i < block.size(); ++i)
        block[i] = static_cast<uint8_t>(i * 7);
    EXPECT_EQ(file.Write(block.data(), block.size()), block.size());
    EXPECT_TRUE(file.Seek(-100, SEEK_END));
    uint8_t tail[200];
    EXPECT_EQ(file.Read(tail, sizeof tail), 100u);
    EXPECT_EQ(0, std::memcmp(tail, block.data() + 9900, 100));
    EXPECT_FALSE(file.Seek(1, SEEK_END));
    EXPECT_FALSE(file.Seek(-1, SEEK_SET));
    EXPECT_TRUE(file.Seek(2, SEEK_SET));
    EXPECT_EQ(file.Write("ab", 2), 2u);
    EXPECT_EQ(file.Size(), 10000);
    uint8_t* detached = file.Detach();
    ASSERT_NE(detached, nullptr);
    EXPECT_EQ(detached[2], 'a');
    HCC::ReleaseSnapshotJpeg(detached);
    EXPECT_EQ(file.Size(), 0);

    const uint8_t view[4] = {1, 2, 3, 4};
    CMemoryFile readOnly(view, 4);
    EXPECT_EQ(readOnly.Write("x", 1), 0u);
    EXPECT_EQ(readOnly.Detach(), nullptr);
    uint8_t got[4];
    EXPECT_EQ(readOnly.Read(got, 4), 4u);
    EXPECT_EQ(got[3], 4);
}

TEST(SnapshotJpeg, EncodesBottomUpRowsWithTheirRowSizeAndBitDepth) {
    const struct {
        uint32_t bytesPerPixel;
        uint32_t rowBytes;
    } cases[] = {{3, 160 * 3}, {3, 160 * 3 + 12}, {4, 160 * 4}};
    for (const auto& c : cases) {
        SCOPED_TRACE("bpp " + std::to_string(c.bytesPerPixel * 8) + " row " +
                     std::to_string(c.rowBytes));
        const std::vector<uint8_t> rows = Rows(160, 90, c.rowBytes, c.bytesPerPixel);
        uint8_t* block = nullptr;
        uint32_t count = 0;
        ASSERT_EQ(HCC::EncodeSnapshotJpeg(rows.data(), 160, c.rowBytes, 90, c.bytesPerPixel * 8, 92,
                                          &block, &count),
                  QUORIX_OK);
        ASSERT_NE(block, nullptr);
        ASSERT_GT(count, 2u);
        EXPECT_EQ(block[0], 0xFF);
        EXPECT_EQ(block[1], 0xD8);
        CImage back(block, count, quorix_image::IMAGE_TYPE_JPEG);
        HCC::ReleaseSnapshotJpeg(block);
        ASSERT_TRUE(back.IsValid());
        EXPECT_EQ(back.GetWidth(), 160u);
        EXPECT_EQ(back.GetHeight(), 90u);
        EXPECT_GE(ChannelPsnr(back.GetBits(), 160 * 3, 3, rows.data(), c.rowBytes, c.bytesPerPixel,
                              160, 90),
                  35.0);
    }
}

TEST(SnapshotJpeg, QualityShapesTheFileAndBadInputIsRefused) {
    const std::vector<uint8_t> rows = Rows(160, 90, 480, 3);
    uint8_t* low = nullptr;
    uint8_t* high = nullptr;
    uint32_t lowCount = 0, highCount = 0;
    ASSERT_EQ(HCC::EncodeSnapshotJpeg(rows.data(), 160, 480, 90, 24, 10, &low, &lowCount),
              QUORIX_OK);
    // Only the low 8 bits of the quality count: 0x105 is quality 5 ... and 0x15F is 95.
    ASSERT_EQ(HCC::EncodeSnapshotJpeg(rows.data(), 160, 480, 90, 24, 0x15F, &high, &highCount),
              QUORIX_OK);
    EXPECT_LT(lowCount, highCount);
    HCC::ReleaseSnapshotJpeg(low);
    HCC::ReleaseSnapshotJpeg(high);

    uint8_t* block = nullptr;
    uint32_t count = 0;
    EXPECT_EQ(HCC::EncodeSnapshotJpeg(nullptr, 160, 480, 90, 24, 90, &block, &count),
              QUORIX_E_PARAM);
    EXPECT_EQ(HCC::EncodeSnapshotJpeg(rows.data(), 160, 480, 90, 24, 90, nullptr, &count),
              QUORIX_E_PARAM);
    EXPECT_EQ(HCC::EncodeSnapshotJpeg(rows.data(), 160, 480, 90, 24, 90, &block, nullptr),
              QUORIX_E_PARAM);
    EXPECT_EQ(HCC::EncodeSnapshotJpeg(rows.data(), 160, 480, 90, 16, 90, &block, &count),
              QUORIX_E_NOT_SUPPORTED);
    EXPECT_EQ(HCC::EncodeSnapshotJpeg(rows.data(), 0, 480, 90, 24, 90, &block, &count),
              QUORIX_E_NOT_SUPPORTED);
    EXPECT_EQ(HCC::EncodeSnapshotJpeg(rows.data(), 160, 100, 90, 24, 90, &block, &count),
              QUORIX_E_NOT_SUPPORTED)
        << "rows shorter than the pixels they must hold";
    EXPECT_EQ(block, nullptr);
    EXPECT_EQ(count, 0u);
}

}  // namespace
