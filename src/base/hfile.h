#pragma once
// Binary file over a C stream; never raises errors on its own.

#include <cstdint>
#include <cstdio>

namespace BRIXEL {

class CHFile {
public:
    CHFile() = default;
    virtual ~CHFile();
    CHFile(const CHFile&) = delete;
    CHFile& operator=(const CHFile&) = delete;

    // False for a null or empty path, when already open, or when fopen fails.
    bool Open(const char* path, const char* mode);
    void Close();
    bool IsOpen() const { return m_file != nullptr; }
    int Flush();

    // Bytes read; QUORIX_E_PARAM for a null buffer; 0xFFFFFFFF when not open.
    uint32_t Read(void* buffer, uint32_t count);
    // Bytes written (possibly short after the attempts); 0xFFFFFFFF when not open;
    // QUORIX_E_PARAM for a null buffer. Each empty fwrite waits 3 ms before the next attempt.
    uint32_t Write(const void* buffer, uint32_t count, int attempts = 1);
    // 0 on success, -1 when not open or when fseek fails.
    int Seek(int64_t offset, int origin);
    int64_t Tell();
    int64_t GetSize();

    FILE* GetStream() const { return m_file; }

private:
    FILE* m_file = nullptr;
};

}  // namespace BRIXEL
