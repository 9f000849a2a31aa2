"""Python bindings of libquorixsdk, the fisheye and panoramic video playback library.

    import quorixsdk as q
    with q.Library(), q.Port() as port:
        port.set_region(0, (0, 0, 640, 360))
        port.open_file("clip.zbm")
        port.play()                      # off-screen without a window
        port.capture_jpeg(0, "shot.jpg", retry_s=10)
        print(port.total_frames, port.total_time_ms)

Every call that answers a result code raises QuorixError for anything but QUORIX_OK; the error
carries the code, its name and its sentence. `quorixsdk.lib` is the raw library with every
export's types declared, for anything the wrapper does not cover (its calls raise nothing).

Callbacks run on the library's threads (see quorixsdk.h for which). The wrapper keeps every
callback it hands to the library alive while the library may call it: per port and slot, until
it is replaced and once more after that (a library thread that read it just before may still
call it once), and until the port is closed. Exceptions raised inside a callback cannot cross the
C boundary: ctypes prints them and the call returns.
"""

import ctypes
import threading
import time
from dataclasses import dataclass

from . import _native, codes
from ._native import CAMERA_OPTIONS, RECT, SURFACE  # noqa: F401  (part of the interface)

try:  # NumPy is optional: pictures are memoryviews without it
    import numpy as _np
except ImportError:  # pragma: no cover - depends on the installation
    _np = None

__all__ = [
    "QuorixError",
    "Library",
    "Port",
    "Snapshot",
    "codes",
    "lib",
    "check",
    "init",
    "release",
]

lib = _native.load()

# ---- Plain values of quorixsdk_codes.h and quorixsdk_camera.h ----
MAX_PORTS = 128
MAX_REGIONS = 6
SCREEN_OFF_REGION = 9

MODEL_EXTERNAL, MODEL_FROM_PARAMS, MODEL_NORMAL = -1, 0, 1
MODEL_FISHEYE, MODEL_VR720, MODEL_VR360, MODEL_RING, MODEL_VR360_2 = 2, 3, 4, 5, 6

DISPLAY_PLANE = 0
DISPLAY_MULTI_CAMERA = 9
DISPLAY_VR = 10
DISPLAY_SPHERE = 11
DISPLAY_PLANE180 = 12
DISPLAY_PLANE360 = 13
DISPLAY_PLANE360_FIXED = 14
DISPLAY_PLANE360_FRONTBACK = 15
DISPLAY_CYLINDER = 16
DISPLAY_CYLINDER_INSIDE = 17

PIXEL_NONE, PIXEL_RGB32, PIXEL_RGB24, PIXEL_BGR32, PIXEL_BGR24 = 0, 1, 2, 3, 4
PIXEL_RGB555, PIXEL_RGB565, PIXEL_BOTTOM_UP, PIXEL_YUV420P = 5, 6, 10, 20

FILE_JPEG, FILE_BMP = 0, 1

CAMERA_CLOSED, CAMERA_CONNECTING, CAMERA_PLAYING, CAMERA_LOST = 0, 1, 2, 3
CAMERA_RECONNECTING, CAMERA_ENDED, CAMERA_FAILED = 4, 5, 6
TRANSPORT_AUTO, TRANSPORT_TCP, TRANSPORT_UDP = 0, 1, 2
PACING_STAMPS, PACING_FAST = 0, 1


class QuorixError(Exception):
    """A result code other than QUORIX_OK."""

    def __init__(self, code, function=None):
        self.code = code & 0xFFFFFFFF
        self.name = codes.name(self.code)
        self.text = codes.text(self.code)
        self.function = function
        where = f"{function}: " if function else ""
        super().__init__(f"{where}{self.name} (0x{self.code:08X}): {self.text}")


def check(code, function=None):
    """Raises QuorixError for any code but QUORIX_OK."""
    if code != codes.OK:
        raise QuorixError(code, function)


def _call(name, *args):
    check(getattr(lib, name)(*args), name)


def _path(path):
    return None if path is None else str(path).encode()


def init():
    """QUORIX_InitSDK: calls nest, each balanced by release()."""
    _call("QUORIX_InitSDK")


def release():
    """QUORIX_ReleaseSDK."""
    _call("QUORIX_ReleaseSDK")


def set_render_mode(software):
    """Software display (True) or OpenGL (False) for ports opened from now on."""
    lib.QUORIX_SetRenderMode(1 if software else 0)


def set_log(enable=True, level=20, path=None, extension=None):
    """QUORIX_SetLogAttribute: level 10 debug, 20 info, 30 warn, 40 error."""
    lib.QUORIX_SetLogAttribute(1 if enable else 0, level, _path(path), _path(extension))


def set_jpeg_quality(quality):
    _call("QUORIX_SetJpegQuality", quality)


def file_info(path):
    """Begin and end date-time of a recording as days since 1899-12-30 (local time)."""
    begin, end = ctypes.c_double(), ctypes.c_double()
    _call("QUORIX_GetFileInfo", _path(path), ctypes.byref(begin), ctypes.byref(end))
    return begin.value, end.value


def save_picture(path, pixels, width, height, stride, pixel_format, quality=90, file_type=FILE_JPEG):
    """QUORIX_SnapDataSaveToFile: writes a picture from memory as JPEG or BMP. A NumPy array is
    taken top row first (as Snapshot.pixels gives it); a bytes-like picture bottom row first, as
    the library takes it (and as a snapshot without NumPy delivers it)."""
    if _np is not None and isinstance(pixels, _np.ndarray) and pixel_format in _RGB_TO_BGR:
        # The library writes the bytes in B, G, R order whatever the format says: an R, G, B
        # array is handed over as B, G, R.
        pixels = _np.asarray(pixels).reshape(height, width, -1).copy()
        pixels[:, :, [0, 2]] = pixels[:, :, [2, 0]]
        pixel_format = _RGB_TO_BGR[pixel_format]
    data = _bytes_of(pixels, height)
    buffer = (ctypes.c_uint8 * len(data)).from_buffer_copy(data)
    _call(
        "QUORIX_SnapDataSaveToFile",
        _path(path),
        quality,
        file_type,
        width,
        stride,
        height,
        pixel_format,
        buffer,
    )


def stop_audio():
    _call("QUORIX_StopAudio")


def camera_default_options():
    """A QUORIX_CAMERA_OPTIONS filled with the library's defaults."""
    options = CAMERA_OPTIONS()
    lib.QUORIX_CameraDefaultOptions(ctypes.byref(options))
    return options


class Library:
    """init() on entry, release() on exit."""

    def __enter__(self):
        init()
        return self

    def __exit__(self, *exc):
        release()
        return False


@dataclass
class Snapshot:
    """One picture of a snapshot callback, copied so the callback may keep it.

    With NumPy, `pixels` is an array whose first row is the TOP of the picture: height x width x
    channels for the packed formats (channel order as the format names it), the Y, U and V planes
    one after the other (1-D) for PIXEL_YUV420P. Without NumPy it is a memoryview of the bytes as
    the library delivered them, `stride` bytes per row, with `bottom_up` telling the row order:
    the library hands packed pictures bottom row first (as a BMP file holds them) and YUV 4:2:0
    pictures top row first. The software display showing a picture flat delivers the decoded
    YUV 4:2:0 picture whatever format was asked: look at `format`."""

    port: int
    region: int
    width: int
    height: int
    stride: int
    format: int
    pixels: object
    bottom_up: bool = False


def _picture_size(stride, height, pixel_format):
    if pixel_format == PIXEL_YUV420P:
        return stride * height + 2 * ((stride + 1) // 2) * ((height + 1) // 2)
    return stride * height


_CHANNELS = {PIXEL_RGB32: 4, PIXEL_BGR32: 4, PIXEL_RGB24: 3, PIXEL_BGR24: 3}
_RGB_TO_BGR = {PIXEL_RGB32: PIXEL_BGR32, PIXEL_RGB24: PIXEL_BGR24}


def _as_pixels(raw, width, height, stride, pixel_format):
    """(pixels, bottom_up) of a delivered picture; see Snapshot."""
    bottom_up = pixel_format != PIXEL_YUV420P
    if _np is None:
        return memoryview(raw), bottom_up
    array = _np.frombuffer(raw, dtype=_np.uint8)
    if not bottom_up:
        return array, False
    rows = array[: stride * height].reshape(height, stride)[::-1]
    channels = _CHANNELS.get(pixel_format)
    if channels is not None:
        return rows[:, : width * channels].reshape(height, width, channels), False
    if pixel_format in (PIXEL_RGB555, PIXEL_RGB565):
        return rows[:, : width * 2].copy().view(_np.uint16).reshape(height, width), False
    return rows, False


def _bytes_of(pixels, height):
    """The library's row order (bottom row first) of a picture: a NumPy array is taken top row
    first and turned over; bytes are taken as they are."""
    if _np is not None and isinstance(pixels, _np.ndarray):
        return _np.ascontiguousarray(pixels.reshape(height, -1)[::-1]).tobytes()
    return bytes(pixels)


class _Slots:
    """The ctypes callbacks of one port, kept alive while the library may call them."""

    def __init__(self):
        self._lock = threading.Lock()
        self._current = {}
        self._previous = {}

    def put(self, slot, callback):
        with self._lock:
            old = self._current.pop(slot, None)
            # The replaced one stays until the next replacement of the slot: a library thread
            # that read it just before the change may still call it once.
            self._previous[slot] = old
            if callback is not None:
                self._current[slot] = callback

    def drop(self, slot):
        with self._lock:
            self._current.pop(slot, None)
            self._previous.pop(slot, None)

    def clear(self):
        with self._lock:
            self._current.clear()
            self._previous.clear()

    def held(self):
        with self._lock:
            return list(self._current.values()) + [c for c in self._previous.values() if c]


class Port:
    """One player port: QUORIX_GetPort on creation, QUORIX_FreePort on close() or at the end of
    a `with` block (which stops and closes whatever is open on it)."""

    def __init__(self):
        number = ctypes.c_uint16(0xFFFF)
        _call("QUORIX_GetPort", ctypes.byref(number))
        self.number = number.value
        self._slots = _Slots()
        self._closed = False

    # ---- life ----
    def close(self):
        """Frees the port (closing its file, stream and camera); the callbacks are released once
        the library has let go of them."""
        if self._closed:
            return
        self._closed = True
        try:
            _call("QUORIX_FreePort", self.number)
        finally:
            self._slots.clear()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()
        return False

    def __repr__(self):
        return f"Port({self.number}{', closed' if self._closed else ''})"

    def _do(self, name, *args):
        _call(name, self.number, *args)

    # ---- opening and feeding ----
    def open_file(self, path):
        self._do("QUORIX_OpenFile", _path(path))

    def close_file(self):
        self._do("QUORIX_CloseFile")

    def open_stream(self, model=MODEL_NORMAL, info=None, params=None):
        info = bytes(info or b"")
        params = bytes(params or b"")
        self._do(
            "QUORIX_OpenStream",
            model,
            info or None,
            len(info),
            params or None,
            len(params),
        )

    def close_stream(self):
        self._do("QUORIX_CloseStream")

    def set_stream_open_mode(self, mode):
        self._do("QUORIX_SetStreamOpenMode", mode)

    def input(self, record):
        """Pushes one frame record or composite packet (bytes-like; copied by the library)."""
        data = bytes(record)
        buffer = (ctypes.c_uint8 * max(len(data), 1)).from_buffer_copy(data or b"\0")
        self._do("QUORIX_InputStreamData", buffer, len(data))

    def check_frame_numbers(self, enable):
        self._do("QUORIX_CheckFrameNum", 1 if enable else 0)

    # ---- play control ----
    def play(self, window=0, display=None, manual=False):
        """Starts playing into an X11 window id (0: off-screen)."""
        self._do("QUORIX_Play", window, display, 1 if manual else 0)

    def stop(self):
        self._do("QUORIX_Stop")

    def pause(self, paused=True):
        self._do("QUORIX_Pause", 1 if paused else 0)

    def fast(self):
        self._do("QUORIX_Fast")

    def slow(self):
        self._do("QUORIX_Slow")

    @property
    def speed(self):
        """Speed exponent -4..4 (rate 2**speed)."""
        value = ctypes.c_int32()
        self._do("QUORIX_GetPlaySpeed", ctypes.byref(value))
        return value.value

    @speed.setter
    def speed(self, exponent):
        self._do("QUORIX_SetPlaySpeed", exponent)

    def step(self, back=False):
        self._do("QUORIX_OneByOneBack" if back else "QUORIX_OneByOne")

    @property
    def playing(self):
        value = ctypes.c_uint32()
        self._do("QUORIX_IsPlaying", ctypes.byref(value))
        return value.value != 0

    def seek_ms(self, ms):
        self._do("QUORIX_SetPlayedTime", ms)

    def seek_fraction(self, fraction):
        self._do("QUORIX_SetPlayedPos", fraction)

    @property
    def played_ms(self):
        return lib.QUORIX_GetPlayedTime(self.number)

    @property
    def played_fraction(self):
        return lib.QUORIX_GetPlayedPos(self.number)

    @property
    def total_time_ms(self):
        return lib.QUORIX_GetFileTotleTimes(self.number)

    @property
    def total_frames(self):
        return lib.QUORIX_GetFileTotleFrames(self.number)

    @property
    def frame_stamp_ms(self):
        return lib.QUORIX_GetCurrentVideoFrameStamp(self.number)

    @property
    def frame_clock(self):
        return lib.QUORIX_GetCurrentVideoFrameClock(self.number)

    # ---- display and view ----
    def set_region(self, region, rect, enable=True):
        """rect: (left, top, right, bottom) in window pixels, or None. The OpenGL renderer counts
        top from the bottom of the window, the software display from the top."""
        r = None if rect is None else ctypes.byref(RECT(*rect))
        self._do("QUORIX_SetDisplayRegion", region, r, 1 if enable else 0)

    def set_background(self, region, color):
        self._do("QUORIX_SetBackgroundColor", region, color)

    def display_types(self):
        """The display types the port's renderer offers, in its order."""
        room = 32
        while True:
            types = (ctypes.c_uint32 * room)()
            count = ctypes.c_int32(room)
            rc = lib.QUORIX_GetSupportedDisplayTypeList(self.number, types, ctypes.byref(count))
            if rc == codes.E_BUFFER_TOO_SMALL and count.value > room:
                room = count.value
                continue
            check(rc, "QUORIX_GetSupportedDisplayTypeList")
            return list(types[: count.value])

    def display_type(self, region=0):
        value = ctypes.c_uint32()
        self._do("QUORIX_GetCurrentDisplayType", region, ctypes.byref(value))
        return value.value

    def set_display_type(self, region, display_type):
        self._do("QUORIX_SetCurrentDisplayType", region, display_type)

    def ptz(self, region=0):
        """(pan, tilt, zoom): pan and tilt in half turns (+-1 = +-180 degrees)."""
        pan, tilt, zoom = ctypes.c_float(), ctypes.c_float(), ctypes.c_float()
        self._do(
            "QUORIX_GetPTZPosition",
            region,
            ctypes.byref(pan),
            ctypes.byref(tilt),
            ctypes.byref(zoom),
        )
        return pan.value, tilt.value, zoom.value

    def set_ptz(self, region, pan, tilt, zoom):
        self._do("QUORIX_SetPTZPosition", region, pan, tilt, zoom)

    def enable_blank_ptz(self, region, enable=True):
        self._do("QUORIX_EnableBlankPTZ", region, 1 if enable else 0)

    def set_flip(self, region, flip):
        """0 none, 1 left-right, 2 upside down, 3 both."""
        self._do("QUORIX_SetFlip", region, flip)

    def set_ratio(self, region, ratio):
        """0 stretch, 1 whole picture (default), 2 fill the width, 3 fill the height."""
        self._do("QUORIX_SetDisplayRatioType", region, ratio)

    def _convert(self, name, region, points):
        points = list(points)
        n = len(points)
        xs = (ctypes.c_float * max(n, 1))(*[p[0] for p in points])
        ys = (ctypes.c_float * max(n, 1))(*[p[1] for p in points])
        ox = (ctypes.c_float * max(n, 1))()
        oy = (ctypes.c_float * max(n, 1))()
        self._do(name, region, xs, ys, ox, oy, n)
        return [(ox[i], oy[i]) for i in range(n)]

    def project(self, region, points):
        """Source points (lens directions in half turns) to fractions of the region as shown
        (x right, y down); NaN where undefined."""
        return self._convert("QUORIX_Project", region, points)

    def unproject(self, region, points):
        """Fractions of the region as shown to source points; NaN where undefined."""
        return self._convert("QUORIX_UnProject", region, points)

    # ---- callbacks ----
    def _install(self, slot, function, ctype, wrap):
        callback = ctype(wrap) if function is not None else ctype()
        self._slots.put(slot, callback if function is not None else None)
        return callback

    def set_file_end_callback(self, function):
        """function(port) on the reader thread when the file's data ends; None switches off."""

        def wrap(port, _user):
            function(port)

        callback = self._install(("file_end",), function, _native.FileEndCallback, wrap)
        self._do("QUORIX_SetFileEndCallback", callback, None)

    def set_file_open_info_callback(self, function):
        """function(port, model, info: bytes) inside open_file, on the caller's thread."""

        def wrap(port, model, info, length, _user):
            function(port, model, ctypes.string_at(info, length) if length else b"")

        callback = self._install(
            ("file_open_info",), function, _native.FileOpenInfoCallback, wrap
        )
        self._do("QUORIX_SetFileOpenInfoCallback", callback, None)

    def set_draw_callback(self, region, function):
        """function(port, region, draw_mode, dc, image_rect, region_rect) on the drawing thread;
        the rectangles are (left, top, right, bottom) tuples or None."""

        def rect(pointer):
            if not pointer:
                return None
            r = pointer.contents
            return (r.left, r.top, r.right, r.bottom)

        def wrap(port, reg, mode, dc, image, whole, _user):
            function(port, reg, mode, dc, rect(image), rect(whole))

        callback = self._install(("draw", region), function, _native.DrawCallback, wrap)
        self._do("QUORIX_SetDrawCallback", region, callback, None)

    def set_render_status_callback(self, function):
        """function(port, status) on the GL thread: 1 ready, 0 about to be released."""

        def wrap(port, status, _user):
            function(port, status)

        callback = self._install(
            ("render_status",), function, _native.RenderStatusCallback, wrap
        )
        self._do("QUORIX_SetRenderStatusCallback", callback, None)

    @staticmethod
    def _snap_wrapper(function):
        def wrap(port, region, width, stride, height, pixel_format, data, _user):
            size = _picture_size(stride, height, pixel_format)
            raw = ctypes.string_at(data, size) if data and size else b""
            pixels, bottom_up = _as_pixels(raw, width, height, stride, pixel_format)
            function(Snapshot(port, region, width, height, stride, pixel_format, pixels, bottom_up))

        return wrap

    def set_snapshot_callback(self, region, function, pixel_format=PIXEL_BGR24, align=4):
        """function(Snapshot) after every drawn frame of the region, on the drawing thread;
        None stops it."""
        callback = self._install(
            ("snap", region), function, _native.SnapCallback, self._snap_wrapper(function)
        )
        self._do("QUORIX_SetSnapCallback", region, callback, None, pixel_format, align)

    def set_snapshot_rect(self, region, x, y, width, height):
        self._do("QUORIX_SetSnapRect", region, x, y, width, height)

    def set_full_snapshot_callback(self, function, scale=1.0, pixel_format=PIXEL_BGR24, align=4):
        """Full-resolution pictures (region SCREEN_OFF_REGION), scaled by `scale`."""
        callback = self._install(
            ("snap_full",), function, _native.SnapCallback, self._snap_wrapper(function)
        )
        self._do("QUORIX_SetScreenOffSnapCallback", callback, None, scale, pixel_format, align)

    def set_full_snapshot_rect(self, x, y, width, height):
        self._do("QUORIX_SetScreenOffSnapRect", x, y, width, height)

    def set_attach_callback(self, function):
        """function(port, stream_id, record: bytes) for each sub-frame of a composite packet."""

        def wrap(port, stream, record, length, _user):
            function(port, stream, ctypes.string_at(record, length))

        callback = self._install(("attach",), function, _native.AttachCallback, wrap)
        self._do("QUORIX_SetAttachCallback", callback, None)

    def attach(self, other):
        """Forwards the sub-frames of composite packets to another port (None detaches)."""
        target = MAX_PORTS if other is None else getattr(other, "number", other)
        self._do("QUORIX_SetAttachPlayer", target)

    # ---- manual rendering ----
    @property
    def manual_support(self):
        value = ctypes.c_int32()
        self._do("QUORIX_GetManualSupport", ctypes.byref(value))
        return value.value

    def manual_init(self, create_context=True):
        self._do("QUORIX_ManualInit", 1 if create_context else 0)

    def manual_render(self):
        self._do("QUORIX_ManualRender")

    def manual_swap(self):
        self._do("QUORIX_ManualSwapbuffers")

    def manual_uninit(self):
        self._do("QUORIX_ManualUnInit")

    # ---- captures, recording, audio ----
    def _capture(self, name, args, retry_s):
        # Captures time out (500 ms) until the first picture is drawn: retry for a while.
        until = time.monotonic() + retry_s
        while True:
            rc = getattr(lib, name)(self.number, *args)
            if rc != codes.E_TIMEOUT or time.monotonic() >= until:
                check(rc, name)
                return

    def capture_bmp(self, region, path, retry_s=0.0):
        self._capture("QUORIX_CaptureBmp", (region, _path(path)), retry_s)

    def capture_jpeg(self, region, path, retry_s=0.0):
        self._capture("QUORIX_CaptureJpeg", (region, _path(path)), retry_s)

    def capture_original_bmp(self, path, retry_s=0.0):
        self._capture("QUORIX_CaptureOriginalBmp", (_path(path),), retry_s)

    def capture_original_jpeg(self, path, retry_s=0.0):
        self._capture("QUORIX_CaptureOriginalJpeg", (_path(path),), retry_s)

    def start_record(self, path):
        self._do("QUORIX_StartLocalRecord", _path(path))

    def stop_record(self):
        self._do("QUORIX_StopLocalRecord")

    def film_editing(self, path, begin, end, by_time=True, with_audio=True):
        self._do(
            "QUORIX_FilmEditing",
            _path(path),
            begin,
            end,
            1 if by_time else 0,
            1 if with_audio else 0,
        )

    def play_audio(self):
        self._do("QUORIX_PlayAudio")

    @property
    def volume(self):
        return lib.QUORIX_GetVolume(self.number)

    @volume.setter
    def volume(self, value):
        self._do("QUORIX_SetVolume", value)

    # ---- pulled sources (quorixsdk_camera.h) ----
    def camera_open(self, url, options=None, on_state=None):
        """Pulls url into the port on a thread of its own; on_state(port, state, code) on that
        thread."""

        def wrap(port, state, code, _user):
            on_state(port, state, code)

        callback = self._install(("camera",), on_state, _native.CameraStateCallback, wrap)
        pointer = ctypes.byref(options) if options is not None else None
        self._do("QUORIX_CameraOpen", _path(url), pointer, callback, None)

    def camera_close(self):
        self._do("QUORIX_CameraClose")

    def camera_state(self):
        """(state, code) of the pulled source."""
        state, code = ctypes.c_uint32(), ctypes.c_uint32()
        self._do("QUORIX_CameraGetState", ctypes.byref(state), ctypes.byref(code))
        return state.value, code.value
