/* Compiled as C11 and as C++ with pedantic warnings as errors: the public header must stand on
 * its own in both languages, and its types must have the layout hosts rely on.
 * With SDK_CHECK_CODES_ALONE only quorixsdk_codes.h is included (what the library's lower layers
 * see) and with SDK_CHECK_CONTAINER only quorixsdk_container.h: each must stand on its own too,
 * with the numbers of the documented contract and file layout. */
#ifdef __cplusplus
#define SDK_CHECK(condition, message) static_assert(condition, message)
#else
#define SDK_CHECK(condition, message) _Static_assert(condition, message)
#endif

#if defined(SDK_CHECK_CODES_ALONE)
#include <quorixsdk_codes.h>

#ifdef QUORIX_API
#error "the codes header declares no function"
#endif
SDK_CHECK(QUORIX_OK == 0u && QUORIX_E_NOT_SUPPORTED == 0x80008001u &&
              QUORIX_E_NO_MEMORY == 0x80008002u && QUORIX_E_BUFFER == 0x80008003u &&
              QUORIX_E_EXCEPTION == 0x80008004u && QUORIX_E_NOT_IMPL == 0x80008005u &&
              QUORIX_E_NOT_OPEN == 0x80008006u && QUORIX_E_TIMEOUT == 0x80008007u &&
              QUORIX_E_PARAM == 0x80008008u && QUORIX_E_OPEN_FILE == 0x80008009u &&
              QUORIX_E_WRITE_FILE == 0x8000800Au && QUORIX_E_END_OF_DATA == 0x80008010u &&
              QUORIX_E_NOT_WRITING == 0x80008011u && QUORIX_E_BUFFER_TOO_SMALL == 0x80008012u &&
              QUORIX_E_NOT_INIT == 0x80008015u && QUORIX_E_ALREADY_INIT == 0x80008016u &&
              QUORIX_E_SYSTEM == 0x80008017u && QUORIX_E_ALREADY_OPEN == 0x80008018u &&
              QUORIX_E_THREAD_RUNNING == 0x8000801Au && QUORIX_E_THREAD_CREATE == 0x8000801Bu &&
              QUORIX_E_THREAD_FAULT == 0x8000801Cu && QUORIX_E_THREAD_NOT_RUNNING == 0x8000801Du &&
              QUORIX_E_THREAD_KILLED == 0x8000801Eu && QUORIX_E_NO_POOL == 0x80008020u &&
              QUORIX_E_QUEUE_FULL == 0x80008100u && QUORIX_E_NO_FREE_PORT == 0x80008101u &&
              QUORIX_E_PORT_BUSY == 0x80008102u && QUORIX_E_STATE == 0x80008103u &&
              QUORIX_E_FILE_FORMAT == 0x80008104u && QUORIX_E_FAIL == 0xFFFFFFFFu,
          "result codes");
SDK_CHECK(QUORIX_MAX_PORTS == 128 && QUORIX_MAX_REGIONS == 6 && QUORIX_SCREEN_OFF_REGION == 9,
          "limits");
SDK_CHECK(QUORIX_PIXEL_RGB32 == 1u && QUORIX_PIXEL_RGB565 == 6u && QUORIX_PIXEL_BOTTOM_UP == 10u &&
              QUORIX_PIXEL_YUV420P == 20u,
          "pixel formats");
SDK_CHECK(QUORIX_DISPLAY_PLANE == 0u && QUORIX_DISPLAY_MULTI_CAMERA == 9u &&
              QUORIX_DISPLAY_PLANE360 == 13u && QUORIX_DISPLAY_CYLINDER_INSIDE == 17u,
          "display types");
SDK_CHECK(QUORIX_MODEL_EXTERNAL == -1 && QUORIX_MODEL_FISHEYE == 2 && QUORIX_MODEL_VR360_2 == 6,
          "render models");
SDK_CHECK(QUORIX_MAX_INPUT_PAYLOAD == 67108864u, "64 MiB of payload per record");
SDK_CHECK(sizeof(QUORIX_RECT) == 16 && sizeof(QUORIX_HDC) == sizeof(void*) &&
              sizeof(QUORIX_HWND) == sizeof(void*),
          "plain types");

uint32_t sdk_codes_check(void);
uint32_t sdk_codes_check(void) {
    QUORIX_SURFACE surface = {0, 640, 480, 2560, QUORIX_PIXEL_BGR32};
    /* The result-code helpers are plain inline functions of this header alone. */
    const char* name = QUORIX_ResultName(QUORIX_E_PARAM);
    const char* text = QUORIX_ResultText(QUORIX_E_PARAM);
    if (name[0] != 'Q' || text[0] == '\0')
        return QUORIX_E_FAIL;
    return surface.format == QUORIX_PIXEL_BGR32 ? QUORIX_OK : QUORIX_E_PARAM;
}

#elif defined(SDK_CHECK_CONTAINER)
#include <quorixsdk_container.h>

#include <stddef.h>

SDK_CHECK(QUORIX_FILE_HEADER_SIZE == 64u && QUORIX_FILE_HEADER_CREATE_TICK == 20u &&
              QUORIX_FILE_HEADER_START_TIME == 24u && QUORIX_FILE_HEADER_DATA_OFFSET == 32u &&
              QUORIX_FILE_HEADER_INDEX_OFFSET == 36u && QUORIX_FILE_HEADER_FIRST_TIMESTAMP == 40u &&
              QUORIX_FILE_HEADER_LAST_TIMESTAMP == 44u &&
              QUORIX_FILE_HEADER_FIRST_SEQUENCE == 48u && QUORIX_FILE_HEADER_FRAME_COUNT == 52u &&
              QUORIX_FILE_HEADER_INDEX_COUNT == 56u && QUORIX_FILE_HEADER_FORMAT_TAG == 60u &&
              QUORIX_FILE_HEADER_RENDER_MODEL == 61u && QUORIX_FILE_HEADER_TAIL == 62u,
          "file header");
SDK_CHECK(QUORIX_EXT_HEADER_SIZE == 12u && QUORIX_EXT_HEADER_TYPE == 4u &&
              QUORIX_EXT_HEADER_LENGTH == 8u && QUORIX_EXT_OPEN_INFO == 1u &&
              QUORIX_EXT_RENDER_PARAM == 2u,
          "extension records");
SDK_CHECK(QUORIX_RECORD_SIZE == 28u && QUORIX_RECORD_MAGIC_PLAIN == 0x7468u &&
              QUORIX_RECORD_MAGIC_SUB == 0x5448u && QUORIX_RECORD_TYPE == 2u &&
              QUORIX_RECORD_STREAM == 3u && QUORIX_RECORD_SEQUENCE == 4u &&
              QUORIX_RECORD_TIMESTAMP == 8u && QUORIX_RECORD_CLOCK == 12u &&
              QUORIX_RECORD_CODEC == 16u && QUORIX_RECORD_VIDEO_WIDTH == 18u &&
              QUORIX_RECORD_VIDEO_HEIGHT == 20u && QUORIX_RECORD_AUDIO_CHANNELS == 18u &&
              QUORIX_RECORD_AUDIO_BITS == 19u && QUORIX_RECORD_AUDIO_RATE == 20u &&
              QUORIX_RECORD_PAYLOAD_LENGTH == 24u && QUORIX_RECORD_COMPOSITE == 0x80u,
          "frame records");
SDK_CHECK(QUORIX_KIND_AUDIO == 0u && QUORIX_KIND_KEY == 1u && QUORIX_KIND_DELTA == 3u &&
              QUORIX_KIND_UNTIMED == 4u,
          "frame kinds");
SDK_CHECK(QUORIX_CODEC_H264 == 1u && QUORIX_CODEC_MJPEG == 2u && QUORIX_CODEC_G711A == 3u &&
              QUORIX_CODEC_G711U == 4u && QUORIX_CODEC_PCM == 5u && QUORIX_CODEC_H265 == 6u &&
              QUORIX_CODEC_AAC == 7u,
          "codec numbers");
SDK_CHECK(QUORIX_INDEX_ENTRY_SIZE == 12u && QUORIX_INDEX_ENTRY_OFFSET == 4u &&
              QUORIX_INDEX_ENTRY_FRAME_NUMBER == 8u,
          "index entries");

uint32_t sdk_container_check(void);
uint32_t sdk_container_check(void) {
    uint8_t header[QUORIX_FILE_HEADER_SIZE] = {0};
    memcpy(header + QUORIX_FILE_HEADER_MAGIC, QUORIX_FILE_MAGIC, 4);
    quorix_store_f64(header + QUORIX_FILE_HEADER_START_TIME, 45000.5);
    quorix_store_le32(header + QUORIX_FILE_HEADER_DATA_OFFSET, QUORIX_FILE_HEADER_SIZE);
    quorix_store_le16(header + QUORIX_FILE_HEADER_TAIL, 0);
    return quorix_load_le32(header + QUORIX_FILE_HEADER_DATA_OFFSET) +
           (uint32_t)quorix_load_f64(header + QUORIX_FILE_HEADER_START_TIME) +
           quorix_load_le16(header + QUORIX_FILE_HEADER_TAIL) +
           (uint32_t)quorix_load_le64(header + QUORIX_FILE_HEADER_DATA_OFFSET);
}

#else
#include <quorixsdk.h>

SDK_CHECK(sizeof(QUORIX_RECT) == 16, "QUORIX_RECT is four int32");
SDK_CHECK(sizeof(QUORIX_HWND) == sizeof(void*), "QUORIX_HWND is pointer-sized");
SDK_CHECK(sizeof(QUORIX_HDC) == sizeof(void*), "QUORIX_HDC is a pointer");
SDK_CHECK(QUORIX_E_FAIL == 0xFFFFFFFFu, "result codes are unsigned 32-bit");

static void OnFileEnd(uint16_t port, void* user) {
    (void)port;
    (void)user;
}
static void OnFileOpenInfo(uint16_t port, int32_t model, const uint8_t* info, uint32_t infoLen,
                           void* user) {
    (void)port;
    (void)model;
    (void)info;
    (void)infoLen;
    (void)user;
}
static void OnDraw(uint16_t port, uint16_t region, int32_t drawMode, QUORIX_HDC dc,
                   const QUORIX_RECT* imageRect, const QUORIX_RECT* regionRect, void* user) {
    (void)port;
    (void)region;
    (void)drawMode;
    (void)dc;
    (void)imageRect;
    (void)regionRect;
    (void)user;
}
static void OnStatus(uint16_t port, uint32_t status, void* user) {
    (void)port;
    (void)status;
    (void)user;
}
static void OnSnap(uint16_t port, uint16_t region, uint32_t width, uint32_t stride, uint32_t height,
                   uint32_t format, const uint8_t* data, void* user) {
    (void)port;
    (void)region;
    (void)width;
    (void)stride;
    (void)height;
    (void)format;
    (void)data;
    (void)user;
}
static void OnAttach(uint16_t port, uint16_t streamId, const uint8_t* record, uint32_t length,
                     void* user) {
    (void)port;
    (void)streamId;
    (void)record;
    (void)length;
    (void)user;
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
    if (result != QUORIX_OK && QUORIX_ResultName(result)[0] == '\0')
        return QUORIX_ResultText(result)[0] != '\0' ? QUORIX_E_FAIL : QUORIX_OK;
    return result;
}

#endif
