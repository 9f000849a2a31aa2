"""Ports as context managers, and callbacks kept alive by the wrapper exactly as long as the
library may call them."""

import gc
import weakref

import pytest
from conftest import Waiter, record

import quorixsdk
from quorixsdk import QuorixError, codes


def test_a_port_is_freed_at_the_end_of_its_block(q):
    with q.Port() as first:
        number = first.number
        first.open_stream(q.MODEL_NORMAL)
        with q.Port() as second:
            assert second.number != number
    # Freed: the lowest free port is the same number again, and it is not playing anything.
    with q.Port() as again:
        assert again.number == number
        again.open_stream(q.MODEL_NORMAL)  # would be QUORIX_E_PORT_BUSY if the stream stayed
    # The block ends on an exception too, and the error passes through.
    with pytest.raises(QuorixError):
        with q.Port() as failing:
            number = failing.number
            failing.close_file()  # nothing open: QUORIX_E_STATE
    with q.Port() as again:
        assert again.number == number
    port = q.Port()
    port.close()
    port.close()  # a second close does nothing
    assert "closed" in repr(port)


class Target:
    """A callable whose lifetime a weak reference can watch."""

    def __call__(self, *args):
        pass


def test_callbacks_live_until_replaced_twice_or_the_port_closes(q):
    port = q.Port()
    try:
        first, second, third = Target(), Target(), Target()
        watch = [weakref.ref(first), weakref.ref(second), weakref.ref(third)]
        port.set_file_end_callback(first)
        port.set_file_end_callback(second)
        del first, second
        gc.collect()
        # The replaced one may still be called once by a thread that read it before.
        assert watch[0]() is not None
        port.set_file_end_callback(third)
        del third
        gc.collect()
        assert watch[0]() is None, "released once replaced twice"
        assert watch[1]() is not None and watch[2]() is not None
        # Switching off keeps the last one for that one late call too.
        port.set_file_end_callback(None)
        gc.collect()
        assert watch[1]() is None and watch[2]() is not None
    finally:
        port.close()
    gc.collect()
    assert watch[2]() is None, "released when the port is closed"


def test_a_callback_without_other_references_keeps_being_called(q, tmp_path):
    jpeg = tmp_path / "flat.jpg"
    q.save_picture(jpeg, bytes([0, 0, 255]) * 64 * 48, 64, 48, 64 * 3, q.PIXEL_BGR24, 95)
    payload = jpeg.read_bytes()
    seen = Waiter()
    with q.Port() as port:
        port.set_region(0, (0, 0, 64, 48))
        port.open_stream(q.MODEL_NORMAL)
        # Only the wrapper holds this function and its ctypes trampoline.
        port.set_snapshot_callback(0, lambda shot: seen(shot.region))
        gc.collect()
        port.play()
        for n in range(3):
            port.input(record(payload, sequence=n, stamp_ms=1000 + 40 * n, width=64, height=48))
        assert seen.wait(lambda items: len(items) >= 2), "snapshots keep arriving"
        port.set_snapshot_callback(0, None)
    assert set(seen.items) == {0}


def test_raw_functions_answer_codes_without_raising(q):
    with q.Port() as port:
        assert q.lib.QUORIX_CloseFile(port.number) == codes.E_STATE
    assert quorixsdk.lib.QUORIX_FreePort(quorixsdk.MAX_PORTS + 5) == codes.E_PARAM
