#pragma once
// Pieces shared by the fuzz targets: the input as an anonymous in-memory file that the media
// code can open by path, and a cursor that takes typed values from the input bytes (zero once
// they run out, so every input is a valid program).

#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace quorixfuzz {

class MemFile {
public:
    MemFile(const uint8_t* data, size_t size) {
        m_fd = memfd_create("quorixfuzz", MFD_CLOEXEC);
        if (m_fd < 0)
            return;
        size_t done = 0;
        while (done < size) {
            const ssize_t n = write(m_fd, data + done, size - done);
            if (n <= 0)
                break;
            done += static_cast<size_t>(n);
        }
        char path[64];
        std::snprintf(path, sizeof path, "/proc/self/fd/%d", m_fd);
        m_path = path;
    }
    // An empty file to be written through its path.
    MemFile() : MemFile(nullptr, 0) {}
    ~MemFile() {
        if (m_fd >= 0)
            close(m_fd);
    }
    MemFile(const MemFile&) = delete;
    MemFile& operator=(const MemFile&) = delete;

    bool Ok() const { return m_fd >= 0; }
    const char* Path() const { return m_path.c_str(); }

private:
    int m_fd = -1;
    std::string m_path;
};

class Cursor {
public:
    Cursor(const uint8_t* data, size_t size) : m_data(data), m_size(size) {}

    size_t Left() const { return m_size - m_pos; }
    bool Empty() const { return m_pos >= m_size; }
    uint8_t U8() { return m_pos < m_size ? m_data[m_pos++] : 0; }
    uint16_t U16() {
        const uint16_t lo = U8();
        return static_cast<uint16_t>(lo | (U8() << 8));
    }
    uint32_t U32() {
        const uint32_t lo = U16();
        return lo | (static_cast<uint32_t>(U16()) << 16);
    }
    // Up to count bytes from the input; fewer when it ends.
    const uint8_t* Take(size_t count, size_t* taken) {
        *taken = count < Left() ? count : Left();
        const uint8_t* at = m_data + m_pos;
        m_pos += *taken;
        return at;
    }
    const uint8_t* Rest(size_t* taken) { return Take(Left(), taken); }

private:
    const uint8_t* m_data;
    size_t m_size;
    size_t m_pos = 0;
};

}  // namespace quorixfuzz

// A broken invariant found by a target: abort so both libFuzzer and the replay report it.
#define QUORIX_FUZZ_CHECK(cond)                                                           \
    do {                                                                                  \
        if (!(cond)) {                                                                    \
            std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #cond); \
            std::abort();                                                                 \
        }                                                                                 \
    } while (0)
