// FFmpeg's log goes to the library's logger: by default libavcodec prints every complaint about
// damaged input to the process's standard error, which belongs to the host, whatever the host
// configured for the library's logging.

#include <cstdarg>
#include <cstring>
#include <mutex>
#include <string>

#include "base/hlog.h"
#include "codec/dec_ffmpeg.h"

extern "C" {
#include <libavutil/log.h>
}

namespace HCC {

namespace {

constexpr const char* kSource = "ffmpeg_log";
constexpr const char* kFunction = "HCC::FFmpegLog";
// A damaged stream makes FFmpeg complain per packet; a line longer than this is cut.
constexpr size_t kMaxLine = 1024;

uint32_t MapLevel(int level) {
    if (level <= AV_LOG_ERROR)
        return BRIXEL::HLOG_ERROR;  // panic, fatal, error
    if (level <= AV_LOG_WARNING)
        return BRIXEL::HLOG_WARN;
    if (level <= AV_LOG_INFO)
        return BRIXEL::HLOG_INFO;
    if (level <= AV_LOG_DEBUG)
        return BRIXEL::HLOG_DEBUG;  // verbose, debug
    return 0;                       // trace
}

// FFmpeg may build one line from several calls; the pieces of a thread are joined here and the
// line is written once it ends.
thread_local std::string t_pending;
thread_local int t_printPrefix = 1;

void Callback(void* avcl, int level, const char* format, va_list args) {
    // The level FFmpeg itself is set to still filters, as its own printer does: a program that
    // quietened FFmpeg keeps it quiet.
    if (level > av_log_get_level())
        return;
    char piece[kMaxLine];
    va_list copy;
    va_copy(copy, args);
    av_log_format_line2(avcl, level, format, copy, piece, sizeof piece, &t_printPrefix);
    va_end(copy);
    try {
        t_pending += piece;
        if (t_pending.empty() || t_pending.back() != '\n') {
            if (t_pending.size() < kMaxLine)
                return;
        } else {
            t_pending.pop_back();
        }
        HLOG(kSource, "hcodec", MapLevel(level), kFunction, "%s", t_pending.c_str());
        t_pending.clear();
    } catch (const std::bad_alloc&) {
        t_pending.clear();  // the line is lost, nothing else
    }
}

}  // namespace

void InstallFFmpegLog() {
    static std::once_flag once;
    std::call_once(once, [] { av_log_set_callback(&Callback); });
}

}  // namespace HCC
