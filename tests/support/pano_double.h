/* Query side of the external panorama renderer test double (libPanoRenderOGL.so built by the
 * tests and put beside the library, or a copy of it, that loads it). Tests reach these functions
 * with dlsym on the double that the library has loaded.
 *
 * The double's answers, which tests may predict:
 *   - handles count up from 1; each renderer keeps its own state (type, view camera, drawing
 *     region, frame callbacks) and the destroy frees it;
 *   - the panorama type list is {0, 12, 13};
 *   - G_UnProject maps (x, y) to (x * 2, y + 1);
 *   - the original size is that of the last picture given to G_InputFrame (320 x 240 before
 *     any), and G_GrabPano fills B, G, R rows padded to 4 bytes with (x, y, x + y);
 *   - an entry called with a handle once given out and destroyed since, or a destroy while an
 *     entry still uses the handle, is counted as "stale" (what crashes a real renderer);
 *   - an entry called after the process tore the double down (exit handlers) aborts. */
#ifndef PANO_DOUBLE_H
#define PANO_DOUBLE_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* ---- The call log: PanoDouble_* ---- */

/* Calls received since the last reset, oldest first; at most PANO_DOUBLE_MAX_CALLS are kept. */
#define PANO_DOUBLE_MAX_CALLS 256
typedef int (*PanoDoubleCallCountFn)(void);
/* The plain entry name of call `index` ("G_CreatePanoRender", ...), or null. */
typedef const char* (*PanoDoubleCallNameFn)(int index);
/* The handle argument of call `index` (the created handle for G_CreatePanoRender). */
typedef uint32_t (*PanoDoubleCallHandleFn)(int index);
/* Every reset of the double (PanoDouble_Reset, PlayerPano_Reset, ViewPano_Reset) forgets all
 * that the tests can ask about; live renderers stay. */
typedef void (*PanoDoubleResetFn)(void);
/* Result that G_CreatePanoRender and G_InitPanoRender answer from now on (0 at first). */
typedef void (*PanoDoubleSetFailCodeFn)(uint32_t code);
/* The last picture given to G_InputFrame, copied tightly (Y, then U, then V); 0 when none. */
typedef int (*PanoDoubleLastFrameFn)(uint32_t* width, uint32_t* height, const uint8_t** yuv);
/* The options and parameter block of the last G_CreatePanoRender. */
typedef int (*PanoDoubleLastCreateFn)(uint32_t options[2], const uint8_t** params,
                                      uint32_t* paramsLen);
/* Runs one "frame" of a handle: the pre-render callback, the render callback, then the output
 * callback with a width x height B, G, R picture; returns how many callbacks ran. */
typedef int (*PanoDoubleRunFrameFn)(uint32_t handle, uint32_t width, uint32_t height);

#define PANO_DOUBLE_CALL_COUNT "PanoDouble_CallCount"
#define PANO_DOUBLE_CALL_NAME "PanoDouble_CallName"
#define PANO_DOUBLE_CALL_HANDLE "PanoDouble_CallHandle"
#define PANO_DOUBLE_RESET "PanoDouble_Reset"
#define PANO_DOUBLE_SET_FAIL_CODE "PanoDouble_SetFailCode"
#define PANO_DOUBLE_LAST_FRAME "PanoDouble_LastFrame"
#define PANO_DOUBLE_LAST_CREATE "PanoDouble_LastCreate"
#define PANO_DOUBLE_RUN_FRAME "PanoDouble_RunFrame"

/* ---- The pictures: PlayerPano_* ---- */

/* Pictures kept, oldest first; later ones are counted but not kept. */
#define PLAYER_PANO_MAX_FRAMES 64

typedef void (*PlayerPanoResetFn)(void);
/* Result of G_CreatePanoRender from now on (0 at first). */
typedef void (*PlayerPanoSetCreateResultFn)(uint32_t code);
/* Pictures given to G_InputFrame since the reset. */
typedef int (*PlayerPanoFrameCountFn)(void);
/* Waits until at least `count` pictures have come or timeoutMs passed; the count then. */
typedef int (*PlayerPanoWaitFramesFn)(int count, uint32_t timeoutMs);
/* Picture `index` copied tightly (Y, U, V); 0 when not kept. */
typedef int (*PlayerPanoFrameFn)(int index, uint32_t* width, uint32_t* height, const uint8_t** yuv);
/* Calls of the entry with this plain name (G_CreatePanoRender, G_InitPanoRender,
 * G_DestroyPanoRender, G_SetRenderCallBack) since the reset, or "stale" calls; -1 for others. */
typedef int (*PlayerPanoCallsFn)(const char* name);
/* Runs inside G_InputFrame, after the picture is kept, with the picture's 0-based number. */
typedef void (*PlayerPanoFrameHook)(int index, void* context);
typedef void (*PlayerPanoSetFrameHookFn)(PlayerPanoFrameHook hook, void* context);

/* ---- The view requests: ViewPano_* ---- */

typedef void (*ViewPanoResetFn)(void);
/* Counters since the reset: VIEW_PANO_SWITCHES ... VIEW_PANO_UNPROJECTS. */
typedef uint32_t (*ViewPanoCountFn)(int which);
/* The last drawing region set on any handle: left, top, width, height. */
typedef void (*ViewPanoRegionFn)(int32_t* out);
/* Runs the pre-render and render callbacks installed last (on any handle, also one destroyed
 * since) as one drawn frame would; the number of callbacks that were installed. */
typedef int (*ViewPanoDrawFrameFn)(void);
#define VIEW_PANO_SWITCHES 0
#define VIEW_PANO_CAMERA_SETS 1
#define VIEW_PANO_REGION_SETS 2
#define VIEW_PANO_UNPROJECTS 3

#ifdef __cplusplus
}
#endif

#endif /* PANO_DOUBLE_H */
