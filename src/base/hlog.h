#pragma once
// Process-wide logger and the per-call-site front end.

#include <cstdarg>
#include <cstdint>
#include <string>

#include "base/hlock.h"

namespace BRIXEL {

enum : uint32_t {
    HLOG_DEBUG = 10,
    HLOG_INFO = 20,
    HLOG_WARN = 30,
    HLOG_ERROR = 40,
};

enum : uint32_t {
    HLOG_OUT_DEBUGGER = 1,  // one write(2) of the whole line to the debug descriptor (stderr)
    HLOG_OUT_FILE = 2,
};

class CHLog {
public:
    // Created on first use, thread-safe; lives until the process ends.
    static CHLog& Instance();
    virtual ~CHLog();

    void Write(const char* module, uint32_t level, const char* format, ...)
        __attribute__((format(printf, 4, 5)));
    void VWrite(const char* module, uint32_t level, const char* format, va_list args);

    // Null path = empty; null extension keeps the previous one ("log" at first).
    void SetPath(const char* path, const char* extension);
    void SetLevel(uint32_t threshold, uint32_t fileThreshold);
    void SetOutput(uint32_t mode);
    // The whole configuration sequence of the SDK's log-attribute call: output off; stop when
    // disabled; debugger only, or debugger and file when a path is given; levels; output on.
    void Configure(int enable, uint32_t level, const char* path, const char* extension);

    uint32_t GetThreshold() const;
    uint32_t GetFileThreshold() const;
    uint32_t GetOutput() const;
    std::string GetPath() const;
    std::string GetExtension() const;

    // Where debugger output goes (standard error by default); tests point it at a file.
    void SetDebugFd(int fd);

    // "debug0", "DEBUG", "info5", ..., "ERROR", "50".
    static std::string LevelName(uint32_t level);
    // The file a line of the given local date goes to; empty when no base path is set.
    std::string FileNameFor(int year, int month, int day) const;

private:
    CHLog();
    void WriteLine(uint32_t level, const std::string& line, int year, int month, int day);

    mutable CHLock m_configLock;  // guards the fields below
    uint32_t m_threshold = 10;
    uint32_t m_fileThreshold = 0;
    uint32_t m_output = 0;
    std::string m_path;
    std::string m_extension = "log";
    int m_debugFd = 2;
    CHLock m_fileLock{true, false};  // mutex kind: serialises the file writes
};

class CHLogLibOut {
public:
    // Keeps the pointers, not copies: the strings must outlive the object, as the literals and
    // the temporaries of one HLOG expression do. Making one never allocates, so it cannot throw.
    CHLogLibOut(const char* sourcePath, const char* functionName, int line) noexcept;
    virtual ~CHLogLibOut() = default;

    // Never throws: a line that cannot be formatted or written (no memory) is dropped.

    void Print(const char* module, uint32_t level, const char* format, ...)
        __attribute__((format(printf, 4, 5)));

    // The part of the source path after its last backslash (or slash), whole when none.
    static std::string FileNamePart(const std::string& sourcePath);

private:
    const char* m_sourcePath;    // never null
    const char* m_functionName;  // never null
    int m_line;
};

}  // namespace BRIXEL

// HLOG("hthread", "hbase", 0, "BRIXEL::CHThread::Start", "the '%s' thread(id=%u) is start", ...)
#define HLOG(source, module, level, function, ...) \
    ::BRIXEL::CHLogLibOut((source), (function), __LINE__).Print((module), (level), __VA_ARGS__)
