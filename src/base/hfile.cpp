#include "base/hfile.h"

#include <quorixsdk.h>

#include <sys/types.h>

#include "base/hclock.h"
#include "base/hthread.h"

namespace BRIXEL {

CHFile::~CHFile() { Close(); }

bool CHFile::Open(const char* path, const char* mode) {
    if (!path || !*path || !mode || m_file) return false;
    m_file = fopen(path, mode);
    return m_file != nullptr;
}

void CHFile::Close() {
    if (m_file) {
        CHCancelGuard noCancel;  // also runs from the destructor
        fclose(m_file);
        m_file = nullptr;
    }
}

int CHFile::Flush() { return m_file ? fflush(m_file) : -1; }

uint32_t CHFile::Read(void* buffer, uint32_t count) {
    if (!m_file) return 0xFFFFFFFFu;
    if (!buffer) return QUORIX_E_PARAM;
    return static_cast<uint32_t>(fread(buffer, 1, count, m_file));
}

uint32_t CHFile::Write(const void* buffer, uint32_t count, int attempts) {
    if (!m_file) return 0xFFFFFFFFu;
    if (!buffer) return QUORIX_E_PARAM;
    if (attempts < 1) attempts = 1;
    const auto* bytes = static_cast<const uint8_t*>(buffer);
    uint32_t written = 0;
    for (int round = 0; round < attempts; ++round) {
        if (written >= count) return written;
        const size_t n = fwrite(bytes + written, 1, count - written, m_file);
        if (n == 0) {
            // A full disk or a pipe that is momentarily stuck: give it a moment.
            clearerr(m_file);
            HSleep(3);
        }
        written += static_cast<uint32_t>(n);
    }
    return written;
}

int CHFile::Seek(int64_t offset, int origin) {
    if (!m_file) return -1;
    if (origin != SEEK_SET && origin != SEEK_CUR && origin != SEEK_END) return -1;
    return fseeko(m_file, static_cast<off_t>(offset), origin) == 0 ? 0 : -1;
}

int64_t CHFile::Tell() {
    if (!m_file) return 0;
    return static_cast<int64_t>(ftello(m_file));
}

int64_t CHFile::GetSize() {
    if (!m_file) return 0;
    const off_t here = ftello(m_file);
    if (here < 0) return static_cast<int64_t>(here);
    if (fseeko(m_file, 0, SEEK_END) != 0) return -1;
    const off_t size = ftello(m_file);
    fseeko(m_file, here, SEEK_SET);
    return static_cast<int64_t>(size);
}

}  // namespace BRIXEL
