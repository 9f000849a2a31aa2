#pragma once
// Binary file over a C stream; never raises errors on its own. Every file the library opens by
// a host-given name goes through here: only regular files are read or written, so a FIFO or a
// device never blocks a call or swallows its data.

#include <cstdint>
#include <cstdio>
#include <string>

namespace BRIXEL {

// fopen for regular files only: the name is opened without blocking (a FIFO without a peer, a
// terminal, a device), anything that is not a regular file is closed again with errno EINVAL,
// and the stream is handed out in blocking mode. Modes as fopen ("r", "wb", "a+", "e", "x").
FILE* HOpenRegularFile(const char* path, const char* mode);

// Whether `path` may be written as a whole new file: it does not exist yet or is a regular file
// (followed through symbolic links).
bool HIsWritablePath(const char* path);

// A file written whole or not at all: the bytes go to a temporary file in the target's own
// directory, which replaces the target only when every byte was written and closed. Without a
// successful Commit the target is left as it was.
class CHReplaceFile {
public:
    CHReplaceFile() = default;
    ~CHReplaceFile() { Discard(); }
    CHReplaceFile(const CHReplaceFile&) = delete;
    CHReplaceFile& operator=(const CHReplaceFile&) = delete;

    // False for a null or empty path, a path that names something else than a regular file, or
    // when the temporary file cannot be made.
    bool Open(const char* path);
    // False when not every byte could be written (a full disk, a size limit); the file is then
    // failed and Commit refuses it.
    bool Write(const void* data, uint64_t count);
    // Closes the temporary file and puts it in place; false (and nothing changed) on any failure.
    bool Commit();
    void Discard();

private:
    int m_fd = -1;
    bool m_failed = false;
    std::string m_target;
    std::string m_temporary;
};

class CHFile {
public:
    CHFile() = default;
    virtual ~CHFile();
    CHFile(const CHFile&) = delete;
    CHFile& operator=(const CHFile&) = delete;

    // False for a null or empty path, when already open, when the name is no regular file (see
    // HOpenRegularFile), or when fopen fails.
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
