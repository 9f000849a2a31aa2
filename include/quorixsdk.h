/*
 * quorixsdk: video playback library for fisheye and panoramic surveillance cameras.
 *
 * The public C contract. Plain C11, usable from C and C++.
 *
 * General rules
 * -------------
 * - Every function that reports success or failure returns a uint32_t result code: QUORIX_OK (0)
 *   or one of the QUORIX_E_* codes, all of which have the top bit set. The codes and the other
 *   plain values and types of this contract are in quorixsdk_codes.h, included below.
 * - A host takes one of QUORIX_MAX_PORTS player ports with QUORIX_GetPort and gives it back with
 *   QUORIX_FreePort. Port numbers are 0 .. QUORIX_MAX_PORTS - 1.
 * - Unless its description says otherwise, every function that takes a port checks, in this
 *   order: the library is initialised (else QUORIX_E_NOT_INIT), the port number is below
 *   QUORIX_MAX_PORTS and a region number is below QUORIX_MAX_REGIONS (else QUORIX_E_PARAM), the
 *   port is in use (else QUORIX_E_PARAM). A failed check changes nothing. Those codes are not
 *   repeated per function below.
 * - Value getters (QUORIX_GetPlayedTime, QUORIX_GetPlayedPos, QUORIX_GetFileTotleTimes,
 *   QUORIX_GetFileTotleFrames, QUORIX_GetCurrentVideoFrameStamp, QUORIX_GetCurrentVideoFrameClock,
 *   QUORIX_GetVolume) return 0 (0.0) whenever a check fails or nothing is known.
 * - QUORIX_E_NOT_IMPL means the operation is not available with the port's current renderer or
 *   not available in this build of the library.
 * - Each description lists the codes its function answers besides QUORIX_OK and the checks above.
 *   Any function that returns a code may also answer QUORIX_E_EXCEPTION: an unexpected failure
 *   inside the library (an allocation the library did not foresee, for instance) stopped the
 *   call part of the way. Where a description says that a code of the external renderer library
 *   is passed on, that library's own non-zero answer is returned unchanged.
 * - Functions that start threads of the library (QUORIX_OpenFile, QUORIX_OpenStream, QUORIX_Play)
 *   answer QUORIX_E_THREAD_CREATE when the system refuses a thread (QUORIX_OpenFile answers
 *   QUORIX_E_OPEN_FILE when it is the thread that reads the file), and nothing stays started.
 * - Functions may be called from any host thread. The library serialises only the port search
 *   of QUORIX_GetPort: the host must not open, close, play or free one port from several threads
 *   at once, and must not free a port while another thread is calling into it. Make the first
 *   call of the process (normally QUORIX_InitSDK) before calling from several threads.
 * - Callbacks get the port number first and the host's user pointer last, unchanged. They run on
 *   library threads, never on the thread of the call that registered them (the thread is named
 *   with each callback type). Pointers handed to a callback are valid only during the call.
 *   Replacing a callback takes effect at once, but a thread that has just read the old pair may
 *   still call it one more time: keep the user data alive accordingly.
 * - Paths are zero-terminated 8-bit strings; the library never keeps the caller's pointer.
 * - QUORIX_ResultName and QUORIX_ResultText (quorixsdk_codes.h) turn a result code into its name
 *   and a sentence for logs and messages.
 *
 * Threads: what runs where, what blocks
 * -------------------------------------
 * - Callbacks and their threads: the file-open information callback runs inside QUORIX_OpenFile
 *   on the caller's thread; the file-end callback on the port's reader thread; the draw, snapshot
 *   and renderer status callbacks on the thread that draws the port (the OpenGL render thread,
 *   the host's own GL thread in manual mode, the software display's thread); the sub-frame
 *   callback on the thread that fed the composite packet. A callback may call any function of
 *   the library, also QUORIX_Stop, a close or QUORIX_FreePort of its own port (the call returns;
 *   the port's threads end after the callback). Blocking in a callback holds up the thread that
 *   runs it: pictures stop while a drawing-thread callback runs, and the reader stops while the
 *   file-end callback runs.
 * - Calls that wait for the drawing thread (QUORIX_Capture*, QUORIX_Project, QUORIX_UnProject)
 *   block at most 500 ms and then answer QUORIX_E_TIMEOUT: before the port's first picture is
 *   drawn, while the region is disabled, and when called from a callback on the port's
 *   own drawing thread (that thread cannot serve them while it runs the callback). A host that
 *   captures right after QUORIX_Play retries on QUORIX_E_TIMEOUT.
 * - Other calls that block: the first QUORIX_InitSDK (reads the configuration, asks the X server
 *   for its monitors, tries OpenGL), QUORIX_OpenFile (reads the file's header and index),
 *   QUORIX_Play (creates the renderer and its GL context), QUORIX_Stop, the closes and
 *   QUORIX_FreePort (each joins the port's threads: as long as a frame in flight and a running
 *   callback take), QUORIX_FilmEditing (copies the range on the calling thread) and
 *   QUORIX_StopLocalRecord (finishes the file). The rest take and release locks only.
 *
 * Coordinates
 * -----------
 * - Region rectangles (QUORIX_SetDisplayRegion) are window pixels, left and top inclusive, right
 *   and bottom exclusive, x from the window's left edge. Their y runs the renderer's own way:
 *   the OpenGL renderer counts `top` from the BOTTOM edge of the window (a rectangle
 *   {0, 0, w/2, h/2} is the lower-left quarter), the software display counts it from the TOP
 *   edge (the same rectangle is the upper-left quarter). Draw callbacks get their rectangles with
 *   the same y: regionRect in the window; imageRect relative to the region with the OpenGL
 *   renderer, in the window with the software display.
 * - Points of a region as shown (QUORIX_Project's output, QUORIX_UnProject's input) are fractions
 *   0..1 of the region: x to the right, y downwards from its top edge, with either renderer; the
 *   flip of the region is included.
 * - Pictures in memory: snapshot callbacks hand packed pictures (QUORIX_PIXEL_RGB32 to
 *   QUORIX_PIXEL_BGR24) bottom row first, as a BMP file holds them, and QUORIX_SnapDataSaveToFile
 *   takes them so; QUORIX_PIXEL_YUV420P pictures are top row first. BMP and JPEG files show the
 *   picture upright.
 * - Source points (QUORIX_Project's input, QUORIX_UnProject's output) are lens directions in
 *   half turns: for the lens models (QUORIX_MODEL_FISHEYE, _VR360, _VR360_2, _VR720), x is the
 *   azimuth around the lens axis and y the angle away from it, so (x, 0) is the centre of a
 *   fisheye picture and y 0.5 lies 90 degrees off the axis (the rim of a 180-degree lens). The
 *   ring model and the cylinders use x for the azimuth and y for the height. The flat display
 *   type 0 answers points of its picture plane (origin at the picture's centre, x to the right,
 *   y upwards) whose scale follows the region's shape: pair them only with the same region.
 *
 * Virtual camera: pan, tilt, zoom, flip, ratio
 * ---------------------------------------------
 * - Pan and tilt are in half turns: +-1 is +-180 degrees, 0.5 a quarter turn. In the sphere views
 *   (QUORIX_DISPLAY_VR, _SPHERE, _CYLINDER, _CYLINDER_INSIDE) pan turns the view around the
 *   scene's vertical axis (the lens axis of the fisheye and hemisphere models, the polar axis of
 *   QUORIX_MODEL_VR720) and tilt around the horizontal axis of the view, both wrapping into
 *   -1..1; positive tilt looks down (the scene moves up in the region). In the 360-degree panorama
 *   (QUORIX_DISPLAY_PLANE360) pan turns the panorama (0.5 moves it by a quarter of its width,
 *   wrapping round) and tilt moves it like a flat view. In the flat views (QUORIX_DISPLAY_PLANE,
 *   _PLANE180, _PLANE360_FIXED, _PLANE360_FRONTBACK) pan and tilt move the zoomed picture inside
 *   the region, +-1 bringing its edge to the region's centre, and are limited so the picture
 *   keeps covering the region (QUORIX_EnableBlankPTZ lifts that limit); positive tilt shows what
 *   lies further down, as in the sphere views.
 * - Zoom magnifies around the region's centre: a point at distance d from the centre is shown at
 *   zoom * d. The perspective views see 65 degrees from top to bottom at zoom 1; zoom z narrows
 *   that to 2 * atan(tan(32.5 degrees) / z). Zoom is limited to 0.001..16 (at least 1 in
 *   QUORIX_DISPLAY_PLANE360).
 * - Flip (QUORIX_SetFlip): 0 none, 1 mirrored left-right, 2 upside down, 3 both (a half turn).
 * - Ratio (QUORIX_SetDisplayRatioType): 0 stretches the picture over the region, 1 (the default)
 *   shows the whole picture with its aspect ratio kept (bars on two sides), 2 fills the width,
 *   3 fills the height (the rest is cut off or barred, aspect ratio kept).
 *
 * Display types per render model
 * ------------------------------
 * QUORIX_GetSupportedDisplayTypeList answers them in this order; the first is the one a region
 * starts with.
 *
 *   QUORIX_MODEL_NORMAL (1), and model 0 without a lens     0
 *   QUORIX_MODEL_FISHEYE (2), _VR360 (4), _VR360_2 (6)      11, 12, 13, 0, 10
 *   QUORIX_MODEL_VR720 (3)                                  10, 11, 13, 0
 *   QUORIX_MODEL_RING (5)                                   16, 17, 13, 15, 0
 * With two or more cameras in the renderer parameter block, 9 (multi-camera) is appended. The
 * software display de-warps lens models of one camera on the CPU with the same lists; it shows
 * other pictures flat, with display type 0 only. Type 14 (QUORIX_DISPLAY_PLANE360_FIXED) is what
 * full-resolution captures draw for the ring and VR720 models and is not offered to regions.
 *
 * Live push: records and composite packets
 * ----------------------------------------
 * QUORIX_InputStreamData takes what a file holds after its header: one frame record, a
 * QUORIX_RECORD_SIZE (28) byte header followed by its payload, or a composite packet. The header's
 * fields and their byte offsets are the QUORIX_RECORD_* numbers of quorixsdk_container.h (all
 * little-endian): magic QUORIX_RECORD_MAGIC_PLAIN ("ht") at 0, the type byte at 2 (kind
 * QUORIX_KIND_* in bits 0-6), stream id at 3, sequence at 4, time stamp in ms at 8, wall clock at
 * 12, codec (QUORIX_CODEC_*) at 16, picture width and height at 18 and 20 (video) or channels,
 * bits and rate at 18, 19 and 20 (audio), and the payload length at 24; the payload (an H.264 or
 * H.265 access unit in Annex B form, a JPEG, G.711 or PCM samples) follows at 28. Feed a key frame
 * (kind QUORIX_KIND_KEY) first. A composite packet is a record of a video kind whose type byte
 * also has QUORIX_RECORD_COMPOSITE (0x80) set: its payload is a run of sub-records back to back,
 * each a 28-byte header of magic QUORIX_RECORD_MAGIC_SUB ("HT") with its own stream id and
 * payload length, then that payload. Each sub-record goes, as a record of its own, to the port's
 * sub-frame callback (QUORIX_SetAttachCallback) and to the attached port
 * (QUORIX_SetAttachPlayer); this port does not play it. A sub-record whose own type byte has the
 * composite bit stays with this port instead, which plays it in the stream its id names. A
 * sub-record with another magic or running past the packet ends the call with QUORIX_E_PARAM
 * (the sub-records before it were delivered).
 */
#ifndef QUORIXSDK_H
#define QUORIXSDK_H

#include <stdint.h>

#include "quorixsdk_codes.h"

#define QUORIX_VERSION_MAJOR 0
#define QUORIX_VERSION_MINOR 1
#define QUORIX_VERSION_PATCH 0
/* One number for compile-time comparisons: major * 10000 + minor * 100 + patch. */
#define QUORIX_VERSION \
    (QUORIX_VERSION_MAJOR * 10000 + QUORIX_VERSION_MINOR * 100 + QUORIX_VERSION_PATCH)

#if defined(QUORIX_BUILDING_LIBRARY)
#define QUORIX_API __attribute__((visibility("default")))
#else
#define QUORIX_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* ---- Callback types ---- */

/* The port's file reader reached the end of the file's data. Runs on the port's reader thread. */
typedef void (*QUORIX_FileEndCallback)(uint16_t port, void* user);

/* Called inside QUORIX_OpenFile, on the caller's thread, after the file's header has been read and
 * before the renderer is created. model is the file's render model (QUORIX_MODEL_*); info is the
 * file's information block (null with length 0 when the file has none). */
typedef void (*QUORIX_FileOpenInfoCallback)(uint16_t port, int32_t model, const uint8_t* info,
                                            uint32_t infoLen, void* user);

/* A region has been drawn; the host may draw over it. drawMode 1: an OpenGL context is current on
 * the calling thread and dc is null. drawMode 0: draw into dc, a QUORIX_SURFACE* (software
 * display). imageRect is the part covered by the picture and regionRect the region itself; both
 * are null with the external renderer. Runs on the thread that draws: the render thread, the
 * host's thread in manual mode, the software display's thread or the external renderer's. */
typedef void (*QUORIX_DrawCallback)(uint16_t port, uint16_t region, int32_t drawMode, QUORIX_HDC dc,
                                    const QUORIX_RECT* imageRect, const QUORIX_RECT* regionRect,
                                    void* user);

/* OpenGL renderer status: 1 when its GL objects are ready, 0 when they are about to be released.
 * Runs on the thread that owns the GL context. */
typedef void (*QUORIX_RenderStatusCallback)(uint16_t port, uint32_t status, void* user);

/* One captured picture. region is the region number, or QUORIX_SCREEN_OFF_REGION for the
 * full-resolution capture; format is a QUORIX_PIXEL_* number and stride the bytes per row.
 * Runs on the renderer's drawing thread after the frame it captures. */
typedef void (*QUORIX_SnapCallback)(uint16_t port, uint16_t region, uint32_t width, uint32_t stride,
                                    uint32_t height, uint32_t format, const uint8_t* data,
                                    void* user);

/* One sub-frame of a composite packet: a complete frame record with its own stream id. Runs on
 * the thread that fed the packet (the reader thread, or the host in QUORIX_InputStreamData). */
typedef void (*QUORIX_AttachCallback)(uint16_t port, uint16_t streamId, const uint8_t* record,
                                      uint32_t length, void* user);

/* =====================================================================================
 * Library and ports
 * ===================================================================================== */

/* Initialises the library. Calls nest: only the first of a balanced series reads the
 * configuration file quorixsdk.ini beside the library, looks for the monitors of the X display
 * the process has then and prepares the renderers; a later first call (after the balancing
 * QUORIX_ReleaseSDK) does all of it again. Always QUORIX_OK. A QUORIX_ReleaseSDK without a matching
 * init counts too: the next init only balances it. */
QUORIX_API uint32_t QUORIX_InitSDK(void);

/* Balances one QUORIX_InitSDK; the call that brings the count to zero releases library-wide
 * resources and finishes every port's local recording (as QUORIX_StopLocalRecord would). Ports
 * stay allocated and open. Always QUORIX_OK. */
QUORIX_API uint32_t QUORIX_ReleaseSDK(void);

/* mode 0 keeps the OpenGL renderer, any other value selects the software display for files and
 * streams opened from now on. There is no way back to OpenGL within the process. Works before
 * QUORIX_InitSDK. */
QUORIX_API void QUORIX_SetRenderMode(uint32_t mode);

/* Configures the process-wide logger. enable 0 switches all output off. Otherwise lines of at
 * least `level` (10 debug, 20 info, 30 warn, 40 error) go to standard error, and, when logPath is
 * not null or empty, also to the daily file logPath + "_YYYYMMDD" + "." + logExtension (a null
 * logExtension keeps the previous one, "log" at first; an empty one gives no dot). Works before
 * QUORIX_InitSDK. */
QUORIX_API void QUORIX_SetLogAttribute(uint32_t enable, uint32_t level, const char* logPath,
                                       const char* logExtension);

/* Takes the lowest-numbered free port and writes its number to *port.
 * QUORIX_E_NOT_INIT; QUORIX_E_PARAM for a null port; QUORIX_E_NO_FREE_PORT when all are in use
 * (nothing is written). */
QUORIX_API uint32_t QUORIX_GetPort(uint16_t* port);

/* Stops and closes everything of the port, finishes its local recording, clears its settings and
 * callbacks and frees it; every port attached to it (QUORIX_SetAttachPlayer) is detached.
 * QUORIX_OK also when the library is not initialised (nothing is done then, whatever the number)
 * and for a port that is not in use. Called from the port's file-open-information callback, it
 * makes that QUORIX_OpenFile fail with QUORIX_E_STATE; the port is free once QUORIX_OpenFile
 * returns. */
QUORIX_API uint32_t QUORIX_FreePort(uint16_t port);

/* Reads the begin and end date-time of a recorded file without a port, as days since 1899-12-30
 * local time with the time of day as the fraction. Works before QUORIX_InitSDK. A recording that
 * was not finished (still being written, or its process ended first) is timed by the frame
 * records it holds. QUORIX_E_PARAM for a null output; QUORIX_E_OPEN_FILE when the file cannot be
 * opened; QUORIX_E_FILE_FORMAT when it is not a recording of this library or its start date-time
 * is not a date. On failure the outputs are not written. */
QUORIX_API uint32_t QUORIX_GetFileInfo(const char* path, double* beginTime, double* endTime);

/* Switches the frame-number continuity check of the port on (enable != 0) or off. On for a new
 * port; kept when the port is freed. */
QUORIX_API uint32_t QUORIX_CheckFrameNum(uint16_t port, int32_t enable);

/* Writes 1 while the port is playing, else 0. A null `playing` is accepted: QUORIX_OK, nothing is
 * written. */
QUORIX_API uint32_t QUORIX_IsPlaying(uint16_t port, uint32_t* playing);

/* JPEG quality (0..100 expected, not checked) of the captures of every port; 90 by default.
 * Checks only that the library is initialised. */
QUORIX_API uint32_t QUORIX_SetJpegQuality(uint16_t quality);

/* =====================================================================================
 * Opening, closing and feeding
 * ===================================================================================== */

/* Opens a recorded file on the port; it does not advance until QUORIX_Play. A file that does not
 * begin with the recording header is played as bare frame records from its first byte, with
 * render model 0 and no blocks: the picture is shown as it is; a file that holds no record then
 * simply ends. QUORIX_E_PORT_BUSY when a file or stream is open (also for an open from inside the
 * port's own file-open-information callback); QUORIX_E_OPEN_FILE when the file cannot be opened
 * for reading (missing, a directory, no path); QUORIX_E_STATE when the file-open-information
 * callback freed the port; QUORIX_E_NO_MEMORY when the file's index or its renderer cannot be
 * held. For the renderer of the file: QUORIX_E_NOT_IMPL when the file needs the external
 * renderer and it is missing (or the external renderer's own code is passed on); with render
 * model 0, QUORIX_E_PARAM when the file's renderer parameter block is shorter than its fixed part
 * and QUORIX_E_FILE_FORMAT when it is not a valid one. */
QUORIX_API uint32_t QUORIX_OpenFile(uint16_t port, const char* path);

/* Closes the file: stops reading and playing and destroys the renderer. QUORIX_E_STATE when no
 * file is open. */
QUORIX_API uint32_t QUORIX_CloseFile(uint16_t port);

/* Opens a live stream with a render model (QUORIX_MODEL_*), a file-open information block and a
 * renderer parameter block; both blocks are copied (a null pointer gives an empty block). With
 * model QUORIX_MODEL_FROM_PARAMS and no parameter block the picture is shown as it is.
 * QUORIX_E_PORT_BUSY when a file or stream is open; QUORIX_E_NOT_IMPL when model is
 * QUORIX_MODEL_EXTERNAL and the external renderer is missing (or the external renderer's own code
 * is passed on); with model QUORIX_MODEL_FROM_PARAMS QUORIX_E_PARAM for a parameter block shorter
 * than its fixed part and QUORIX_E_FILE_FORMAT for one that is not valid; QUORIX_E_NO_MEMORY. */
QUORIX_API uint32_t QUORIX_OpenStream(uint16_t port, int32_t model, const void* infoData,
                                      uint32_t infoLen, const void* modelData, uint32_t modelLen);

/* Closes the stream. QUORIX_E_STATE when no stream is open. */
QUORIX_API uint32_t QUORIX_CloseStream(uint16_t port);

/* Play mode of a live stream: 0 shows pictures as decoded (default), 1 buffered, 2 low latency.
 * QUORIX_E_STATE while a file is open. */
QUORIX_API uint32_t QUORIX_SetStreamOpenMode(uint16_t port, uint32_t mode);

/* Pushes one frame record (28-byte header and payload) or one composite packet; the data is
 * copied. QUORIX_E_PARAM for null data, a length below a header, a payload above
 * QUORIX_MAX_INPUT_PAYLOAD, a bad magic or a composite packet whose sub-records do not fit it
 * (the data is dropped); QUORIX_E_QUEUE_FULL when the stream's queue is full (the frame is
 * dropped); QUORIX_E_NO_MEMORY when the record cannot be queued. */
QUORIX_API uint32_t QUORIX_InputStreamData(uint16_t port, const uint8_t* data, uint32_t len);

/* Stores the file-end callback (null switches it off). Runs on the reader thread. */
QUORIX_API uint32_t QUORIX_SetFileEndCallback(uint16_t port, QUORIX_FileEndCallback cb, void* user);

/* Stores the file-open information callback (null switches it off). Runs inside
 * QUORIX_OpenFile on the caller's thread; see QUORIX_OpenFile and QUORIX_FreePort for what the
 * callback may do to its own port. */
QUORIX_API uint32_t QUORIX_SetFileOpenInfoCallback(uint16_t port, QUORIX_FileOpenInfoCallback cb,
                                                   void* user);

/* =====================================================================================
 * Play control
 * ===================================================================================== */

/* Starts the renderer into `window` and starts playing. dc: the X11 Display* of the window, or
 * null. manual != 0: the host drives drawing with the QUORIX_Manual* functions on its own GL
 * thread. After the end of a file it plays the file again from its first record.
 * QUORIX_E_STATE when nothing is open; QUORIX_E_THREAD_RUNNING when already playing;
 * QUORIX_E_NOT_SUPPORTED when the OpenGL renderer or its context cannot be started;
 * QUORIX_E_NOT_IMPL when the external renderer lacks its start (or its own code is passed on).
 * A failure leaves nothing running. */
QUORIX_API uint32_t QUORIX_Play(uint16_t port, QUORIX_HWND window, QUORIX_HDC dc, uint32_t manual);

/* Stops playing (and resets the speed to 1x); the file or stream and the renderer stay. Always
 * QUORIX_OK after the checks. */
QUORIX_API uint32_t QUORIX_Stop(uint16_t port);

/* Pauses (pause != 0) or resumes a file. QUORIX_E_STATE without a file; QUORIX_E_NOT_OPEN when
 * pausing while not playing. */
QUORIX_API uint32_t QUORIX_Pause(uint16_t port, int32_t pause);

/* Doubles the play speed, up to 16x (speed exponent 4). */
QUORIX_API uint32_t QUORIX_Fast(uint16_t port);

/* Halves the play speed, down to 1/16x (speed exponent -4). */
QUORIX_API uint32_t QUORIX_Slow(uint16_t port);

/* Sets the speed exponent (-4..4, rate 2^speed). QUORIX_E_PARAM outside that range. */
QUORIX_API uint32_t QUORIX_SetPlaySpeed(uint16_t port, int32_t speed);

/* Writes the current speed exponent. QUORIX_E_PARAM for a null output. */
QUORIX_API uint32_t QUORIX_GetPlaySpeed(uint16_t port, int32_t* speed);

/* Steps one frame forward in a file. QUORIX_E_STATE without a file; QUORIX_E_NOT_OPEN while the
 * file is stopped (before QUORIX_Play, after QUORIX_Stop or its end). */
QUORIX_API uint32_t QUORIX_OneByOne(uint16_t port);

/* Steps one frame back in a file. As QUORIX_OneByOne. */
QUORIX_API uint32_t QUORIX_OneByOneBack(uint16_t port);

/* Seeks to `ms` milliseconds from the start of the file. QUORIX_E_STATE without a file;
 * QUORIX_E_FAIL when the seek fails. */
QUORIX_API uint32_t QUORIX_SetPlayedTime(uint16_t port, uint32_t ms);

/* Played time of the file in milliseconds; 0 without a file. */
QUORIX_API uint32_t QUORIX_GetPlayedTime(uint16_t port);

/* Seeks to a fraction (0..1) of the file's length. As QUORIX_SetPlayedTime. */
QUORIX_API uint32_t QUORIX_SetPlayedPos(uint16_t port, float pos);

/* Played fraction of the file; 0.0 when nothing is known. */
QUORIX_API float QUORIX_GetPlayedPos(uint16_t port);

/* Length of the file in milliseconds; 0 without a file. */
QUORIX_API uint32_t QUORIX_GetFileTotleTimes(uint16_t port);

/* Number of video frames of the file; 0 without a file. */
QUORIX_API uint32_t QUORIX_GetFileTotleFrames(uint16_t port);

/* Time stamp (ms) of the last video frame record the port accepted; 0 before the first after an
 * open, after a close or free. */
QUORIX_API uint32_t QUORIX_GetCurrentVideoFrameStamp(uint16_t port);

/* Clock (seconds since 1970-01-01 UTC) of the last video frame record the port accepted; 0 as for
 * QUORIX_GetCurrentVideoFrameStamp. */
QUORIX_API uint32_t QUORIX_GetCurrentVideoFrameClock(uint16_t port);

/* =====================================================================================
 * Display and view (regions 0 .. QUORIX_MAX_REGIONS - 1)
 * ===================================================================================== */

/* Places a region at `rect` in the window (null: an empty rectangle) and enables (enable != 0) or
 * disables it. The OpenGL renderer counts the rectangle's top from the BOTTOM of the window, the
 * software display from the TOP (see Coordinates above). Stored when nothing is open and given to
 * the renderer at the next open. Always QUORIX_OK after the checks. */
QUORIX_API uint32_t QUORIX_SetDisplayRegion(uint16_t port, uint16_t region, const QUORIX_RECT* rect,
                                            uint32_t enable);

/* Background colour of a region, 0x00BBGGRR; applied when the region is next enabled. Always
 * QUORIX_OK after the checks. */
QUORIX_API uint32_t QUORIX_SetBackgroundColor(uint16_t port, uint16_t region, uint32_t color);

/* Display types the port's renderer offers. *count is the capacity of `types` on entry and the
 * list's length on return. QUORIX_E_PARAM without a renderer, for a null pointer or a bad count;
 * QUORIX_E_BUFFER_TOO_SMALL (with *count set to the length needed); with the external renderer
 * QUORIX_E_NOT_IMPL when it lacks the entry (or its own code is passed on). */
QUORIX_API uint32_t QUORIX_GetSupportedDisplayTypeList(uint16_t port, uint32_t* types,
                                                       int32_t* count);

/* Writes the region's display type. QUORIX_E_PARAM without a renderer or for a null output; with
 * the external renderer QUORIX_E_STATE for a region other than 0, QUORIX_E_NOT_IMPL when it lacks
 * the entry (or its own code is passed on). */
QUORIX_API uint32_t QUORIX_GetCurrentDisplayType(uint16_t port, uint16_t region, uint32_t* type);

/* Sets the region's display type (stored and applied again at the next open). The OpenGL renderer
 * refuses a type it does not offer with QUORIX_E_PARAM; with the external renderer
 * QUORIX_E_NOT_IMPL when it lacks the entry (or its own code is passed on). */
QUORIX_API uint32_t QUORIX_SetCurrentDisplayType(uint16_t port, uint16_t region, uint32_t type);

/* Writes the region's virtual camera; null outputs are skipped. QUORIX_E_PARAM without a
 * renderer; with the external renderer QUORIX_E_STATE for a region other than 0 and
 * QUORIX_E_NOT_IMPL when it lacks the entry. */
QUORIX_API uint32_t QUORIX_GetPTZPosition(uint16_t port, uint16_t region, float* pan, float* tilt,
                                          float* zoom);

/* Sets the region's virtual camera (stored and applied again at the next open): pan and tilt in
 * half turns (+-1 = +-180 degrees, positive tilt looks down), zoom as a magnification; see
 * "Virtual camera" above for what each display type makes of them. The renderer limits the
 * zoom to 16 (and to at least 1 in QUORIX_DISPLAY_PLANE360). QUORIX_E_NOT_IMPL when the
 * external renderer lacks the entry. */
QUORIX_API uint32_t QUORIX_SetPTZPosition(uint16_t port, uint16_t region, float pan, float tilt,
                                          float zoom);

/* Switches off pan limiting of the region (OpenGL renderer only, else QUORIX_E_NOT_IMPL).
 * QUORIX_E_PARAM without a renderer. */
QUORIX_API uint32_t QUORIX_EnableBlankPTZ(uint16_t port, uint16_t region, uint32_t enable);

/* Flip mode of the region: 0 none, 1 left-right, 2 upside down, 3 both. QUORIX_E_NOT_IMPL with
 * the external renderer and with the software display showing a picture flat (it flips the
 * pictures it de-warps). QUORIX_E_STATE without a renderer. */
QUORIX_API uint32_t QUORIX_SetFlip(uint16_t port, uint16_t region, uint32_t flip);

/* Aspect-ratio mode of the region: 0 stretch over the region, 1 whole picture with its aspect
 * kept (the default), 2 fill the width, 3 fill the height. QUORIX_E_NOT_IMPL with the external
 * renderer; QUORIX_E_STATE without a renderer (QUORIX_E_PARAM when the port's last open chose the
 * software display). */
QUORIX_API uint32_t QUORIX_SetDisplayRatioType(uint16_t port, uint16_t region, uint32_t ratioType);

/* Maps `count` source points (x, y: lens directions, see Coordinates above) to where the region
 * shows them, as fractions of the region as shown (flip included), x to the right and y
 * downwards from its top edge; QUORIX_UnProject maps the other way. Served by the drawing thread
 * against the picture it draws next: the caller blocks until then, at most 500 ms. A point whose
 * result is undefined (behind the viewer; for UnProject, outside the region or where nothing of
 * the picture is drawn) gets NaN coordinates. The OpenGL renderer and the software display's CPU
 * de-warp answer alike. QUORIX_E_NOT_SUPPORTED in the multi-camera display type 9, which has no
 * common source coordinates, and with the software display showing a picture flat;
 * QUORIX_E_NOT_IMPL with the external renderer; QUORIX_E_PARAM without a renderer, for a null
 * array or too many points; QUORIX_E_TIMEOUT. */
QUORIX_API uint32_t QUORIX_Project(uint16_t port, uint16_t region, const float* x, const float* y,
                                   float* outX, float* outY, uint32_t count);

/* Maps `count` points of the region as shown back to source points. QUORIX_E_PARAM for a null
 * array, count 0, too many points or without a renderer; QUORIX_E_TIMEOUT; QUORIX_E_NOT_IMPL with
 * the software display showing a picture flat; with the external
 * renderer QUORIX_E_STATE for a region other than 0, QUORIX_E_NOT_IMPL when it lacks the entry,
 * QUORIX_E_NO_MEMORY (or its own code is passed on). */
QUORIX_API uint32_t QUORIX_UnProject(uint16_t port, uint16_t region, const float* x, const float* y,
                                     float* outX, float* outY, uint32_t count);

/* Stores a region's draw callback (null switches it off); see QUORIX_DrawCallback for its thread.
 * Always QUORIX_OK after the checks. */
QUORIX_API uint32_t QUORIX_SetDrawCallback(uint16_t port, uint16_t region, QUORIX_DrawCallback cb,
                                           void* user);

/* Stores the renderer status callback (OpenGL renderer only, else QUORIX_E_NOT_IMPL, stored all
 * the same). Without a renderer it answers QUORIX_E_PARAM but is installed by the next open. */
QUORIX_API uint32_t QUORIX_SetRenderStatusCallback(uint16_t port, QUORIX_RenderStatusCallback cb,
                                                   void* user);

/* Writes 1 when manual rendering is possible, -1 when not yet (no renderer), 0 never.
 * QUORIX_E_PARAM for a null output. */
QUORIX_API uint32_t QUORIX_GetManualSupport(uint16_t port, int32_t* support);

/* Manual rendering (QUORIX_Play with manual != 0): call on the host's GL thread, init first, then
 * render and swap per frame, uninit last. QUORIX_E_STATE without a renderer; QUORIX_E_NOT_IMPL
 * with another renderer than OpenGL; QUORIX_E_PARAM when the renderer draws on its own thread;
 * QUORIX_E_NOT_SUPPORTED when no GL context can be made or is current. */
QUORIX_API uint32_t QUORIX_ManualInit(uint16_t port, uint32_t createContext);
QUORIX_API uint32_t QUORIX_ManualRender(uint16_t port);
QUORIX_API uint32_t QUORIX_ManualSwapbuffers(uint16_t port);
QUORIX_API uint32_t QUORIX_ManualUnInit(uint16_t port);

/* =====================================================================================
 * Capture, recording, audio and attached ports
 * ===================================================================================== */

/* Saves the region's picture as shown into a BMP or JPEG file (JPEG with the quality of
 * QUORIX_SetJpegQuality). Blocks at most 500 ms for the renderer, also for its first drawn
 * picture. QUORIX_E_PARAM for a null path or when the snapshot rectangle (QUORIX_SetSnapRect)
 * holds no pixel; QUORIX_E_STATE without a picture source (also for a region other than 0 with
 * the software display or the external renderer); QUORIX_E_TIMEOUT when no picture was drawn in
 * time; QUORIX_E_NO_MEMORY when the picture cannot be held; QUORIX_E_OPEN_FILE when the file
 * cannot be created (or the path names something else than a regular file);
 * QUORIX_E_WRITE_FILE when it cannot be written whole (the target is then left as it was);
 * QUORIX_E_NOT_SUPPORTED when the JPEG cannot be encoded; with the external renderer
 * QUORIX_E_NOT_IMPL when it lacks an entry, QUORIX_E_NOT_SUPPORTED when the picture size it
 * reports cannot be held (or its own code is passed on). The format of the region's snapshot
 * callback is not changed. */
QUORIX_API uint32_t QUORIX_CaptureBmp(uint16_t port, uint16_t region, const char* path);
QUORIX_API uint32_t QUORIX_CaptureJpeg(uint16_t port, uint16_t region, const char* path);

/* Saves the full-resolution picture. As above (the rectangle is QUORIX_SetScreenOffSnapRect's),
 * but a file that cannot be created still gives QUORIX_OK once the picture was taken; one that
 * cannot be written whole gives QUORIX_E_WRITE_FILE. */
QUORIX_API uint32_t QUORIX_CaptureOriginalBmp(uint16_t port, const char* path);
QUORIX_API uint32_t QUORIX_CaptureOriginalJpeg(uint16_t port, const char* path);

/* Writes a picture from memory as BMP (fileType QUORIX_FILE_BMP) or JPEG (any other value) with
 * the given quality. The rows are taken bottom row first and the bytes of each pixel in B, G, R
 * order (the format gives only the bytes per pixel: QUORIX_PIXEL_RGB32 and _RGB24 pictures come
 * out with red and blue swapped). No initialisation or port check. QUORIX_E_OPEN_FILE when the file
 * cannot be created (or the path names something else than a regular file); QUORIX_E_PARAM for null
 * data or a picture too large for a BMP file; QUORIX_E_NOT_SUPPORTED when the JPEG cannot be
 * encoded; QUORIX_E_WRITE_FILE when the file cannot be written whole. A refused or failed call
 * leaves an existing file as it was. */
QUORIX_API uint32_t QUORIX_SnapDataSaveToFile(const char* path, uint16_t quality, uint32_t fileType,
                                              uint32_t width, uint32_t stride, uint32_t height,
                                              uint32_t format, const uint8_t* data);

/* Continuous capture of a region after every drawn frame, in `format` (QUORIX_PIXEL_RGB32 to
 * QUORIX_PIXEL_BGR24, 0 meaning BGR32) with rows aligned to `align` bytes (1, 2, 4 or 8), bottom
 * row first. The software display showing a picture flat (not de-warped) hands the decoded
 * picture instead, as QUORIX_PIXEL_YUV420P top row first, whatever format was asked: read the
 * callback's format. A null cb stops it. QUORIX_E_PARAM
 * without a renderer or for another format or alignment (nothing is stored then); with the
 * external renderer QUORIX_E_STATE for a region other than 0 and QUORIX_E_NOT_IMPL when it lacks
 * the entry. */
QUORIX_API uint32_t QUORIX_SetSnapCallback(uint16_t port, uint16_t region, QUORIX_SnapCallback cb,
                                           void* user, uint32_t format, uint32_t align);

/* Part of the region to capture, as fractions 0..1 of its size. QUORIX_E_PARAM without a
 * renderer, for an empty rectangle or one reaching past the region (x + width or y + height
 * above 1); QUORIX_E_NOT_IMPL with the external renderer. */
QUORIX_API uint32_t QUORIX_SetSnapRect(uint16_t port, uint16_t region, float x, float y,
                                       float width, float height);

/* Continuous full-resolution capture, scaled by `scale`, reported as region
 * QUORIX_SCREEN_OFF_REGION. QUORIX_E_NOT_IMPL with the software display (or when the external
 * renderer lacks the entry); QUORIX_E_PARAM without a renderer or for a scale, format or
 * alignment the renderer refuses (nothing is stored then); QUORIX_E_STATE when the external
 * renderer has no handle. */
QUORIX_API uint32_t QUORIX_SetScreenOffSnapCallback(uint16_t port, QUORIX_SnapCallback cb,
                                                    void* user, float scale, uint32_t format,
                                                    uint32_t align);

/* Part of the full picture to capture, as fractions 0..1. QUORIX_E_PARAM without a renderer or
 * for values the renderer refuses; QUORIX_E_NOT_IMPL with the software display and the external
 * renderer. */
QUORIX_API uint32_t QUORIX_SetScreenOffSnapRect(uint16_t port, float x, float y, float width,
                                                float height);

/* Records every frame record the port accepts from now on into a new file, in any status, each
 * as the reader reads it back (the plain record magic, exactly the payload its header announces).
 * QUORIX_E_STATE while a recording runs; QUORIX_E_OPEN_FILE when the file cannot be created or is
 * the file the port plays (by any name); QUORIX_E_PARAM when the port's blocks are too large for a
 * file header; QUORIX_E_WRITE_FILE when the file's header cannot be written. */
QUORIX_API uint32_t QUORIX_StartLocalRecord(uint16_t port, const char* path);

/* Ends the recording and finishes its file. QUORIX_OK also when nothing was recording;
 * QUORIX_E_WRITE_FILE when records the port accepted could not be written (an error line in the
 * log says how many) or the file could not be finished. */
QUORIX_API uint32_t QUORIX_StopLocalRecord(uint16_t port);

/* Copies a range of the open file into a new file, on the calling thread. begin and end are
 * milliseconds from the start (byTime != 0) or frame numbers; withAudio != 0 keeps audio records.
 * QUORIX_E_STATE without a file; QUORIX_E_END_OF_DATA when the file ended before `end`;
 * QUORIX_E_FAIL when the export cannot start; QUORIX_E_WRITE_FILE when the new file cannot be
 * written whole. */
QUORIX_API uint32_t QUORIX_FilmEditing(uint16_t port, const char* path, uint32_t begin,
                                       uint32_t end, int32_t byTime, int32_t withAudio);

/* Makes this port the one port of the process whose sound is played. Always QUORIX_OK after the
 * checks. */
QUORIX_API uint32_t QUORIX_PlayAudio(uint16_t port);

/* Stops sound output of every port. Checks only that the library is initialised. */
QUORIX_API uint32_t QUORIX_StopAudio(void);

/* Sound output volume 0..100 (device-wide; the port only has to be in use). Always QUORIX_OK
 * after the checks. */
QUORIX_API uint32_t QUORIX_SetVolume(uint16_t port, uint32_t volume);

/* Sound output volume 0..100; 0 when a check fails. */
QUORIX_API uint32_t QUORIX_GetVolume(uint16_t port);

/* Forwards the sub-frames of composite packets of `port` to `attachedPort` (a number of
 * QUORIX_MAX_PORTS or above detaches), until changed, until `port` is freed or until
 * `attachedPort` is freed. Always QUORIX_OK after the checks. */
QUORIX_API uint32_t QUORIX_SetAttachPlayer(uint16_t port, uint16_t attachedPort);

/* Stores the sub-frame callback (null switches it off); see QUORIX_AttachCallback. Always
 * QUORIX_OK after the checks. */
QUORIX_API uint32_t QUORIX_SetAttachCallback(uint16_t port, QUORIX_AttachCallback cb, void* user);

#ifdef __cplusplus
}
#endif

#endif /* QUORIXSDK_H */
