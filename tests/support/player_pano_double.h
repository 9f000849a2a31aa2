/* Query side of the external renderer double that the player tests put beside their copy of the
 * library (libPanoRenderOGL.so). Tests reach these functions with dlsym on the same file. */
#ifndef PLAYER_PANO_DOUBLE_H
#define PLAYER_PANO_DOUBLE_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

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
/* Calls of the entry with this plain name ("G_InitPanoRender", ...) since the reset. */
typedef int (*PlayerPanoCallsFn)(const char* name);
/* Runs inside G_InputFrame, after the picture is kept, with the picture's 0-based number. */
typedef void (*PlayerPanoFrameHook)(int index, void* context);
typedef void (*PlayerPanoSetFrameHookFn)(PlayerPanoFrameHook hook, void* context);

#ifdef __cplusplus
}
#endif

#endif /* PLAYER_PANO_DOUBLE_H */
