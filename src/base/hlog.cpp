#include "base/hlog.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <ctime>
#include <new>
#include <vector>

#include "base/hdatetime.h"
#include "base/hfile.h"
#include "base/hthread.h"

namespace BRIXEL {

namespace {

// printf-formats into a string of exactly the needed length.
bool FormatInto(std::string& out, const char* format, va_list args) {
    va_list measure;
    va_copy(measure, args);
    const int needed = vsnprintf(nullptr, 0, format, measure);
    va_end(measure);
    if (needed < 0)
        return false;
    const size_t offset = out.size();
    out.resize(offset + static_cast<size_t>(needed) + 1);
    vsnprintf(out.data() + offset, static_cast<size_t>(needed) + 1, format, args);
    out.resize(offset + static_cast<size_t>(needed));
    return true;
}

void WriteAll(int fd, const std::string& line) {
    const char* p = line.data();
    size_t left = line.size();
    // One write carries the whole line; the loop only finishes a write the kernel cut short.
    while (left > 0) {
        const ssize_t n = write(fd, p, left);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return;
        }
        if (n == 0)
            return;
        p += n;
        left -= static_cast<size_t>(n);
    }
}

}  // namespace

CHLog& CHLog::Instance() {
    // Built in static storage on first use (the language serialises this) and never torn down:
    // workers still running at exit and destructors of other statics may log until the end.
    alignas(CHLog) static unsigned char storage[sizeof(CHLog)];
    static CHLog* const instance = new (storage) CHLog();
    return *instance;
}

CHLog::CHLog() : m_configLock(true, true) {}

CHLog::~CHLog() = default;

std::string CHLog::LevelName(uint32_t level) {
    char text[16];
    switch (level) {
        case HLOG_DEBUG:
            return "DEBUG";
        case HLOG_INFO:
            return "INFO";
        case HLOG_WARN:
            return "WARN";
        case HLOG_ERROR:
            return "ERROR";
        default:
            break;
    }
    if (level < 10) {
        snprintf(text, sizeof(text), "debug%d", static_cast<int>(level));
    } else if (level < 20) {
        snprintf(text, sizeof(text), "info%d", static_cast<int>(level - 10));
    } else if (level < 30) {
        snprintf(text, sizeof(text), "warn%d", static_cast<int>(level - 20));
    } else if (level < 40) {
        snprintf(text, sizeof(text), "error%d", static_cast<int>(level - 30));
    } else {
        // Printed as a signed number, as the rest of the line's integers.
        snprintf(text, sizeof(text), "%d", static_cast<int>(level));
    }
    return text;
}

void CHLog::Write(const char* module, uint32_t level, const char* format, ...) {
    va_list args;
    va_start(args, format);
    VWrite(module, level, format, args);
    va_end(args);
}

void CHLog::VWrite(const char* module, uint32_t level, const char* format, va_list args) {
    if (!format)
        return;
    uint32_t output;
    int debugFd;
    {
        CHAutoLock config(&m_configLock);
        if (level < m_threshold)
            return;
        output = m_output;
        debugFd = m_debugFd;
    }
    if (output == 0)
        return;

    const CHDateTime now = CHDateTime::Now();
    struct tm fields {};
    int millisecond = 0;
    now.GetFields(&fields, &millisecond);

    std::string line;
    line.reserve(128);
    char head[64];
    snprintf(head, sizeof(head), "[%02d:%02d:%02d.%03d](", fields.tm_hour, fields.tm_min,
             fields.tm_sec, millisecond);
    line += head;
    line += LevelName(level);
    line += ')';
    if (module && *module)
        line += module;
    line += ':';
    if (!FormatInto(line, format, args))
        return;
    line += '\n';

    // A line is written whole or not at all, even by a worker that is being cancelled.
    CHCancelGuard noCancel;
    if (output & HLOG_OUT_DEBUGGER)
        WriteAll(debugFd, line);
    if (output & HLOG_OUT_FILE) {
        WriteLine(level, line, fields.tm_year + 1900, fields.tm_mon + 1, fields.tm_mday);
    }
}

void CHLog::WriteLine(uint32_t level, const std::string& line, int year, int month, int day) {
    std::string name;
    {
        CHAutoLock config(&m_configLock);
        if (level < m_fileThreshold)
            return;
        name = FileNameFor(year, month, day);
    }
    if (name.empty())
        return;
    CHAutoLock file(&m_fileLock);
    // Opened per line, so midnight moves to the next file and files may be moved meanwhile.
    FILE* stream = HOpenRegularFile(name.c_str(), "a");
    if (!stream)
        return;  // that line is lost, nothing else
    fwrite(line.data(), 1, line.size(), stream);
    fclose(stream);
}

std::string CHLog::FileNameFor(int year, int month, int day) const {
    CHAutoLock config(&m_configLock);
    if (m_path.empty())
        return {};
    struct tm date {};
    date.tm_year = year - 1900;
    date.tm_mon = month - 1;
    date.tm_mday = day;
    char suffix[64];
    if (strftime(suffix, sizeof(suffix), "_%Y%m%d", &date) == 0)
        return {};
    std::string name = m_path + suffix;
    if (!m_extension.empty()) {
        name += '.';
        name += m_extension;
    }
    return name;
}

void CHLog::SetPath(const char* path, const char* extension) {
    CHAutoLock config(&m_configLock);
    m_path = path ? path : "";
    if (extension)
        m_extension = extension;
}

void CHLog::SetLevel(uint32_t threshold, uint32_t fileThreshold) {
    CHAutoLock config(&m_configLock);
    m_threshold = threshold;
    m_fileThreshold = fileThreshold;
}

void CHLog::SetOutput(uint32_t mode) {
    CHAutoLock config(&m_configLock);
    m_output = mode;
}

void CHLog::Configure(int enable, uint32_t level, const char* path, const char* extension) {
    SetOutput(0);
    if (enable == 0)
        return;
    uint32_t mode = HLOG_OUT_DEBUGGER;
    if (path && *path) {
        mode = HLOG_OUT_DEBUGGER | HLOG_OUT_FILE;
        SetPath(path, extension);
    }
    SetLevel(level, level);
    SetOutput(mode);
}

uint32_t CHLog::GetThreshold() const {
    CHAutoLock config(&m_configLock);
    return m_threshold;
}

uint32_t CHLog::GetFileThreshold() const {
    CHAutoLock config(&m_configLock);
    return m_fileThreshold;
}

uint32_t CHLog::GetOutput() const {
    CHAutoLock config(&m_configLock);
    return m_output;
}

std::string CHLog::GetPath() const {
    CHAutoLock config(&m_configLock);
    return m_path;
}

std::string CHLog::GetExtension() const {
    CHAutoLock config(&m_configLock);
    return m_extension;
}

void CHLog::SetDebugFd(int fd) {
    CHAutoLock config(&m_configLock);
    m_debugFd = fd;
}

CHLogLibOut::CHLogLibOut(const char* sourcePath, const char* functionName, int line) noexcept
    : m_sourcePath(sourcePath ? sourcePath : ""),
      m_functionName(functionName ? functionName : ""),
      m_line(line) {}

std::string CHLogLibOut::FileNamePart(const std::string& sourcePath) {
    // Call sites pass Windows-style ("..\src\hthread") or POSIX paths; both separators count.
    const size_t cut = sourcePath.find_last_of("\\/");
    if (cut == std::string::npos || cut == 0)
        return sourcePath;
    return sourcePath.substr(cut + 1);
}

void CHLogLibOut::Print(const char* module, uint32_t level, const char* format, ...) {
    if (!format)
        return;
    va_list args;
    va_start(args, format);
    // Logging happens everywhere, on worker threads and in clean-up paths that cannot unwind:
    // out of memory, the line is lost rather than the caller.
    try {
        std::string fileName = FileNamePart(m_sourcePath);
        if (*m_functionName != '\0')
            fileName += ' ';
        std::string message;
        if (FormatInto(message, format, args)) {
            CHLog::Instance().Write(module, level, "<%s%s LINE:%d> %s", fileName.c_str(),
                                    m_functionName, m_line, message.c_str());
        }
    } catch (const std::bad_alloc&) {
    }
    va_end(args);
}

}  // namespace BRIXEL
