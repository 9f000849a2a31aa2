/* Compiled as C11 and as C++ with pedantic warnings as errors: the public header must stand on
 * its own in both languages, and its types must have the layout hosts rely on. */
#include <quorixsdk.h>

#ifdef __cplusplus
#define SDK_CHECK(condition, message) static_assert(condition, message)
#else
#define SDK_CHECK(condition, message) _Static_assert(condition, message)
#endif

SDK_CHECK(sizeof(QUORIX_RECT) == 16, "QUORIX_RECT is four int32");
SDK_CHECK(sizeof(QUORIX_HWND) == sizeof(void*), "QUORIX_HWND is pointer-sized");
SDK_CHECK(sizeof(QUORIX_HDC) == sizeof(void*), "QUORIX_HDC is a pointer");
SDK_CHECK(QUORIX_E_FAIL == 0xFFFFFFFFu, "result codes are unsigned 32-bit");

static void OnFileEnd(uint16_t port, void* user) { (void)port; (void)user; }
static void OnFileOpenInfo(uint16_t port, int32_t model, const uint8_t* info, uint32_t infoLen,
                           void* user) {
    (void)port; (void)model; (void)info; (void)infoLen; (void)user;
}
static void OnDraw(uint16_t port, uint16_t region, int32_t drawMode, QUORIX_HDC dc,
                   const QUORIX_RECT* imageRect, const QUORIX_RECT* regionRect, void* user) {
    (void)port; (void)region; (void)drawMode; (void)dc; (void)imageRect; (void)regionRect;
    (void)user;
}
static void OnStatus(uint16_t port, uint32_t status, void* user) {
    (void)port; (void)status; (void)user;
}
static void OnSnap(uint16_t port, uint16_t region, uint32_t width, uint32_t stride,
                   uint32_t height, uint32_t format, const uint8_t* data, void* user) {
    (void)port; (void)region; (void)width; (void)stride; (void)height; (void)format; (void)data;
    (void)user;
}
static void OnAttach(uint16_t port, uint16_t streamId, const uint8_t* record, uint32_t length,
                     void* user) {
    (void)port; (void)streamId; (void)record; (void)length; (void)user;
}

uint32_t sdk_header_check(void);
uint32_t sdk_header_check(void) {
    QUORIX_RECT rect = {0, 0, 640, 480};
    QUORIX_SURFACE surface = {0, 640, 480, 2560, QUORIX_PIXEL_BGR32};
    uint16_t port = 0;
    uint32_t result = QUORIX_InitSDK();
    result |= QUORIX_GetPort(&port);
    result |= QUORIX_SetFileEndCallback(port, OnFileEnd, 0);
    result |= QUORIX_SetFileOpenInfoCallback(port, OnFileOpenInfo, 0);
    result |= QUORIX_SetDrawCallback(port, 0, OnDraw, &surface);
    result |= QUORIX_SetRenderStatusCallback(port, OnStatus, 0);
    result |= QUORIX_SetSnapCallback(port, 0, OnSnap, 0, QUORIX_PIXEL_BGR24, 4);
    result |= QUORIX_SetScreenOffSnapCallback(port, OnSnap, 0, 1.0f, QUORIX_PIXEL_BGR24, 4);
    result |= QUORIX_SetAttachCallback(port, OnAttach, 0);
    result |= QUORIX_SetDisplayRegion(port, 0, &rect, 1);
    result |= QUORIX_Play(port, (QUORIX_HWND)0, 0, 0);
    return result;
}
