/*
 * A minimal host of libquorixsdk: plays a recording off-screen (no window needed), saves what
 * region 0 shows as a JPEG after one second and prints the progress until the file ends.
 *
 *   cc host.c $(pkg-config --cflags --libs quorixsdk) -lpthread -o host
 *   ./host recording.zbm snapshot.jpg
 *
 * With a window, pass its X11 Window id to QUORIX_Play instead of 0.
 */
#define _POSIX_C_SOURCE 200809L /* clock_gettime with -std=c11 */
#include <pthread.h>
#include <stdio.h>
#include <time.h>

#include <quorixsdk.h>

static pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;
static pthread_cond_t ended_cond = PTHREAD_COND_INITIALIZER;
static int ended = 0;

/* Called on a library thread when the reader reaches the end of the file. */
static void on_file_end(uint16_t port, void* user) {
    (void)port;
    (void)user;
    pthread_mutex_lock(&lock);
    ended = 1;
    pthread_cond_signal(&ended_cond);
    pthread_mutex_unlock(&lock);
}

/* Called inside QUORIX_OpenFile with the file's render model. */
static void on_open_info(uint16_t port, int32_t model, const uint8_t* info, uint32_t len,
                         void* user) {
    (void)info;
    (void)user;
    printf("port %u: render model %d, information block of %u bytes\n", port, model, len);
}

/* Waits for the end of the file at most `ms` milliseconds; returns 1 when it ended. */
static int wait_for_end(long ms) {
    struct timespec until;
    clock_gettime(CLOCK_REALTIME, &until);
    until.tv_sec += ms / 1000;
    until.tv_nsec += (ms % 1000) * 1000000L;
    if (until.tv_nsec >= 1000000000L) {
        until.tv_sec += 1;
        until.tv_nsec -= 1000000000L;
    }
    pthread_mutex_lock(&lock);
    while (!ended && pthread_cond_timedwait(&ended_cond, &lock, &until) == 0) {
    }
    int result = ended;
    pthread_mutex_unlock(&lock);
    return result;
}

int main(int argc, char** argv) {
    if (argc < 2) {
        fprintf(stderr, "usage: %s RECORDING [SNAPSHOT.jpg]\n", argv[0]);
        return 2;
    }
    const char* snapshot = argc > 2 ? argv[2] : "snapshot.jpg";

    QUORIX_SetLogAttribute(1, 30, NULL, NULL); /* warnings and errors to stderr */
    QUORIX_InitSDK();

    uint16_t port;
    uint32_t rc = QUORIX_GetPort(&port);
    if (rc != QUORIX_OK) {
        fprintf(stderr, "QUORIX_GetPort: %#x\n", rc);
        return 1;
    }
    QUORIX_SetFileEndCallback(port, on_file_end, NULL);
    QUORIX_SetFileOpenInfoCallback(port, on_open_info, NULL);

    QUORIX_RECT region = {0, 0, 640, 360};
    QUORIX_SetDisplayRegion(port, 0, &region, 1); /* region 0, enabled */

    rc = QUORIX_OpenFile(port, argv[1]);
    if (rc == QUORIX_OK)
        rc = QUORIX_Play(port, 0 /* no window: off-screen */, NULL, 0);
    if (rc != QUORIX_OK) {
        fprintf(stderr, "cannot play %s: %#x\n", argv[1], rc);
        QUORIX_FreePort(port);
        QUORIX_ReleaseSDK();
        return 1;
    }
    printf("playing %s: %u ms, %u frames\n", argv[1], QUORIX_GetFileTotleTimes(port),
           QUORIX_GetFileTotleFrames(port));

    if (!wait_for_end(1000)) {
        /* The renderer serves a capture between two frames; a busy one can miss the 500 ms wait. */
        for (int attempt = 0; attempt < 5; ++attempt) {
            rc = QUORIX_CaptureJpeg(port, 0, snapshot);
            if (rc != QUORIX_E_TIMEOUT)
                break;
        }
        printf("snapshot %s: %s (%#x)\n", snapshot, rc == QUORIX_OK ? "saved" : "failed", rc);
    }
    while (!wait_for_end(500)) {
        printf("  %5u ms  %3.0f %%\n", QUORIX_GetPlayedTime(port),
               QUORIX_GetPlayedPos(port) * 100.0f);
    }
    printf("end of file\n");

    QUORIX_Stop(port);
    QUORIX_CloseFile(port);
    QUORIX_FreePort(port);
    QUORIX_ReleaseSDK();
    return 0;
}
