#pragma once
// Files that are not what the library expects. A disk that fills up: a file-size limit of the
// process makes every write beyond it come up short (with SIGXFSZ ignored, so that the write
// fails instead of ending the process). Named pipes where the library expects a file. A call that
// blocks on one never returns by itself, so it runs on a thread of its own: when it has not
// returned after a generous wait, the pipe is given a peer (drained, then closed) so that the call
// can end and the test can report the hang instead of hanging itself.

#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <future>
#include <string>

namespace fifotest {

// For its lifetime, files of this process cannot grow beyond `bytes`.
class ScopedFileSizeLimit {
public:
    explicit ScopedFileSizeLimit(rlim_t bytes) {
        m_handler = signal(SIGXFSZ, SIG_IGN);
        m_ok = getrlimit(RLIMIT_FSIZE, &m_old) == 0;
        struct rlimit limit = m_old;
        limit.rlim_cur = bytes;
        m_ok = m_ok && setrlimit(RLIMIT_FSIZE, &limit) == 0;
    }
    ~ScopedFileSizeLimit() {
        setrlimit(RLIMIT_FSIZE, &m_old);
        signal(SIGXFSZ, m_handler);
    }
    ScopedFileSizeLimit(const ScopedFileSizeLimit&) = delete;
    ScopedFileSizeLimit& operator=(const ScopedFileSizeLimit&) = delete;
    bool Ok() const { return m_ok; }

private:
    struct rlimit m_old {};
    sighandler_t m_handler = SIG_DFL;
    bool m_ok = false;
};

inline bool MakeFifo(const std::string& path) {
    return mkfifo(path.c_str(), 0600) == 0;
}

inline bool IsFifo(const std::string& path) {
    struct stat info {};
    return stat(path.c_str(), &info) == 0 && S_ISFIFO(info.st_mode);
}

struct Outcome {
    bool returned = false;  // by itself, without a peer on the pipe
    uint32_t result = 0;
};

inline Outcome CallOnFifo(const std::string& fifo, std::function<uint32_t()> call) {
    auto future = std::async(std::launch::async, std::move(call));
    if (future.wait_for(std::chrono::seconds(20)) == std::future_status::ready)
        return {true, future.get()};
    // A writer that finds its reader gone must get an error, not end the test process.
    signal(SIGPIPE, SIG_IGN);
    // O_RDWR never blocks on a pipe and is reader and writer at once: a blocked open returns.
    const int peer = open(fifo.c_str(), O_RDWR | O_NONBLOCK);
    char sink[65536];
    for (int round = 0; round < 100; ++round) {
        if (future.wait_for(std::chrono::milliseconds(50)) == std::future_status::ready)
            break;
        while (peer >= 0 && read(peer, sink, sizeof sink) > 0) {
        }
    }
    // A reader waiting for data sees the end of the pipe.
    if (peer >= 0)
        close(peer);
    return {false, future.get()};
}

}  // namespace fifotest
