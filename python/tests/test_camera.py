"""The pulled-source interface of quorixsdk_camera.h: the wrapper's answers are the library's.
Whatever a call answers, the wrapper returns its outputs for QUORIX_OK and raises exactly that
code otherwise (a build without pulled sources answers QUORIX_E_NOT_IMPL)."""

import ctypes

import pytest

from quorixsdk import QuorixError, codes


def raises_or_returns(call, raw_code):
    if raw_code == codes.OK:
        return call()
    with pytest.raises(QuorixError) as caught:
        call()
    assert caught.value.code == raw_code
    assert caught.value.text == codes.text(raw_code)
    return None


def test_camera_calls_map_the_library_answers(q):
    with q.Port() as port:
        # A port that pulls nothing: nothing to close, nothing pulled.
        raw = q.lib.QUORIX_CameraClose(port.number)
        assert raw != codes.OK
        raises_or_returns(port.camera_close, raw)

        state, code = ctypes.c_uint32(99), ctypes.c_uint32(99)
        raw = q.lib.QUORIX_CameraGetState(port.number, ctypes.byref(state), ctypes.byref(code))
        answer = raises_or_returns(port.camera_state, raw)
        if raw == codes.OK:
            assert answer == (state.value, code.value) == (q.CAMERA_CLOSED, codes.OK)

        # An empty URL is never pulled.
        raw = q.lib.QUORIX_CameraOpen(port.number, b"", None, q._native.CameraStateCallback(), None)
        assert raw != codes.OK
        raises_or_returns(lambda: port.camera_open("", on_state=lambda *a: None), raw)


def test_camera_calls_on_a_free_port_are_refused(q):
    with q.Port() as port:
        number = port.number
    for call in (q.lib.QUORIX_CameraClose,):
        assert call(number) == codes.E_PARAM
    with pytest.raises(QuorixError) as caught:
        port.camera_close()  # the wrapper of a closed port still names the library's answer
    assert caught.value.code == codes.E_PARAM
