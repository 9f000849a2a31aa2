"""Every export of the C headers is declared with the headers' types, and the structures have
the library's layout."""

import ctypes
import re

from conftest import include_dir

import quorixsdk
from quorixsdk import _native

SCALARS = {
    "void": None,
    "uint8_t": ctypes.c_uint8,
    "uint16_t": ctypes.c_uint16,
    "uint32_t": ctypes.c_uint32,
    "int32_t": ctypes.c_int32,
    "float": ctypes.c_float,
    "double": ctypes.c_double,
    "QUORIX_HWND": ctypes.c_size_t,
    "QUORIX_HDC": ctypes.c_void_p,
    "void*": ctypes.c_void_p,
    "const void*": ctypes.c_void_p,
    "const char*": ctypes.c_char_p,
}
STRUCTS = {
    "QUORIX_RECT": _native.RECT,
    "QUORIX_CAMERA_OPTIONS": _native.CAMERA_OPTIONS,
    "QUORIX_SURFACE": _native.SURFACE,
}


def strip_comments(text):
    return re.sub(r"/\*.*?\*/", "", text, flags=re.S)


def header_text():
    return "".join(
        strip_comments((include_dir() / name).read_text())
        for name in ("quorixsdk_codes.h", "quorixsdk.h", "quorixsdk_camera.h")
    )


def parameter_types(parameters):
    parameters = " ".join(parameters.split())
    if parameters == "void":
        return []
    types = []
    for parameter in parameters.split(","):
        words = parameter.strip().replace("*", "* ").split()
        types.append(" ".join(words[:-1]).replace(" *", "*").replace("* ", "*"))
    return types


def callback_typedefs(text):
    found = {}
    for ret, name, params in re.findall(r"typedef\s+(\w+)\s*\(\*(\w+)\)\s*\(([^)]*)\)\s*;", text):
        found[name] = (ret, parameter_types(params))
    return found


def expected_ctype(c_type, callbacks):
    c_type = c_type.strip()
    if c_type in SCALARS:
        return SCALARS[c_type]
    if c_type in callbacks:
        return ("callback", c_type)
    bare = c_type.replace("const ", "").rstrip("*").strip()
    if c_type.endswith("*") and bare in STRUCTS:
        return ctypes.POINTER(STRUCTS[bare])
    if c_type.endswith("*") and bare in SCALARS:
        return ctypes.POINTER(SCALARS[bare])
    raise AssertionError(f"no ctypes mapping for {c_type!r}")


def same(actual, expected, callbacks):
    if isinstance(expected, tuple):
        ret, params = callbacks[expected[1]]
        want_args = [expected_ctype(p, callbacks) for p in params]
        return (
            issubclass(actual, ctypes._CFuncPtr)
            and actual._restype_ == SCALARS[ret]
            and list(actual._argtypes_) == want_args
        )
    return actual is expected


def test_every_export_has_the_header_types():
    text = header_text()
    callbacks = callback_typedefs(text)
    assert len(callbacks) == 7
    declared = re.findall(r"QUORIX_API\s+([\w\s\*]+?)\s*(QUORIX_\w+)\s*\(([^)]*)\)\s*;", text)
    main = strip_comments((include_dir() / "quorixsdk.h").read_text())
    assert len(re.findall(r"QUORIX_API\s+[\w\s\*]+?QUORIX_\w+\s*\(", main)) == 72
    assert len(declared) == 76
    assert set(_native.PROTOTYPES) == {name for _, name, _ in declared}
    for ret, name, params in declared:
        function = getattr(quorixsdk.lib, name)
        assert function.restype is SCALARS[ret.strip()], name
        want = [expected_ctype(p, callbacks) for p in parameter_types(params)]
        assert len(function.argtypes) == len(want), name
        for index, (actual, expected) in enumerate(zip(function.argtypes, want)):
            assert same(actual, expected, callbacks), f"{name} argument {index}: {actual}"


def test_structures_have_the_library_layout():
    assert ctypes.sizeof(_native.RECT) == 16
    assert ctypes.sizeof(_native.SURFACE) == 8 + 4 * 4
    # The library writes its own sizeof into the options it fills.
    options = quorixsdk.camera_default_options()
    assert options.size == ctypes.sizeof(_native.CAMERA_OPTIONS)
    assert (options.timeoutMs, options.reconnect, options.retryMinMs, options.retryMaxMs) == (
        5000,
        1,
        500,
        8000,
    )
    assert options.model == quorixsdk.MODEL_NORMAL
    assert options.transport == quorixsdk.TRANSPORT_AUTO
    assert options.pacing == quorixsdk.PACING_STAMPS
