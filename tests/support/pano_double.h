/* Query side of the external panorama renderer test double (libPanoRenderOGL.so built by the
 * tests). Tests reach these functions with dlsym on the double that the library has loaded. */
#ifndef PANO_DOUBLE_H
#define PANO_DOUBLE_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Calls received since the last reset, oldest first; at most PANO_DOUBLE_MAX_CALLS are kept. */
#define PANO_DOUBLE_MAX_CALLS 256
typedef int (*PanoDoubleCallCountFn)(void);
/* The plain entry name of call `index` ("G_CreatePanoRender", ...), or null. */
typedef const char* (*PanoDoubleCallNameFn)(int index);
/* The handle argument of call `index` (the created handle for G_CreatePanoRender). */
typedef uint32_t (*PanoDoubleCallHandleFn)(int index);
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

#ifdef __cplusplus
}
#endif

#endif /* PANO_DOUBLE_H */
