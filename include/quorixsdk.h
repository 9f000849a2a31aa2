/*
 * quorixsdk: video playback library for fisheye and panoramic surveillance cameras.
 *
 * The public C contract. Plain C11, usable from C and C++.
 * (The function declarations follow the result codes and types below.)
 */
#ifndef QUORIXSDK_H
#define QUORIXSDK_H

#include <stdint.h>

#define QUORIX_VERSION_MAJOR 0
#define QUORIX_VERSION_MINOR 1
#define QUORIX_VERSION_PATCH 0

#if defined(QUORIX_BUILDING_LIBRARY)
#define QUORIX_API __attribute__((visibility("default")))
#else
#define QUORIX_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* ---- Result codes: 0 is success, every failure has the top bit set. ---- */
#define QUORIX_OK                   0x00000000u
#define QUORIX_E_NOT_SUPPORTED      0x80008001u
#define QUORIX_E_NO_MEMORY          0x80008002u
#define QUORIX_E_BUFFER             0x80008003u
#define QUORIX_E_EXCEPTION          0x80008004u
#define QUORIX_E_NOT_IMPL           0x80008005u
#define QUORIX_E_NOT_OPEN           0x80008006u
#define QUORIX_E_TIMEOUT            0x80008007u
#define QUORIX_E_PARAM              0x80008008u
#define QUORIX_E_OPEN_FILE          0x80008009u
#define QUORIX_E_WRITE_FILE         0x8000800Au
#define QUORIX_E_END_OF_DATA        0x80008010u
#define QUORIX_E_NOT_WRITING        0x80008011u
#define QUORIX_E_BUFFER_TOO_SMALL   0x80008012u
#define QUORIX_E_NOT_INIT           0x80008015u
#define QUORIX_E_ALREADY_INIT       0x80008016u
#define QUORIX_E_SYSTEM             0x80008017u
#define QUORIX_E_ALREADY_OPEN       0x80008018u
#define QUORIX_E_THREAD_RUNNING     0x8000801Au
#define QUORIX_E_THREAD_CREATE      0x8000801Bu
#define QUORIX_E_THREAD_FAULT       0x8000801Cu
#define QUORIX_E_THREAD_NOT_RUNNING 0x8000801Du
#define QUORIX_E_THREAD_KILLED      0x8000801Eu
#define QUORIX_E_NO_POOL            0x80008020u
#define QUORIX_E_QUEUE_FULL         0x80008100u
#define QUORIX_E_NO_FREE_PORT       0x80008101u
#define QUORIX_E_PORT_BUSY          0x80008102u
#define QUORIX_E_STATE              0x80008103u
#define QUORIX_E_FILE_FORMAT        0x80008104u
#define QUORIX_E_FAIL               0xFFFFFFFFu

#ifdef __cplusplus
}
#endif

#endif /* QUORIXSDK_H */
