/*
 * quorixsdk: the plain values of the public C contract.
 *
 * Result codes, limits, render models, display types, pixel formats, file types and the plain
 * data types (window and drawing-context handles, rectangles, surfaces) that the functions of
 * quorixsdk.h take and answer. quorixsdk.h includes this header, so hosts need not include it
 * themselves; it declares no function, so code that only needs these values (the library's own
 * lower layers among it) can include it alone. Plain C11, usable from C and C++.
 */
#ifndef QUORIXSDK_CODES_H
#define QUORIXSDK_CODES_H

#include <stdint.h>

/* ---- Result codes: 0 is success, every failure has the top bit set. ---- */
#define QUORIX_OK 0x00000000u
#define QUORIX_E_NOT_SUPPORTED 0x80008001u
#define QUORIX_E_NO_MEMORY 0x80008002u
#define QUORIX_E_BUFFER 0x80008003u
#define QUORIX_E_EXCEPTION 0x80008004u
#define QUORIX_E_NOT_IMPL 0x80008005u
#define QUORIX_E_NOT_OPEN 0x80008006u
#define QUORIX_E_TIMEOUT 0x80008007u
#define QUORIX_E_PARAM 0x80008008u
#define QUORIX_E_OPEN_FILE 0x80008009u
#define QUORIX_E_WRITE_FILE 0x8000800Au
#define QUORIX_E_END_OF_DATA 0x80008010u
#define QUORIX_E_NOT_WRITING 0x80008011u
#define QUORIX_E_BUFFER_TOO_SMALL 0x80008012u
#define QUORIX_E_NOT_INIT 0x80008015u
#define QUORIX_E_ALREADY_INIT 0x80008016u
#define QUORIX_E_SYSTEM 0x80008017u
#define QUORIX_E_ALREADY_OPEN 0x80008018u
#define QUORIX_E_THREAD_RUNNING 0x8000801Au
#define QUORIX_E_THREAD_CREATE 0x8000801Bu
#define QUORIX_E_THREAD_FAULT 0x8000801Cu
#define QUORIX_E_THREAD_NOT_RUNNING 0x8000801Du
#define QUORIX_E_THREAD_KILLED 0x8000801Eu
#define QUORIX_E_NO_POOL 0x80008020u
#define QUORIX_E_QUEUE_FULL 0x80008100u
#define QUORIX_E_NO_FREE_PORT 0x80008101u
#define QUORIX_E_PORT_BUSY 0x80008102u
#define QUORIX_E_STATE 0x80008103u
#define QUORIX_E_FILE_FORMAT 0x80008104u
#define QUORIX_E_FAIL 0xFFFFFFFFu

/* ---- Result codes as words, for logs and messages ----
 * QUORIX_ResultName gives the code's name as spelled above ("QUORIX_E_PARAM"), QUORIX_ResultText
 * one sentence saying what it means in general (each function's description says what it means
 * there). A number that is none of the codes above gets "QUORIX_E_UNKNOWN" and a sentence saying
 * so. Both return static strings; nothing to free. */
static inline const char* QUORIX_ResultName(uint32_t code) {
    switch (code) {
        case QUORIX_OK:
            return "QUORIX_OK";
        case QUORIX_E_NOT_SUPPORTED:
            return "QUORIX_E_NOT_SUPPORTED";
        case QUORIX_E_NO_MEMORY:
            return "QUORIX_E_NO_MEMORY";
        case QUORIX_E_BUFFER:
            return "QUORIX_E_BUFFER";
        case QUORIX_E_EXCEPTION:
            return "QUORIX_E_EXCEPTION";
        case QUORIX_E_NOT_IMPL:
            return "QUORIX_E_NOT_IMPL";
        case QUORIX_E_NOT_OPEN:
            return "QUORIX_E_NOT_OPEN";
        case QUORIX_E_TIMEOUT:
            return "QUORIX_E_TIMEOUT";
        case QUORIX_E_PARAM:
            return "QUORIX_E_PARAM";
        case QUORIX_E_OPEN_FILE:
            return "QUORIX_E_OPEN_FILE";
        case QUORIX_E_WRITE_FILE:
            return "QUORIX_E_WRITE_FILE";
        case QUORIX_E_END_OF_DATA:
            return "QUORIX_E_END_OF_DATA";
        case QUORIX_E_NOT_WRITING:
            return "QUORIX_E_NOT_WRITING";
        case QUORIX_E_BUFFER_TOO_SMALL:
            return "QUORIX_E_BUFFER_TOO_SMALL";
        case QUORIX_E_NOT_INIT:
            return "QUORIX_E_NOT_INIT";
        case QUORIX_E_ALREADY_INIT:
            return "QUORIX_E_ALREADY_INIT";
        case QUORIX_E_SYSTEM:
            return "QUORIX_E_SYSTEM";
        case QUORIX_E_ALREADY_OPEN:
            return "QUORIX_E_ALREADY_OPEN";
        case QUORIX_E_THREAD_RUNNING:
            return "QUORIX_E_THREAD_RUNNING";
        case QUORIX_E_THREAD_CREATE:
            return "QUORIX_E_THREAD_CREATE";
        case QUORIX_E_THREAD_FAULT:
            return "QUORIX_E_THREAD_FAULT";
        case QUORIX_E_THREAD_NOT_RUNNING:
            return "QUORIX_E_THREAD_NOT_RUNNING";
        case QUORIX_E_THREAD_KILLED:
            return "QUORIX_E_THREAD_KILLED";
        case QUORIX_E_NO_POOL:
            return "QUORIX_E_NO_POOL";
        case QUORIX_E_QUEUE_FULL:
            return "QUORIX_E_QUEUE_FULL";
        case QUORIX_E_NO_FREE_PORT:
            return "QUORIX_E_NO_FREE_PORT";
        case QUORIX_E_PORT_BUSY:
            return "QUORIX_E_PORT_BUSY";
        case QUORIX_E_STATE:
            return "QUORIX_E_STATE";
        case QUORIX_E_FILE_FORMAT:
            return "QUORIX_E_FILE_FORMAT";
        case QUORIX_E_FAIL:
            return "QUORIX_E_FAIL";
        default:
            return "QUORIX_E_UNKNOWN";
    }
}

static inline const char* QUORIX_ResultText(uint32_t code) {
    switch (code) {
        case QUORIX_OK:
            return "The call succeeded.";
        case QUORIX_E_NOT_SUPPORTED:
            return "The operation is not supported here: the renderer, its context or the encoder "
                   "cannot do it.";
        case QUORIX_E_NO_MEMORY:
            return "Memory for the operation could not be had.";
        case QUORIX_E_BUFFER:
            return "A buffer of the library is not usable.";
        case QUORIX_E_EXCEPTION:
            return "An unexpected failure inside the library stopped the call part of the way.";
        case QUORIX_E_NOT_IMPL:
            return "Not available with the port's current renderer, or not in this build of the "
                   "library.";
        case QUORIX_E_NOT_OPEN:
            return "The port is not playing (or the object the call needs is not open).";
        case QUORIX_E_TIMEOUT:
            return "The renderer did not answer in time (no picture drawn yet, or busy).";
        case QUORIX_E_PARAM:
            return "A parameter is not valid: a number out of range, a null pointer, or a port not "
                   "in use.";
        case QUORIX_E_OPEN_FILE:
            return "The file cannot be opened or created.";
        case QUORIX_E_WRITE_FILE:
            return "The file cannot be written whole.";
        case QUORIX_E_END_OF_DATA:
            return "The data ended before what was asked for.";
        case QUORIX_E_NOT_WRITING:
            return "Nothing is being written.";
        case QUORIX_E_BUFFER_TOO_SMALL:
            return "The caller's buffer is too small; the length needed was written back.";
        case QUORIX_E_NOT_INIT:
            return "The library is not initialised: call QUORIX_InitSDK first.";
        case QUORIX_E_ALREADY_INIT:
            return "Already initialised.";
        case QUORIX_E_SYSTEM:
            return "The system or a library below refused a service.";
        case QUORIX_E_ALREADY_OPEN:
            return "Something is already open.";
        case QUORIX_E_THREAD_RUNNING:
            return "The port is already playing.";
        case QUORIX_E_THREAD_CREATE:
            return "The system refused a thread; nothing stayed started.";
        case QUORIX_E_THREAD_FAULT:
            return "A thread of the library failed.";
        case QUORIX_E_THREAD_NOT_RUNNING:
            return "The thread the operation needs is not running.";
        case QUORIX_E_THREAD_KILLED:
            return "A thread of the library was stopped by force.";
        case QUORIX_E_NO_POOL:
            return "A pool of the library is not ready.";
        case QUORIX_E_QUEUE_FULL:
            return "The stream's queue is full; the frame was dropped.";
        case QUORIX_E_NO_FREE_PORT:
            return "All ports are in use.";
        case QUORIX_E_PORT_BUSY:
            return "A file or stream is already open on the port.";
        case QUORIX_E_STATE:
            return "The port is not in a state that allows the call (nothing open, no renderer or "
                   "no picture source).";
        case QUORIX_E_FILE_FORMAT:
            return "The data is not in a format the library reads.";
        case QUORIX_E_FAIL:
            return "The operation failed.";
        default:
            return "Not a result code of this library.";
    }
}

/* ---- Limits and numbers ---- */
#define QUORIX_MAX_PORTS 128       /* ports 0..127 */
#define QUORIX_MAX_REGIONS 6       /* regions 0..5 through these functions */
#define QUORIX_SCREEN_OFF_REGION 9 /* reported to snapshot callbacks for full-size captures */
#define QUORIX_NO_AUDIO_PORT 0xFFFFu

/* Render models of a file or stream (QUORIX_OpenStream, QUORIX_FileOpenInfoCallback). */
#define QUORIX_MODEL_EXTERNAL (-1) /* the external panorama renderer library */
#define QUORIX_MODEL_FROM_PARAMS 0 /* the model comes from the renderer parameter block */
#define QUORIX_MODEL_NORMAL 1      /* ordinary rectangular picture */
#define QUORIX_MODEL_FISHEYE 2     /* circular fisheye picture */
#define QUORIX_MODEL_VR720 3       /* full sphere, equirectangular */
#define QUORIX_MODEL_VR360 4       /* hemisphere */
#define QUORIX_MODEL_RING 5        /* ring (cylindrical band) */
#define QUORIX_MODEL_VR360_2 6     /* hemisphere, second colour path */

/* Display types of a region (QUORIX_SetCurrentDisplayType and friends). */
#define QUORIX_DISPLAY_PLANE 0u
#define QUORIX_DISPLAY_MULTI_CAMERA 9u /* only with two or more cameras in the model data */
#define QUORIX_DISPLAY_VR 10u
#define QUORIX_DISPLAY_SPHERE 11u
#define QUORIX_DISPLAY_PLANE180 12u
#define QUORIX_DISPLAY_PLANE360 13u
#define QUORIX_DISPLAY_PLANE360_FIXED 14u
#define QUORIX_DISPLAY_PLANE360_FRONTBACK 15u
#define QUORIX_DISPLAY_CYLINDER 16u
#define QUORIX_DISPLAY_CYLINDER_INSIDE 17u

/* Mount of a lens camera (models 2, 4 and 6). It decides what pan and tilt mean in the lens's
 * perspective view, QUORIX_DISPLAY_VR (the last display type these models offer: a rectilinear
 * view from the lens centre, in which straight lines stay straight). Pan and tilt are half
 * turns (1 = 180 degrees); pan + turns the view left and tilt + turns it down on every mount.
 *   ceiling (default): tilt 0 looks at the horizon (the lens's rim) towards the top of the
 *            picture, 0.5 straight down at its centre; the view's centre at pan p is the centre
 *            column of QUORIX_DISPLAY_PLANE360 at pan p.
 *   wall:    pan 0 and tilt 0 look along the lens axis; pan and tilt turn left/right and
 *            up/down about the horizon.
 *   desk:    tilt 0 looks at the horizon towards the bottom of the picture, -0.5 straight up.
 * Zoom z shows 2 atan(tan(32.5 deg) / z) from top to bottom. The renderer limits pan, tilt and
 * zoom so that the view never reaches beyond the lens circle (its edge stays half a degree
 * inside it) and its diagonal spans at most 160 degrees.
 * The mount is part of the renderer parameter block (QUORIX_MODEL_FROM_PARAMS), so recordings
 * carry it: header bytes 80..83, which the block's layout leaves free, hold 'M', 'N', 'T' and
 * the mount. Without those letters, or with another value, the camera hangs from the ceiling. */
#define QUORIX_MOUNT_CEILING 0u
#define QUORIX_MOUNT_WALL 1u
#define QUORIX_MOUNT_DESK 2u
#define QUORIX_MOUNT_OFFSET 80u

/* Pixel formats of snapshot data and of QUORIX_SURFACE. 11..16 are 1..6 stored bottom row first. */
#define QUORIX_PIXEL_NONE 0u
#define QUORIX_PIXEL_RGB32 1u /* R, G, B, 0 */
#define QUORIX_PIXEL_RGB24 2u /* R, G, B */
#define QUORIX_PIXEL_BGR32 3u /* B, G, R, 0 */
#define QUORIX_PIXEL_BGR24 4u /* B, G, R */
#define QUORIX_PIXEL_RGB555 5u
#define QUORIX_PIXEL_RGB565 6u
#define QUORIX_PIXEL_BOTTOM_UP 10u /* add to 1..6 */
/* Y plane (height rows of stride bytes), then U, then V: each ((stride+1)/2) bytes by
 * ((height+1)/2) rows, so odd widths and heights keep their last chroma column and row. */
#define QUORIX_PIXEL_YUV420P 20u

/* Snapshot file types of QUORIX_SnapDataSaveToFile. */
#define QUORIX_FILE_JPEG 0u
#define QUORIX_FILE_BMP 1u

/* ---- Platform types ---- */

/* An X11 Window id, carried in a pointer-sized integer. */
typedef uintptr_t QUORIX_HWND;

/* A drawing context. At QUORIX_Play: an optional X11 Display* on which the window lives (null:
 * the library opens its own connection to $DISPLAY). In draw callbacks of the software display
 * (drawMode 0): a QUORIX_SURFACE* describing the cache surface the host may draw into. */
typedef void* QUORIX_HDC;

/* A rectangle in pixels: left and top inclusive, right and bottom exclusive. */
typedef struct QUORIX_RECT {
    int32_t left;
    int32_t top;
    int32_t right;
    int32_t bottom;
} QUORIX_RECT;

/* A picture in memory that the host may draw into during a draw callback. */
typedef struct QUORIX_SURFACE {
    uint8_t* pixels; /* first byte of the top row */
    uint32_t width;  /* pixels */
    uint32_t height; /* rows */
    uint32_t stride; /* bytes from one row to the next */
    uint32_t format; /* QUORIX_PIXEL_* */
} QUORIX_SURFACE;

/* Largest payload of one pushed frame record or composite packet: len may be at most 28 bytes
 * more. Recorded files hold the same bound for each record. */
#define QUORIX_MAX_INPUT_PAYLOAD (64u * 1024u * 1024u)

#endif /* QUORIXSDK_CODES_H */
