"""Loading libquorixsdk and declaring every export's argument and result types.

Nothing here raises on a result code: the raw functions answer the library's numbers, as a C host
sees them. The wrapper in __init__ turns them into exceptions.
"""

import ctypes
import ctypes.util
import glob
import os

LIBRARY_ENV = "QUORIX_LIBRARY"
SONAME = "libquorixsdk.so.0"

c_u8_p = ctypes.POINTER(ctypes.c_uint8)
c_u16_p = ctypes.POINTER(ctypes.c_uint16)
c_u32_p = ctypes.POINTER(ctypes.c_uint32)
c_i32_p = ctypes.POINTER(ctypes.c_int32)
c_float_p = ctypes.POINTER(ctypes.c_float)
c_double_p = ctypes.POINTER(ctypes.c_double)


class RECT(ctypes.Structure):
    """QUORIX_RECT: left and top inclusive, right and bottom exclusive, in pixels."""

    _fields_ = [
        ("left", ctypes.c_int32),
        ("top", ctypes.c_int32),
        ("right", ctypes.c_int32),
        ("bottom", ctypes.c_int32),
    ]


class SURFACE(ctypes.Structure):
    """QUORIX_SURFACE: the software display's picture a draw callback may draw into."""

    _fields_ = [
        ("pixels", c_u8_p),
        ("width", ctypes.c_uint32),
        ("height", ctypes.c_uint32),
        ("stride", ctypes.c_uint32),
        ("format", ctypes.c_uint32),
    ]


class CAMERA_OPTIONS(ctypes.Structure):
    """QUORIX_CAMERA_OPTIONS of quorixsdk_camera.h."""

    _fields_ = [
        ("size", ctypes.c_uint32),
        ("transport", ctypes.c_uint32),
        ("timeoutMs", ctypes.c_uint32),
        ("reconnect", ctypes.c_uint32),
        ("retryMinMs", ctypes.c_uint32),
        ("retryMaxMs", ctypes.c_uint32),
        ("maxRetries", ctypes.c_uint32),
        ("pacing", ctypes.c_uint32),
        ("user", ctypes.c_char_p),
        ("password", ctypes.c_char_p),
        ("model", ctypes.c_int32),
        ("modelData", ctypes.c_void_p),
        ("modelLen", ctypes.c_uint32),
    ]


# Callback types, with the header's parameter lists.
FileEndCallback = ctypes.CFUNCTYPE(None, ctypes.c_uint16, ctypes.c_void_p)
FileOpenInfoCallback = ctypes.CFUNCTYPE(
    None, ctypes.c_uint16, ctypes.c_int32, c_u8_p, ctypes.c_uint32, ctypes.c_void_p
)
DrawCallback = ctypes.CFUNCTYPE(
    None,
    ctypes.c_uint16,
    ctypes.c_uint16,
    ctypes.c_int32,
    ctypes.c_void_p,
    ctypes.POINTER(RECT),
    ctypes.POINTER(RECT),
    ctypes.c_void_p,
)
RenderStatusCallback = ctypes.CFUNCTYPE(None, ctypes.c_uint16, ctypes.c_uint32, ctypes.c_void_p)
SnapCallback = ctypes.CFUNCTYPE(
    None,
    ctypes.c_uint16,
    ctypes.c_uint16,
    ctypes.c_uint32,
    ctypes.c_uint32,
    ctypes.c_uint32,
    ctypes.c_uint32,
    c_u8_p,
    ctypes.c_void_p,
)
AttachCallback = ctypes.CFUNCTYPE(
    None, ctypes.c_uint16, ctypes.c_uint16, c_u8_p, ctypes.c_uint32, ctypes.c_void_p
)
CameraStateCallback = ctypes.CFUNCTYPE(
    None, ctypes.c_uint16, ctypes.c_uint32, ctypes.c_uint32, ctypes.c_void_p
)

_u16, _u32, _i32 = ctypes.c_uint16, ctypes.c_uint32, ctypes.c_int32
_f, _p, _s = ctypes.c_float, ctypes.c_void_p, ctypes.c_char_p
_HWND = ctypes.c_size_t  # uintptr_t
_HDC = ctypes.c_void_p

# name: (result type, argument types). The 72 functions of quorixsdk.h, then the 4 of
# quorixsdk_camera.h, in the headers' order.
PROTOTYPES = {
    "QUORIX_InitSDK": (_u32, []),
    "QUORIX_ReleaseSDK": (_u32, []),
    "QUORIX_SetRenderMode": (None, [_u32]),
    "QUORIX_SetLogAttribute": (None, [_u32, _u32, _s, _s]),
    "QUORIX_GetPort": (_u32, [c_u16_p]),
    "QUORIX_FreePort": (_u32, [_u16]),
    "QUORIX_GetFileInfo": (_u32, [_s, c_double_p, c_double_p]),
    "QUORIX_CheckFrameNum": (_u32, [_u16, _i32]),
    "QUORIX_IsPlaying": (_u32, [_u16, c_u32_p]),
    "QUORIX_SetJpegQuality": (_u32, [_u16]),
    "QUORIX_OpenFile": (_u32, [_u16, _s]),
    "QUORIX_CloseFile": (_u32, [_u16]),
    "QUORIX_OpenStream": (_u32, [_u16, _i32, _p, _u32, _p, _u32]),
    "QUORIX_CloseStream": (_u32, [_u16]),
    "QUORIX_SetStreamOpenMode": (_u32, [_u16, _u32]),
    "QUORIX_InputStreamData": (_u32, [_u16, c_u8_p, _u32]),
    "QUORIX_SetFileEndCallback": (_u32, [_u16, FileEndCallback, _p]),
    "QUORIX_SetFileOpenInfoCallback": (_u32, [_u16, FileOpenInfoCallback, _p]),
    "QUORIX_Play": (_u32, [_u16, _HWND, _HDC, _u32]),
    "QUORIX_Stop": (_u32, [_u16]),
    "QUORIX_Pause": (_u32, [_u16, _i32]),
    "QUORIX_Fast": (_u32, [_u16]),
    "QUORIX_Slow": (_u32, [_u16]),
    "QUORIX_SetPlaySpeed": (_u32, [_u16, _i32]),
    "QUORIX_GetPlaySpeed": (_u32, [_u16, c_i32_p]),
    "QUORIX_OneByOne": (_u32, [_u16]),
    "QUORIX_OneByOneBack": (_u32, [_u16]),
    "QUORIX_SetPlayedTime": (_u32, [_u16, _u32]),
    "QUORIX_GetPlayedTime": (_u32, [_u16]),
    "QUORIX_SetPlayedPos": (_u32, [_u16, _f]),
    "QUORIX_GetPlayedPos": (_f, [_u16]),
    "QUORIX_GetFileTotleTimes": (_u32, [_u16]),
    "QUORIX_GetFileTotleFrames": (_u32, [_u16]),
    "QUORIX_GetCurrentVideoFrameStamp": (_u32, [_u16]),
    "QUORIX_GetCurrentVideoFrameClock": (_u32, [_u16]),
    "QUORIX_SetDisplayRegion": (_u32, [_u16, _u16, ctypes.POINTER(RECT), _u32]),
    "QUORIX_SetBackgroundColor": (_u32, [_u16, _u16, _u32]),
    "QUORIX_GetSupportedDisplayTypeList": (_u32, [_u16, c_u32_p, c_i32_p]),
    "QUORIX_GetCurrentDisplayType": (_u32, [_u16, _u16, c_u32_p]),
    "QUORIX_SetCurrentDisplayType": (_u32, [_u16, _u16, _u32]),
    "QUORIX_GetPTZPosition": (_u32, [_u16, _u16, c_float_p, c_float_p, c_float_p]),
    "QUORIX_SetPTZPosition": (_u32, [_u16, _u16, _f, _f, _f]),
    "QUORIX_EnableBlankPTZ": (_u32, [_u16, _u16, _u32]),
    "QUORIX_SetFlip": (_u32, [_u16, _u16, _u32]),
    "QUORIX_SetDisplayRatioType": (_u32, [_u16, _u16, _u32]),
    "QUORIX_Project": (_u32, [_u16, _u16, c_float_p, c_float_p, c_float_p, c_float_p, _u32]),
    "QUORIX_UnProject": (_u32, [_u16, _u16, c_float_p, c_float_p, c_float_p, c_float_p, _u32]),
    "QUORIX_SetDrawCallback": (_u32, [_u16, _u16, DrawCallback, _p]),
    "QUORIX_SetRenderStatusCallback": (_u32, [_u16, RenderStatusCallback, _p]),
    "QUORIX_GetManualSupport": (_u32, [_u16, c_i32_p]),
    "QUORIX_ManualInit": (_u32, [_u16, _u32]),
    "QUORIX_ManualRender": (_u32, [_u16]),
    "QUORIX_ManualSwapbuffers": (_u32, [_u16]),
    "QUORIX_ManualUnInit": (_u32, [_u16]),
    "QUORIX_CaptureBmp": (_u32, [_u16, _u16, _s]),
    "QUORIX_CaptureJpeg": (_u32, [_u16, _u16, _s]),
    "QUORIX_CaptureOriginalBmp": (_u32, [_u16, _s]),
    "QUORIX_CaptureOriginalJpeg": (_u32, [_u16, _s]),
    "QUORIX_SnapDataSaveToFile": (_u32, [_s, _u16, _u32, _u32, _u32, _u32, _u32, c_u8_p]),
    "QUORIX_SetSnapCallback": (_u32, [_u16, _u16, SnapCallback, _p, _u32, _u32]),
    "QUORIX_SetSnapRect": (_u32, [_u16, _u16, _f, _f, _f, _f]),
    "QUORIX_SetScreenOffSnapCallback": (_u32, [_u16, SnapCallback, _p, _f, _u32, _u32]),
    "QUORIX_SetScreenOffSnapRect": (_u32, [_u16, _f, _f, _f, _f]),
    "QUORIX_StartLocalRecord": (_u32, [_u16, _s]),
    "QUORIX_StopLocalRecord": (_u32, [_u16]),
    "QUORIX_FilmEditing": (_u32, [_u16, _s, _u32, _u32, _i32, _i32]),
    "QUORIX_PlayAudio": (_u32, [_u16]),
    "QUORIX_StopAudio": (_u32, []),
    "QUORIX_SetVolume": (_u32, [_u16, _u32]),
    "QUORIX_GetVolume": (_u32, [_u16]),
    "QUORIX_SetAttachPlayer": (_u32, [_u16, _u16]),
    "QUORIX_SetAttachCallback": (_u32, [_u16, AttachCallback, _p]),
    "QUORIX_CameraDefaultOptions": (None, [ctypes.POINTER(CAMERA_OPTIONS)]),
    "QUORIX_CameraOpen": (
        _u32,
        [_u16, _s, ctypes.POINTER(CAMERA_OPTIONS), CameraStateCallback, _p],
    ),
    "QUORIX_CameraClose": (_u32, [_u16]),
    "QUORIX_CameraGetState": (_u32, [_u16, c_u32_p, c_u32_p]),
}


def candidates():
    """Where the library is looked for, in order."""
    found = []
    env = os.environ.get(LIBRARY_ENV)
    if env:
        found.append(env)
    here = os.path.dirname(os.path.abspath(__file__))
    found.extend(sorted(glob.glob(os.path.join(here, "libquorixsdk.so*"))))
    found.append(SONAME)
    system = ctypes.util.find_library("quorixsdk")
    if system:
        found.append(system)
    return found


def load():
    """The library with every prototype declared. OSError when none of the candidates loads."""
    errors = []
    env = os.environ.get(LIBRARY_ENV)
    for path in candidates():
        try:
            lib = ctypes.CDLL(path)
        except OSError as error:
            # A library named explicitly is the one meant: no silent fallback to another copy.
            if env and path == env:
                raise OSError(f"{LIBRARY_ENV}={env} cannot be loaded: {error}") from error
            errors.append(f"{path}: {error}")
            continue
        declare(lib)
        return lib
    raise OSError("libquorixsdk not found (" + "; ".join(errors) + ")")


def declare(lib):
    for name, (restype, argtypes) in PROTOTYPES.items():
        function = getattr(lib, name)
        function.restype = restype
        function.argtypes = argtypes
