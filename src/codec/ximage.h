#pragma once
// The image codec library: a small image class that loads BMP and JPEG pictures into bottom-up
// rows of B, G, R bytes (three bytes per pixel, no row padding) and writes them back as BMP or
// JPEG, plus the memory file and disk file it reads from and writes to. The classes are part of
// the shared library's exported surface, hence the default visibility.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <vector>

#define QUORIX_IMAGE_API __attribute__((visibility("default")))

namespace quorix_image {

enum ImageType : uint32_t {
    IMAGE_TYPE_UNKNOWN = 0,
    IMAGE_TYPE_BMP = 1,
    IMAGE_TYPE_JPEG = 2,
};

// Largest side of a picture the library decodes or encodes; larger headers are refused before
// anything is allocated for them.
constexpr uint32_t kMaxImageSide = 16384;

// A byte stream an image is read from or written to.
class QUORIX_IMAGE_API CImageIO {
public:
    virtual ~CImageIO() = default;
    virtual size_t Read(void* buffer, size_t count) = 0;
    virtual size_t Write(const void* buffer, size_t count) = 0;
    // origin: SEEK_SET, SEEK_CUR or SEEK_END. False when the position would be invalid.
    virtual bool Seek(int64_t offset, int origin) = 0;
    virtual int64_t Tell() const = 0;
    virtual int64_t Size() const = 0;
};

// Growable block of memory with a file position. The block comes from malloc; a detached block
// is released with free() (or the owner's release function that wraps it).
class QUORIX_IMAGE_API CMemoryFile : public CImageIO {
public:
    CMemoryFile() = default;
    // A read-only view of the caller's bytes (not copied, not freed).
    CMemoryFile(const uint8_t* data, size_t size);
    ~CMemoryFile() override;
    CMemoryFile(const CMemoryFile&) = delete;
    CMemoryFile& operator=(const CMemoryFile&) = delete;

    size_t Read(void* buffer, size_t count) override;
    size_t Write(const void* buffer, size_t count) override;
    bool Seek(int64_t offset, int origin) override;
    int64_t Tell() const override { return static_cast<int64_t>(m_position); }
    int64_t Size() const override { return static_cast<int64_t>(m_size); }

    const uint8_t* GetBuffer() const { return m_data; }
    // Hands the written block to the caller (null for a view or an empty file) and empties the
    // file.
    uint8_t* Detach();

private:
    bool Grow(size_t needed);

    uint8_t* m_data = nullptr;
    size_t m_size = 0;
    size_t m_capacity = 0;
    size_t m_position = 0;
    bool m_owned = true;
};

// A file on disk through a C stream.
class QUORIX_IMAGE_API CImageFile : public CImageIO {
public:
    CImageFile() = default;
    ~CImageFile() override;
    CImageFile(const CImageFile&) = delete;
    CImageFile& operator=(const CImageFile&) = delete;

    bool Open(const char* path, const char* mode);
    void Close();
    bool IsOpen() const { return m_file != nullptr; }

    size_t Read(void* buffer, size_t count) override;
    size_t Write(const void* buffer, size_t count) override;
    bool Seek(int64_t offset, int origin) override;
    int64_t Tell() const override;
    int64_t Size() const override;

private:
    std::FILE* m_file = nullptr;
};

class QUORIX_IMAGE_API CImage {
public:
    CImage() = default;
    // Decodes a memory block of the given type; IsValid() tells whether it worked.
    CImage(const uint8_t* data, size_t size, uint32_t type);
    ~CImage() = default;

    bool Decode(const uint8_t* data, size_t size, uint32_t type);
    // Reads the whole stream from its current position and decodes it.
    bool Decode(CImageIO& io, uint32_t type);
    // Writes the picture as BMP (24-bit, rows padded to 4 bytes) or JPEG (4:2:0, the quality).
    bool Encode(CImageIO& io, uint32_t type) const;
    // An uninitialised picture of the given size (false beyond kMaxImageSide).
    bool Create(uint32_t width, uint32_t height);
    void Destroy();

    bool IsValid() const { return !m_pixels.empty(); }
    uint32_t GetWidth() const { return m_width; }
    uint32_t GetHeight() const { return m_height; }
    // Bottom-up rows of B, G, R; null when there is no picture.
    uint8_t* GetBits() { return m_pixels.empty() ? nullptr : m_pixels.data(); }
    const uint8_t* GetBits() const { return m_pixels.empty() ? nullptr : m_pixels.data(); }
    uint32_t GetRowBytes() const { return m_width * 3; }

    // 1 to 100; other values are limited to that range when encoding.
    void SetJpegQuality(uint32_t quality) { m_jpegQuality = quality; }
    uint32_t GetJpegQuality() const { return m_jpegQuality; }
    const char* GetLastError() const { return m_error; }

private:
    bool DecodeBmp(const uint8_t* data, size_t size);
    bool DecodeJpeg(const uint8_t* data, size_t size);
    bool EncodeBmp(CImageIO& io) const;
    bool EncodeJpeg(CImageIO& io) const;
    bool Fail(const char* error);

    std::vector<uint8_t> m_pixels;
    uint32_t m_width = 0;
    uint32_t m_height = 0;
    uint32_t m_jpegQuality = 90;
    mutable const char* m_error = "";
};

}  // namespace quorix_image
