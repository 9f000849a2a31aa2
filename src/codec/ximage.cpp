#include "codec/ximage.h"

#include <turbojpeg.h>

#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>

namespace quorix_image {

namespace {

uint16_t Le16(const uint8_t* p) {
    return static_cast<uint16_t>(p[0] | (p[1] << 8));
}
uint32_t Le32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
           (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}
void Put16(uint8_t* p, uint16_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
}
void Put32(uint8_t* p, uint32_t v) {
    for (int i = 0; i < 4; ++i)
        p[i] = static_cast<uint8_t>(v >> (8 * i));
}

struct TjDeleter {
    void operator()(void* handle) const {
        if (handle != nullptr)
            tjDestroy(handle);
    }
};
using TjHandle = std::unique_ptr<void, TjDeleter>;

}  // namespace

// ---- CMemoryFile --------------------------------------------------------------------------

CMemoryFile::CMemoryFile(const uint8_t* data, size_t size)
    : m_data(const_cast<uint8_t*>(data)),
      m_size(data != nullptr ? size : 0),
      m_capacity(m_size),
      m_owned(false) {}

CMemoryFile::~CMemoryFile() {
    if (m_owned)
        std::free(m_data);
}

bool CMemoryFile::Grow(size_t needed) {
    if (!m_owned)
        return false;
    if (needed <= m_capacity)
        return true;
    size_t capacity = m_capacity < 4096 ? 4096 : m_capacity;
    while (capacity < needed) {
        if (capacity > std::numeric_limits<size_t>::max() / 2)
            return false;
        capacity *= 2;
    }
    void* grown = std::realloc(m_data, capacity);
    if (grown == nullptr)
        return false;
    m_data = static_cast<uint8_t*>(grown);
    m_capacity = capacity;
    return true;
}

size_t CMemoryFile::Read(void* buffer, size_t count) {
    if (buffer == nullptr || m_position >= m_size)
        return 0;
    const size_t n = count < m_size - m_position ? count : m_size - m_position;
    std::memcpy(buffer, m_data + m_position, n);
    m_position += n;
    return n;
}

size_t CMemoryFile::Write(const void* buffer, size_t count) {
    if (buffer == nullptr || count == 0)
        return 0;
    if (count > std::numeric_limits<size_t>::max() - m_position || !Grow(m_position + count))
        return 0;
    std::memcpy(m_data + m_position, buffer, count);
    m_position += count;
    if (m_position > m_size)
        m_size = m_position;
    return count;
}

bool CMemoryFile::Seek(int64_t offset, int origin) {
    int64_t base = 0;
    if (origin == SEEK_CUR)
        base = static_cast<int64_t>(m_position);
    else if (origin == SEEK_END)
        base = static_cast<int64_t>(m_size);
    else if (origin != SEEK_SET)
        return false;
    const int64_t target = base + offset;
    if (target < 0 || static_cast<uint64_t>(target) > m_size)
        return false;
    m_position = static_cast<size_t>(target);
    return true;
}

uint8_t* CMemoryFile::Detach() {
    if (!m_owned)
        return nullptr;
    uint8_t* block = m_data;
    m_data = nullptr;
    m_size = m_capacity = m_position = 0;
    return block;
}

// ---- CImageFile ---------------------------------------------------------------------------

CImageFile::~CImageFile() {
    Close();
}

bool CImageFile::Open(const char* path, const char* mode) {
    if (m_file != nullptr || path == nullptr || *path == '\0' || mode == nullptr)
        return false;
    m_file = std::fopen(path, mode);
    return m_file != nullptr;
}

void CImageFile::Close() {
    if (m_file != nullptr)
        std::fclose(m_file);
    m_file = nullptr;
}

size_t CImageFile::Read(void* buffer, size_t count) {
    return m_file != nullptr && buffer != nullptr ? std::fread(buffer, 1, count, m_file) : 0;
}

size_t CImageFile::Write(const void* buffer, size_t count) {
    return m_file != nullptr && buffer != nullptr ? std::fwrite(buffer, 1, count, m_file) : 0;
}

bool CImageFile::Seek(int64_t offset, int origin) {
    return m_file != nullptr && fseeko(m_file, static_cast<off_t>(offset), origin) == 0;
}

int64_t CImageFile::Tell() const {
    return m_file != nullptr ? static_cast<int64_t>(ftello(m_file)) : -1;
}

int64_t CImageFile::Size() const {
    if (m_file == nullptr)
        return -1;
    const off_t here = ftello(m_file);
    if (here < 0 || fseeko(m_file, 0, SEEK_END) != 0)
        return -1;
    const off_t end = ftello(m_file);
    fseeko(m_file, here, SEEK_SET);
    return static_cast<int64_t>(end);
}

// ---- CImage -------------------------------------------------------------------------------

CImage::CImage(const uint8_t* data, size_t size, uint32_t type) {
    Decode(data, size, type);
}

bool CImage::Fail(const char* error) {
    m_error = error;
    Destroy();
    return false;
}

void CImage::Destroy() {
    std::vector<uint8_t>().swap(m_pixels);
    m_width = m_height = 0;
}

bool CImage::Create(uint32_t width, uint32_t height) {
    if (width == 0 || height == 0 || width > kMaxImageSide || height > kMaxImageSide)
        return Fail("picture size out of range");
    m_pixels.resize(static_cast<size_t>(width) * height * 3);
    m_width = width;
    m_height = height;
    return true;
}

bool CImage::Decode(const uint8_t* data, size_t size, uint32_t type) {
    Destroy();
    if (data == nullptr || size == 0)
        return Fail("no data");
    try {
        switch (type) {
            case IMAGE_TYPE_BMP:
                return DecodeBmp(data, size);
            case IMAGE_TYPE_JPEG:
                return DecodeJpeg(data, size);
            default:
                return Fail("unsupported image type");
        }
    } catch (const std::bad_alloc&) {
        return Fail("out of memory");
    }
}

bool CImage::Decode(CImageIO& io, uint32_t type) {
    const int64_t size = io.Size();
    const int64_t position = io.Tell();
    if (size <= 0 || position < 0 || position >= size)
        return Fail("empty stream");
    // A stream of more than a few pixels per byte of the largest picture cannot be an image.
    if (size - position > static_cast<int64_t>(kMaxImageSide) * kMaxImageSide * 4)
        return Fail("stream too large");
    std::vector<uint8_t> bytes(static_cast<size_t>(size - position));
    if (io.Read(bytes.data(), bytes.size()) != bytes.size())
        return Fail("short read");
    return Decode(bytes.data(), bytes.size(), type);
}

// Uncompressed 24- and 32-bit BMP, bottom-up (positive height) or top-down (negative). The
// row size is the image size over the height when the header gives one that holds the pixels,
// so writers that do not pad their rows to 4 bytes are read right as well.
bool CImage::DecodeBmp(const uint8_t* data, size_t size) {
    if (size < 54 || data[0] != 'B' || data[1] != 'M')
        return Fail("not a BMP");
    const uint32_t offset = Le32(data + 10);
    const uint32_t headerSize = Le32(data + 14);
    const int32_t width = static_cast<int32_t>(Le32(data + 18));
    const int32_t rawHeight = static_cast<int32_t>(Le32(data + 22));
    const uint16_t bits = Le16(data + 28);
    const uint32_t compression = Le32(data + 30);
    const uint32_t imageSize = Le32(data + 34);
    if (headerSize < 40 || compression != 0 || (bits != 24 && bits != 32))
        return Fail("unsupported BMP layout");
    if (width <= 0 || rawHeight == 0 || rawHeight == std::numeric_limits<int32_t>::min())
        return Fail("bad BMP size");
    const bool topDown = rawHeight < 0;
    const uint32_t height = static_cast<uint32_t>(topDown ? -rawHeight : rawHeight);
    if (static_cast<uint32_t>(width) > kMaxImageSide || height > kMaxImageSide)
        return Fail("BMP too large");

    const size_t pixelBytes = static_cast<size_t>(width) * (bits / 8);
    size_t stride = (static_cast<size_t>(width) * bits + 31) / 32 * 4;
    if (imageSize != 0 && imageSize % height == 0 && imageSize / height >= pixelBytes)
        stride = imageSize / height;
    if (offset < 54 || offset > size || (size - offset) / stride < height)
        return Fail("truncated BMP");

    Create(static_cast<uint32_t>(width), height);
    const size_t step = bits / 8;
    for (uint32_t row = 0; row < height; ++row) {
        // Stored row `row` from the file's order into the bottom-up picture.
        const uint32_t target = topDown ? height - 1 - row : row;
        const uint8_t* src = data + offset + row * stride;
        uint8_t* dst = m_pixels.data() + static_cast<size_t>(target) * GetRowBytes();
        if (step == 3) {
            std::memcpy(dst, src, pixelBytes);
        } else {
            for (int32_t x = 0; x < width; ++x) {
                dst[3 * x] = src[4 * x];
                dst[3 * x + 1] = src[4 * x + 1];
                dst[3 * x + 2] = src[4 * x + 2];
            }
        }
    }
    return true;
}

bool CImage::DecodeJpeg(const uint8_t* data, size_t size) {
    if (size > std::numeric_limits<unsigned long>::max())
        return Fail("JPEG too large");
    TjHandle handle(tjInitDecompress());
    if (!handle)
        return Fail("cannot start the JPEG decoder");
    int width = 0;
    int height = 0;
    int subsampling = 0;
    int colorspace = 0;
    if (tjDecompressHeader3(handle.get(), data, static_cast<unsigned long>(size), &width, &height,
                            &subsampling, &colorspace) != 0)
        return Fail("not a JPEG");
    if (width <= 0 || height <= 0 || static_cast<uint32_t>(width) > kMaxImageSide ||
        static_cast<uint32_t>(height) > kMaxImageSide)
        return Fail("JPEG size out of range");
    // Every 8 x 8 luma block costs at least one bit of DC code, so a header that claims far more
    // blocks than the data can carry is a lie; refusing it early avoids allocating for it.
    const uint64_t blocks =
        ((static_cast<uint64_t>(width) + 7) / 8) * ((static_cast<uint64_t>(height) + 7) / 8);
    if (static_cast<uint64_t>(size) * 8 < blocks)
        return Fail("JPEG data too short for its size");
    Create(static_cast<uint32_t>(width), static_cast<uint32_t>(height));
    int flags = TJFLAG_BOTTOMUP;
#ifdef TJFLAG_LIMITSCANS
    flags |= TJFLAG_LIMITSCANS;  // a progressive file with thousands of scans is an attack, not a
                                 // picture
#endif
    if (tjDecompress2(handle.get(), data, static_cast<unsigned long>(size), m_pixels.data(), width,
                      width * 3, height, TJPF_BGR, flags) != 0) {
        // A damaged or cut stream still gives a picture (the missing part grey), as a camera's
        // MJPEG viewer shows it; only fatal errors lose it.
        if (tjGetErrorCode(handle.get()) != TJERR_WARNING)
            return Fail("JPEG decoding failed");
    }
    return true;
}

bool CImage::Encode(CImageIO& io, uint32_t type) const {
    if (!IsValid()) {
        m_error = "no picture";
        return false;
    }
    switch (type) {
        case IMAGE_TYPE_BMP:
            return EncodeBmp(io);
        case IMAGE_TYPE_JPEG:
            return EncodeJpeg(io);
        default:
            m_error = "unsupported image type";
            return false;
    }
}

bool CImage::EncodeBmp(CImageIO& io) const {
    const uint32_t stride = (GetRowBytes() + 3) / 4 * 4;
    const uint32_t imageSize = stride * m_height;
    uint8_t header[54] = {};
    header[0] = 'B';
    header[1] = 'M';
    Put32(header + 2, 54 + imageSize);
    Put32(header + 10, 54);
    Put32(header + 14, 40);
    Put32(header + 18, m_width);
    Put32(header + 22, m_height);
    Put16(header + 26, 1);
    Put16(header + 28, 24);
    Put32(header + 34, imageSize);
    if (io.Write(header, sizeof header) != sizeof header) {
        m_error = "write failed";
        return false;
    }
    const uint8_t pad[3] = {0, 0, 0};
    for (uint32_t row = 0; row < m_height; ++row) {
        const size_t rowBytes = GetRowBytes();
        if (io.Write(m_pixels.data() + row * rowBytes, rowBytes) != rowBytes ||
            (stride > rowBytes && io.Write(pad, stride - rowBytes) != stride - rowBytes)) {
            m_error = "write failed";
            return false;
        }
    }
    return true;
}

bool CImage::EncodeJpeg(CImageIO& io) const {
    TjHandle handle(tjInitCompress());
    if (!handle) {
        m_error = "cannot start the JPEG encoder";
        return false;
    }
    const int quality =
        m_jpegQuality < 1 ? 1 : (m_jpegQuality > 100 ? 100 : static_cast<int>(m_jpegQuality));
    unsigned char* jpeg = nullptr;
    unsigned long jpegSize = 0;
    const int result =
        tjCompress2(handle.get(), m_pixels.data(), static_cast<int>(m_width),
                    static_cast<int>(GetRowBytes()), static_cast<int>(m_height), TJPF_BGR, &jpeg,
                    &jpegSize, TJSAMP_420, quality, TJFLAG_BOTTOMUP);
    bool ok = result == 0 && jpeg != nullptr && io.Write(jpeg, jpegSize) == jpegSize;
    if (jpeg != nullptr)
        tjFree(jpeg);
    if (!ok)
        m_error = result != 0 ? "JPEG encoding failed" : "write failed";
    return ok;
}

}  // namespace quorix_image
