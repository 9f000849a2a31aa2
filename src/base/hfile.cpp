#include "base/hfile.h"

#include <quorixsdk_codes.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdlib>

#include "base/hclock.h"
#include "base/hthread.h"

namespace BRIXEL {

FILE* HOpenRegularFile(const char* path, const char* mode) {
    if (!path || !*path || !mode) {
        errno = EINVAL;
        return nullptr;
    }
    int flags = 0;
    switch (mode[0]) {
        case 'r':
            flags = O_RDONLY;
            break;
        case 'w':
            flags = O_WRONLY | O_CREAT | O_TRUNC;
            break;
        case 'a':
            flags = O_WRONLY | O_CREAT | O_APPEND;
            break;
        default:
            errno = EINVAL;
            return nullptr;
    }
    // fdopen takes the access letters only; the open flags carry the rest.
    char streamMode[4] = {mode[0], 0, 0, 0};
    size_t used = 1;
    for (const char* c = mode + 1; *c; ++c) {
        if (*c == '+') {
            flags = (flags & ~(O_RDONLY | O_WRONLY)) | O_RDWR;
            if (used < 3)
                streamMode[used++] = '+';
        } else if (*c == 'e') {
            flags |= O_CLOEXEC;
        } else if (*c == 'x') {
            flags |= O_EXCL;
        }
    }
    // Non-blocking only for the open itself: a FIFO without a peer would hold it forever.
    const int fd = open(path, flags | O_NONBLOCK, 0666);
    if (fd < 0)
        return nullptr;
    struct stat info {};
    if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        close(fd);
        errno = EINVAL;
        return nullptr;
    }
    const int status = fcntl(fd, F_GETFL);
    if (status == -1 || fcntl(fd, F_SETFL, status & ~O_NONBLOCK) == -1) {
        close(fd);
        return nullptr;
    }
    FILE* stream = fdopen(fd, streamMode);
    if (!stream)
        close(fd);
    return stream;
}

bool HIsWritablePath(const char* path) {
    if (!path || !*path)
        return false;
    struct stat info {};
    if (stat(path, &info) == 0)
        return S_ISREG(info.st_mode);
    return errno == ENOENT;
}

bool CHReplaceFile::Open(const char* path) {
    if (m_fd >= 0 || !HIsWritablePath(path))
        return false;
    // The new file replaces what the name leads to, not a symbolic link on the way.
    std::string target = path;
    if (char* resolved = realpath(path, nullptr)) {
        target = resolved;
        free(resolved);
    }
    const size_t slash = target.rfind('/');
    const std::string directory =
        slash == std::string::npos ? std::string() : target.substr(0, slash + 1);
    static std::atomic<uint32_t> s_counter{0};
    for (int attempt = 0; attempt < 16; ++attempt) {
        std::string temporary = directory + ".quorix-" + std::to_string(getpid()) + "-" +
                                std::to_string(s_counter.fetch_add(1)) + ".tmp";
        // O_EXCL: never into somebody else's file; the mode follows the process's umask.
        const int fd = open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd >= 0) {
            m_fd = fd;
            m_failed = false;
            m_target = std::move(target);
            m_temporary = std::move(temporary);
            return true;
        }
        if (errno != EEXIST)
            return false;
    }
    return false;
}

bool CHReplaceFile::Write(const void* data, uint64_t count) {
    if (m_fd < 0 || m_failed)
        return false;
    if (count != 0 && !data) {
        m_failed = true;
        return false;
    }
    const auto* bytes = static_cast<const uint8_t*>(data);
    while (count > 0) {
        const size_t chunk = count > (1u << 30) ? (1u << 30) : static_cast<size_t>(count);
        const ssize_t n = write(m_fd, bytes, chunk);
        if (n < 0 && errno == EINTR)
            continue;
        // 0 or an error: the disk is full, a size limit was reached, the device failed.
        if (n <= 0) {
            m_failed = true;
            return false;
        }
        bytes += n;
        count -= static_cast<uint64_t>(n);
    }
    return true;
}

bool CHReplaceFile::Commit() {
    if (m_fd < 0)
        return false;
    CHCancelGuard noCancel;
    const int fd = m_fd;
    m_fd = -1;
    // A failed close can be the first report of data that never reached the disk.
    const bool closed = close(fd) == 0;
    if (m_failed || !closed || rename(m_temporary.c_str(), m_target.c_str()) != 0) {
        unlink(m_temporary.c_str());
        m_temporary.clear();
        return false;
    }
    m_temporary.clear();
    return true;
}

void CHReplaceFile::Discard() {
    if (m_fd < 0)
        return;
    CHCancelGuard noCancel;
    close(m_fd);
    m_fd = -1;
    unlink(m_temporary.c_str());
    m_temporary.clear();
}

CHFile::~CHFile() {
    Close();
}

bool CHFile::Open(const char* path, const char* mode) {
    if (!path || !*path || !mode || m_file)
        return false;
    m_file = HOpenRegularFile(path, mode);
    return m_file != nullptr;
}

void CHFile::Close() {
    if (m_file) {
        CHCancelGuard noCancel;  // also runs from the destructor
        fclose(m_file);
        m_file = nullptr;
    }
}

int CHFile::Flush() {
    return m_file ? fflush(m_file) : -1;
}

uint32_t CHFile::Read(void* buffer, uint32_t count) {
    if (!m_file)
        return 0xFFFFFFFFu;
    if (!buffer)
        return QUORIX_E_PARAM;
    return static_cast<uint32_t>(fread(buffer, 1, count, m_file));
}

uint32_t CHFile::Write(const void* buffer, uint32_t count, int attempts) {
    if (!m_file)
        return 0xFFFFFFFFu;
    if (!buffer)
        return QUORIX_E_PARAM;
    if (attempts < 1)
        attempts = 1;
    const auto* bytes = static_cast<const uint8_t*>(buffer);
    uint32_t written = 0;
    for (int round = 0; round < attempts; ++round) {
        if (written >= count)
            return written;
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
    if (!m_file)
        return -1;
    if (origin != SEEK_SET && origin != SEEK_CUR && origin != SEEK_END)
        return -1;
    return fseeko(m_file, static_cast<off_t>(offset), origin) == 0 ? 0 : -1;
}

int64_t CHFile::Tell() {
    if (!m_file)
        return 0;
    return static_cast<int64_t>(ftello(m_file));
}

int64_t CHFile::GetSize() {
    if (!m_file)
        return 0;
    const off_t here = ftello(m_file);
    if (here < 0)
        return static_cast<int64_t>(here);
    if (fseeko(m_file, 0, SEEK_END) != 0)
        return -1;
    const off_t size = ftello(m_file);
    fseeko(m_file, here, SEEK_SET);
    return static_cast<int64_t>(size);
}

}  // namespace BRIXEL
